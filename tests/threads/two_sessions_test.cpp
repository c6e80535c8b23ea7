// Two sessions on two host threads, each with its own loopback POP3 and SMTP
// peer: logon, list, get and send at the same time. Built with
// ThreadSanitizer in CI, where any state the sessions share unguarded shows
// up as a data race.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "brevorin.h"
#include "platform/sleep.h"

namespace {

// A one-connection server on 127.0.0.1 that answers each command line with
// what respond() gives for it.
class LoopbackPeer {
public:
    template <typename Respond>
    explicit LoopbackPeer(Respond respond) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, respond] { serve(respond); });
    }
    ~LoopbackPeer() {
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }

private:
    template <typename Respond>
    void serve(Respond respond) {
        int c = ::accept(listener_, nullptr, nullptr);
        if (c < 0) return;
        std::string pending, in_data;
        bool data = false;
        send_text(c, respond(std::string("<greeting>"), data));
        char buffer[4096];
        for (ssize_t r; (r = ::recv(c, buffer, sizeof buffer, 0)) > 0;) {
            pending.append(buffer, static_cast<size_t>(r));
            size_t eol;
            while ((eol = pending.find("\r\n")) != std::string::npos) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 2);
                std::string answer = respond(line, data);
                send_text(c, answer);
                if (line == "QUIT") {
                    ::close(c);
                    return;
                }
            }
        }
        ::close(c);
    }
    static void send_text(int c, const std::string& text) {
        if (!text.empty()) ::send(c, text.data(), text.size(), MSG_NOSIGNAL);
    }

    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

std::string pop3_answer(const std::string& line, bool&) {
    if (line == "<greeting>") return "+OK ready\r\n";
    if (line.rfind("STAT", 0) == 0) return "+OK 2 200\r\n";
    if (line.rfind("LIST ", 0) == 0) return "+OK " + line.substr(5) + " 100\r\n";
    if (line.rfind("TOP ", 0) == 0)
        return "+OK\r\nFrom: a@example.org\r\nSubject: message " + line.substr(4, 1) + "\r\n\r\n.\r\n";
    if (line.rfind("RETR ", 0) == 0)
        return "+OK\r\nFrom: a@example.org\r\nSubject: s\r\n\r\nbody " + line.substr(5) + "\r\n.\r\n";
    return "+OK\r\n";
}

std::string smtp_answer(const std::string& line, bool& data) {
    if (data) {
        if (line == ".") {
            data = false;
            return "250 queued\r\n";
        }
        return "";
    }
    if (line == "<greeting>") return "220 ready\r\n";
    if (line == "DATA") {
        data = true;
        return "354 go on\r\n";
    }
    if (line == "QUIT") return "221 bye\r\n";
    return "250 ok\r\n";
}

struct Outcome {
    int logon = 1, listed = -1, get = -1, send = -1;
    std::string body;
};

void visit(Outcome& out) {
    LoopbackPeer pop3(pop3_answer);
    LoopbackPeer smtp(smtp_answer);
    MailSession* s = nullptr;
    if (brevorin_init(&s) < 1) return;
    brevorin_setoption("timeout", "20", s);
    out.logon = brevorin_logonmail(("127.0.0.1+" + std::to_string(pop3.port())).c_str(), "u", "p", s);
    char* list = nullptr;
    out.listed = brevorin_listmail(&list, s);
    char *header = nullptr, *body = nullptr, *files = nullptr;
    out.get = brevorin_getmail(1, nullptr, 0, &header, &body, &files, s);
    if (body != nullptr) out.body = body;
    brevorin_logoffmail(s);
    out.send = brevorin_sendmail(("127.0.0.1+" + std::to_string(smtp.port())).c_str(),
                                 "TO=b@example.org\x1b" "FROM=a@example.org\x1bSUBJECT=t", "text\r\n",
                                 "", 0, s);
    brevorin_cleanup(s);
}

TEST(TwoSessions, RunOnTwoThreadsWithoutSharingState) {
    brevorin::platform::set_sleep_function([](unsigned) {});
    for (int round = 0; round < 3; ++round) {
        std::vector<Outcome> outcomes(2);
        std::thread first(visit, std::ref(outcomes[0]));
        std::thread second(visit, std::ref(outcomes[1]));
        first.join();
        second.join();
        for (const Outcome& o : outcomes) {
            EXPECT_EQ(o.logon, 0);
            EXPECT_EQ(o.listed, 2);
            EXPECT_EQ(o.get, 0);
            EXPECT_EQ(o.body, "body 1\r\n");
            EXPECT_EQ(o.send, 0);
        }
    }
}

}  // namespace
