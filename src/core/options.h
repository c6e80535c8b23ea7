// Settings a caller may give a session through brevorin_setoption. Every
// default reproduces the library's behaviour from before options existed.
#pragma once

#include <string>

namespace brevorin {

enum class Security { kNone, kStartTls, kImplicitTls };
enum class Verify { kPeer, kNone };
// How POP3 and IMAP log on: the password in the protocol's own commands
// (USER/PASS, LOGIN), or a SASL mechanism.
enum class MailAuth { kPassword, kPlain, kXoauth2 };
enum class SmtpAuth { kNone, kPlain, kLogin, kXoauth2, kAuto };
enum class MimeMode { kClassic, kModern };
enum class Pipelining { kOff, kAuto };
enum class MessageIdMode { kNone, kAuto };
enum class TextFormat { kPlain, kHtml };
enum class MailProtocol { kPop3, kImap };

struct SessionOptions {
    Security security = Security::kNone;
    Verify verify = Verify::kPeer;
    std::string ca_file;
    MailAuth mail_auth = MailAuth::kPassword;
    SmtpAuth smtp_auth = SmtpAuth::kNone;
    std::string smtp_user;
    std::string smtp_password;
    bool allow_plaintext_auth = false;
    unsigned connect_timeout_s = 0;  // 0: wait as long as the system does
    unsigned timeout_s = 0;          // 0: no bound on a wait for the peer
    MimeMode mime = MimeMode::kClassic;
    Pipelining pipelining = Pipelining::kOff;
    MessageIdMode message_id = MessageIdMode::kNone;
    long list_from = 1;
    TextFormat text_format = TextFormat::kPlain;  // what the text of a sending is
    bool uidl = false;               // listing and header records name the server's UIDL
    unsigned logon_pause_ms = 3000;  // the pause after a USER/PASS logon
    MailProtocol protocol = MailProtocol::kPop3;  // how a logon reaches the mailbox
    std::string mailbox = "INBOX";                // the IMAP mailbox a logon opens
    bool read_only = false;                       // IMAP: EXAMINE rather than SELECT
    bool mark_seen = false;                       // IMAP: a fetch sets \Seen
    std::string helo_name;  // the name EHLO/HELO gives; empty: the machine's own
    unsigned smtp_keep_open_s = 0;  // 0: QUIT after each message; else idle seconds kept open
};

enum class OptionOutcome { kSet, kUnknownName, kBadValue };

// Applies one name/value pair; on failure nothing changes.
OptionOutcome apply_option(SessionOptions& options, const std::string& name,
                           const std::string& value);

// Whether a value of this option must never appear in a diagnostics line.
bool option_is_secret(const std::string& name);

}  // namespace brevorin
