#include "platform/text_convert.h"

#include <iconv.h>

#include <cerrno>

namespace brevorin::platform {

namespace {

class Iconv {
public:
    Iconv(const std::string& to, const std::string& from)
        : handle_(iconv_open(to.c_str(), from.c_str())) {}
    ~Iconv() {
        if (ok()) iconv_close(handle_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return handle_; }

private:
    iconv_t handle_;
};

// Bytes of the UTF-8 sequence that starts with lead (1 for a stray byte).
size_t utf8_length(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0) return 2;
    return 1;
}

// Runs one conversion; where the input cannot be taken (malformed input, or
// a character the target lacks) skip(at) tells how many bytes one character
// there takes, and a '?' goes out for it. false when conversion stopped.
template <typename Skip>
bool run(iconv_t cd, std::string_view in, std::string& out, bool& lossy, Skip skip) {
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char block[4096];
    while (true) {
        char* dst = block;
        size_t room = sizeof block;
        size_t r = left > 0 ? iconv(cd, &src, &left, &dst, &room)
                            : iconv(cd, nullptr, nullptr, &dst, &room);
        out.append(block, static_cast<size_t>(dst - block));
        if (r != static_cast<size_t>(-1)) {
            if (left == 0) {
                if (src == nullptr) return true;
                src = nullptr;  // one more call writes the closing shift state
                continue;
            }
            continue;
        }
        if (errno == E2BIG) continue;
        if (errno == EILSEQ || errno == EINVAL) {
            size_t n = skip(reinterpret_cast<const unsigned char*>(src), left);
            if (n > left) n = left;
            src += n;
            left -= n;
            out += '?';
            lossy = true;
            continue;
        }
        return false;
    }
}

}  // namespace

Converted convert_text(const TextEncoding& from, const TextEncoding& to, std::string_view in,
                       std::string& out) {
    if (from.name.empty() || to.name.empty()) return Converted::kUnsupported;
    // Through UTF-8, so that a character the target lacks is found as one
    // whole UTF-8 sequence, whatever the source set.
    Iconv decode("UTF-8", from.name);
    Iconv encode(to.name, "UTF-8");
    if (!decode.ok() || !encode.ok()) return Converted::kUnsupported;
    bool lossy = false;
    std::string pivot;
    pivot.reserve(in.size() * 2);
    if (!run(decode.get(), in, pivot, lossy, [](const unsigned char*, size_t) { return size_t{1}; }))
        return Converted::kUnsupported;
    std::string result;
    result.reserve(pivot.size());
    if (!run(encode.get(), pivot, result, lossy,
             [](const unsigned char* at, size_t) { return utf8_length(*at); }))
        return Converted::kUnsupported;
    out = std::move(result);
    return lossy ? Converted::kLossy : Converted::kExact;
}

}  // namespace brevorin::platform
