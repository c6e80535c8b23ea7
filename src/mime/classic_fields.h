// Readers of the MIME fields of a header block: version, content type with
// its boundary or charset, transfer encoding, and attachment file name.
//
// Labels are found by the classic lookup of HeaderBlock, so the first
// occurrence anywhere counts; parameters are looked for from the label to
// the end of the block.
#pragma once

#include <string>

#include "core/context.h"
#include "mime/header_block.h"

namespace brevorin {

// Longest values the readers keep (each buffer holds one byte more).
constexpr size_t kMaxTokenLength = 63;      // type, charset, name, transfer encoding
constexpr size_t kMaxBoundaryLength = 71;   // boundary
constexpr size_t kMaxFileNameLength = 255;  // attachment file name

// Content classes of a received Content-Type.
enum ContentClass : int {
    kClassOctetStream = 1,  // application/octet-stream
    kClassTextPlain = 2,    // text/plain without a name
    kClassMultipart = 3,    // multipart/mixed
    kClassImage = 4,        // image/*
    kClassOther = 5,        // audio, video, application, and everything else
    kClassNamedText = 6,    // text/* with a name parameter
};


// 0 with the digit characters of the version, -2 when there is none, -1 for
// a null block.
int mime_version(const HeaderBlock& block, char* minor, char* major, const Context& ctx);

// 0 with content_class set (and the boundary for class 3, the charset code
// for class 2), or -1. On -1 content_class may already be set.
int mime_content_type(const HeaderBlock& block, int& content_class, std::string& boundary,
                          int& charset, const Context& ctx);


// 0 with code set, or -1 with code untouched.
int content_transfer_encoding(const HeaderBlock& block, int& code, const Context& ctx);

// The file name of the Content-Disposition, reduced to its last path
// component; empty when there is none.
void file_disposition(const HeaderBlock& block, std::string& name, const Context& ctx);

}  // namespace brevorin
