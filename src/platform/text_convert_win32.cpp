#include <windows.h>

#include <vector>

#include "platform/text_convert.h"

namespace brevorin::platform {

namespace {

constexpr unsigned kUtf8CodePage = 65001;
constexpr wchar_t kReplacement = 0xFFFD;

bool known(unsigned code_page) {
    return code_page != 0 && IsValidCodePage(code_page);
}

// Appends the characters of bytes that must all be well formed; false when
// the code page refuses them.
bool read_strictly(unsigned code_page, const char* bytes, size_t length,
                   std::vector<wchar_t>& wide) {
    const int n = static_cast<int>(length);
    int count = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes, n, nullptr, 0);
    if (count == 0) return false;
    const size_t had = wide.size();
    wide.resize(had + static_cast<size_t>(count));
    if (MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes, n, wide.data() + had, count) !=
        0)
        return true;
    wide.resize(had);
    return false;
}

// A strict pass refuses the whole input for one bad sequence. Read again
// line by line, and a refused line character by character: the shortest
// run of up to four bytes that the code page takes is one character; a byte
// that starts none is one malformed sequence, U+FFFD. The count of those.
size_t read_per_sequence(unsigned code_page, std::string_view in, std::vector<wchar_t>& wide) {
    size_t malformed = 0;
    size_t at = 0;
    while (at < in.size()) {
        size_t end = in.find('\n', at);
        end = end == std::string_view::npos ? in.size() : end + 1;
        if (!read_strictly(code_page, in.data() + at, end - at, wide)) {
            size_t i = at;
            while (i < end) {
                size_t length = 1;
                while (length <= 4 && i + length <= end &&
                       !read_strictly(code_page, in.data() + i, length, wide))
                    ++length;
                if (length > 4 || i + length > end) {
                    wide.push_back(kReplacement);
                    ++malformed;
                    length = 1;
                }
                i += length;
            }
        }
        at = end;
    }
    return malformed;
}

}  // namespace

Converted convert_text(const TextEncoding& from, const TextEncoding& to, std::string_view in,
                       std::string& out, size_t* malformed) {
    if (!known(from.code_page) || !known(to.code_page)) return Converted::kUnsupported;
    if (in.empty()) {
        out.clear();
        return Converted::kExact;
    }
    const int length = static_cast<int>(in.size());
    bool lossy = false;
    std::vector<wchar_t> wide;
    if (read_strictly(from.code_page, in.data(), in.size(), wide)) {
        // A U+FFFD that was sent is a character like any other, except
        // where the caller has every replacement become a '?'.
        if (malformed == nullptr) {
            for (wchar_t& c : wide) {
                if (c != kReplacement) continue;
                c = L'?';
                lossy = true;
            }
        }
    } else if (malformed != nullptr && GetLastError() == ERROR_NO_UNICODE_TRANSLATION) {
        wide.clear();
        size_t unread = read_per_sequence(from.code_page, in, wide);
        *malformed += unread;
        if (unread > 0) lossy = true;
    } else {
        // Malformed input is found by a strict pass; the lenient one then
        // gives U+FFFD (or the code page's default) for what could not be
        // read. Some code pages (ISO-2022, 5xxxx) take no flags at all.
        DWORD flags = MB_ERR_INVALID_CHARS;
        int wide_length = MultiByteToWideChar(from.code_page, flags, in.data(), length, nullptr, 0);
        if (wide_length == 0) {
            flags = 0;
            lossy = GetLastError() == ERROR_NO_UNICODE_TRANSLATION;
            wide_length = MultiByteToWideChar(from.code_page, 0, in.data(), length, nullptr, 0);
            if (wide_length == 0) return Converted::kUnsupported;
        }
        wide.assign(static_cast<size_t>(wide_length), L'\0');
        if (MultiByteToWideChar(from.code_page, flags, in.data(), length, wide.data(),
                                wide_length) == 0)
            return Converted::kUnsupported;
        for (wchar_t& c : wide) {
            if (c != kReplacement) continue;
            lossy = true;
            // Counted, a replacement stays one where the target has it.
            if (malformed != nullptr)
                ++*malformed;
            else
                c = L'?';
        }
    }
    if (wide.empty()) {
        out.clear();
        return lossy ? Converted::kLossy : Converted::kExact;
    }
    const int wide_length = static_cast<int>(wide.size());
    // UTF-8 takes neither a default character nor the flag that reports it.
    BOOL used_default = FALSE;
    const bool to_utf8 = to.code_page == kUtf8CodePage;
    BOOL* report = to_utf8 ? nullptr : &used_default;
    const char* fallback = to_utf8 ? nullptr : "?";
    // Without this flag Windows puts a look-alike ("-" for an en dash) where
    // the target lacks a character, and nobody learns of the loss. The
    // stateful code pages (5xxxx) take no flags.
    DWORD narrow_flags = to_utf8 || to.code_page >= 50000 ? 0 : WC_NO_BEST_FIT_CHARS;
    int narrow_length = WideCharToMultiByte(to.code_page, narrow_flags, wide.data(), wide_length,
                                            nullptr, 0, fallback, report);
    if (narrow_length == 0) return Converted::kUnsupported;
    std::string result(static_cast<size_t>(narrow_length), '\0');
    used_default = FALSE;
    if (WideCharToMultiByte(to.code_page, narrow_flags, wide.data(), wide_length, &result[0],
                            narrow_length, fallback, report) == 0)
        return Converted::kUnsupported;
    if (used_default) lossy = true;
    out = std::move(result);
    return lossy ? Converted::kLossy : Converted::kExact;
}

}  // namespace brevorin::platform
