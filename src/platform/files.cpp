#include "platform/files.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>

#include <atomic>
#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <time.h>
#include <unistd.h>
#endif

namespace brevorin::platform {

namespace {

// Mixes the seed (splitmix64) so that neighbouring seeds give unrelated names.
std::string hex_digits(uint64_t seed, size_t digits) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    while (out.size() < digits) {
        seed += 0x9E3779B97F4A7C15ull;
        uint64_t z = seed;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (int i = 0; i < 16 && out.size() < digits; ++i, z >>= 4) out += kHex[z & 15];
    }
    return out;
}

}  // namespace

File open_binary_write(const std::string& path) { return File(std::fopen(path.c_str(), "wb")); }

File open_binary_read(const std::string& path) { return File(std::fopen(path.c_str(), "rb")); }

#if defined(_WIN32)
namespace {

// A UTF-8 path as Windows' wide functions take it; empty when it is not UTF-8.
std::wstring wide_path(const std::string& path) {
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, &wide[0], n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

int errno_of(DWORD code) {
    switch (code) {
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_FILE_NOT_FOUND:
            return ENOENT;
        default:
            return EIO;
    }
}

}  // namespace

bool path_exists_utf8(const std::string& path) {
    std::wstring wide = wide_path(path);
    if (wide.empty()) return path_exists(path);
    struct _stati64 st;
    return ::_wstati64(wide.c_str(), &st) == 0;
}

File create_new_file(const std::string& path, bool utf8, bool hidden, int& error) {
    error = 0;
    DWORD attributes = hidden ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL;
    std::wstring wide = utf8 ? wide_path(path) : std::wstring();
    HANDLE handle = !wide.empty() ? CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                attributes, nullptr)
                                  : CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                attributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = errno_of(GetLastError());
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        error = EIO;
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd);
        error = EIO;
    }
    return File(file);
}

Placed place_file(const std::string& from, const std::string& to, bool utf8, int& error) {
    std::wstring wide_from = utf8 ? wide_path(from) : std::wstring();
    std::wstring wide_to = utf8 ? wide_path(to) : std::wstring();
    // Without MOVEFILE_REPLACE_EXISTING the move never replaces an existing
    // file, on every file system; write-through returns only once the new
    // name is on the disk, which is what a directory flush gives elsewhere.
    bool moved = !wide_from.empty() && !wide_to.empty()
                     ? MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_WRITE_THROUGH) != 0
                     : MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    if (moved) {
        // The temporary was hidden; the attachment must not stay so.
        if (!wide_to.empty()) SetFileAttributesW(wide_to.c_str(), FILE_ATTRIBUTE_NORMAL);
        else SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_NORMAL);
        return Placed::kPlaced;
    }
    error = errno_of(GetLastError());
    return error == EEXIST ? Placed::kTaken : Placed::kFailed;
}

void remove_file(const std::string& path, bool utf8) {
    std::wstring wide = utf8 ? wide_path(path) : std::wstring();
    if (!wide.empty()) ::_wremove(wide.c_str());
    else std::remove(path.c_str());
}

int sync_file(std::FILE* file) {
    if (std::fflush(file) != 0) return errno != 0 ? errno : EIO;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE) return EBADF;
    return FlushFileBuffers(handle) != 0 ? 0 : errno_of(GetLastError());
}

int sync_directory(const std::string&, bool) {
    return 0;
}

std::string random_hex(size_t digits) {
    static LONG counter = 0;
    LARGE_INTEGER ticks;
    QueryPerformanceCounter(&ticks);
    uint64_t seed = static_cast<uint64_t>(ticks.QuadPart) ^
                    (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
                    static_cast<uint64_t>(InterlockedIncrement(&counter)) * 0x9E3779B97F4A7C15ull ^
                    reinterpret_cast<uintptr_t>(&ticks);
    return hex_digits(seed, digits);
}
#else
bool path_exists_utf8(const std::string& path) { return path_exists(path); }

File create_new_file(const std::string& path, bool, bool, int& error) {
    error = 0;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        error = errno;
        ::close(fd);
        ::unlink(path.c_str());
    }
    return File(file);
}

Placed place_file(const std::string& from, const std::string& to, bool, int& error) {
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return Placed::kPlaced;
    }
    error = errno;
    if (error == EEXIST) return Placed::kTaken;
    // No hard links here (FAT, some network and FUSE file systems): claim
    // the name with an exclusive create, then rename over the claim, which
    // is ours. rename() alone would replace a file that appeared meanwhile.
    int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return error == EEXIST ? Placed::kTaken : Placed::kFailed;
    }
    ::close(fd);
    if (::rename(from.c_str(), to.c_str()) == 0) return Placed::kPlaced;
    error = errno;
    ::unlink(to.c_str());
    return Placed::kFailed;
}

void remove_file(const std::string& path, bool) { ::unlink(path.c_str()); }

int sync_file(std::FILE* file) {
    if (std::fflush(file) != 0) return errno != 0 ? errno : EIO;
    while (::fsync(fileno(file)) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

int sync_directory(const std::string& directory, bool) {
    int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    while (::fsync(fd) != 0) {
        if (errno == EINTR) continue;
        // File systems that cannot flush a directory (some network and FUSE
        // ones) say so; their entries are as safe as they will ever be.
        if (errno != EINVAL && errno != ENOTSUP) error = errno;
        break;
    }
    ::close(fd);
    return error;
}

std::string random_hex(size_t digits) {
    static std::atomic<uint64_t> counter{0};
    uint64_t seed = 0;
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (::read(fd, &seed, sizeof seed) != static_cast<ssize_t>(sizeof seed)) seed = 0;
        ::close(fd);
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    seed ^= static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(::getpid()) << 32) ^
            (counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ull;
    return hex_digits(seed, digits);
}
#endif

std::string error_text(int error) {
    const char* text = std::strerror(error);
    return text != nullptr ? text : "error " + std::to_string(error);
}

bool path_exists(const std::string& path) {
    struct stat st;
#if defined(_WIN32)
    return ::stat(path.c_str(), &st) == 0;
#else
    // A dangling symbolic link takes its name as much as a file does: link()
    // refuses to replace it, so a probe that followed it would offer the
    // same name forever.
    return ::lstat(path.c_str(), &st) == 0;
#endif
}

PathKind path_kind(const std::string& path, uint64_t& size) {
    size = 0;
#if defined(_WIN32)
    struct _stati64 st;
    if (::_stati64(path.c_str(), &st) != 0) return PathKind::kMissing;
    if ((st.st_mode & _S_IFMT) != _S_IFREG) return PathKind::kOther;
#else
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return PathKind::kMissing;
    if (!S_ISREG(st.st_mode)) return PathKind::kOther;
#endif
    size = static_cast<uint64_t>(st.st_size);
    return PathKind::kRegular;
}

bool file_size(std::FILE* file, uint64_t& size) {
    size = 0;
    if (file == nullptr) return false;
#if defined(_WIN32)
    struct _stati64 st;
    if (::_fstati64(_fileno(file), &st) != 0) return false;
#else
    struct stat st;
    if (::fstat(fileno(file), &st) != 0) return false;
#endif
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool file_status_ok(std::FILE* file) {
    if (file == nullptr) return false;
    struct stat st;
#if defined(_WIN32)
    return ::fstat(_fileno(file), &st) == 0;
#else
    return ::fstat(fileno(file), &st) == 0;
#endif
}

bool is_device_name(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && (stem.back() == ' ')) stem.pop_back();
    for (auto& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
        stem == "CONOUT$")
        return true;
    if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
        stem[3] >= '1' && stem[3] <= '9')
        return true;
    return false;
}

}  // namespace brevorin::platform
