#include "core/charset.h"

#include <cstring>

namespace brevorin {

namespace {

constexpr CharsetInfo kCharsets[] = {
    {kUsAscii, "US-ASCII", "Content-Type: text/plain; charset=us-ascii", WordForm::kB,
     TextTransfer::kAsIs},
    {kLatin1, "ISO-8859-1", "Content-Type: text/plain; charset=iso-8859-1", WordForm::kQ,
     TextTransfer::kQuotedPrintable},
    {kLatin2, "ISO-8859-2", "Content-Type: text/plain; charset=iso-8859-2", WordForm::kQ,
     TextTransfer::kQuotedPrintable},
    {kCyrillic, "ISO-8859-5", "Content-Type: text/plain; charset=iso-8859-5", WordForm::kB,
     TextTransfer::kBase64If8bit},
    {kArabic, "ISO-8859-6", "Content-Type: text/plain; charset=iso-8859-6", WordForm::kB,
     TextTransfer::kBase64If8bit},
    {kGreek, "ISO-8859-7", "Content-Type: text/plain; charset=iso-8859-7", WordForm::kB,
     TextTransfer::kBase64If8bit},
    {kHebrew, "ISO-8859-8", "Content-Type: text/plain; charset=iso-8859-8", WordForm::kB,
     TextTransfer::kBase64If8bit},
    {kChinese, "CN-GB", "Content-Type: text/plain; charset=cn-gb", WordForm::kB,
     TextTransfer::kBase64If8bit},
    {kKorean, "EUC-KR", "Content-Type: text/plain; charset=euc-kr", WordForm::kB,
     TextTransfer::kBase64If8bit},
    {kEuc, "ISO-2022-JP", "Content-Type: text/plain; charset=iso-2022-jp", WordForm::kB,
     TextTransfer::kJis},
    {kSjis, "ISO-2022-JP", "Content-Type: text/plain; charset=iso-2022-jp", WordForm::kB,
     TextTransfer::kJis},
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
};

// Names a received part may carry; ISO-2022-CN and -KR are recognised but
// no session uses them.
struct MimeName {
    const char* name;
    int code;
};

constexpr MimeName kMimeNames[] = {
    {"US-ASCII", kUsAscii},   {"ISO-8859-1", kLatin1},          {"ISO-8859-2", kLatin2},
    {"ISO-8859-5", kCyrillic}, {"ISO-8859-6", kArabic},         {"ISO-8859-7", kGreek},
    {"ISO-8859-8", kHebrew},  {"CN-GB", kChinese},              {"ISO-2022-CN", kChineseIso2022},
    {"EUC-KR", kKorean},      {"ISO-2022-KR", kKoreanIso2022},  {"ISO-2022-JP", kJis},
};

}  // namespace

const CharsetInfo& charset_info(int code) {
    for (const auto& row : kCharsets)
        if (row.code == code) return row;
    return kCharsets[0];
}

int charset_from_host_name(const char* name) {
    if (name == nullptr) return kUsAscii;
    for (const auto& entry : kHostNames)
        if (std::strcmp(entry.name, name) == 0) return entry.code;
    return kUsAscii;
}

int charset_from_mime_name(const std::string& upper_token) {
    for (const auto& row : kMimeNames)
        if (upper_token == row.name) return row.code;
    return -1;
}

}  // namespace brevorin
