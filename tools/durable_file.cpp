// Files the tool replaces whole (the --new state, raw --output): written
// beside their final name, on the disk, then renamed over it, so that a
// crash leaves the old file or the new one and never half of either.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "cli.h"

namespace cli {

std::string directory_of(const std::string& path) {
#if defined(_WIN32)
    size_t slash = path.find_last_of("/\\");
#else
    size_t slash = path.rfind('/');
#endif
    if (slash == std::string::npos) return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string temporary_beside(const std::string& path) {
#if defined(_WIN32)
    int pid = ::_getpid();
#else
    int pid = static_cast<int>(::getpid());
#endif
    return path + ".tmp-" + std::to_string(pid);
}

bool flush_to_disk(std::FILE* file) {
    if (std::fflush(file) != 0) return false;
#if defined(_WIN32)
    return ::_commit(::_fileno(file)) == 0;
#else
    return ::fsync(::fileno(file)) == 0;
#endif
}

bool replace_durably(const std::string& temp, const std::string& path) {
#if defined(_WIN32)
    // Write-through: the rename is on the disk when the call returns.
    if (::MoveFileExA(temp.c_str(), path.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno = EACCES;
    return false;
#else
    if (::rename(temp.c_str(), path.c_str()) != 0) return false;
    // The new name is durable only once the directory is.
    int dir = ::open(directory_of(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
#endif
}

}  // namespace cli
