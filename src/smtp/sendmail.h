// The sending worker and the SMTP dialogue.
#pragma once

#include <cstdint>
#include <memory>

#include "core/context.h"
#include "net/connection.h"
#include "smtp/dialogue.h"

namespace brevorin {

// A connection a sending left open for the session's next one (the option
// smtp_keep_open). It belongs to the session: no thread watches it, so a
// server that gave up on it meanwhile is only noticed at the next use.
struct SmtpLink {
    std::unique_ptr<Connection> connection;  // null: nothing kept
    SmtpOffer offer;
    uint64_t fingerprint = 0;  // server, port and every setting the opening depended on
    bool needs_reset = false;  // the last transaction failed part-way
    uint64_t idle_since_ms = 0;
};

// What a kept connection was opened for: the server's name and port and
// the settings its opening used. The password takes part only through this
// hash, so the link keeps no copy of it.
uint64_t link_fingerprint(const std::string& host, int port, const SessionOptions& options);

// Whether the server ended a connection (or said something, such as a 421)
// while it was idle: anything readable before a command was sent.
bool closed_while_idle(Connection& connection);

// Ends a kept connection with QUIT when the server still listens, and
// forgets it. Nothing when no connection is kept.
void close_smtp_link(SmtpLink& link);

// Sends one message. With a link and smtp_keep_open set, the connection
// the link keeps is used when it fits, and kept afterwards; otherwise the
// sending opens its own connection and ends it with QUIT.
int send_mail(const char* server, const char* header_list, const char* text,
              const char* attachment_list, int max_size, const Context& ctx,
              SmtpLink* link = nullptr);

}  // namespace brevorin
