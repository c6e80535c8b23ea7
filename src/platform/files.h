// File services of the C runtime, with the few places where Windows and
// POSIX differ hidden here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace brevorin::platform {

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != nullptr) std::fclose(file);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The directory separator appended to a caller's attachment directory.
#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// An anonymous temporary file, binary, open for reading and writing, removed
// by the file system when it is closed. Null on failure.
File open_temp_file();

File open_binary_write(const std::string& path);
File open_binary_read(const std::string& path);

// Whether anything (file, directory, device) answers to the path.
bool path_exists(const std::string& path);

// The same for a path in UTF-8, which Windows takes only through its wide
// functions (the narrow ones read the ANSI code page).
File open_binary_write_utf8(const std::string& path);
bool path_exists_utf8(const std::string& path);
bool rename_no_replace_utf8(const std::string& from, const std::string& to);
void remove_file_utf8(const std::string& path);

// What a path names, for files the library is asked to read: a regular file
// (with its size), nothing, or something else (a directory, a device, a
// FIFO) that must not be opened: reading one may never end or never start.
enum class PathKind { kRegular, kMissing, kOther };
PathKind path_kind(const std::string& path, uint64_t& size);

// Renames from to to unless something is at to already: true when renamed.
bool rename_no_replace(const std::string& from, const std::string& to);

// Whether the file's status can be read from the file system.
bool file_status_ok(std::FILE* file);

// Whether a file name, compared without its extension, is one that Windows
// maps to a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9).
bool is_device_name(const std::string& name);

}  // namespace brevorin::platform
