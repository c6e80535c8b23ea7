// A loopback server that plays a scripted dialogue in its own thread and
// records every byte the library sends.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brevorin::test {

class ScriptedPeer {
public:
    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int port() const { return port_; }
    // "127.0.0.1+port", as the library's server argument.
    std::string server() const;

    // Script steps, run in order once a client connects.
    ScriptedPeer& send(std::string bytes);
    // Sends in pieces of chunk bytes with a pause between them.
    ScriptedPeer& send_slowly(std::string bytes, size_t chunk, std::chrono::milliseconds pause);
    // Reads one line (up to LF) from the client into the transcript.
    ScriptedPeer& read_line();
    // Reads lines until one equals line (CR LF included) or the client closes.
    ScriptedPeer& read_until(std::string line);
    // Runs arbitrary code with the connected socket.
    ScriptedPeer& run(std::function<void(int fd)> step);
    // Closes the connection (remaining steps are skipped).
    ScriptedPeer& close();
    // Closes the connection and waits for the client to connect again; the
    // steps after it play on the new connection.
    ScriptedPeer& accept_next();

    // Starts accepting; the script runs for the first client. When the
    // script ends, the peer stops sending (the client then reads the end of
    // the connection) and records what the client still sends.
    void start();
    // Waits for the script to end (and the client to close when told so).
    void join();

    // Everything read from the client so far.
    std::string received() const;
    // Lines read from the client, each with its line end.
    std::vector<std::string> received_lines() const;

private:
    struct Step {
        enum Kind { kSend, kSendSlowly, kReadLine, kReadUntil, kRun, kClose, kAccept } kind = kSend;
        std::string data;
        size_t chunk = 0;
        std::chrono::milliseconds pause{0};
        std::function<void(int)> fn;
    };
    static Step make_step(Step::Kind kind, std::string data);
    void serve();
    bool read_one_line(int fd, std::string& line);

    int listen_fd_ = -1;
    std::atomic<int> conn_fd_{-1};
    int port_ = 0;
    std::vector<Step> steps_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::string received_;
    std::vector<std::string> lines_;
    std::string pending_;
};

}  // namespace brevorin::test
