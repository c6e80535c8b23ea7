// Base64 (RFC 2045 alphabet), in memory and file to file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/context.h"

namespace brevorin {

// Encoded lines are broken with a single LF after every 72 characters.
constexpr int kBase64LineLength = 72;

// 0, or -1 when memory runs out. wrap != 0 breaks lines.
int base64_encode_text(const char* text, std::string& out, int wrap);
// 0, or -1 for incomplete input or no memory. The result ends at the first
// decoded zero byte (it is handed back as a terminated text).
int base64_decode_text(const char* text, std::string& out);
// Characters written (line feeds included), or -1.
int base64_encode(std::FILE* in, std::FILE* out, const Context& ctx);
// Any bytes (NULs too), unbroken.
std::string base64_encode_bytes(std::string_view bytes);
// 0 or -1.
int base64_decode(std::FILE* in, std::FILE* out, const Context& ctx);

// Base64 encoding as a stream: bytes in pieces of any size, out in lines of
// kBase64LineLength characters, each ended by line_break ("\n" as the file
// encoder has it, "\r\n" for mail data). A last line shorter than that is
// ended only when it holds more than the padded group, as base64_encode
// always did.
class Base64Encoder {
public:
    explicit Base64Encoder(std::string line_break = "\n") : break_(std::move(line_break)) {}
    void feed(const char* data, size_t length, std::string& out);
    void finish(std::string& out);
    // What base64_encode writes for a file of bytes, line feeds included.
    static uint64_t encoded_size(uint64_t bytes);
    // The line breaks among those.
    static uint64_t line_breaks(uint64_t bytes);

private:
    void put_lines(const unsigned char* in, size_t groups, std::string& out);

    std::string break_;
    unsigned char pending_[3] = {0, 0, 0};
    size_t pending_count_ = 0;
    size_t column_ = 0;
};

// Base64 decoding as a stream: input in pieces of any size, the bytes of
// each group out as soon as it is complete. Bytes that are not digits are
// skipped; the first "=" ends the data and nothing after it is decoded.
class Base64Decoder {
public:
    // Decodes data, appending to out: the count of bytes taken, all of
    // them or through the first "=".
    size_t feed(const char* data, size_t length, std::string& out);
    // The same into out, which has room for max_output(length) bytes: the
    // count of bytes written, with the count taken in taken.
    size_t feed(const char* data, size_t length, char* out, size_t& taken);
    static size_t max_output(size_t length) { return length / 4 * 3 + 4; }
    bool padded() const { return padded_; }

    enum class End {
        kComplete,     // every group whole, or finished by "="
        kMissingBits,  // a single digit before "="
        kTruncated,    // the input ended inside a group
    };
    // The end of the input: the bytes a "=" completes, and how it ended.
    End finish(std::string& out);
    // Digits since the last complete group (0 to 3).
    int left_over() const { return count_; }

private:
    uint32_t bits_ = 0;
    int count_ = 0;
    bool padded_ = false;
};

// The line that says how an incomplete input ended (none for kComplete):
// 0, or -1 when the data was not whole.
int report_decode_end(Base64Decoder::End end, int left_over, const Context& ctx);

}  // namespace brevorin
