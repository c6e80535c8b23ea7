// Media types and the file name extensions that go with them.
#pragma once

#include <string>

namespace brevorin {

// The extension (without its dot) a file of the media type (lower case,
// "type/subtype") is known by; empty for a type without one of its own,
// such as application/octet-stream.
std::string extension_for_type(const std::string& type);

// The media type of a file by its extension (any case, without the dot);
// application/octet-stream for one not in the table.
std::string type_for_extension(const std::string& extension);

}  // namespace brevorin
