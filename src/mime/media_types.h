// Media types and the file name extensions that go with them.
#pragma once

#include <string>

namespace brevorin {

// The extension (without its dot) a file of the media type (lower case,
// "type/subtype") is known by; empty for a type without one of its own,
// such as application/octet-stream.
std::string extension_for_type(const std::string& type);

}  // namespace brevorin
