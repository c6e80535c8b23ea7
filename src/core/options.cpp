#include "core/options.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace brevorin {

namespace {

template <typename E>
struct Choice {
    const char* word;
    E value;
};

template <typename E, size_t N>
bool pick(const Choice<E> (&choices)[N], const std::string& value, E& out) {
    for (const auto& c : choices) {
        if (value == c.word) {
            out = c.value;
            return true;
        }
    }
    return false;
}

// Whole token of decimal digits, no sign, within [min, max].
bool parse_count(const std::string& value, long min, long max, long& out) {
    if (value.empty() || value.size() > 10) return false;
    for (char c : value)
        if (c < '0' || c > '9') return false;
    errno = 0;
    long parsed = std::strtol(value.c_str(), nullptr, 10);
    if (errno != 0 || parsed < min || parsed > max) return false;
    out = parsed;
    return true;
}

constexpr long kMaxTimeoutSeconds = 24L * 3600;

}  // namespace

OptionOutcome apply_option(SessionOptions& options, const std::string& name,
                           const std::string& value) {
    static constexpr Choice<Security> kSecurity[] = {{"none", Security::kNone},
                                                     {"starttls", Security::kStartTls},
                                                     {"tls", Security::kImplicitTls}};
    static constexpr Choice<Verify> kVerify[] = {{"peer", Verify::kPeer}, {"none", Verify::kNone}};
    static constexpr Choice<bool> kYesNo[] = {{"no", false}, {"yes", true}};
    static constexpr Choice<MimeMode> kMime[] = {{"classic", MimeMode::kClassic},
                                                 {"modern", MimeMode::kModern}};
    static constexpr Choice<Pipelining> kPipelining[] = {{"off", Pipelining::kOff},
                                                         {"auto", Pipelining::kAuto}};
    static constexpr Choice<MessageIdMode> kMessageId[] = {{"none", MessageIdMode::kNone},
                                                           {"auto", MessageIdMode::kAuto}};
    static constexpr Choice<MailProtocol> kProtocol[] = {{"pop3", MailProtocol::kPop3},
                                                         {"imap", MailProtocol::kImap}};
    static constexpr Choice<TextFormat> kTextFormat[] = {{"plain", TextFormat::kPlain},
                                                         {"html", TextFormat::kHtml}};
    // "auth" names one mechanism for each protocol; a word that only one of
    // them knows leaves the other at its default.
    struct AuthWord {
        const char* word;
        MailAuth mail;
        SmtpAuth smtp;
    };
    static constexpr AuthWord kAuth[] = {
        {"user", MailAuth::kPassword, SmtpAuth::kNone},
        {"none", MailAuth::kPassword, SmtpAuth::kNone},
        {"plain", MailAuth::kPlain, SmtpAuth::kPlain},
        {"login", MailAuth::kPassword, SmtpAuth::kLogin},
        {"xoauth2", MailAuth::kXoauth2, SmtpAuth::kXoauth2},
        {"auto", MailAuth::kPassword, SmtpAuth::kAuto},
    };

    SessionOptions next = options;
    bool ok = true;
    if (name == "security") {
        ok = pick(kSecurity, value, next.security);
    } else if (name == "verify") {
        ok = pick(kVerify, value, next.verify);
    } else if (name == "ca_file") {
        next.ca_file = value;
    } else if (name == "auth") {
        ok = false;
        for (const auto& a : kAuth) {
            if (value == a.word) {
                next.mail_auth = a.mail;
                next.smtp_auth = a.smtp;
                ok = true;
            }
        }
    } else if (name == "smtp_user") {
        ok = value.find_first_of("\r\n") == std::string::npos;
        next.smtp_user = value;
    } else if (name == "smtp_password") {
        ok = value.find_first_of("\r\n") == std::string::npos;
        next.smtp_password = value;
    } else if (name == "allow_plaintext_auth") {
        ok = pick(kYesNo, value, next.allow_plaintext_auth);
    } else if (name == "connect_timeout" || name == "timeout") {
        long seconds = 0;
        ok = parse_count(value, 0, kMaxTimeoutSeconds, seconds);
        (name == "timeout" ? next.timeout_s : next.connect_timeout_s) =
            static_cast<unsigned>(seconds);
    } else if (name == "mime") {
        ok = pick(kMime, value, next.mime);
    } else if (name == "pipelining") {
        ok = pick(kPipelining, value, next.pipelining);
    } else if (name == "message_id") {
        ok = pick(kMessageId, value, next.message_id);
    } else if (name == "text_format") {
        ok = pick(kTextFormat, value, next.text_format);
    } else if (name == "logon_pause") {
        long ms = 0;
        ok = parse_count(value, 0, 60000, ms);
        next.logon_pause_ms = static_cast<unsigned>(ms);
    } else if (name == "uidl") {
        ok = pick(kYesNo, value, next.uidl);
    } else if (name == "protocol") {
        ok = pick(kProtocol, value, next.protocol);
    } else if (name == "mailbox") {
        ok = !value.empty() && value.find_first_of("\r\n") == std::string::npos;
        next.mailbox = value;
    } else if (name == "read_only") {
        ok = pick(kYesNo, value, next.read_only);
    } else if (name == "mark_seen") {
        ok = pick(kYesNo, value, next.mark_seen);
    } else if (name == "helo_name") {
        // One word of a command line: a space or control would start another.
        ok = !value.empty() && value.size() <= 255;
        for (char c : value) ok = ok && static_cast<unsigned char>(c) > ' ' && c != '\x7f';
        next.helo_name = value;
    } else if (name == "smtp_keep_open") {
        long seconds = 0;
        ok = parse_count(value, 0, kMaxTimeoutSeconds, seconds);
        next.smtp_keep_open_s = static_cast<unsigned>(seconds);
    } else if (name == "list_from") {
        ok = parse_count(value, 1, 2147483647L, next.list_from);
    } else {
        return OptionOutcome::kUnknownName;
    }
    if (!ok) return OptionOutcome::kBadValue;
    options = std::move(next);
    return OptionOutcome::kSet;
}

bool option_is_secret(const std::string& name) {
    return name == "smtp_password";
}

}  // namespace brevorin
