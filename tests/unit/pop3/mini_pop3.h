// A small POP3 server for the listing tests: it answers LIST, TOP, RETR,
// DELE and QUIT for a mailbox of generated messages, records the commands it
// received, and can be told to refuse TOP or to dribble its answers.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/scripted_peer.h"

namespace brevorin::test {

class MiniPop3 {
  public:
    using MessageSource = std::function<std::string(int number)>;
    // Answers a command itself (true) or leaves it to the default (false).
    using Override = std::function<bool(const std::string& command, int fd)>;

    MiniPop3(int count, MessageSource message);
    explicit MiniPop3(std::vector<std::string> messages);

    MiniPop3& refuse_top() {
        refuse_top_ = true;
        return *this;
    }
    // Sends multi-line answers in pieces of chunk bytes, pausing in between.
    MiniPop3& dribble(size_t chunk, std::chrono::milliseconds pause) {
        chunk_ = chunk;
        pause_ = pause;
        return *this;
    }
    MiniPop3& on_command(Override handler) {
        override_ = std::move(handler);
        return *this;
    }

    // Plays greeting, USER/PASS/STAT and then the command loop on the peer's
    // connection, up to QUIT or the client's close.
    void serve_on(ScriptedPeer& peer);

    std::vector<std::string> commands() const;
    int count_starting(const std::string& prefix) const;

    // The message as it would travel in a multi-line answer: dot-stuffed and
    // followed by the end line.
    static std::string as_multiline(const std::string& text);
    static void send_all(int fd, const std::string& data);

  private:
    void serve(int fd);
    bool read_command(int fd, std::string& line);
    void answer(int fd, const std::string& data);
    void answer_top(int fd, int number, int lines);

    int count_;
    MessageSource message_;
    bool refuse_top_ = false;
    size_t chunk_ = 0;
    std::chrono::milliseconds pause_{0};
    Override override_;
    std::string pending_;
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
};

// A message made of the given header lines (without line ends) and a body.
std::string make_message(const std::vector<std::string>& header_lines,
                         const std::string& body = "Hello.\r\n");

}  // namespace brevorin::test
