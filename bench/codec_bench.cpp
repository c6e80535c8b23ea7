// Drives the codecs on files for the benchmark script, and makes its inputs.
//
//   codec_bench encode IN OUT       base64 file encoding (base64_encode)
//   codec_bench decode IN OUT       base64 file decoding (base64_decode)
//   codec_bench euc2jis IN OUT      EUC-JP to ISO-2022-JP (kanji_convert)
//   codec_bench gen-binary MIB OUT  random bytes
//   codec_bench gen-euc MIB OUT     Japanese EUC-JP text with ASCII and line breaks
//   codec_bench inprocess IN-BIN IN-EUC   in-memory figures, best of 5
//   codec_bench qp MIB              quoted-printable decoding in memory, best of 5
//
// The file commands read and write whole files, like the reference tools the
// script compares them with.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "codec/base64.h"
#include "codec/kanji.h"
#include "codec/quoted_printable.h"
#include "platform/files.h"

namespace {

using brevorin::platform::File;

constexpr size_t kMiB = 1024 * 1024;

std::string read_all(const char* path) {
    File in = brevorin::platform::open_binary_read(path);
    std::string data;
    if (in == nullptr || std::fseek(in.get(), 0, SEEK_END) != 0) return data;
    const long size = std::ftell(in.get());
    std::rewind(in.get());
    if (size <= 0) return data;
    data.resize(static_cast<size_t>(size));
    data.resize(std::fread(data.data(), 1, data.size(), in.get()));
    return data;
}

bool write_all(const char* path, const std::string& data) {
    File out = brevorin::platform::open_binary_write(path);
    return out != nullptr && std::fwrite(data.data(), 1, data.size(), out.get()) == data.size();
}

int run_file_codec(bool encode, const char* in_path, const char* out_path) {
    File in = brevorin::platform::open_binary_read(in_path);
    File out = brevorin::platform::open_binary_write(out_path);
    if (in == nullptr || out == nullptr) {
        std::fprintf(stderr, "cannot open %s or %s\n", in_path, out_path);
        return 2;
    }
    const int result = encode ? brevorin::base64_encode(in.get(), out.get(), brevorin::Context{})
                              : brevorin::base64_decode(in.get(), out.get(), brevorin::Context{});
    return result < 0 ? 1 : 0;
}

// The text as a terminated string without copying it where possible: like
// iconv, map the file; the zero fill of its last page terminates it. A file
// that fills its last page exactly is read instead.
class MappedText {
public:
    explicit MappedText(const char* path) {
        const int fd = ::open(path, O_RDONLY);
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size > 0 &&
            st.st_size % ::sysconf(_SC_PAGESIZE) != 0) {
            size_ = static_cast<size_t>(st.st_size);
            void* map = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
            if (map != MAP_FAILED) map_ = static_cast<const char*>(map);
        }
        if (fd >= 0) ::close(fd);
        if (map_ == nullptr) copy_ = read_all(path);
    }
    ~MappedText() {
        if (map_ != nullptr) ::munmap(const_cast<char*>(map_), size_);
    }
    MappedText(const MappedText&) = delete;
    MappedText& operator=(const MappedText&) = delete;

    const char* c_str() const { return map_ != nullptr ? map_ : copy_.c_str(); }

private:
    const char* map_ = nullptr;
    size_t size_ = 0;
    std::string copy_;
};

int run_euc_to_jis(const char* in_path, const char* out_path) {
    const MappedText text(in_path);
    std::string jis;
    if (brevorin::kanji_convert(brevorin::kEuc, brevorin::kJis, text.c_str(), jis) != 0)
        return 1;
    return write_all(out_path, jis) ? 0 : 1;
}

std::string random_binary(size_t size) {
    std::mt19937_64 rng(1);
    std::string data(size, '\0');
    for (size_t i = 0; i + 8 <= size; i += 8) {
        const uint64_t v = rng();
        std::memcpy(&data[i], &v, 8);
    }
    return data;
}

// Japanese prose as mail carries it: kanji, hiragana and katakana with
// punctuation, now and then an ASCII word or number (one token in 25), lines
// of 36 characters. Every character is one that all EUC-JP and ISO-2022-JP
// converters know.
std::string japanese_text(size_t size) {
    std::mt19937 rng(2);
    std::uniform_int_distribution<int> kind(0, 99);
    std::uniform_int_distribution<int> kanji_row(0xB0, 0xCE);
    std::uniform_int_distribution<int> cell(0xA1, 0xFE);
    std::uniform_int_distribution<int> hiragana(0xA1, 0xF3);
    std::uniform_int_distribution<int> katakana(0xA1, 0xF6);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::string text;
    text.reserve(size + 128);
    int column = 0;
    while (text.size() < size) {
        const int k = kind(rng);
        if (k < 45) {
            text += static_cast<char>(kanji_row(rng));
            text += static_cast<char>(cell(rng));
        } else if (k < 80) {
            text += '\xa4';
            text += static_cast<char>(hiragana(rng));
        } else if (k < 90) {
            text += '\xa5';
            text += static_cast<char>(katakana(rng));
        } else if (k < 96) {
            text += k % 2 == 0 ? "\xa1\xa2" : "\xa1\xa3";  // ideographic comma, full stop
        } else {
            for (int i = 0; i < 4; ++i) text += static_cast<char>(letter(rng));
        }
        if (++column == 36) {
            text += '\n';
            column = 0;
        }
    }
    return text;
}

template <typename F>
double best_seconds(F run) {
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) best = took.count();
    }
    return best;
}

// Figures without process start and file system, for reference.
int in_process(const char* binary_path, const char* euc_path) {
    const std::string euc = read_all(euc_path);
    File binary = brevorin::platform::open_binary_read(binary_path);
    if (euc.empty() || binary == nullptr) return 2;
    std::fseek(binary.get(), 0, SEEK_END);
    const double binary_mb = static_cast<double>(std::ftell(binary.get())) / 1e6;
    File encoded(std::tmpfile());
    File decoded(std::tmpfile());
    const double encode = best_seconds([&] {
        std::rewind(binary.get());
        std::rewind(encoded.get());
        brevorin::base64_encode(binary.get(), encoded.get(), brevorin::Context{});
    });
    const double decode = best_seconds([&] {
        std::rewind(encoded.get());
        std::rewind(decoded.get());
        brevorin::base64_decode(encoded.get(), decoded.get(), brevorin::Context{});
    });
    std::string jis;
    const double convert = best_seconds(
        [&] { brevorin::kanji_convert(brevorin::kEuc, brevorin::kJis, euc.c_str(), jis); });
    std::printf("in-process  base64 encode %8.1f MB/s\n", binary_mb / encode);
    std::printf("in-process  base64 decode %8.1f MB/s (of decoded data)\n", binary_mb / decode);
    std::printf("in-process  EUC-JP -> JIS %8.1f MB/s\n",
                static_cast<double>(euc.size()) / 1e6 / convert);
    return 0;
}

// Quoted-printable as mail carries it: mostly ASCII lines of 76 characters
// with soft breaks, accented letters escaped (one character in 12), and a
// hard break now and then.
std::string qp_text(size_t size) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> kind(0, 99);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::string text;
    text.reserve(size + 128);
    size_t column = 0;
    while (text.size() < size) {
        const int k = kind(rng);
        if (k < 8) {
            text += "=C3=A9";
            column += 6;
        } else if (k < 22) {
            text += ' ';
            ++column;
        } else {
            text += static_cast<char>(letter(rng));
            ++column;
        }
        if (column >= 72) {
            text += k % 4 == 0 ? "\r\n" : "=\r\n";
            column = 0;
        }
    }
    return text;
}

// The streaming decoder in network-sized pieces, and the classic reading
// of a whole text.
int qp_figures(size_t mib) {
    const std::string text = qp_text(mib * kMiB);
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::string out;
    out.reserve(text.size());
    const double streamed = best_seconds([&] {
        out.clear();
        brevorin::QpDecoder decoder;
        for (size_t at = 0; at < text.size(); at += 16384)
            decoder.feed(text.data() + at, std::min<size_t>(16384, text.size() - at), out);
        decoder.finish(out);
    });
    const double classic = best_seconds(
        [&] { brevorin::qp_decode_whole(brevorin::QpDecoder::Form::kClassicText, text, out); });
    std::printf("in-process  qp streamed   %8.1f MB/s\n", mb / streamed);
    std::printf("in-process  qp classic    %8.1f MB/s\n", mb / classic);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (argc == 4 && command == "encode") return run_file_codec(true, argv[2], argv[3]);
    if (argc == 4 && command == "decode") return run_file_codec(false, argv[2], argv[3]);
    if (argc == 4 && command == "euc2jis") return run_euc_to_jis(argv[2], argv[3]);
    if (argc == 4 && command == "gen-binary")
        return write_all(argv[3], random_binary(std::stoul(argv[2]) * kMiB)) ? 0 : 1;
    if (argc == 4 && command == "gen-euc")
        return write_all(argv[3], japanese_text(std::stoul(argv[2]) * kMiB)) ? 0 : 1;
    if (argc == 4 && command == "inprocess") return in_process(argv[2], argv[3]);
    if (argc == 3 && command == "qp") return qp_figures(std::stoul(argv[2]));
    std::fprintf(stderr,
                 "usage: codec_bench encode|decode|euc2jis IN OUT\n"
                 "       codec_bench gen-binary|gen-euc MIB OUT\n"
                 "       codec_bench inprocess BINARY EUC\n"
                 "       codec_bench qp MIB\n");
    return 2;
}
