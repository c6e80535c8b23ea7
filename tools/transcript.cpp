// -v: the dialogue with the server as a transcript on standard error. What
// the tool sends shows after "> ", what it receives after "< ", a TLS
// handshake as one "* " line. Credentials never reach this file: the library
// hands over a secret piece only as a mark, which shows as "****". Message
// data shows as its size alone: a transcript of a 20 MiB message is read by
// a person, not a parser.
#include <cstdio>
#include <string>

#include "api/tool_support.h"
#include "cli.h"

namespace cli {

namespace {

// A server line longer than this shows cut: the reply engine keeps no more.
constexpr size_t kShownLine = 16 * 1024;

class Transcript final : public brevorin::WireObserver {
  public:
    void sent(const char* data, size_t n, bool secret) override {
        if (secret) {
            outgoing_.text += "****";
            return;
        }
        take(outgoing_, data, n);
    }
    void received(const char* data, size_t n) override { take(incoming_, data, n); }
    void payload(bool outgoing, uint64_t bytes) override {
        Line& line = outgoing ? outgoing_ : incoming_;
        if (!line.text.empty()) show(line);
        std::fprintf(stderr, "%s [message data, %llu bytes]\n", line.prefix,
                     static_cast<unsigned long long>(bytes));
    }
    void tls(const char* summary) override {
        std::fprintf(stderr, "* TLS %s\n", escaped(summary).c_str());
    }

  private:
    struct Line {
        const char* prefix;
        std::string text;
        size_t dropped = 0;
    };

    // Pieces may split a line or hold several: each line shows when its
    // line feed comes.
    void take(Line& line, const char* data, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (data[i] == '\n') {
                show(line);
            } else if (line.text.size() < kShownLine) {
                line.text += data[i];
            } else {
                ++line.dropped;
            }
        }
    }

    void show(Line& line) {
        if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
        if (line.dropped != 0)
            std::fprintf(stderr, "%s %s [%zu more bytes]\n", line.prefix,
                         escaped(line.text).c_str(), line.dropped);
        else
            std::fprintf(stderr, "%s %s\n", line.prefix, escaped(line.text).c_str());
        line.text.clear();
        line.dropped = 0;
    }

    Line outgoing_{">", {}, 0};
    Line incoming_{"<", {}, 0};
};

}  // namespace

void show_transcript(MailSession* session) {
    static Transcript transcript;
    brevorin::tool::set_wire_observer(session, &transcript);
}

}  // namespace cli
