// Host attachment through _TCONNECT and the runtime stand-in's settings.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "brevorin.h"
#include "brevorin_host.h"
#include "host/attach.h"
#include "host/host_calls.h"

namespace brevorin {
namespace {

std::vector<int>& events() {
    static std::vector<int> e;
    return e;
}

class AttachTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_attach_state_for_tests();
        events().clear();
        set_hook_observer([](int e) { events().push_back(e); });
        brevorin_host_context_init(&ctx_);
    }
    void TearDown() override {
        set_hook_observer(nullptr);
        reset_attach_state_for_tests();
        brevorin_host_context_release(&ctx_);
    }
    brevorin_word ctx_word() { return reinterpret_cast<brevorin_word>(&ctx_); }
    brevorin_host_context ctx_{};
};

TEST_F(AttachTest, AttachRecordsTheContextAndAnswersHandleOne) {
    EXPECT_EQ(_TCONNECT(1, 0, ctx_word()), 1);
    EXPECT_EQ(host_context(), &ctx_);
    EXPECT_EQ(attach_count(), 1);
    EXPECT_EQ(events(), std::vector<int>{3});
}

TEST_F(AttachTest, OnlyTheLowSixteenBitsOfTheOperationCount) {
    EXPECT_EQ(_TCONNECT(0x10001, 0, ctx_word()), 1);
    EXPECT_EQ(attach_count(), 1);
}

TEST_F(AttachTest, OperationThreeReturnsItsThirdArgument) {
    EXPECT_EQ(_TCONNECT(3, 7, 123456), 123456);
    EXPECT_EQ(_TCONNECT(3, 0, -5), -5);
}

TEST_F(AttachTest, HookHearsAttachesAndTheLastDetach) {
    _TCONNECT(1, 0, ctx_word());
    _TCONNECT(1, 0, ctx_word());
    _TCONNECT(6, 1, 0);
    EXPECT_EQ(events(), (std::vector<int>{3, 3}));
    _TCONNECT(6, 1, 0);
    EXPECT_EQ(events(), (std::vector<int>{3, 3, 2}));
    EXPECT_EQ(attach_count(), 0);
    EXPECT_EQ(host_context(), &ctx_);  // the recorded context stays
}

TEST_F(AttachTest, OperationsTwoAndFiveReachTheHook) {
    EXPECT_EQ(_TCONNECT(2, 0, 0), 0);
    EXPECT_EQ(_TCONNECT(5, 0, 42), 0);
    EXPECT_EQ(_TCONNECT(4, 0, 9), 0);
    EXPECT_EQ(events(), (std::vector<int>{4, 42}));
}

TEST_F(AttachTest, UnknownOperationChangesNothing) {
    EXPECT_EQ(_TCONNECT(7, 1, ctx_word()), 0);
    EXPECT_EQ(attach_count(), 0);
    EXPECT_EQ(host_context(), nullptr);
    EXPECT_TRUE(events().empty());
}

TEST_F(AttachTest, SettingQueryUsesTheWordAtOffsetSixteen) {
    brevorin_host_set_int(&ctx_, 3, 99);
    brevorin_host_set_text(&ctx_, 39, "EUC");
    _TCONNECT(1, 0, ctx_word());
    char text[80] = "";
    EXPECT_EQ(host_get_setting(3, text, sizeof text), 99);
    EXPECT_EQ(host_get_setting(39, text, sizeof text), 0);
    EXPECT_STREQ(text, "EUC");
    EXPECT_EQ(host_get_setting(3, nullptr, 0), -1);

    // Another record whose offset-16 word names the same store answers the
    // same, although it is a different record: the word is what counts.
    brevorin_host_context other{};
    std::memcpy(reinterpret_cast<unsigned char*>(&other) + 16,
                reinterpret_cast<unsigned char*>(&ctx_) + 16, 4);
    _TCONNECT(1, 0, reinterpret_cast<brevorin_word>(&other));
    EXPECT_EQ(host_get_setting(3, text, sizeof text), 99);
}

TEST_F(AttachTest, LongTextSettingIsCutToTheCallersBuffer) {
    std::string long_name(200, 'A');
    brevorin_host_set_text(&ctx_, 39, long_name.c_str());
    _TCONNECT(1, 0, ctx_word());
    char text[80];
    std::memset(text, 'Z', sizeof text);
    host_get_setting(39, text, sizeof text);
    EXPECT_EQ(std::strlen(text), 79u);
}

TEST_F(AttachTest, NoAttachMeansNoSettings) {
    char text[80] = "unchanged";
    EXPECT_EQ(host_get_setting(3, text, sizeof text), 0);
    EXPECT_STREQ(text, "unchanged");
}

TEST_F(AttachTest, MessagesReachTheSinkOfTheAttachedRecord) {
    std::vector<std::string> got;
    brevorin_host_set_message_sink(
        &ctx_, [](void* user, const char* line) {
            static_cast<std::vector<std::string>*>(user)->push_back(line);
        },
        &got);
    _TCONNECT(1, 0, ctx_word());
    host_put_message("hello");
    EXPECT_EQ(got, std::vector<std::string>{"hello"});
}

}  // namespace
}  // namespace brevorin
