#include "codec/base64.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace brevorin {

namespace {

constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr char kLineBreak = '\n';
constexpr size_t kGroupsPerLine = kBase64LineLength / 4;

// Digit value of every byte; kNotDigit marks the bytes a decoder skips.
constexpr uint8_t kNotDigit = 0xFF;

struct DigitTable {
    std::array<uint8_t, 256> value{};
    constexpr DigitTable() {
        for (auto& v : value) v = kNotDigit;
        for (int i = 0; i < 64; ++i)
            value[static_cast<uint8_t>(kDigits[i])] = static_cast<uint8_t>(i);
    }
};
constexpr DigitTable kTable;

// The same values placed where they land in the three bytes of a group, one
// table per position of the four digits, so that a group decodes with four
// loads and three ORs (little-endian: byte 0 of the word is the first byte).
// A byte that is not a digit sets kGroupBroken in every table.
constexpr uint32_t kGroupBroken = 0x01000000;

struct GroupTables {
    std::array<uint32_t, 256> at[4]{};
    constexpr GroupTables() {
        for (int c = 0; c < 256; ++c) {
            const uint32_t v = kTable.value[c];
            if (v == kNotDigit) {
                for (auto& t : at) t[c] = kGroupBroken;
                continue;
            }
            at[0][c] = v << 2;
            at[1][c] = (v >> 4) | ((v & 0x0F) << 12);
            at[2][c] = ((v >> 2) << 8) | ((v & 0x03) << 22);
            at[3][c] = v << 16;
        }
    }
};
constexpr GroupTables kGroups;

constexpr bool kLittleEndian =
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    false;
#else
    true;
#endif

// The file codecs move data in blocks of this many input bytes; a multiple
// of one line's 54 bytes keeps the encoder's lines aligned with the blocks.
constexpr size_t kFileBlock = 54 * 1214;

// Digits of one complete group of three bytes.
inline char* put_group(const unsigned char* in, char* w) {
    const uint32_t group = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    w[0] = kDigits[group >> 18];
    w[1] = kDigits[(group >> 12) & 0x3F];
    w[2] = kDigits[(group >> 6) & 0x3F];
    w[3] = kDigits[group & 0x3F];
    return w + 4;
}

char* put_groups(const unsigned char* in, size_t groups, char* w) {
    for (size_t i = 0; i < groups; ++i, in += 3) w = put_group(in, w);
    return w;
}

// Complete groups, ending the line with line_break each time it (whose
// length so far is column) reaches 72 characters.
char* put_lines(const unsigned char* in, size_t groups, size_t& column, char* w,
                std::string_view line_break = std::string_view(&kLineBreak, 1)) {
    while (groups > 0) {
        const size_t take = std::min(groups, (kBase64LineLength - column) / 4);
        w = put_groups(in, take, w);
        in += take * 3;
        groups -= take;
        column += take * 4;
        if (column == kBase64LineLength) {
            for (char c : line_break) *w++ = c;
            column = 0;
        }
    }
    return w;
}

// The last one or two bytes, zero-filled and padded to four characters.
char* put_padded_group(const unsigned char* in, size_t left, char* w) {
    unsigned char group[3] = {in[0], left == 2 ? in[1] : uint8_t{0}, 0};
    put_group(group, w);
    w[3] = kPad;
    if (left == 1) w[2] = kPad;
    return w + 4;
}

void use_binary_mode(std::FILE* file) {
#if defined(_WIN32)
    _setmode(_fileno(file), _O_BINARY);
#else
    (void)file;
#endif
}

bool write_block(const char* data, size_t size, std::FILE* out) {
    return std::fwrite(data, 1, size, out) == size;
}

// The callers close their files long after the codec returned; flushing
// here makes a full disk show up as the codec's own write error.
bool finish_output(std::FILE* out) {
    return std::fflush(out) == 0;
}

int encode_failure(const Context& ctx, const char* what) {
    ctx.diag.print('E', 1, "BASE64_ENCODE: %s", what);
    return -1;
}

int decode_write_error(const Context& ctx) {
    ctx.diag.print('E', 1, "BASE64_DECODE: write error");
    return -1;
}

}  // namespace

int base64_encode_text(const char* text, std::string& out, int wrap) {
    const size_t n = text != nullptr ? std::strlen(text) : 0;
    const size_t whole = n / 3;
    const size_t left = n % 3;
    const size_t breaks = wrap != 0 ? whole / kGroupsPerLine : 0;
    try {
        std::string result(4 * (whole + (left != 0)) + breaks, '\0');
        const auto* in = reinterpret_cast<const unsigned char*>(text);
        char* w = result.data();
        size_t column = 0;
        w = wrap != 0 ? put_lines(in, whole, column, w) : put_groups(in, whole, w);
        if (left != 0) w = put_padded_group(in + whole * 3, left, w);
        result.resize(static_cast<size_t>(w - result.data()));
        out = std::move(result);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

int base64_decode_text(const char* text, std::string& out) {
    const size_t n = text != nullptr ? std::strlen(text) : 0;
    try {
        std::string result;
        result.reserve(n / 4 * 3 + 3);
        Base64Decoder decoder;
        decoder.feed(text, n, result);
        if (decoder.finish(result) != Base64Decoder::End::kComplete) return -1;
        // Handed back as a terminated text: a decoded zero byte ends it.
        const size_t zero = result.find('\0');
        if (zero != std::string::npos) result.resize(zero);
        out = std::move(result);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

void Base64Encoder::put_lines(const unsigned char* in, size_t groups, std::string& out) {
    const size_t had = out.size();
    out.resize(had + groups * 4 + (groups / kGroupsPerLine + 1) * break_.size());
    char* w = brevorin::put_lines(in, groups, column_, &out[had], break_);
    out.resize(static_cast<size_t>(w - out.data()));
}

void Base64Encoder::feed(const char* data, size_t length, std::string& out) {
    const auto* in = reinterpret_cast<const unsigned char*>(data);
    while (pending_count_ > 0 && pending_count_ < 3 && length > 0) {
        pending_[pending_count_++] = *in++;
        --length;
    }
    if (pending_count_ == 3) {
        put_lines(pending_, 1, out);
        pending_count_ = 0;
    }
    const size_t groups = length / 3;
    put_lines(in, groups, out);
    for (size_t i = groups * 3; i < length; ++i) pending_[pending_count_++] = in[i];
}

void Base64Encoder::finish(std::string& out) {
    if (pending_count_ == 0) return;
    char group[4];
    put_padded_group(pending_, pending_count_, group);
    out.append(group, 4);
    if (column_ != 0) out += break_;
    pending_count_ = 0;
    column_ = 0;
}

uint64_t Base64Encoder::line_breaks(uint64_t bytes) {
    const uint64_t groups = bytes / 3;
    const bool padded = bytes % 3 != 0;
    return groups / kGroupsPerLine + (padded && groups % kGroupsPerLine != 0 ? 1 : 0);
}

uint64_t Base64Encoder::encoded_size(uint64_t bytes) { return (bytes + 2) / 3 * 4 + line_breaks(bytes); }

int base64_encode(std::FILE* in, std::FILE* out, const Context& ctx) {
    use_binary_mode(in);
    std::vector<char> input(kFileBlock);
    std::string output;
    output.reserve(kFileBlock / 3 * 4 + kFileBlock / 54 + 8);
    Base64Encoder encoder;
    int64_t written = 0;
    for (;;) {
        const size_t got = std::fread(input.data(), 1, input.size(), in);
        if (got == 0) break;
        output.clear();
        encoder.feed(input.data(), got, output);
        if (!write_block(output.data(), output.size(), out)) return encode_failure(ctx, "write error");
        written += static_cast<int64_t>(output.size());
    }
    // A failed read would otherwise pass for the end of the file and hand a
    // truncated attachment on as complete.
    if (std::ferror(in)) return encode_failure(ctx, "read error");
    output.clear();
    encoder.finish(output);
    if (!write_block(output.data(), output.size(), out)) return encode_failure(ctx, "write error");
    written += static_cast<int64_t>(output.size());
    if (!finish_output(out)) return encode_failure(ctx, "write error");
    return written > INT_MAX ? INT_MAX : static_cast<int>(written);
}

size_t Base64Decoder::feed(const char* data, size_t length, std::string& out) {
    if (padded_ || length == 0) return 0;
    const size_t had = out.size();
    out.resize(had + max_output(length));
    size_t taken = 0;
    const size_t written = feed(data, length, &out[had], taken);
    out.resize(had + written);
    return taken;
}

size_t Base64Decoder::feed(const char* data, size_t length, char* out, size_t& taken) {
    taken = 0;
    if (padded_) return 0;
    const auto* in = reinterpret_cast<const unsigned char*>(data);
    char* w = out;
    size_t i = 0;
    while (i < length) {
        // Fast path for runs of whole groups, the common shape of mail.
        if (count_ == 0) {
            if (kLittleEndian) {
                // Writes four bytes for three: max_output leaves room for it.
                while (i + 4 <= length) {
                    const uint32_t group = kGroups.at[0][in[i]] | kGroups.at[1][in[i + 1]] |
                                           kGroups.at[2][in[i + 2]] | kGroups.at[3][in[i + 3]];
                    if (group & kGroupBroken) break;
                    std::memcpy(w, &group, 4);
                    w += 3;
                    i += 4;
                }
            } else {
                while (i + 4 <= length) {
                    const uint8_t a = kTable.value[in[i]], b = kTable.value[in[i + 1]];
                    const uint8_t c = kTable.value[in[i + 2]], d = kTable.value[in[i + 3]];
                    if ((a | b | c | d) & 0xC0) break;
                    const uint32_t group = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6) | d;
                    w[0] = static_cast<char>(group >> 16);
                    w[1] = static_cast<char>(group >> 8);
                    w[2] = static_cast<char>(group);
                    w += 3;
                    i += 4;
                }
            }
            if (i >= length) break;
        }
        const unsigned char ch = in[i++];
        if (ch == kPad) {
            padded_ = true;
            break;
        }
        const uint8_t v = kTable.value[ch];
        if (v == kNotDigit) continue;
        bits_ = (bits_ << 6) | v;
        if (++count_ == 4) {
            w[0] = static_cast<char>(bits_ >> 16);
            w[1] = static_cast<char>(bits_ >> 8);
            w[2] = static_cast<char>(bits_);
            w += 3;
            bits_ = 0;
            count_ = 0;
        }
    }
    taken = i;
    return static_cast<size_t>(w - out);
}

Base64Decoder::End Base64Decoder::finish(std::string& out) {
    if (!padded_) return left_over() == 0 ? End::kComplete : End::kTruncated;
    // The bytes that two or three left-over digits carry before the pad.
    if (count_ == 1) return End::kMissingBits;
    if (count_ == 2) out += static_cast<char>(bits_ >> 4);
    if (count_ == 3) {
        out += static_cast<char>(bits_ >> 10);
        out += static_cast<char>(bits_ >> 2);
    }
    return End::kComplete;
}

int base64_decode(std::FILE* in, std::FILE* out, const Context& ctx) {
    use_binary_mode(out);
    std::vector<char> input(kFileBlock);
    std::string output;
    output.reserve(kFileBlock / 4 * 3 + 8);
    Base64Decoder decoder;
    for (;;) {
        const size_t got = std::fread(input.data(), 1, input.size(), in);
        if (got == 0) break;
        output.clear();
        const size_t taken = decoder.feed(input.data(), got, output);
        if (!write_block(output.data(), output.size(), out)) return decode_write_error(ctx);
        if (decoder.padded()) {
            // Leave the input positioned just after the pad character, as
            // if it had been read one character at a time.
            std::fseek(in, -static_cast<long>(got - taken), SEEK_CUR);
            break;
        }
    }
    if (std::ferror(in)) {
        ctx.diag.print('E', 1, "BASE64_DECODE: read error");
        return -1;
    }
    output.clear();
    Base64Decoder::End end = decoder.finish(output);
    if (!write_block(output.data(), output.size(), out) || !finish_output(out))
        return decode_write_error(ctx);
    return report_decode_end(end, decoder.left_over(), ctx);
}

int report_decode_end(Base64Decoder::End end, int left_over, const Context& ctx) {
    switch (end) {
        case Base64Decoder::End::kComplete:
            return 0;
        case Base64Decoder::End::kMissingBits:
            ctx.diag.print('E', 0, "BASE64_DECODE: encoding incomplete: at least 2 bits missing");
            return -1;
        case Base64Decoder::End::kTruncated:
            ctx.diag.print('E', 0,
                           "BASE64_DECODE: base64 encoding incomplete: at least %d bits truncated",
                           6 * (4 - left_over));
            return -1;
    }
    return -1;
}

}  // namespace brevorin

namespace brevorin {

std::string base64_encode_bytes(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = at(i) << 16;
        if (i + 1 < bytes.size()) v |= at(i + 1) << 8;
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : kPad;
        out += kPad;
    }
    return out;
}

}  // namespace brevorin
