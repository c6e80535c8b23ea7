#include <iconv.h>

#include <cerrno>

#include "platform/text_convert.h"

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
// there takes, and the replacement goes out for it. false when conversion
// stopped.
template <typename Skip>
bool run(iconv_t cd, std::string_view in, std::string& out, size_t& replaced,
         const char* replacement, Skip skip) {
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
            out += replacement;
            ++replaced;
            continue;
        }
        return false;
    }
}

}  // namespace

Converted convert_text(const TextEncoding& from, const TextEncoding& to, std::string_view in,
                       std::string& out, size_t* malformed) {
    if (from.name.empty() || to.name.empty()) return Converted::kUnsupported;
    // Through UTF-8, so that a character the target lacks is found as one
    // whole UTF-8 sequence, whatever the source set.
    Iconv decode("UTF-8", from.name);
    Iconv encode(to.name, "UTF-8");
    if (!decode.ok() || !encode.ok()) return Converted::kUnsupported;
    size_t unread = 0;
    size_t lost = 0;
    std::string pivot;
    pivot.reserve(in.size() * 2);
    // U+FFFD in the pivot is carried into a target that has it, and is a
    // lost character for one that has not.
    if (!run(decode.get(), in, pivot, unread, malformed != nullptr ? "\xEF\xBF\xBD" : "?",
             [](const unsigned char*, size_t) { return size_t{1}; }))
        return Converted::kUnsupported;
    std::string result;
    result.reserve(pivot.size());
    if (!run(encode.get(), pivot, result, lost, "?",
             [](const unsigned char* at, size_t) { return utf8_length(*at); }))
        return Converted::kUnsupported;
    out = std::move(result);
    if (malformed != nullptr) *malformed += unread;
    return unread + lost > 0 ? Converted::kLossy : Converted::kExact;
}

}  // namespace brevorin::platform
