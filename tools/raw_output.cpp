// raw's destination: standard output, or a file replaced only when whole.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

namespace {

int fail(const std::string& path, const char* doing, int error) {
    std::fprintf(stderr, "brevorin: --output %s: cannot %s: %s\n", path.c_str(), doing,
                 std::strerror(error));
    return kExitFile;
}

// Created new, never opened over a file of the same name: a temporary left
// by a killed run, or one someone placed there, is not written through.
std::FILE* create_new(const std::string& temp) {
#if defined(_WIN32)
    int fd =
        ::_open(temp.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    // A message is private mail: readable by its owner only.
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
#endif
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        int error = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = error;
    }
    return file;
}

}  // namespace

int check_output_file(const Request& request) {
    const std::string& path = request.output_file;
    if (path.empty()) return kExitOk;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return fail(path, "write", EISDIR);
#if !defined(_WIN32)
    if (::access(directory_of(path).c_str(), W_OK | X_OK) != 0)
        return fail(path, "create a file beside it", errno);
#endif
    return kExitOk;
}

RawOutput::~RawOutput() {
    if (temp_.empty()) return;
    std::fclose(out_);
    ::unlink(temp_.c_str());
}

int RawOutput::open(const Request& request) {
    if (request.output_file.empty()) return kExitOk;
    path_ = request.output_file;
    std::string temp = temporary_beside(path_);
    std::FILE* file = create_new(temp);
    if (file == nullptr) return fail(path_, "create a temporary beside it", errno);
    out_ = file;
    temp_ = temp;
    return kExitOk;
}

bool RawOutput::write(const char* data, size_t size) {
    if (error_ != 0) return false;
    if (std::fwrite(data, 1, size, out_) == size) return true;
    error_ = errno != 0 ? errno : EIO;
    return false;
}

int RawOutput::check() {
    if (error_ == 0) return kExitOk;
    if (reported_) return kExitFile;
    reported_ = true;
    if (path_.empty()) {
        std::fprintf(stderr, "brevorin: raw: standard output could not be written: %s\n",
                     std::strerror(error_));
        return kExitFile;
    }
    return fail(path_, "write", error_);
}

int RawOutput::finish(int rc) {
    if (temp_.empty()) {
        if (std::fflush(out_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
        int written = check();
        return rc == kExitOk ? written : rc;
    }
    std::FILE* file = out_;
    std::string temp = temp_;
    out_ = stdout;
    temp_.clear();
    if (rc == kExitOk && error_ == 0 && !flush_to_disk(file)) error_ = errno != 0 ? errno : EIO;
    bool closed = std::fclose(file) == 0;
    if (closed && rc == kExitOk && error_ == 0) {
        if (replace_durably(temp, path_)) return kExitOk;
        int error = errno;
        ::unlink(temp.c_str());
        return fail(path_, "replace", error);
    }
    ::unlink(temp.c_str());
    if (!closed && error_ == 0) error_ = errno != 0 ? errno : EIO;
    int written = check();
    if (rc == kExitOk) return written;
    std::fprintf(stderr, "brevorin: --output %s: not written, as not every message came whole\n",
                 path_.c_str());
    return rc;
}

}  // namespace cli
