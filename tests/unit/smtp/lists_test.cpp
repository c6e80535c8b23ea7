// Parsing of the caller's header list and attachment list.
#include "smtp/lists.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

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

// Display names stay in the header lines (quoted where RFC 5322 needs it,
// encoded where not ASCII) and never reach the envelope; bare addresses
// stay byte for byte as they were.
struct MailboxCase {
    const char* name;
    int charset;
    const char* to;
    const char* header;                 // the To line's value
    std::vector<std::string> envelope;  // the addresses RCPT TO names
};

class Mailboxes : public ::testing::TestWithParam<MailboxCase> {};

TEST_P(Mailboxes, HeaderKeepsNamesEnvelopeTakesAddresses) {
    const MailboxCase& c = GetParam();
    HostFixture host;
    Context ctx = test::traced_context(c.charset);
    HeaderList headers;
    std::string list = std::string("TO=") + c.to + "\033FROM=ACME Invoicing <invoices@example.org>";
    ASSERT_EQ(parse_header_list(list.c_str(), headers, ctx), 0);
    EXPECT_EQ(headers.to, c.header);
    EXPECT_EQ(headers.from, "ACME Invoicing <invoices@example.org>");
    EXPECT_EQ(headers.envelope_from, "invoices@example.org");
    std::vector<std::string> envelope;
    std::string_view rest = headers.to;
    size_t consumed = 0;
    while (auto mailbox = next_mailbox(rest, consumed)) {
        envelope.push_back(envelope_address(*mailbox));
        rest.remove_prefix(consumed);
    }
    EXPECT_EQ(envelope, c.envelope);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Mailboxes,
    ::testing::Values(MailboxCase{"bare",
                                  kLatin1,
                                  "a@example.org, b@example.org",
                                  "a@example.org, b@example.org",
                                  {"a@example.org", "b@example.org"}},
                      MailboxCase{"quotedComma",
                                  kLatin1,
                                  "\"Smith, John\" <john@example.org>,b@example.org",
                                  "\"Smith, John\" <john@example.org>,b@example.org",
                                  {"john@example.org", "b@example.org"}},
                      MailboxCase{"specialsGetQuoted",
                                  kLatin1,
                                  "J. Smith <js@example.org>",
                                  "\"J. Smith\" <js@example.org>",
                                  {"js@example.org"}},
                      MailboxCase{"utf8NameEncoded",
                                  kUtf8,
                                  "J\xc3\xbcrgen M\xc3\xbcller <j@example.org>",
                                  "=?UTF-8?B?SsO8cmdlbiBNw7xsbGVy?= <j@example.org>",
                                  {"j@example.org"}},
                      MailboxCase{"latin1NameEncoded",
                                  kLatin1,
                                  "J\xfcrgen <j@example.org>",
                                  "=?ISO-8859-1?B?SvxyZ2Vu?= <j@example.org>",
                                  {"j@example.org"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Address lists are folded after the commas between mailboxes, never
// inside one, and only where the line would pass its limit.
struct FoldCase {
    const char* name;
    std::string list;
    size_t lead;
    size_t limit;
    std::string folded;
};

class FoldedLists : public ::testing::TestWithParam<FoldCase> {};

TEST_P(FoldedLists, FoldsBetweenMailboxesOnlyWhereNeeded) {
    const FoldCase& c = GetParam();
    const std::string folded = fold_address_list(c.list, c.lead, c.limit);
    EXPECT_EQ(folded, c.folded);
    // Unfolding (RFC 5322: the CR LF goes, the blank stays) gives the list
    // back wherever it already had a blank after each comma.
    auto unfold = [](const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i)
            if (text.compare(i, 2, "\r\n") == 0)
                ++i;
            else
                out += text[i];
        return out;
    };
    bool blank_after_commas = true;
    for (size_t i = c.list.find(','); i != std::string::npos; i = c.list.find(',', i + 1))
        blank_after_commas = blank_after_commas && i + 1 < c.list.size() && c.list[i + 1] == ' ';
    if (blank_after_commas) {
        EXPECT_EQ(unfold(folded), unfold(c.list));
    }
}

std::string mailboxes(int count, const char* separator) {
    std::string list;
    for (int i = 0; i < count; ++i) {
        if (i > 0) list += separator;
        list += "user" + std::to_string(10 + i) + "@example.org";  // 18 characters
    }
    return list;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, FoldedLists,
    ::testing::Values(
        FoldCase{"fitsAsItIs", mailboxes(3, ", "), 4, 78, mailboxes(3, ", ")},
        // 4 + 19 + 2 * 20 = 63, and the fourth would end at 83.
        FoldCase{"blankAfterCommaIsTheFold", mailboxes(5, ", "), 4, 78,
                 mailboxes(3, ", ") + ",\r\n user13@example.org, user14@example.org"},
        FoldCase{"noBlankGetsOne", mailboxes(5, ","), 4, 78,
                 mailboxes(3, ",") + ",\r\n user13@example.org,user14@example.org"},
        // The comma stays with its mailbox: 4 + 20 + 1 fills 25 exactly.
        FoldCase{"commaCountsOnItsLine", "a123456789@example.o, b@x", 4, 25,
                 "a123456789@example.o,\r\n b@x"},
        FoldCase{"quotedCommaIsNoFoldPoint", "\"Smith, John\" <john@example.org>, b@example.org", 4,
                 40, "\"Smith, John\" <john@example.org>,\r\n b@example.org"},
        FoldCase{"overlongMailboxStaysWhole", std::string(90, 'x') + "@example.org, b@x", 4, 78,
                 std::string(90, 'x') + "@example.org,\r\n b@x"},
        // Too long for a line of its own: folded inside, before the address
        // and between the words of the name, never inside quotation marks.
        FoldCase{"longMailboxFoldsAtItsBlanks",
                 "a@x, =?UTF-8?B?" + std::string(60, 'Q') + "?= <" + std::string(20, 'u') +
                     "@example.org>, \"Q " + std::string(70, 'q') + "\" <q@x>",
                 4, 78,
                 "a@x,\r\n =?UTF-8?B?" + std::string(60, 'Q') + "?=\r\n <" + std::string(20, 'u') +
                     "@example.org>,\r\n \"Q " + std::string(70, 'q') + "\"\r\n <q@x>"},
        // An escape at the very end of an open quotation loses nothing.
        FoldCase{"escapeAtTheEnd", "a@x, \"" + std::string(80, 'e') + " \\", 4, 78,
                 "a@x,\r\n \"" + std::string(80, 'e') + " \\"},
        FoldCase{"noFoldPointAtAll", std::string(100, 'y'), 4, 78, std::string(100, 'y')},
        // A display name already folded into encoded words: its last line
        // is where the column goes on from.
        FoldCase{"foldedNameSetsTheColumn",
                 "=?UTF-8?B?" + std::string(60, 'A') +
                     "?=\r\n =?UTF-8?B?QkJC?= <j@example.org>, c@example.org",
                 4, 78,
                 "=?UTF-8?B?" + std::string(60, 'A') +
                     "?=\r\n =?UTF-8?B?QkJC?= <j@example.org>, c@example.org"},
        // The classic limit: 4 + 994 is exactly 998 and stays one line; one
        // character more folds.
        FoldCase{"classicAt998",
                 std::string(972, 'a') + "@x.org, " + std::string(8, 'b') + "@x.org", 4, 998,
                 std::string(972, 'a') + "@x.org, " + std::string(8, 'b') + "@x.org"},
        FoldCase{"classicAt999",
                 std::string(972, 'a') + "@x.org, " + std::string(9, 'b') + "@x.org", 4, 998,
                 std::string(972, 'a') + "@x.org,\r\n " + std::string(9, 'b') + "@x.org"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AttachmentFileNameTest, LastComponentFitForAQuotedHeaderValue) {
    EXPECT_EQ(attachment_file_name("C:\\dir\\report.pdf"), "report.pdf");
    EXPECT_EQ(attachment_file_name("dir/report.pdf"), "report.pdf");
    EXPECT_EQ(attachment_file_name("C:report.pdf"), "report.pdf");
    EXPECT_EQ(attachment_file_name("/tmp/a\"b\r\nX: y"), "a_b__X: y");
}

}  // namespace
}  // namespace brevorin
