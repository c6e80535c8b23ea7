#include "smtp/dialogue.h"

#include <cstdlib>
#include <cstring>

#include "core/text.h"
#include "net/reply.h"
#include "net/sasl.h"
#include "net/secure.h"
#include "platform/sockets.h"
#include "smtp/compose.h"

namespace brevorin {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// An SMTP reply line is a code, '-' when more lines follow, and text.
class SmtpProtocol final : public ReplyProtocol {
  public:
    SmtpProtocol(const Context& ctx, SmtpReply& reply) : ctx_(ctx), reply_(reply) {}

    LineVerdict take(const std::string& line) override {
        if (line.empty() || !is_digit(line[0])) return LineVerdict::kMalformed;
        size_t p = 0;
        while (p < line.size() && is_digit(line[p])) ++p;
        reply_.code = parse_int_like_atoi(line.substr(0, p).c_str());
        bool more = p < line.size() && line[p] == '-';
        if (p < line.size()) ++p;
        reply_.text = line.substr(p);
        reply_.last_length = static_cast<int>(line.size());
        reply_.lines.push_back(reply_.text);
        reply_.codes.push_back(reply_.code);
        reply_.lengths.push_back(reply_.last_length);
        ctx_.diag.print('D', 0, "SMTP_READLINE: Code: %d, received buffer: %s", reply_.code,
                        reply_.text.c_str());
        return more ? LineVerdict::kContinues : LineVerdict::kFinal;
    }

  private:
    const Context& ctx_;
    SmtpReply& reply_;
};

}  // namespace

ReplyStatus read_smtp_reply(Connection& connection, const Context& ctx, SmtpReply& reply) {
    reply = SmtpReply{};
    SmtpProtocol protocol(ctx, reply);
    switch (read_reply(connection, protocol)) {
        case ReplyRead::kComplete:
            return ReplyStatus::kOk;
        case ReplyRead::kMalformed:
            // POP3 takes such a line for a refusal; to SMTP it is no reply.
            ctx.note_failure(Failure::kReply);
            return ReplyStatus::kMalformed;
        case ReplyRead::kTooLong:
            ctx.diag.print('E', 1, "SMTP_READLINE: Reply longer than %d lines", kMaxReplyLines);
            connection.abandon();
            return ReplyStatus::kFailed;
        case ReplyRead::kFailed:
            break;
    }
    ctx.diag.print('E', 1, "SMTP_READLINE: Error in reading socket: %d", connection.failure_code());
    return ReplyStatus::kFailed;
}

std::string local_host_name() {
    char name[kReplyCapacity + 1] = {};
    if (platform::socket_api().gethostname(name, kReplyCapacity) != 0) return kFallbackHeloName;
    name[kReplyCapacity] = '\0';
    size_t length = std::strlen(name);
    if (length == 0 || length > kMaxHeloNameLength || std::strpbrk(name, "\r\n") != nullptr)
        return kFallbackHeloName;
    return name;
}

std::optional<std::string> address_command(const char* verb, const char* address, size_t max_length,
                                           const std::string& parameters) {
    if (address == nullptr || std::strlen(address) > max_length) return std::nullopt;
    return std::string(verb) + address + ">" + parameters + "\r\n";
}

namespace {

// A reply's code judged for a step: what success is there, and what a
// refusal or storage shortage looks like. Any other code is no answer to
// the command at all, and the dialogue is broken.
enum class Step { kMailFrom, kRcptTo, kData, kMessage };

// Commands of a pipelined envelope written before their replies are read.
constexpr size_t kPipelineWindow = 64;

// The diagnostics lines of the one-at-a-time dialogue, for each step.
const char* written_format(Step step) {
    switch (step) {
        case Step::kMailFrom:
            return "SMTP_FROM: Written from command, status: %d";
        case Step::kRcptTo:
            return "SMTP_TO Written to command, status: %d";
        default:
            return "SMTP_DATE: Written data command, status = %d";
    }
}

const char* reply_format(Step step) {
    switch (step) {
        case Step::kMailFrom:
            return "SENDMAIL: Got reply on MAIL FROM command, code: %d, reply: %s, status = %d";
        case Step::kRcptTo:
            return "SENDMAIL: Got reply on rcpt to command, code: %d, reply: %s, status = %d";
        default:
            return "SENDMAIL: Got reply on send command, code: %d, reply: %s, status = %d";
    }
}

int judge(Step step, int code) {
    bool success = step == Step::kData ? code == 354 : code >= 200 && code <= 299;
    if (success) return kOk;
    if (step != Step::kMailFrom && step != Step::kData && (code == 452 || code == 552))
        return kStorage;
    if (code >= 400 && code <= 599) return kRefused;
    return kNetwork;
}

// AUTH with the initial response on its line (RFC 4954) when it fits, or
// AUTH alone and the response after the server's 334.
class SmtpSasl : public sasl::Peer {
  public:
    SmtpSasl(Connection& connection, const Context& ctx, SmtpReply& reply)
        : conn_(connection), ctx_(ctx), reply_(reply) {}
    std::string command(const char* mechanism) override { return std::string("AUTH ") + mechanism; }
    size_t initial_response_limit() const override { return kMaxInitialResponseLine; }
    bool send(const std::string& line) override { return send_command(conn_, line); }
    void conceal_next(size_t from) override { conn_.conceal_next(from); }
    sasl::Answer read() override {
        if (read_smtp_reply(conn_, ctx_, reply_) != ReplyStatus::kOk) return sasl::Answer::kLost;
        return reply_.code == 334 ? sasl::Answer::kContinue : sasl::Answer::kFinal;
    }
    void challenged() override {
        ctx_.diag.print('D', 0, "SENDMAIL: AUTH challenge: %s", reply_.text.c_str());
    }

  private:
    Connection& conn_;
    const Context& ctx_;
    SmtpReply& reply_;
};

class SmtpDialogue {
  public:
    SmtpDialogue(Connection& connection, const Context& ctx, SmtpOffer& offer, bool keep = false)
        : conn_(connection), ctx_(ctx), offer_(offer), keep_(keep) {}

    int greeting() {
        SmtpReply reply;
        if (read_smtp_reply(conn_, ctx_, reply) != ReplyStatus::kOk) return kNetwork;
        // Every line of the greeting must say 220, not only the last.
        for (size_t n = 0; n < reply.codes.size(); ++n) {
            if (reply.codes[n] != 220) {
                ctx_.note_failure(Failure::kReply);
                return kNetwork;
            }
            ctx_.diag.print(
                'D', 0, "SENDMAIL: Parsed response from server, code: %d, status: %d, response: %s",
                220, reply.lengths[n], reply.lines[n].c_str());
        }
        return kOk;
    }

    int helo() {
        std::string line = "HELO " + helo_name(ctx_) + "\r\n";
        ctx_.diag.print('D', 1, "SMTP_HELO: HELO buffer: %s", line.c_str());
        int result = -1;
        SmtpReply reply;
        if (send_command(conn_, line) && read_smtp_reply(conn_, ctx_, reply) == ReplyStatus::kOk) {
            ctx_.diag.print(
                'D', 0,
                "SMTP_HELO: Parsed response from server, code: %d, status: %d, response: %s",
                reply.code, reply.last_length, reply.text.c_str());
            result = reply.code == 250 ? 0 : -1;
        }
        ctx_.diag.print('F', 2, "SENDMAIL: Helo command done, status: %d", result);
        return result == 0 ? kOk : kNetwork;
    }

    // EHLO, keeping what the server offers.
    int ehlo() {
        std::string line = "EHLO " + helo_name(ctx_) + "\r\n";
        ctx_.diag.print('D', 1, "SMTP_EHLO: EHLO buffer: %s", line.c_str());
        SmtpReply reply;
        if (!send_command(conn_, line) || read_smtp_reply(conn_, ctx_, reply) != ReplyStatus::kOk ||
            reply.code != 250) {
            ctx_.diag.print('E', 1, "SENDMAIL: EHLO refused by the server");
            return kNetwork;
        }
        offer_.extensions.clear();
        for (size_t n = 1; n < reply.lines.size(); ++n) {
            std::string keyword = upper_case_copy(reply.lines[n]);
            while (!keyword.empty() && (keyword.back() == '\n' || keyword.back() == '\r'))
                keyword.pop_back();
            offer_.extensions.push_back(keyword);
        }
        return kOk;
    }

    bool offers(const std::string& keyword) const {
        return !extension(keyword).empty() || has(keyword);
    }

    int starttls(const std::string& host) {
        if (!has("STARTTLS")) {
            ctx_.diag.print('E', 1, "SENDMAIL: Server does not offer STARTTLS");
            ctx_.note_failure(Failure::kTls);
            return kNetwork;
        }
        SmtpReply reply;
        if (!send_command(conn_, "STARTTLS\r\n") ||
            read_smtp_reply(conn_, ctx_, reply) != ReplyStatus::kOk || reply.code != 220) {
            ctx_.diag.print('E', 1, "SENDMAIL: Server refused STARTTLS: %s", reply.text.c_str());
            ctx_.note_failure(Failure::kTls);
            return kNetwork;
        }
        if (!secure_connection(conn_, ctx_, host, "SENDMAIL")) return kNetwork;
        return ehlo();
    }

    int authenticate() {
        const SessionOptions& o = ctx_.options;
        SmtpAuth mechanism = o.smtp_auth;
        if (mechanism == SmtpAuth::kAuto) {
            if (offers_auth("PLAIN"))
                mechanism = SmtpAuth::kPlain;
            else if (offers_auth("LOGIN"))
                mechanism = SmtpAuth::kLogin;
            else {
                ctx_.diag.print('E', 1, "SENDMAIL: Server offers no usable AUTH mechanism");
                return kRefused;
            }
        }
        sasl::Mechanism chosen = sasl::Mechanism::kPlain;
        switch (mechanism) {
            case SmtpAuth::kPlain:
                break;
            case SmtpAuth::kLogin:
                chosen = sasl::Mechanism::kLogin;
                break;
            case SmtpAuth::kXoauth2:
                chosen = sasl::Mechanism::kXoauth2;
                break;
            case SmtpAuth::kNone:
            case SmtpAuth::kAuto:
                return kOk;
        }
        SmtpReply reply;
        SmtpSasl peer(conn_, ctx_, reply);
        if (sasl::run(peer, chosen, o.smtp_user, o.smtp_password) == sasl::Outcome::kLost)
            return kNetwork;
        if (reply.code != 235) {
            ctx_.diag.print('E', 1, "SENDMAIL: Authentication failed: %d %s", reply.code,
                            reply.text.c_str());
            if (reply.code >= 400 && reply.code <= 599) ctx_.note_failure(Failure::kAuth);
            return reply.code >= 400 && reply.code <= 599 ? kRefused : kNetwork;
        }
        ctx_.diag.print('F', 1, "SENDMAIL: Authenticated");
        return kOk;
    }

    // Writes an envelope command, reporting the write as the dialogue always
    // has: 0 when it went out whole, -1 for a failed write or an address
    // that does not fit the command buffer.
    int send_envelope(const char* verb, const std::string& address, size_t max_length,
                      const char* written_format, const char* done_format,
                      const std::string& parameters = "") {
        std::optional<std::string> line =
            address_command(verb, address.c_str(), max_length, parameters);
        int result = -1;
        if (line) {
            int length = static_cast<int>(line->size());
            int written = conn_.write(line->data(), length);
            ctx_.diag.print('F', 2, written_format, written);
            result = written == length ? 0 : -1;
        }
        ctx_.diag.print('F', 2, done_format, result);
        return result;
    }

    // The parameters of MAIL FROM under the modern rules: SIZE= where the
    // server states a limit (a message over it ends here, before any of it
    // is sent), SMTPUTF8 for an address that is not ASCII. kOk, or the
    // status that ends the sending.
    int mail_parameters(int64_t size, bool utf8_address) {
        mail_parameters_.clear();
        if (ctx_.options.mime != MimeMode::kModern) return kOk;
        if (offers("SIZE")) {
            std::string stated = extension("SIZE");
            long long limit = stated.size() > 5 ? std::atoll(stated.c_str() + 5) : 0;
            if (limit > 0 && size > limit) {
                ctx_.diag.print('E', 1,
                                "SENDMAIL: Message of about %lld bytes is larger than the server's "
                                "limit of %lld bytes",
                                static_cast<long long>(size), limit);
                return kOverSizeLimit;
            }
            mail_parameters_ += " SIZE=" + std::to_string(size);
        }
        if (utf8_address) {
            if (!has("SMTPUTF8")) {
                ctx_.diag.print('E', 1,
                                "SENDMAIL: Refused: an address is not ASCII and the server does "
                                "not offer SMTPUTF8");
                return kInvalid;
            }
            mail_parameters_ += " SMTPUTF8";
        }
        return kOk;
    }

    int mail_from(const HeaderList& headers) {
        if (send_envelope("MAIL FROM: <", headers.envelope_from, kMaxSenderLength,
                          "SMTP_FROM: Written from command, status: %d",
                          "SENDMAIL: From command done, status: %d", mail_parameters_) == -1)
            return kRefused;
        return verdict(
            Step::kMailFrom,
            "SENDMAIL: Got reply on MAIL FROM command, code: %d, reply: %s, status = %d");
    }

    int rcpt_to(const std::vector<std::string>& recipients) {
        for (const std::string& recipient : recipients) {
            if (send_envelope("RCPT TO: <", recipient, kMaxRecipientLength,
                              "SMTP_TO Written to command, status: %d",
                              "SENDMAIL: To command done, status: %d") == -1)
                return kRefused;
            int status =
                verdict(Step::kRcptTo,
                        "SENDMAIL: Got reply on rcpt to command, code: %d, reply: %s, status = %d");
            if (status != kOk) return status;
        }
        return kOk;
    }

    int data() {
        int written = conn_.write("DATA\r\n", 6);
        ctx_.diag.print('F', 2, "SMTP_DATE: Written data command, status = %d", written);
        int result = written == 6 ? 0 : -1;
        ctx_.diag.print('F', 2, "SENDMAIL: Data command done, status: %d", result);
        if (result == kAttachEncode) return kAttachEncode;
        if (result == -1) return kRefused;
        return verdict(Step::kData,
                       "SENDMAIL: Got reply on send command, code: %d, reply: %s, status = %d");
    }

    // MAIL FROM, every RCPT TO and DATA in one write (RFC 2920); the
    // replies are then judged in order, as the one-at-a-time dialogue does.
    // A long recipient list goes in windows, so that replies the server
    // cannot yet hand over never stop it from reading what follows.
    int envelope_pipelined(const HeaderList& headers, const std::vector<std::string>& recipients,
                           bool with_data = true) {
        std::optional<std::string> mail = address_command(
            "MAIL FROM: <", headers.envelope_from.c_str(), kMaxSenderLength, mail_parameters_);
        if (!mail) return kRefused;
        struct Command {
            std::string line;
            Step step;
        };
        std::vector<Command> commands{{std::move(*mail), Step::kMailFrom}};
        for (const std::string& recipient : recipients) {
            std::optional<std::string> line =
                address_command("RCPT TO: <", recipient.c_str(), kMaxRecipientLength);
            if (!line) return kRefused;
            commands.push_back({std::move(*line), Step::kRcptTo});
        }
        if (with_data) commands.push_back({"DATA\r\n", Step::kData});
        for (size_t first = 0; first < commands.size(); first += kPipelineWindow) {
            size_t end = std::min(commands.size(), first + kPipelineWindow);
            conn_.cork();
            bool ok = true;
            for (size_t n = first; n < end; ++n) {
                const std::string& line = commands[n].line;
                int written = conn_.write(line.data(), static_cast<int>(line.size()));
                ctx_.diag.print('F', 2, written_format(commands[n].step), written);
                ok = ok && written == static_cast<int>(line.size());
            }
            if (conn_.uncork() != 0 || !ok) return kRefused;
            for (size_t n = first; n < end; ++n) {
                int status = verdict(commands[n].step, reply_format(commands[n].step));
                if (status == kOk) continue;
                if (keep_ && after_ == LinkAfter::kNeedsReset) {
                    for (size_t owed = n + 1; owed < end; ++owed) drain(commands[owed].step);
                }
                return status;
            }
        }
        return kOk;
    }

    // A message whose length is known goes as one chunk (RFC 3030): no
    // stuffing, no end mark to scan for. With a single recipient MAIL, RCPT
    // and BDAT go with the message in one write, one round trip; a server
    // answers BDAT with an error after a refused MAIL or RCPT, so nothing is
    // delivered. With several, one refused recipient would not stop the
    // chunk reaching the others while the caller learns of a failure: their
    // replies are awaited first, as before DATA. sent tells whether bytes of
    // the message may have gone out.
    int chunked(const HeaderList& headers, const std::vector<std::string>& recipients,
                const std::string& message, bool& sent) {
        sent = false;
        std::string bdat = "BDAT " + std::to_string(message.size()) + " LAST\r\n";
        if (recipients.size() != 1) {
            int status = envelope_pipelined(headers, recipients, false);
            if (status != kOk) return status;
            conn_.cork();
            sent = true;
            if (!write_chunk(bdat, message)) return kRefused;
            return message_verdict();
        }
        std::optional<std::string> mail = address_command(
            "MAIL FROM: <", headers.envelope_from.c_str(), kMaxSenderLength, mail_parameters_);
        std::optional<std::string> rcpt =
            address_command("RCPT TO: <", recipients[0].c_str(), kMaxRecipientLength);
        if (!mail || !rcpt) return kRefused;
        conn_.cork();
        int written = conn_.write(mail->data(), static_cast<int>(mail->size()));
        ctx_.diag.print('F', 2, written_format(Step::kMailFrom), written);
        bool ok = written == static_cast<int>(mail->size());
        written = conn_.write(rcpt->data(), static_cast<int>(rcpt->size()));
        ctx_.diag.print('F', 2, written_format(Step::kRcptTo), written);
        ok = ok && written == static_cast<int>(rcpt->size());
        sent = true;
        if (!write_chunk(bdat, message) || !ok) return kRefused;
        int status = verdict(Step::kMailFrom, reply_format(Step::kMailFrom));
        if (status == kOk) {
            status = verdict(Step::kRcptTo, reply_format(Step::kRcptTo));
        } else if (after_ == LinkAfter::kNeedsReset) {
            drain(Step::kRcptTo);
        }
        if (status == kOk) return message_verdict();
        if (after_ == LinkAfter::kNeedsReset) drain(Step::kMessage);
        return status;
    }

    int message_verdict() {
        SmtpReply reply;
        after_ = LinkAfter::kUnusable;
        if (read_smtp_reply(conn_, ctx_, reply) != ReplyStatus::kOk) return kNetwork;
        int status = judged(Step::kMessage, reply.code);
        if (status == kRefused || status == kStorage) after_ = LinkAfter::kNeedsReset;
        if (status != kOk) return status;
        ctx_.diag.print('D', 0,
                        "SENDMAIL: Got reply on send command, code: %d, reply: %s, status = %d",
                        reply.code, reply.text.c_str(), reply.last_length);
        return kOk;
    }

    int quit() {
        if (!conn_.write_text("QUIT\r\n")) return kNetwork;
        ctx_.diag.print('F', 2, "SENDMAIL: Sent QUIT to server");
        SmtpReply reply;
        if (read_smtp_reply(conn_, ctx_, reply) != ReplyStatus::kOk) return kNetwork;
        ctx_.diag.print('D', 0, "SENDMAIL: Closing message: code: %d, message: %s", reply.code,
                        reply.text.c_str());
        return kOk;
    }

    // What the last failed step left the connection fit for.
    LinkAfter after() const { return after_; }

    int reset() {
        SmtpReply reply;
        if (!conn_.write_text("RSET\r\n") ||
            read_smtp_reply(conn_, ctx_, reply) != ReplyStatus::kOk)
            return kNetwork;
        ctx_.diag.print('D', 0, "SENDMAIL: Got reply on RSET command, code: %d, reply: %s",
                        reply.code, reply.text.c_str());
        return reply.code == 250 ? kOk : kNetwork;
    }

  private:
    // The BDAT command and its chunk on a corked connection, then the flush.
    bool write_chunk(const std::string& bdat, const std::string& message) {
        int written = conn_.write(bdat.data(), static_cast<int>(bdat.size()));
        ctx_.diag.print('F', 2, "SMTP_BDAT: Written bdat command, status = %d", written);
        bool ok = written == static_cast<int>(bdat.size());
        {
            PayloadScope payload(conn_);
            int length = static_cast<int>(message.size());
            ok = conn_.write(message.data(), length) == length && ok;
        }
        return conn_.uncork() == 0 && ok;
    }

    bool has(const std::string& keyword) const {
        for (const std::string& e : offer_.extensions)
            if (e == keyword) return true;
        return false;
    }
    std::string extension(const std::string& keyword) const {
        for (const std::string& e : offer_.extensions)
            if (e.compare(0, keyword.size() + 1, keyword + " ") == 0) return e;
        return std::string();
    }
    bool offers_auth(const std::string& mechanism) const {
        std::string line = " " + extension("AUTH") + " ";
        return line.find(" " + mechanism + " ") != std::string::npos;
    }

    int verdict(Step step, const char* format) {
        SmtpReply reply;
        after_ = LinkAfter::kUnusable;
        if (read_smtp_reply(conn_, ctx_, reply) != ReplyStatus::kOk) return kNetwork;
        ctx_.diag.print('D', 0, format, reply.code, reply.text.c_str(), reply.last_length);
        int status = judged(step, reply.code);
        if (status == kRefused || status == kStorage) after_ = LinkAfter::kNeedsReset;
        return status;
    }

    // Reads the reply to a pipelined command after an earlier one failed.
    // A DATA the server took leaves it waiting for a message that will not
    // come: only closing the connection ends that without delivering one.
    void drain(Step step) {
        SmtpReply reply;
        if (read_smtp_reply(conn_, ctx_, reply) != ReplyStatus::kOk ||
            (step == Step::kData && reply.code == 354) || judge(step, reply.code) == kNetwork)
            after_ = LinkAfter::kUnusable;
    }

    // A code that is neither success nor refusal is no answer to the
    // command: the caller learns that the server spoke, not that it vanished.
    int judged(Step step, int code) {
        int status = judge(step, code);
        if (status == kNetwork) ctx_.note_failure(Failure::kReply);
        return status;
    }

    Connection& conn_;
    const Context& ctx_;
    SmtpOffer& offer_;
    bool keep_;
    std::string mail_parameters_;
    LinkAfter after_ = LinkAfter::kUnusable;
};

}  // namespace

int open_dialogue(Connection& connection, const std::string& host, const Context& ctx,
                  SmtpOffer& offer) {
    offer = SmtpOffer{};
    SmtpDialogue dialogue(connection, ctx, offer);
    const SessionOptions& o = ctx.options;
    if (o.security == Security::kImplicitTls &&
        !secure_connection(connection, ctx, host, "SENDMAIL"))
        return kNetwork;
    int status = dialogue.greeting();
    if (status != kOk) return status;
    bool extended = o.security == Security::kStartTls || o.smtp_auth != SmtpAuth::kNone;
    // The modern rules greet with EHLO to learn SIZE and SMTPUTF8; a server
    // that does not know EHLO gets HELO, as for pipelining.
    if (!extended && o.pipelining == Pipelining::kOff && o.mime != MimeMode::kModern) {
        if ((status = dialogue.helo()) != kOk) return status;
    } else if (!extended) {
        // EHLO only to learn of PIPELINING: a server that does not know
        // EHLO gets HELO and the dialogue one command at a time.
        if (dialogue.ehlo() == kOk) {
            offer.pipelining = o.pipelining == Pipelining::kAuto && dialogue.offers("PIPELINING");
        } else if (!connection.is_open() || (status = dialogue.helo()) != kOk) {
            return kNetwork;
        }
    } else {
        if ((status = dialogue.ehlo()) != kOk) return status;
        if (o.security == Security::kStartTls && (status = dialogue.starttls(host)) != kOk)
            return status;
        if ((status = dialogue.authenticate()) != kOk) return status;
        offer.pipelining = o.pipelining == Pipelining::kAuto && dialogue.offers("PIPELINING");
    }
    offer.chunking = offer.pipelining && o.mime == MimeMode::kModern && dialogue.offers("CHUNKING");
    return kOk;
}

TransactionOutcome run_transaction(Connection& connection, const SmtpOffer& offer,
                                   const HeaderList& headers,
                                   const std::vector<std::string>& recipients,
                                   const OutgoingText& text, AttachmentList& attachments,
                                   const Context& ctx, bool keep) {
    SmtpOffer known = offer;
    SmtpDialogue dialogue(connection, ctx, known, keep);
    TransactionOutcome outcome;
    auto failed = [&](int status) {
        outcome.status = status;
        outcome.after = dialogue.after();
        return outcome;
    };
    bool utf8_address = has_8bit(headers.envelope_from);
    for (const std::string& r : recipients) utf8_address = utf8_address || has_8bit(r);
    int status = dialogue.mail_parameters(text.size_estimate, utf8_address);
    if (status != kOk) {
        // Nothing of this message went out: the connection stays as it was.
        if (!keep) dialogue.quit();
        outcome.status = status;
        outcome.after = LinkAfter::kClean;
        return outcome;
    }
    // Composed into memory only up to a bound; a larger message streams
    // through DATA.
    if (keep && offer.chunking && text.size_estimate <= kChunkedMessageLimit) {
        std::string message;
        int composed = compose_message(headers, text, attachments, ctx, message);
        ctx.diag.print('F', 2, "SENDMAIL: Composed message of %lld bytes, status: %d",
                       static_cast<long long>(message.size()), composed);
        // Nothing went out yet: the connection is as clean as it was.
        if (composed != 0) {
            outcome.status = composed == kAttachEncode ? kAttachEncode : kRefused;
            outcome.after = LinkAfter::kClean;
            return outcome;
        }
        status = dialogue.chunked(headers, recipients, message, outcome.data_started);
        if (status != kOk) return failed(status);
        outcome.after = LinkAfter::kClean;
        return outcome;
    }
    if (offer.pipelining) {
        if ((status = dialogue.envelope_pipelined(headers, recipients)) != kOk)
            return failed(status);
    } else {
        if ((status = dialogue.mail_from(headers)) != kOk) return failed(status);
        if ((status = dialogue.rcpt_to(recipients)) != kOk) return failed(status);
        if ((status = dialogue.data()) != kOk) return failed(status);
    }
    outcome.data_started = true;
    int result;
    {
        PayloadScope payload(connection);
        result = put_message(connection, headers, text, attachments, ctx);
    }
    ctx.diag.print('F', 2, "SENDMAIL: Putmessage command done, status: %d", result);
    if (result == kAttachEncode) return failed(kAttachEncode);
    if (result == -1) return failed(kRefused);
    if ((status = dialogue.message_verdict()) != kOk) return failed(status);
    outcome.after = LinkAfter::kClean;
    outcome.status = keep ? kOk : dialogue.quit();
    return outcome;
}

bool reset_dialogue(Connection& connection, const Context& ctx) {
    SmtpOffer none;
    return SmtpDialogue(connection, ctx, none).reset() == kOk;
}

int quit_dialogue(Connection& connection, const Context& ctx) {
    SmtpOffer none;
    return SmtpDialogue(connection, ctx, none).quit();
}

int run_dialogue(Connection& connection, const std::string& host, const HeaderList& headers,
                 const std::vector<std::string>& recipients, const OutgoingText& text,
                 AttachmentList& attachments, const Context& ctx) {
    SmtpOffer offer;
    int status = open_dialogue(connection, host, ctx, offer);
    if (status != kOk) return status;
    return run_transaction(connection, offer, headers, recipients, text, attachments, ctx, false)
        .status;
}

}  // namespace brevorin
