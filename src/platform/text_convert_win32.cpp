#include "platform/text_convert.h"

#include <windows.h>

#include <vector>

namespace brevorin::platform {

namespace {

constexpr unsigned kUtf8CodePage = 65001;
constexpr wchar_t kReplacement = 0xFFFD;

bool known(unsigned code_page) { return code_page != 0 && IsValidCodePage(code_page); }

}  // namespace

Converted convert_text(const TextEncoding& from, const TextEncoding& to, std::string_view in,
                       std::string& out) {
    if (!known(from.code_page) || !known(to.code_page)) return Converted::kUnsupported;
    if (in.empty()) {
        out.clear();
        return Converted::kExact;
    }
    const int length = static_cast<int>(in.size());
    bool lossy = false;
    // Malformed input is found by a strict pass; the lenient one then gives
    // U+FFFD (or the code page's default) for what could not be read.
    int wide_length = MultiByteToWideChar(from.code_page, MB_ERR_INVALID_CHARS, in.data(), length,
                                          nullptr, 0);
    DWORD flags = MB_ERR_INVALID_CHARS;
    if (wide_length == 0) {
        // Some code pages (ISO-2022, 5xxxx) take no flags at all.
        flags = 0;
        lossy = GetLastError() == ERROR_NO_UNICODE_TRANSLATION;
        wide_length = MultiByteToWideChar(from.code_page, 0, in.data(), length, nullptr, 0);
        if (wide_length == 0) return Converted::kUnsupported;
    }
    std::vector<wchar_t> wide(static_cast<size_t>(wide_length));
    if (MultiByteToWideChar(from.code_page, flags, in.data(), length, wide.data(), wide_length) == 0)
        return Converted::kUnsupported;
    for (wchar_t& c : wide) {
        if (c == kReplacement) {
            c = L'?';
            lossy = true;
        }
    }
    // UTF-8 takes neither a default character nor the flag that reports it.
    BOOL used_default = FALSE;
    const bool to_utf8 = to.code_page == kUtf8CodePage;
    BOOL* report = to_utf8 ? nullptr : &used_default;
    const char* fallback = to_utf8 ? nullptr : "?";
    // Without this flag Windows puts a look-alike ("-" for an en dash) where
    // the target lacks a character, and nobody learns of the loss. The
    // stateful code pages (5xxxx) take no flags.
    DWORD narrow_flags = to_utf8 || to.code_page >= 50000 ? 0 : WC_NO_BEST_FIT_CHARS;
    int narrow_length = WideCharToMultiByte(to.code_page, narrow_flags, wide.data(), wide_length, nullptr, 0,
                                            fallback, report);
    if (narrow_length == 0) return Converted::kUnsupported;
    std::string result(static_cast<size_t>(narrow_length), '\0');
    used_default = FALSE;
    if (WideCharToMultiByte(to.code_page, narrow_flags, wide.data(), wide_length, &result[0], narrow_length,
                            fallback, report) == 0)
        return Converted::kUnsupported;
    if (used_default) lossy = true;
    out = std::move(result);
    return lossy ? Converted::kLossy : Converted::kExact;
}

}  // namespace brevorin::platform
