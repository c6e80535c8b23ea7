// The per-caller session record, result slots and diagnostics channel.
#pragma once

#include <array>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/tool_support.h"
#include "core/options.h"
#include "pop3/message_entry.h"

struct MailSession {
    int32_t socket = 0;  // -1 when there is none (0 right after creation)
    int32_t top_support = 0;
    int32_t logged_on = 0;
    int32_t trace = 0;
    int32_t charset = 0;
    int32_t text_encoding = 0;
    std::string host_version;
    int32_t message_count = 0;
    int32_t mailbox_octets = 0;
    std::vector<brevorin::MessageEntry> messages;
    std::array<std::unique_ptr<char[]>, 10> results;
    brevorin::SessionOptions options;
    brevorin::tool::ProgressHook progress;
};

namespace brevorin {

// Working-buffer sizes that callers can reach; the checks use these names.
constexpr int kLineCapacity = 2048;        // one received message line
constexpr int kReplyCapacity = 513;        // sock_read_line size for a status/reply line
constexpr int kCommandBuffer = 516;        // one formatted command
constexpr int kHeaderBlockCapacity = 32768;
constexpr int kBodyCapacity = 64000;
constexpr int kHostTextLimit = 10240;      // a text handed to the host
constexpr int kDiagLineSize = 1040;
constexpr int kResultSlots = 10;
constexpr char kEsc = '\x1b';

// Status codes (mirrors include/brevorin.h for internal use).
enum Status : int {
    kOk = 0,
    kRefused = -2,
    kLoggedOn = -3,
    kTimedOut = -4,
    kNoTable = -5,
    kTooBig = -6,
    kNoMessage = -7,
    kNotLoggedOn = -8,
    kNetwork = -9,
    kInvalid = -10,
    kCommandFailed = -11,
    kNoRecipient = -12,
    kAttachOpen = -13,
    kAttachEncode = -14,
    kStorage = -15,
    kHostLimit = -16,
};

// Session charset codes.
enum Charset : int {
    kUsAscii = 1,
    kLatin1 = 2,
    kLatin2 = 3,
    kCyrillic = 4,
    kArabic = 5,
    kGreek = 6,
    kHebrew = 7,
    kChinese = 8,
    kKorean = 10,
    kEuc = 12,
    kSjis = 13,
    kJis = 14,
};

// Maps a host character set name to the session charset code (1 for unknown).
int charset_from_host_name(const char* name);

// Returns the first empty slot filled with a block of size bytes, or null.
char* alloc_result_slot(MailSession* session, size_t size);
void reset_result_slots(MailSession* session);

// Writes "BREVORIN: <kL> message" to the host when the session traces.
void diag_print(const MailSession* session, char kind, int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// Host runtime services (see src/host).
// text_out receives a text value, cut to capacity - 1 bytes and terminated.
int host_get_setting(int number, char* text_out, size_t capacity);
void host_put_message(const char* text);

}  // namespace brevorin
