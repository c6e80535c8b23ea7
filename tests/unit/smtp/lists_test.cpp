// Parsing of the caller's header list and attachment list.
#include "smtp/lists.h"

#include <gtest/gtest.h>

#include <string>

#include "smtp_test_support.h"
#include "support/host_fixture.h"

namespace brevorin {
namespace {

using test::HostFixture;

class ListsTest : public ::testing::Test {
  protected:
    int parse(const std::string& list) { return parse_header_list(list.c_str(), headers_, ctx_); }
    HostFixture host_;
    Context ctx_ = test::traced_context(kLatin1);
    HeaderList headers_;
    AttachmentList attachments_;
    test::TempDir dir_;
};

TEST_F(ListsTest, KeysCountOnlyAtItemStartAndValuesAreKeptAsGiven) {
    ASSERT_EQ(parse("FROM=from1\033SUBJECT=Hi TO=x\033BCC=bcc1\033TO= to1 "
                    "\033TO=2\033REPLY=\033PRIORITY=6"),
              0);
    EXPECT_EQ(headers_.to, " to1 ");  // not the TO= inside the subject, not the second one
    EXPECT_EQ(headers_.from, "from1");
    EXPECT_EQ(*headers_.subject, "Hi TO=x");
    EXPECT_EQ(*headers_.bcc, "bcc1");
    EXPECT_FALSE(headers_.cc);         // never found inside "BCC="
    EXPECT_FALSE(headers_.reply_to);   // empty
    EXPECT_EQ(headers_.priority, -1);  // out of range

    ASSERT_EQ(parse("TO=t\033FROM=f\033PRIORITY= 5x\033SUBJECT=Gr\xfc\xdf"
                    "e"),
              0);
    EXPECT_EQ(*headers_.subject, "=?ISO-8859-1?Q?Gr=FC=DFe?=");
    EXPECT_EQ(headers_.priority, 5);
    EXPECT_FALSE(headers_.bcc);  // nothing left over from the list before
}

TEST_F(ListsTest, MissingMandatoryElements) {
    EXPECT_EQ(parse("TO=\033FROM=f"), kNoRecipient);
    EXPECT_EQ(parse("TO=t"), kNoRecipient);
    EXPECT_EQ(parse_header_list(nullptr, headers_, ctx_), kNoRecipient);
    EXPECT_EQ(host_.count_containing(
                  "<E1> PARSE_HEADERLIST: missing mandatory element 'to' in header_list"),
              2);
    EXPECT_EQ(host_.count_containing(
                  "<E1> PARSE_HEADERLIST: missing mandatory element 'from' in header_list"),
              1);
    EXPECT_TRUE(headers_.to.empty());
}

TEST_F(ListsTest, LineBreaksInValuesAreRefusedAndNamed) {
    const std::pair<const char*, const char*> cases[] = {
        {"TO=a\r\nRCPT TO:<x>\033FROM=f", "to"},
        {"TO=t\033FROM=f\nBcc: x", "from"},
        {"TO=t\033FROM=f\033CC=c\rx", "cc"},
        {"TO=t\033FROM=f\033BCC=b\n", "bcc"},
        {"TO=t\033FROM=f\033SUBJECT=s\r\nX: 1", "subject"},
        {"TO=t\033FROM=f\033REPLY=r\r\n", "reply"}};
    for (const auto& [list, element] : cases) {
        EXPECT_EQ(parse(list), -1) << element;
        EXPECT_TRUE(
            host_.has_line(std::string("BREVORIN: <E1> PARSE_HEADERLIST: Refused: element '") +
                           element + "' holds a line break"));
        EXPECT_TRUE(headers_.to.empty() && !headers_.cc && !headers_.subject);
    }
}

TEST_F(ListsTest, AttachmentsAreTrimmedAndSizedAsEncoded) {
    EXPECT_EQ(parse_attachment_list("", attachments_, ctx_), 0);
    EXPECT_EQ(attachments_.count(), 0);
    std::string a = dir_.write("a.bin", "abcd");
    std::string b = dir_.write("b.bin", std::string(54, 'x'));
    std::string list = a + "\033   " + b + " \033";
    ASSERT_EQ(parse_attachment_list(list.c_str(), attachments_, ctx_), 0);
    ASSERT_EQ(attachments_.count(), 2);
    EXPECT_EQ(attachments_.entries[1].path, b);
    EXPECT_EQ(attachments_.entries[0].encoded_size, 9);  // "YWJjZA==\n"
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <F0> PARSE_ATT_LIST: Done encoding file: " + b + ", size: 73"));

    list = a + "\033" + dir_.path() + "/missing.bin";
    host_.clear_lines();
    EXPECT_EQ(parse_attachment_list(list.c_str(), attachments_, ctx_), kAttachOpen);
    EXPECT_EQ(attachments_.count(), 1);  // left for the worker to release
    EXPECT_EQ(host_.count_containing("<E"), 0);
}

TEST_F(ListsTest, AttachmentLimitsAreRefusedBeforeAnythingOverflows) {
    std::string a = dir_.write("a.bin", "abc");
    std::string list = a;
    for (int i = 1; i < kMaxAttachments; ++i) list += "\033" + a;
    ASSERT_EQ(parse_attachment_list(list.c_str(), attachments_, ctx_), 0);
    EXPECT_EQ(attachments_.count(), kMaxAttachments);
    list += "\033" + a;
    EXPECT_EQ(parse_attachment_list(list.c_str(), attachments_, ctx_), kAttachOpen);
    EXPECT_EQ(attachments_.count(), 0);
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <E1> PARSE_ATT_LIST: Refused: more than 256 attachments"));

    std::string long_path = dir_.path() + "/" + std::string(259 - dir_.path().size(), 'n');
    EXPECT_EQ(parse_attachment_list(long_path.c_str(), attachments_, ctx_), kAttachOpen);
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <E1> PARSE_ATT_LIST: Refused: path longer than 259 characters"));
}

TEST(AttachmentFileNameTest, LastComponentFitForAQuotedHeaderValue) {
    EXPECT_EQ(attachment_file_name("C:\\dir\\report.pdf"), "report.pdf");
    EXPECT_EQ(attachment_file_name("dir/report.pdf"), "report.pdf");
    EXPECT_EQ(attachment_file_name("C:report.pdf"), "report.pdf");
    EXPECT_EQ(attachment_file_name("/tmp/a\"b\r\nX: y"), "a_b__X: y");
}

}  // namespace
}  // namespace brevorin
