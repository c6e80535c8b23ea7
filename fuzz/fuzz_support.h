// Small helpers shared by the fuzz harnesses.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"

namespace brevorin::fuzz {

// The fuzzer's bytes as a terminated text; an embedded zero ends it early,
// exactly as it would for a caller's text.
inline std::string as_text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Stops the run with a crash report when a property fails.
inline void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

using platform::File;

// The names in a directory, "." and ".." left out.
inline std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

// A read-only stream over the fuzzer's bytes, in memory; an empty input,
// which fmemopen may refuse, becomes an empty anonymous temporary file.
inline File reader(const uint8_t* data, size_t size) {
    if (size == 0) return File(std::tmpfile());
    return File(fmemopen(const_cast<uint8_t*>(data), size, "rb"));
}

// A write stream into memory; contents() is valid after flush or close.
class MemoryWriter {
  public:
    MemoryWriter() : file_(open_memstream(&buffer_, &size_)) {}
    ~MemoryWriter() {
        file_.reset();
        std::free(buffer_);
    }
    MemoryWriter(const MemoryWriter&) = delete;
    MemoryWriter& operator=(const MemoryWriter&) = delete;

    std::FILE* get() const { return file_.get(); }
    std::string contents() {
        std::fflush(file_.get());
        return std::string(buffer_ != nullptr ? buffer_ : "", size_);
    }

  private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    File file_;
};

}  // namespace brevorin::fuzz
