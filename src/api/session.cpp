#include "api/session.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace brevorin {

namespace {

struct CharsetName {
    const char* name;
    int code;
};

constexpr CharsetName kCharsetNames[] = {
    {"LATIN1", kLatin1}, {"DEC", kLatin1},       {"CP1250", kLatin2},  {"LATIN2", kLatin2},
    {"CP1251", kCyrillic}, {"LATIN5", kCyrillic}, {"CP1256", kArabic},  {"CP1253", kGreek},
    {"LATIN7", kGreek},  {"CP1255", kHebrew},    {"GB2312", kChinese}, {"GB", kChinese},
    {"KSC5601", kKorean}, {"KSC", kKorean},      {"EUC", kEuc},        {"SJIS", kSjis},
};

}  // namespace

int charset_from_host_name(const char* name) {
    if (name == nullptr) return kUsAscii;
    for (const auto& entry : kCharsetNames) {
        if (std::strcmp(entry.name, name) == 0) return entry.code;
    }
    return kUsAscii;
}

char* alloc_result_slot(MailSession* session, size_t size) {
    for (auto& slot : session->results) {
        if (!slot) {
            try {
                slot = std::make_unique<char[]>(size);
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
            return slot.get();
        }
    }
    return nullptr;
}

void reset_result_slots(MailSession* session) {
    for (auto& slot : session->results) slot.reset();
}

void diag_print(const MailSession* session, char kind, int level, const char* format, ...) {
    if (session == nullptr || session->trace == 0 || level < 0 || level > 9) return;
    char line[kDiagLineSize];
    // The prefix is always 15 characters: "BREVORIN: <" kind digit "> ".
    std::snprintf(line, sizeof line, "BREVORIN: <%c%d> ", kind, level);
    constexpr size_t kPrefix = 15;
    va_list args;
    va_start(args, format);
    // vsnprintf cuts an over-long message at the line's size.
    std::vsnprintf(line + kPrefix, sizeof line - kPrefix, format, args);
    va_end(args);
    host_put_message(line);
}

}  // namespace brevorin
