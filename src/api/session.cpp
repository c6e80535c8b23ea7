#include "api/session.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace brevorin {

char* alloc_result_slot(MailSession* session, size_t size) {
    Block block(static_cast<char*>(std::calloc(size, 1)));
    if (!block) return nullptr;
    return adopt_result_slot(session, std::move(block));
}

char* adopt_result_slot(MailSession* session, Block block) {
    if (!block) return nullptr;
    for (auto& slot : session->results) {
        if (!slot) {
            slot = std::move(block);
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
