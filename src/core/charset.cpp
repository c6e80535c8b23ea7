#include "core/charset.h"

#include <cstring>

namespace brevorin {

namespace {

constexpr CharsetInfo kCharsets[] = {
    {kUsAscii, "US-ASCII", "Content-Type: text/plain; charset=us-ascii", WordForm::kB,
     TextTransfer::kAsIs, "US-ASCII", 20127},
    {kLatin1, "ISO-8859-1", "Content-Type: text/plain; charset=iso-8859-1", WordForm::kQ,
     TextTransfer::kQuotedPrintable, "ISO-8859-1", 28591},
    {kLatin2, "ISO-8859-2", "Content-Type: text/plain; charset=iso-8859-2", WordForm::kQ,
     TextTransfer::kQuotedPrintable, "ISO-8859-2", 28592},
    {kCyrillic, "ISO-8859-5", "Content-Type: text/plain; charset=iso-8859-5", WordForm::kB,
     TextTransfer::kBase64If8bit, "ISO-8859-5", 28595},
    {kArabic, "ISO-8859-6", "Content-Type: text/plain; charset=iso-8859-6", WordForm::kB,
     TextTransfer::kBase64If8bit, "ISO-8859-6", 28596},
    {kGreek, "ISO-8859-7", "Content-Type: text/plain; charset=iso-8859-7", WordForm::kB,
     TextTransfer::kBase64If8bit, "ISO-8859-7", 28597},
    {kHebrew, "ISO-8859-8", "Content-Type: text/plain; charset=iso-8859-8", WordForm::kB,
     TextTransfer::kBase64If8bit, "ISO-8859-8", 28598},
    {kChinese, "CN-GB", "Content-Type: text/plain; charset=cn-gb", WordForm::kB,
     TextTransfer::kBase64If8bit, "GB2312", 936},
    {kKorean, "EUC-KR", "Content-Type: text/plain; charset=euc-kr", WordForm::kB,
     TextTransfer::kBase64If8bit, "EUC-KR", 949},
    {kEuc, "ISO-2022-JP", "Content-Type: text/plain; charset=iso-2022-jp", WordForm::kB,
     TextTransfer::kJis, "EUC-JP", 20932},
    {kSjis, "ISO-2022-JP", "Content-Type: text/plain; charset=iso-2022-jp", WordForm::kB,
     TextTransfer::kJis, "SHIFT_JIS", 932},
    {kUtf8, "UTF-8", "Content-Type: text/plain; charset=utf-8", WordForm::kB,
     TextTransfer::kUtf8, "UTF-8", 65001},
};

struct HostName {
    const char* name;
    int code;
};

constexpr HostName kHostNames[] = {
    {"LATIN1", kLatin1},   {"DEC", kLatin1},       {"CP1250", kLatin2},  {"LATIN2", kLatin2},
    {"CP1251", kCyrillic}, {"LATIN5", kCyrillic},  {"CP1256", kArabic},  {"CP1253", kGreek},
    {"LATIN7", kGreek},    {"CP1255", kHebrew},    {"GB2312", kChinese}, {"GB", kChinese},
    {"KSC5601", kKorean},  {"KSC", kKorean},       {"EUC", kEuc},        {"SJIS", kSjis},
    {"UTF8", kUtf8},       {"UTF-8", kUtf8},
};

// Names a received part may carry. Those with a session code are the ones
// the classic readers have always recognised (ISO-2022-CN and -KR are known but
// no session uses them); the others only tell the converters what to do.
constexpr MimeCharset kMimeNames[] = {
    {"US-ASCII", kUsAscii, "US-ASCII", 20127},
    {"ISO-8859-1", kLatin1, "ISO-8859-1", 28591},
    {"ISO-8859-2", kLatin2, "ISO-8859-2", 28592},
    {"ISO-8859-5", kCyrillic, "ISO-8859-5", 28595},
    {"ISO-8859-6", kArabic, "ISO-8859-6", 28596},
    {"ISO-8859-7", kGreek, "ISO-8859-7", 28597},
    {"ISO-8859-8", kHebrew, "ISO-8859-8", 28598},
    {"CN-GB", kChinese, "GB2312", 936},
    {"ISO-2022-CN", kChineseIso2022, "ISO-2022-CN", 0},
    {"EUC-KR", kKorean, "EUC-KR", 949},
    {"ISO-2022-KR", kKoreanIso2022, "ISO-2022-KR", 50225},
    {"ISO-2022-JP", kJis, "ISO-2022-JP", 50220},
    {"UTF-8", -1, "UTF-8", 65001},
    {"ISO-8859-3", -1, "ISO-8859-3", 28593},
    {"ISO-8859-4", -1, "ISO-8859-4", 28594},
    {"ISO-8859-9", -1, "ISO-8859-9", 28599},
    {"ISO-8859-13", -1, "ISO-8859-13", 28603},
    {"ISO-8859-15", -1, "ISO-8859-15", 28605},
    {"WINDOWS-1250", -1, "WINDOWS-1250", 1250},
    {"WINDOWS-1251", -1, "WINDOWS-1251", 1251},
    {"WINDOWS-1252", -1, "WINDOWS-1252", 1252},
    {"WINDOWS-1253", -1, "WINDOWS-1253", 1253},
    {"WINDOWS-1254", -1, "WINDOWS-1254", 1254},
    {"WINDOWS-1255", -1, "WINDOWS-1255", 1255},
    {"WINDOWS-1256", -1, "WINDOWS-1256", 1256},
    {"WINDOWS-1257", -1, "WINDOWS-1257", 1257},
    {"KOI8-R", -1, "KOI8-R", 20866},
    {"KOI8-U", -1, "KOI8-U", 21866},
    {"GB2312", -1, "GB2312", 936},
    {"GBK", -1, "GBK", 936},
    {"GB18030", -1, "GB18030", 54936},
    {"BIG5", -1, "BIG5", 950},
    {"EUC-JP", -1, "EUC-JP", 20932},
    {"SHIFT_JIS", -1, "SHIFT_JIS", 932},
    {"WINDOWS-31J", -1, "CP932", 932},
};

}  // namespace

const CharsetInfo& charset_info(int code) {
    for (const auto& row : kCharsets)
        if (row.code == code) return row;
    return kCharsets[0];
}

std::string host_charset_names() {
    std::string names;
    for (const HostName& h : kHostNames) {
        if (!names.empty()) names += ' ';
        names += h.name;
    }
    return names;
}

int charset_from_host_name(const char* name) {
    if (name == nullptr) return kUsAscii;
    for (const auto& entry : kHostNames)
        if (std::strcmp(entry.name, name) == 0) return entry.code;
    return kUsAscii;
}

int charset_from_mime_name(const std::string& upper_token) {
    const MimeCharset* row = mime_charset(upper_token);
    return row != nullptr ? row->code : -1;
}

const char* mime_name_of_code(int code) {
    for (const auto& row : kMimeNames)
        if (row.code == code) return row.mime_name;
    return nullptr;
}

const char* modern_mime_name(int code) {
    return code == kChinese ? "GB2312" : charset_info(code).mime_name;
}

const MimeCharset* mime_charset(const std::string& upper_token) {
    for (const auto& row : kMimeNames)
        if (upper_token == row.mime_name) return &row;
    return nullptr;
}

}  // namespace brevorin
