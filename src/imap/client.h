// The IMAP dialogue on a mailbox's connection: tagged commands, their
// completions, and the untagged responses a server may send at any time
// (EXISTS, EXPUNGE, FETCH, capabilities, BYE), kept in the visit's state.
#pragma once

#include <cstdint>
#include <string>

#include "imap/response.h"
#include "imap/visit.h"
#include "mailbox/mailbox.h"

namespace brevorin::imap {

enum class Completion { kOk, kNo, kBad, kContinue, kFailed };

// kTaken: read to its line end, and one the command asked for; kUnasked:
// read to its line end, but one the command did not ask for (it counts
// towards the bound on unsolicited responses).
enum class Handled { kTaken, kUnasked, kNotMine, kFailed };

// What one command makes of the untagged responses meant for it.
class Responses {
  public:
    virtual ~Responses() = default;
    // "* [number] word ...", read up to and including the word (upper
    // case). kTaken: the response was read to its line end.
    virtual Handled take(ResponseReader& reader, bool numbered, uint64_t number,
                         const std::string& word) = 0;
};

enum class Greeting { kOk, kPreauth, kBye, kFailed };

class Client {
  public:
    Client(Mailbox& box, ImapVisit& visit)
        : box_(box), visit_(visit), pieces_(box.connection), reader_(pieces_) {}

    // The next command's tag.
    std::string new_tag();
    // Sends "tag command" (CR LF added), or only queues it while the
    // connection is corked; the tag, or empty when the write failed.
    std::string send(const std::string& command);
    // Reads responses up to the completion of tag. Untagged ones go to
    // responses first; text receives the completion's text. kContinue: a
    // continuation request came (text holds it), and the caller answers.
    Completion finish(const std::string& tag, Responses* responses = nullptr,
                      std::string* text = nullptr);
    Completion run(const std::string& command, Responses* responses = nullptr,
                   std::string* text = nullptr);
    // Sends the rest of a command after a continuation request.
    bool send_more(const std::string& data);

    Greeting greeting(std::string& text);
    // CAPABILITY, unless the visit knows them.
    bool learn_capabilities();

    ResponseReader& reader() { return reader_; }
    Mailbox& box() { return box_; }
    ImapVisit& visit() { return visit_; }
    // Whether the server said BYE outside a LOGOUT.
    bool said_bye() const { return bye_; }

  private:
    // asked_for: the command's own responses took it.
    Handled untagged(Responses* responses, bool& asked_for);
    // False when the text ends the visit (reported, connection abandoned).
    bool status_text(const std::string& text);
    void expunged(uint64_t sequence_number);

    Mailbox& box_;
    ImapVisit& visit_;
    ConnectionPieces pieces_;
    ResponseReader reader_;
    bool bye_ = false;
};

// The host's message number of a UID; 0 when it is none of the logon's.
int number_of_uid(const ImapVisit& visit, uint64_t uid);

}  // namespace brevorin::imap
