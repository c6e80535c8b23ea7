// The SASL exchange (RFC 4422) behind POP3 AUTH, IMAP AUTHENTICATE and SMTP
// AUTH: what each mechanism sends and in which order the lines go. A
// protocol supplies its command line, how it sends a line and reads an
// answer, and what its answers mean.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brevorin::sasl {

enum class Mechanism { kPlain, kLogin, kXoauth2 };

// "PLAIN", "LOGIN", "XOAUTH2".
const char* name(Mechanism mechanism);

// The responses a mechanism sends, in order and before base64: one for
// PLAIN and XOAUTH2, the user and then the password for LOGIN. The caller
// wipes them.
std::vector<std::string> responses(Mechanism mechanism, std::string_view user,
                                   std::string_view password);

// What the server made of a line.
enum class Answer {
    kContinue,  // a continuation request: it waits for the next response
    kFinal,     // anything else; the peer keeps it for the verdict
    kLost,      // nothing could be read
};

// How an exchange ended; the peer holds the last answer read.
enum class Outcome {
    kAnswered,    // the server answered the command or the responses
    kChallenged,  // it challenged the responses, was answered empty and has
                  // given its verdict (POP3 and IMAP take any as a refusal)
    kLost,        // a line did not go out or no answer came
};

// One protocol's side of the exchange.
class Peer {
  public:
    virtual ~Peer() = default;
    // The command that opens the exchange, without CR LF.
    virtual std::string command(const char* mechanism) = 0;
    // Longest opening line (CR LF included) that may carry the initial
    // response; 0 when the server takes none there.
    virtual size_t initial_response_limit() const = 0;
    // Sends one line, CR LF included: true when all of it went out.
    virtual bool send(const std::string& line) = 0;
    // The next line sent carries a response from byte from on; a peer with
    // a transcript hides it (Connection::conceal_next).
    virtual void conceal_next(size_t from) { (void)from; }
    // Reads the answer to the command or to a response.
    virtual Answer read() = 0;
    // Reads the verdict that follows the empty answer to a challenge.
    virtual Answer read_verdict() { return read(); }
    // Reports the challenge just read, before it is answered.
    virtual void challenged() = 0;
};

// Runs one exchange. Every response travels in base64, on the command line
// when the mechanism and the peer allow it and the line fits, otherwise
// after a continuation request; a continuation after the last response is
// a challenge (XOAUTH2's error report) and gets the empty answer that ends
// the exchange. Each buffer that held a secret is wiped.
Outcome run(Peer& peer, Mechanism mechanism, std::string_view user, std::string_view password);

}  // namespace brevorin::sasl
