#include "platform/files.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace brevorin::platform {

File open_temp_file() {
#if defined(_WIN32)
    // msvcrt's tmpfile() creates its file in the root of the current drive,
    // which an ordinary user may not write to; use the user's temp directory.
    char dir[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof dir, dir);
    if (n == 0 || n > MAX_PATH) return nullptr;
    char name[MAX_PATH + 1];
    if (GetTempFileNameA(dir, "brv", 0, name) == 0) return nullptr;
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DeleteFileA(name);
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "w+b");
    if (file == nullptr) _close(fd);
    return File(file);
#else
    return File(std::tmpfile());
#endif
}

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

}  // namespace

File open_binary_write_utf8(const std::string& path) {
    std::wstring wide = wide_path(path);
    if (wide.empty()) return open_binary_write(path);
    return File(::_wfopen(wide.c_str(), L"wb"));
}

bool path_exists_utf8(const std::string& path) {
    std::wstring wide = wide_path(path);
    if (wide.empty()) return path_exists(path);
    struct _stati64 st;
    return ::_wstati64(wide.c_str(), &st) == 0;
}

bool rename_no_replace_utf8(const std::string& from, const std::string& to) {
    std::wstring wide_from = wide_path(from);
    std::wstring wide_to = wide_path(to);
    if (wide_from.empty() || wide_to.empty()) return rename_no_replace(from, to);
    return MoveFileW(wide_from.c_str(), wide_to.c_str()) != 0;
}

void remove_file_utf8(const std::string& path) {
    std::wstring wide = wide_path(path);
    if (wide.empty()) std::remove(path.c_str());
    else ::_wremove(wide.c_str());
}
#else
File open_binary_write_utf8(const std::string& path) { return open_binary_write(path); }
bool path_exists_utf8(const std::string& path) { return path_exists(path); }
bool rename_no_replace_utf8(const std::string& from, const std::string& to) {
    return rename_no_replace(from, to);
}
void remove_file_utf8(const std::string& path) { std::remove(path.c_str()); }
#endif

bool path_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
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

bool rename_no_replace(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    return MoveFileA(from.c_str(), to.c_str()) != 0;
#else
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
#endif
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
