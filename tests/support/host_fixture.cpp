#include "support/host_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "host/attach.h"
#include "platform/sleep.h"

namespace brevorin::test {

std::vector<unsigned>& HostFixture::sleeps() {
    static std::vector<unsigned> recorded;
    return recorded;
}

HostFixture::HostFixture(int trace, const char* charset) {
    brevorin_host_context_init(&ctx_);
    brevorin_host_set_int(&ctx_, 3, trace);
    if (charset != nullptr) brevorin_host_set_text(&ctx_, 39, charset);
    brevorin_host_set_message_sink(&ctx_, &HostFixture::sink, this);
    _TCONNECT(1, 0, reinterpret_cast<brevorin_word>(&ctx_));
    sleeps().clear();
    platform::set_sleep_function([](unsigned ms) { sleeps().push_back(ms); });
}

HostFixture::~HostFixture() {
    for (auto* s : sessions_) brevorin_cleanup(s);
    platform::set_sleep_function(nullptr);
    _TCONNECT(6, 1, 0);
    brevorin_host_context_release(&ctx_);
    // A detach keeps the recorded context; this one is about to vanish.
    reset_attach_state_for_tests();
}

MailSession* HostFixture::new_session() {
    MailSession* s = nullptr;
    int count = brevorin_init(&s);
    EXPECT_GE(count, 1);
    EXPECT_NE(s, nullptr);
    if (s != nullptr) sessions_.push_back(s);
    return s;
}

void HostFixture::cleanup(MailSession* session) {
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if (*it == session) {
            sessions_.erase(it);
            break;
        }
    }
    brevorin_cleanup(session);
}

void HostFixture::sink(void* user, const char* line) {
    static_cast<HostFixture*>(user)->lines_.emplace_back(line);
}

bool HostFixture::has_line(const std::string& prefixed) const {
    for (const auto& l : lines_)
        if (l == prefixed) return true;
    return false;
}

int HostFixture::count_containing(const std::string& text) const {
    int n = 0;
    for (const auto& l : lines_)
        if (l.find(text) != std::string::npos) ++n;
    return n;
}

std::string HostFixture::all_lines() const {
    std::string all;
    for (const auto& l : lines_) {
        all += l;
        if (all.empty() || all.back() != '\n') all += '\n';
    }
    return all;
}

}  // namespace brevorin::test
