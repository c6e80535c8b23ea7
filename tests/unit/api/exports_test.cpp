// The exports' common behaviour: sessions, the sockets user count, result
// slots, charset mapping, the diagnostics channel.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/exports.h"
#include "api/session.h"
#include "brevorin.h"
#include "host/host_calls.h"
#include "platform/sockets.h"
#include "support/forwarding_sockets.h"
#include "support/host_fixture.h"

namespace brevorin {
namespace {

using test::HostFixture;

// Counts sockets-layer starts and releases; can fail the start or report a
// wrong version.
class CountingSockets : public test::ForwardingSocketApi {
public:
    int starts = 0, cleanups = 0, fail_start = 0;
    uint16_t version = 0x0101;
    int startup(uint16_t, uint16_t* v) override {
        ++starts;
        *v = version;
        return fail_start;
    }
    int cleanup() override {
        ++cleanups;
        return 0;
    }
};

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_sockets_user_count_for_tests(0);
        platform::set_socket_api(&sockets_);
    }
    void TearDown() override {
        platform::set_socket_api(nullptr);
        set_sockets_user_count_for_tests(0);
    }
    CountingSockets sockets_;
};

TEST_F(ExportsTest, SocketsLayerFollowsTheSessionCount) {
    HostFixture host;
    MailSession* a = nullptr;
    MailSession* b = nullptr;
    EXPECT_EQ(brevorin_init(&a), 1);
    EXPECT_EQ(brevorin_init(&b), 2);
    EXPECT_EQ(sockets_.starts, 1);
    brevorin_cleanup(a);
    EXPECT_EQ(sockets_.cleanups, 0);
    EXPECT_EQ(sockets_user_count(), 1);
    brevorin_cleanup(b);
    EXPECT_EQ(sockets_.cleanups, 1);
    EXPECT_EQ(sockets_user_count(), 0);
    MailSession* c = nullptr;
    EXPECT_EQ(brevorin_init(&c), 1);
    EXPECT_EQ(sockets_.starts, 2);
    brevorin_cleanup(c);
}

TEST_F(ExportsTest, FailedStartHandsOutNothing) {
    HostFixture host;
    sockets_.fail_start = 10091;  // WSASYSNOTREADY
    MailSession* s = nullptr;
    EXPECT_EQ(brevorin_init(&s), 10091);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(sockets_user_count(), -1);
}

TEST_F(ExportsTest, WrongVersionReleasesTheLayer) {
    HostFixture host;
    sockets_.version = 0x0202;
    MailSession* s = nullptr;
    EXPECT_EQ(brevorin_init(&s), 0);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(sockets_.cleanups, 1);
    EXPECT_EQ(sockets_user_count(), -1);
}

TEST_F(ExportsTest, InitAfterFailedStartTriesAgain) {
    HostFixture host;
    sockets_.fail_start = 10091;
    MailSession* s = nullptr;
    brevorin_init(&s);
    sockets_.fail_start = 0;
    EXPECT_EQ(brevorin_init(&s), 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(sockets_.starts, 2);
    brevorin_cleanup(s);
}

TEST_F(ExportsTest, NullSessionIsRefusedEverywhere) {
    char* out = nullptr;
    char *h = nullptr, *b = nullptr, *f = nullptr;
    EXPECT_EQ(brevorin_logonmail("h", "u", "p", nullptr), -10);
    EXPECT_EQ(brevorin_logoffmail(nullptr), -10);
    EXPECT_EQ(brevorin_listmail(&out, nullptr), -10);
    EXPECT_EQ(brevorin_getmail(1, "", 0, &h, &b, &f, nullptr), -10);
    EXPECT_EQ(brevorin_getrawmail(1, 0, &out, nullptr), -10);
    EXPECT_EQ(brevorin_sendmail("h", "TO=a\x1b" "FROM=b", "t", "", 0, nullptr), -10);
    EXPECT_EQ(brevorin_deletemail(1, nullptr), -10);
    EXPECT_EQ(out, nullptr);
    brevorin_cleanup(nullptr);  // must not crash
}

TEST_F(ExportsTest, UnavailableSocketsLayerGivesMinusNineAfterEmptyingSlots) {
    HostFixture host;
    MailSession* s = host.new_session();
    ASSERT_NE(alloc_result_slot(s, 8), nullptr);
    set_sockets_user_count_for_tests(-1);
    EXPECT_EQ(brevorin_logoffmail(s), -9);
    for (const auto& slot : s->results) EXPECT_FALSE(slot);
    set_sockets_user_count_for_tests(1);
}

TEST_F(ExportsTest, TextsStayValidUntilTheNextCall) {
    HostFixture host;
    MailSession* s = host.new_session();
    char* list = nullptr;
    EXPECT_EQ(brevorin_listmail(&list, s), -8);  // not logged on, still hands out a text
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "");
    EXPECT_EQ(s->results[0].get(), list);
    EXPECT_EQ(brevorin_logoffmail(s), -8);
    for (const auto& slot : s->results) EXPECT_FALSE(slot);
}

TEST_F(ExportsTest, ResultSlotsRunOutAfterTen) {
    HostFixture host;
    MailSession* s = host.new_session();
    for (int i = 0; i < 10; ++i) EXPECT_NE(alloc_result_slot(s, 16), nullptr);
    EXPECT_EQ(alloc_result_slot(s, 16), nullptr);
    reset_result_slots(s);
    EXPECT_NE(alloc_result_slot(s, 16), nullptr);
}

TEST_F(ExportsTest, SessionStartsWithDocumentedFields) {
    HostFixture host(64, "SJIS");
    MailSession* s = host.new_session();
    EXPECT_EQ(s->mailbox.connection.socket(), -1);
    EXPECT_FALSE(s->mailbox.logged_on);
    EXPECT_TRUE(s->ctx.diag.enabled());
    EXPECT_EQ(s->ctx.charset, 13);
    EXPECT_EQ(s->ctx.host_version, "7.2.05");
}

TEST(CharsetNames, MapWholeCaseSensitiveNames) {
    EXPECT_EQ(charset_from_host_name("LATIN1"), 2);
    EXPECT_EQ(charset_from_host_name("latin1"), 1);
    EXPECT_EQ(charset_from_host_name("DEC"), 2);
    EXPECT_EQ(charset_from_host_name(""), 1);
    EXPECT_EQ(charset_from_host_name("GB"), 8);
    EXPECT_EQ(charset_from_host_name("GB2312"), 8);
    EXPECT_EQ(charset_from_host_name("KSC"), 10);
    EXPECT_EQ(charset_from_host_name("KSC5601"), 10);
    EXPECT_EQ(charset_from_host_name("CP1250"), 3);
    EXPECT_EQ(charset_from_host_name("LATIN5"), 4);
    EXPECT_EQ(charset_from_host_name("CP1256"), 5);
    EXPECT_EQ(charset_from_host_name("LATIN7"), 6);
    EXPECT_EQ(charset_from_host_name("CP1255"), 7);
    EXPECT_EQ(charset_from_host_name("EUC"), 12);
    EXPECT_EQ(charset_from_host_name("SJIS"), 13);
    EXPECT_EQ(charset_from_host_name("LATIN1 "), 1);
    EXPECT_EQ(charset_from_host_name(nullptr), 1);
}

TEST(Diagnostics, TraceThresholdIsSixtyFour) {
    {
        HostFixture host(63);
        MailSession* s = host.new_session();
        EXPECT_FALSE(s->ctx.diag.enabled());
        diag_print(s, 'F', 1, "x");
        EXPECT_TRUE(host.lines().empty());
    }
    {
        HostFixture host(64);
        MailSession* s = host.new_session();
        diag_print(s, 'F', 1, "LOGONMAIL: Exit because of socket error");
        ASSERT_EQ(host.lines().size(), 1u);
        EXPECT_EQ(host.lines()[0], "BREVORIN: <F1> LOGONMAIL: Exit because of socket error");
    }
}

TEST(Diagnostics, LevelsOutsideZeroToNineAreDropped) {
    HostFixture host;
    MailSession* s = host.new_session();
    diag_print(s, 'E', 10, "ten");
    diag_print(s, 'E', -1, "minus");
    diag_print(s, 'E', 9, "nine");
    ASSERT_EQ(host.lines().size(), 1u);
    EXPECT_EQ(host.lines()[0], "BREVORIN: <E9> nine");
}

TEST(Diagnostics, LongMessagesAreCutAtTheLineSize) {
    HostFixture host;
    MailSession* s = host.new_session();
    std::string big(5000, 'x');
    diag_print(s, 'D', 0, "%s", big.c_str());
    ASSERT_EQ(host.lines().size(), 1u);
    EXPECT_EQ(host.lines()[0].size(), 1039u);  // 1,040 bytes with the terminator
    EXPECT_EQ(host.lines()[0].substr(0, 15), "BREVORIN: <D0> ");
}

TEST(Diagnostics, CharsetBeforeAnyAttachIsUsAsciiAndLinesAreDropped) {
    set_sockets_user_count_for_tests(0);
    MailSession* s = nullptr;
    ASSERT_GE(brevorin_init(&s), 1);
    EXPECT_FALSE(s->ctx.diag.enabled());
    EXPECT_EQ(s->ctx.charset, 1);
    s->ctx.diag = Diag(true, host_put_message);
    diag_print(s, 'F', 0, "nowhere to go");  // no host: dropped, no crash
    brevorin_cleanup(s);
}

}  // namespace
}  // namespace brevorin
