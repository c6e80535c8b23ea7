// Plays the host for a test: attaches through _TCONNECT with the runtime
// stand-in, captures diagnostics lines and replaces the 3-second pause.
#pragma once

#include <string>
#include <vector>

#include "brevorin.h"
#include "brevorin_host.h"

namespace brevorin::test {

class HostFixture {
public:
    // trace: value of setting 3; charset: value of setting 39 (null: absent).
    explicit HostFixture(int trace = 64, const char* charset = nullptr);
    ~HostFixture();
    HostFixture(const HostFixture&) = delete;
    HostFixture& operator=(const HostFixture&) = delete;

    // A new session (fails the test when brevorin_init does not give one).
    MailSession* new_session();
    // Cleans a session of new_session up before the fixture ends.
    void cleanup(MailSession* session);

    const std::vector<std::string>& lines() const { return lines_; }
    void clear_lines() { lines_.clear(); }
    // Whether some line equals "BREVORIN: <kL> " + text.
    bool has_line(const std::string& prefixed) const;
    // Number of lines that contain text.
    int count_containing(const std::string& text) const;
    std::string all_lines() const;

    // Milliseconds the library asked to sleep, in order.
    static std::vector<unsigned>& sleeps();

    brevorin_host_context& context() { return ctx_; }

private:
    static void sink(void* user, const char* line);
    brevorin_host_context ctx_{};
    std::vector<std::string> lines_;
    std::vector<MailSession*> sessions_;
};

}  // namespace brevorin::test
