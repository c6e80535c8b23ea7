#include "mini_pop3.h"

#include <sys/socket.h>

#include <cstdlib>
#include <sstream>
#include <thread>

namespace brevorin::test {

MiniPop3::MiniPop3(int count, MessageSource message)
    : count_(count), message_(std::move(message)) {}

MiniPop3::MiniPop3(std::vector<std::string> messages)
    : count_(static_cast<int>(messages.size())),
      message_([messages](int n) { return messages[static_cast<size_t>(n - 1)]; }) {}

void MiniPop3::serve_on(ScriptedPeer& peer) {
    peer.run([this](int fd) { serve(fd); });
}

std::vector<std::string> MiniPop3::commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

int MiniPop3::count_starting(const std::string& prefix) const {
    int n = 0;
    for (const auto& c : commands())
        if (c.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
}

std::string MiniPop3::as_multiline(const std::string& text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t lf = text.find('\n', pos);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        if (text[pos] == '.') out += '.';
        out.append(text, pos, end - pos);
        pos = end;
    }
    return out + ".\r\n";
}

void MiniPop3::send_all(int fd, const std::string& data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

bool MiniPop3::read_command(int fd, std::string& line) {
    while (true) {
        size_t lf = pending_.find('\n');
        if (lf != std::string::npos) {
            line = pending_.substr(0, lf + 1);
            pending_.erase(0, lf + 1);
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(line);
            return true;
        }
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

void MiniPop3::answer(int fd, const std::string& data) {
    if (chunk_ == 0) {
        send_all(fd, data);
        return;
    }
    for (size_t i = 0; i < data.size(); i += chunk_) {
        send_all(fd, data.substr(i, chunk_));
        std::this_thread::sleep_for(pause_);
    }
}

void MiniPop3::answer_top(int fd, int number, int lines) {
    std::string message = message_(number);
    size_t header_end = message.find("\r\n\r\n");
    size_t cut = header_end == std::string::npos ? message.size() : header_end + 4;
    size_t pos = cut;
    for (int i = 0; i < lines && pos < message.size(); ++i) {
        size_t lf = message.find('\n', pos);
        pos = lf == std::string::npos ? message.size() : lf + 1;
    }
    answer(fd, "+OK\r\n" + as_multiline(message.substr(0, pos)));
}

void MiniPop3::serve(int fd) {
    send_all(fd, "+OK mini ready\r\n");
    std::string line;
    while (read_command(fd, line)) {
        if (override_ && override_(line, fd)) continue;
        std::istringstream in(line);
        std::string verb;
        int number = 0;
        int lines = 0;
        in >> verb >> number >> lines;
        bool known = number >= 1 && number <= count_;
        if (verb == "USER" || verb == "PASS") {
            send_all(fd, "+OK\r\n");
        } else if (verb == "STAT") {
            send_all(fd, "+OK " + std::to_string(count_) + " 4096\r\n");
        } else if (verb == "LIST" && known) {
            send_all(fd, "+OK " + std::to_string(number) + " " +
                             std::to_string(message_(number).size()) + "\r\n");
        } else if (verb == "TOP" && refuse_top_) {
            send_all(fd, "-ERR TOP not supported\r\n");
        } else if (verb == "TOP" && known) {
            answer_top(fd, number, lines);
        } else if (verb == "RETR" && known) {
            std::string message = message_(number);
            answer(fd,
                   "+OK " + std::to_string(message.size()) + " octets\r\n" + as_multiline(message));
        } else if (verb == "DELE" && known) {
            send_all(fd, "+OK deleted\r\n");
        } else if (verb == "QUIT") {
            send_all(fd, "+OK bye\r\n");
            return;
        } else {
            send_all(fd, "-ERR no\r\n");
        }
    }
}

std::string make_message(const std::vector<std::string>& header_lines, const std::string& body) {
    std::string text;
    for (const auto& l : header_lines) text += l + "\r\n";
    return text + "\r\n" + body;
}

}  // namespace brevorin::test
