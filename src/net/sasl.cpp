#include "net/sasl.h"

#include <initializer_list>

#include "codec/base64.h"
#include "core/text.h"

namespace brevorin::sasl {

namespace {

// Built in one buffer reserved up front: concatenation would leave copies of
// the password in temporaries nobody wipes.
std::string joined(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    std::string whole;
    whole.reserve(size);
    for (std::string_view part : parts) whole.append(part.data(), part.size());
    return whole;
}

// Wipes every response however the exchange ends.
struct Responses {
    std::vector<std::string> lines;
    ~Responses() {
        for (std::string& line : lines) wipe(line);
    }
};

}  // namespace

const char* name(Mechanism mechanism) {
    switch (mechanism) {
        case Mechanism::kPlain:
            return "PLAIN";
        case Mechanism::kLogin:
            return "LOGIN";
        case Mechanism::kXoauth2:
            return "XOAUTH2";
    }
    return "";
}

std::vector<std::string> responses(Mechanism mechanism, std::string_view user,
                                   std::string_view password) {
    std::vector<std::string> out;
    out.reserve(2);  // no reallocation leaves a copy behind
    switch (mechanism) {
        case Mechanism::kPlain:
            out.push_back(
                joined({std::string_view("\0", 1), user, std::string_view("\0", 1), password}));
            break;
        case Mechanism::kLogin:
            out.push_back(joined({user}));
            out.push_back(joined({password}));
            break;
        case Mechanism::kXoauth2:
            out.push_back(joined({"user=", user, "\x01", "auth=Bearer ", password, "\x01\x01"}));
            break;
    }
    return out;
}

Outcome run(Peer& peer, Mechanism mechanism, std::string_view user, std::string_view password) {
    Responses encoded;
    {
        std::vector<std::string> plain = responses(mechanism, user, password);
        encoded.lines.reserve(plain.size());
        for (std::string& response : plain) {
            encoded.lines.push_back(base64_encode_bytes(response));
            wipe(response);
        }
    }
    std::string line = peer.command(name(mechanism));
    size_t next = 0;
    // LOGIN has no initial response: its servers prompt for the user name.
    if (mechanism != Mechanism::kLogin &&
        line.size() + 1 + encoded.lines[0].size() + 2 <= peer.initial_response_limit()) {
        line += ' ';
        peer.conceal_next(line.size());
        line += encoded.lines[0];
        next = 1;
    }
    line += "\r\n";
    bool sent = peer.send(line);
    wipe(line);
    if (!sent) return Outcome::kLost;
    Answer answer = peer.read();
    // A server that answers anything but a continuation has given its verdict.
    for (; next < encoded.lines.size() && answer == Answer::kContinue; ++next) {
        std::string& response = encoded.lines[next];
        response += "\r\n";
        peer.conceal_next(0);
        sent = peer.send(response);
        wipe(response);
        if (!sent) return Outcome::kLost;
        answer = peer.read();
    }
    if (answer == Answer::kLost) return Outcome::kLost;
    if (answer == Answer::kFinal) return Outcome::kAnswered;
    peer.challenged();
    if (!peer.send("\r\n")) return Outcome::kLost;
    return peer.read_verdict() == Answer::kLost ? Outcome::kLost : Outcome::kChallenged;
}

}  // namespace brevorin::sasl
