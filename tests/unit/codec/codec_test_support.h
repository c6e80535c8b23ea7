// Helpers of the codec tests: files in memory, a scratch directory and the
// reference tools that the differential tests compare against.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/files.h"

namespace brevorin::test {

constexpr char kPython[] = "/usr/bin/python3";
constexpr char kCoreutilsBase64[] = "/usr/bin/base64";
constexpr char kIconv[] = "/usr/bin/iconv";

// An anonymous file holding content, positioned at its start.
inline platform::File file_with(const std::string& content) {
    platform::File file(std::tmpfile());
    std::fwrite(content.data(), 1, content.size(), file.get());
    std::rewind(file.get());
    return file;
}

// Everything in the file, from its start.
inline std::string content_of(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string content;
    char block[4096];
    for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;)
        content.append(block, got);
    return content;
}

inline std::string read_path(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_path(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// A fresh directory, removed with everything in it at the end of the test.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "codec.XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !path_.empty(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    std::string at(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// Feeds input to a streaming codec in pieces of step bytes (the last one
// shorter) and returns what feed and finish appended. A codec's output must
// not depend on where its input was cut, so tests try every step from 1 to
// the input's length.
template <typename Codec>
std::string fed_in_pieces(Codec&& codec, const std::string& input, size_t step) {
    std::string out;
    for (size_t i = 0; i < input.size(); i += step)
        codec.feed(input.data() + i, std::min(step, input.size() - i), out);
    codec.finish(out);
    return out;
}

// Every piece size worth trying on input: 1 to its length, at least 1.
inline std::vector<size_t> every_piece_size(const std::string& input) {
    std::vector<size_t> steps;
    for (size_t step = 1; step <= std::max<size_t>(input.size(), 1); ++step) steps.push_back(step);
    return steps;
}

// Runs a shell command; true when it exited with status 0.
inline bool run_command(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

inline std::string random_bytes(std::mt19937& rng, size_t size) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(byte(rng));
    return data;
}

// Bytes shown as hex, for readable failure messages.
inline std::string hex(const std::string& data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : data) out += {digits[c >> 4], digits[c & 15], ' '};
    return out;
}

}  // namespace brevorin::test
