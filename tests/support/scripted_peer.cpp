#include "support/scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace brevorin::test {

ScriptedPeer::Step ScriptedPeer::make_step(Step::Kind kind, std::string data) {
    Step step;
    step.kind = kind;
    step.data = std::move(data);
    return step;
}

ScriptedPeer::ScriptedPeer() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd_ < 0) throw std::runtime_error("socket");
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 4) != 0)
        throw std::runtime_error("bind/listen");
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

ScriptedPeer::~ScriptedPeer() {
    if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
    // A client that outlives the peer must not keep the serving thread
    // waiting for it to close.
    int conn = conn_fd_.load();
    if (conn >= 0) ::shutdown(conn, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
}

std::string ScriptedPeer::server() const { return "127.0.0.1+" + std::to_string(port_); }

ScriptedPeer& ScriptedPeer::send(std::string bytes) {
    steps_.push_back(make_step(Step::kSend, std::move(bytes)));
    return *this;
}

ScriptedPeer& ScriptedPeer::send_slowly(std::string bytes, size_t chunk,
                                        std::chrono::milliseconds pause) {
    Step s = make_step(Step::kSendSlowly, std::move(bytes));
    s.chunk = chunk;
    s.pause = pause;
    steps_.push_back(std::move(s));
    return *this;
}

ScriptedPeer& ScriptedPeer::read_line() {
    steps_.push_back(make_step(Step::kReadLine, ""));
    return *this;
}

ScriptedPeer& ScriptedPeer::read_until(std::string line) {
    steps_.push_back(make_step(Step::kReadUntil, std::move(line)));
    return *this;
}

ScriptedPeer& ScriptedPeer::run(std::function<void(int)> step) {
    Step s = make_step(Step::kRun, "");
    s.fn = std::move(step);
    steps_.push_back(std::move(s));
    return *this;
}

ScriptedPeer& ScriptedPeer::close() {
    steps_.push_back(make_step(Step::kClose, ""));
    return *this;
}

ScriptedPeer& ScriptedPeer::accept_next() {
    steps_.push_back(make_step(Step::kAccept, ""));
    return *this;
}

void ScriptedPeer::start() {
    thread_ = std::thread([this] { serve(); });
}

void ScriptedPeer::join() {
    if (thread_.joinable()) thread_.join();
}

std::string ScriptedPeer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedPeer::received_lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool ScriptedPeer::read_one_line(int fd, std::string& line) {
    line.clear();
    while (true) {
        size_t lf = pending_.find('\n');
        if (lf != std::string::npos) {
            line = pending_.substr(0, lf + 1);
            pending_.erase(0, lf + 1);
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
            return true;
        }
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(buf, static_cast<size_t>(n));
        pending_.append(buf, static_cast<size_t>(n));
    }
}

static void send_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void ScriptedPeer::serve() {
    int fd = ::accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) return;
    conn_fd_.store(fd);
    bool closed = false;
    for (auto& step : steps_) {
        switch (step.kind) {
            case Step::kSend:
                send_all(fd, step.data.data(), step.data.size());
                break;
            case Step::kSendSlowly:
                for (size_t i = 0; i < step.data.size(); i += step.chunk) {
                    size_t n = std::min(step.chunk, step.data.size() - i);
                    send_all(fd, step.data.data() + i, n);
                    std::this_thread::sleep_for(step.pause);
                }
                break;
            case Step::kReadLine: {
                std::string line;
                read_one_line(fd, line);
                break;
            }
            case Step::kReadUntil: {
                std::string line;
                while (read_one_line(fd, line) && line != step.data) {
                }
                break;
            }
            case Step::kRun:
                step.fn(fd);
                break;
            case Step::kAccept:
                ::shutdown(fd, SHUT_RDWR);
                ::close(fd);
                pending_.clear();
                fd = ::accept(listen_fd_, nullptr, nullptr);
                conn_fd_.store(fd);
                if (fd < 0) return;
                break;
            case Step::kClose:
                conn_fd_.store(-1);
                ::shutdown(fd, SHUT_RDWR);
                ::close(fd);
                closed = true;
                break;
        }
        if (closed) break;
    }
    if (!closed) {
        // The script is over: tell the client nothing more comes (a reply it
        // still waits for fails instead of hanging), then keep reading until
        // it closes, so that everything it sent is in the transcript.
        ::shutdown(fd, SHUT_WR);
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.append(buf, static_cast<size_t>(n));
            pending_.append(buf, static_cast<size_t>(n));
        }
        conn_fd_.store(-1);
        ::close(fd);
    }
}

}  // namespace brevorin::test
