// The per-caller session record and its result slots.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "core/context.h"
#include "core/text_block.h"
#include "mailbox/mailbox.h"
#include "smtp/sendmail.h"

struct MailSession {
    MailSession() : mailbox(ctx) { ctx.failure = &failure; }
    MailSession(const MailSession&) = delete;
    MailSession& operator=(const MailSession&) = delete;

    brevorin::FailureRecord failure;  // of the current (or last) call
    brevorin::Context ctx;
    brevorin::Mailbox mailbox;
    brevorin::SmtpLink smtp_link;  // after ctx: its connection borrows ctx
    std::array<brevorin::Block, brevorin::kResultSlots> results;
};

namespace brevorin {

// Returns the first empty slot filled with a block of size bytes, or null.
char* alloc_result_slot(MailSession* session, size_t size);
// Puts a block made elsewhere into the first empty slot and returns it; null
// (the block freed) when no slot is empty or the block is null.
char* adopt_result_slot(MailSession* session, Block block);
void reset_result_slots(MailSession* session);

// Writes "BREVORIN: <kL> message" to the host when the session traces.
void diag_print(const MailSession* session, char kind, int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

}  // namespace brevorin
