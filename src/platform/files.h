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


File open_binary_write(const std::string& path);
File open_binary_read(const std::string& path);

// Whether anything (file, directory, device) answers to the path.
bool path_exists(const std::string& path);

// The same for a path in UTF-8, which Windows takes only through its wide
// functions (the narrow ones read the ANSI code page).
bool path_exists_utf8(const std::string& path);

// What a path names, for files the library is asked to read: a regular file
// (with its size), nothing, or something else (a directory, a device, a
// FIFO) that must not be opened: reading one may never end or never start.
enum class PathKind { kRegular, kMissing, kOther };
PathKind path_kind(const std::string& path, uint64_t& size);

// Creates a new file for binary writing, failing when anything is at the
// path already (never following or replacing it). utf8: the path is UTF-8,
// which Windows takes only through its wide functions. hidden asks Windows
// to hide it (elsewhere a leading dot does that). On failure the system's
// error number is in error (EEXIST when the path was taken).
File create_new_file(const std::string& path, bool utf8, bool hidden, int& error);

// Gives the file at from the name to, never replacing what is at to. Where
// the file system has no hard links (FAT), the name is first claimed by an
// exclusive create and the file then renamed over that claim.
enum class Placed { kPlaced, kTaken, kFailed };
Placed place_file(const std::string& from, const std::string& to, bool utf8, int& error);

void remove_file(const std::string& path, bool utf8);

// Asks the system to put what was written to the file on the disk itself
// before returning (fsync, FlushFileBuffers): a rename alone survives a
// power loss only as far as the journal takes it, and may leave a name on
// an empty file. The stream's own buffer is written first. 0, or the
// system's error number.
int sync_file(std::FILE* file);

// The same for the directory's entries, so that names given by place_file
// and create_new_file survive a power loss. Windows has no handle on a
// directory to flush: there place_file writes its move through, and this
// does nothing. 0, or the system's error number.
int sync_directory(const std::string& directory, bool utf8);

// The system's text for an error number from the calls above.
std::string error_text(int error);

// Hex digits that are hard to guess, for names that must not collide with
// another process's or a user's.
std::string random_hex(size_t digits);

// Whether the file's status can be read from the file system.
bool file_status_ok(std::FILE* file);
// The size of an open file: false when its status cannot be read.
bool file_size(std::FILE* file, uint64_t& size);

// Whether a file name, compared without its extension, is one that Windows
// maps to a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9).
bool is_device_name(const std::string& name);

}  // namespace brevorin::platform
