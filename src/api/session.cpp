#include "api/session.h"

#include <cstdarg>
#include <cstdio>
#include <new>

namespace brevorin {

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
    if (session == nullptr || !session->ctx.diag.enabled() || level < 0 || level > 9) return;
    char text[kDiagLineSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    session->ctx.diag.print(kind, level, "%s", text);
}

}  // namespace brevorin
