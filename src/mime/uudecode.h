// Decoding of a uuencoded block ("begin MODE NAME", data lines, the zero-length
// line, "end") into a file in the caller's attachment directory.
#pragma once

#include <cstdio>
#include <string>

#include "core/context.h"
#include "mime/file_names.h"

namespace brevorin {

// Room for the begin and end lines, and for one data line; longer lines are
// read in pieces.
constexpr size_t kUuBeginLineRoom = 999;
constexpr size_t kUuDataLineRoom = 1023;

// Decodes the block that starts at the current position of in into a new
// file of the directory text, one of files (named when they are committed).
// 0 when the file was written completely, -1 otherwise. name receives the
// name the file was (or was to be) written under once the begin line has
// been read; status the attachment status.
int uudecode(const std::string& directory, std::FILE* in, AttachmentFiles& files,
             std::string& name, int& status, const Context& ctx);

// Decodes data lines up to the zero-length line: 0 there, -1 when the input
// runs out first or a write fails.
int uudecode_lines(std::FILE* in, std::FILE* out);

// Writes up to three bytes of one group of four characters: 0, or -1 when a
// write fails.
int uudecode_group(const char* group, std::FILE* out, int wanted);

}  // namespace brevorin
