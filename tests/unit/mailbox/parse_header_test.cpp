// Header field extraction: which occurrence of a key counts, where a value
// ends, what is decoded, trimmed and cut, and what is reported.
#include <gtest/gtest.h>

#include <string>

#include "api/session.h"
#include "brevorin.h"
#include "mailbox/header_record.h"
#include "support/host_fixture.h"

namespace brevorin {
namespace {

using test::HostFixture;

class ParseHeaderTest : public ::testing::Test {
  protected:
    MessageEntry parse(const std::string& header) {
        MessageEntry entry;
        EXPECT_EQ(parse_header_fields(header.c_str(), entry, session_->ctx), 0) << header;
        return entry;
    }

    HostFixture host_;
    MailSession* session_ = host_.new_session();
};

TEST_F(ParseHeaderTest, TakesEveryFieldAndKeepsItsCase) {
    MessageEntry e = parse(
        "Return-Path: <a@x.example>\r\nFrom: Ann Smith <ann@x.example>\r\nTo: bob@y.example\r\n"
        "Cc: Carl <carl@y.example>\r\nSubject: Quarterly Figures\r\n"
        "Date: Mon, 7 Dec 2026 10:00:00 +0100\r\nX-Priority: 2\r\n"
        "Reply-To: replies@x.example\r\nMessage-ID: <abc.123@x.example>\r\n\r\n");
    EXPECT_EQ(e.from, "Ann Smith <ann@x.example>");
    EXPECT_EQ(e.to, "bob@y.example");
    EXPECT_EQ(e.cc, "Carl <carl@y.example>");
    EXPECT_EQ(e.subject, "Quarterly Figures");
    EXPECT_EQ(e.date, "Mon, 7 Dec 2026 10:00:00 +0100");
    EXPECT_EQ(e.priority, 2);
    EXPECT_EQ(e.reply_to, "replies@x.example");
    EXPECT_EQ(e.id, "<abc.123@x.example>");
    EXPECT_TRUE(host_.has_line("BREVORIN: <D2> POP3_PARSEHEADER: Put bob@y.example in to field"));
    EXPECT_TRUE(host_.has_line("BREVORIN: <D2> POP3_PARSEHEADER: Put 2 in priority field"));
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <D2> POP3_PARSEHEADER: Put replies@x.example in reply field"));
}

TEST_F(ParseHeaderTest, MissingFieldsBecomeEmptyTextsAndPriorityThree) {
    MessageEntry e = parse("X-Other: nothing here\r\n\r\n");
    for (const OwnedText* field : {&e.from, &e.to, &e.cc, &e.subject, &e.date, &e.reply_to, &e.id})
        EXPECT_EQ(*field, "");
    EXPECT_EQ(e.priority, 3);
    EXPECT_TRUE(host_.has_line(
        "BREVORIN: <F0> POP3_PARSEHEADER: Priority not available, trying X-Priority"));
    EXPECT_TRUE(host_.has_line(
        "BREVORIN: <F0> POP3_PARSEHEADER: X-Priority not available, using default priority"));

    MessageEntry untouched;
    untouched.subject = "kept";
    EXPECT_EQ(parse_header_fields(nullptr, untouched, session_->ctx), -1);
    EXPECT_EQ(untouched.subject, "kept");
}

// Under classic rules a key matches the tail of a field name, and the first
// such field counts: Delivered-To and Reply-To for To, Bcc for Cc,
// Resent-Date for Date.
TEST_F(ParseHeaderTest, ClassicKeysMatchTheTailOfAFieldName) {
    MessageEntry e = parse(
        "Delivered-To: box@y.example\r\nTo: real@y.example\r\nBcc: hidden@y.example\r\n"
        "Cc: seen@y.example\r\nResent-Date: yesterday\r\nDate: today\r\n"
        "from: quiet@x.example\r\n\r\n");
    EXPECT_EQ(e.to, "box@y.example");
    EXPECT_EQ(e.cc, "hidden@y.example");
    EXPECT_EQ(e.date, "yesterday");
    EXPECT_EQ(e.from, "quiet@x.example");
    EXPECT_EQ(parse("Reply-To: r@x.example\r\nTo: t@x.example\r\n\r\n").to, "r@x.example");
}

// Where a key may be found. A DKIM signature names the signed fields on a
// continuation line; subjects quote other fields; bounces carry
// X-Envelope-From. Modern rules want the whole name.
struct WhereCase {
    const char* name;
    bool modern;
    std::string header;
    OwnedText MessageEntry::*field;
    const char* expected;
};

const std::string kSigned =
    "DKIM-Signature: v=1; a=rsa-sha256; d=example.com;\r\n"
    "        h=to:subject:message-id:date:from:cc:reply-to;\r\n"
    "        bh=x; b=y\r\n"
    "From: Real <real@example.com>\r\nSubject: Lunch?\r\n\r\n";

const WhereCase kWhereCases[] = {
    {"SignedFromClassic", false, kSigned, &MessageEntry::from, "Real <real@example.com>"},
    {"SignedToClassic", false, kSigned, &MessageEntry::to, ""},
    {"SignedToModern", true, kSigned, &MessageEntry::to, ""},
    {"SignedDateClassic", false, kSigned, &MessageEntry::date, ""},
    {"SignedIdModern", true, kSigned, &MessageEntry::id, ""},
    {"ValueOfAnotherField", false, "Subject: Re: To: you\r\nTo: t@x\r\n\r\n", &MessageEntry::to,
     "t@x"},
    {"AfterTheFirstColon", false, "X-Note: see cc: list\r\nCc: c@x\r\n\r\n", &MessageEntry::cc,
     "c@x"},
    {"FoldThatLostItsBlank", false, "Subject: a\r\nnote sent to: all\r\nTo: t@x\r\n\r\n",
     &MessageEntry::to, "t@x"},
    {"InTheBody", false, "From: a@x\r\n\r\nSubject: not a field\r\n", &MessageEntry::subject, ""},
    {"BareLineFeeds", true, "X-A: 1\nfrom: a@x\n\nTo: b@x\n", &MessageEntry::from, "a@x"},
    {"BounceClassic", false, "X-Envelope-From: <>\r\nFrom: daemon@x\r\n\r\n", &MessageEntry::from,
     "<>"},
    {"BounceModern", true, "X-Envelope-From: <>\r\nFrom: daemon@x\r\n\r\n", &MessageEntry::from,
     "daemon@x"},
    {"DeliveredToModern", true, "Delivered-To: box@x\r\nTO: real@x\r\n\r\n", &MessageEntry::to,
     "real@x"},
    {"ResentDateModern", true, "Resent-Date: Sun\r\nDate: Mon\r\n\r\n", &MessageEntry::date, "Mon"},
    {"BccModern", true, "Bcc: hidden@x\r\n\r\n", &MessageEntry::cc, ""},
};

class WhereKeysCount : public ParseHeaderTest, public ::testing::WithParamInterface<WhereCase> {};

TEST_P(WhereKeysCount, OnlyInTheNameOfAField) {
    const WhereCase& c = GetParam();
    if (c.modern) {
        ASSERT_EQ(brevorin_setoption("mime", "modern", session_), 0);
    }
    MessageEntry e = parse(c.header);
    EXPECT_EQ(e.*c.field, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Fields, WhereKeysCount, ::testing::ValuesIn(kWhereCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Bytes a sender put raw into a header reach a UTF-8 host as UTF-8 under
// the modern rules, each bad sequence one U+FFFD; classic rules and hosts
// of single-byte sets take the bytes as they came.
struct RawByteCase {
    const char* name;
    bool modern;
    int charset;
    const char* subject;
};

class RawBytesInFields : public ParseHeaderTest,
                         public ::testing::WithParamInterface<RawByteCase> {};

TEST_P(RawBytesInFields, ReachTheHostAsItsText) {
    const RawByteCase& c = GetParam();
    if (c.modern) {
        ASSERT_EQ(brevorin_setoption("mime", "modern", session_), 0);
    }
    session_->ctx.charset = c.charset;
    MessageEntry e = parse(
        "Subject: Link Exchange\x85 \xc3\xbc\xe2\x82\r\n"
        "Date: Mon \xff\r\nMessage-ID: <\xe9@x>\r\n\r\n");
    EXPECT_EQ(e.subject, c.subject);
    if (c.modern && c.charset == kUtf8) {
        EXPECT_EQ(e.date, "Mon \xef\xbf\xbd");
        EXPECT_EQ(e.id, "<\xef\xbf\xbd@x>");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, RawBytesInFields,
    ::testing::Values(
        RawByteCase{"ModernUtf8", true, kUtf8, "Link Exchange\xef\xbf\xbd \xc3\xbc\xef\xbf\xbd"},
        RawByteCase{"ClassicUtf8", false, kUtf8, "Link Exchange\x85 \xc3\xbc\xe2\x82"},
        RawByteCase{"ModernLatin1", true, kLatin1, "Link Exchange\x85 \xc3\xbc\xe2\x82"}),
    [](const auto& info) { return std::string(info.param.name); });

// Priority by each rule set: classic reads the first field whose name ends
// in Priority as a number; modern tries X-Priority, Priority, Importance.
struct PriorityCase {
    bool modern;
    const char* header;
    int expected;
};

const PriorityCase kPriorityCases[] = {
    {false, "X-Priority: 1 (Highest)\r\n\r\n", 1},
    {false, "Priority: urgent\r\nX-Priority: 1\r\n\r\n", 0},
    {false, "Subject: X-Priority: 1\r\n\r\n", 3},
    {false, "DKIM-Signature: a=1;\r\n h=priority:from\r\nX-Priority: 2\r\n\r\n", 2},
    {true, "X-Priority: 1 (Highest)\r\n\r\n", 5},
    {true, "Importance: high\r\nX-Priority: 4\r\n\r\n", 2},
    {true, "X-Priority: 9\r\nImportance: High\r\n\r\n", 5},
    {true, "Priority: urgent\r\nImportance: low\r\n\r\n", 5},
    {true, "Priority: non-urgent\r\n\r\n", 1},
    {true, "Priority: normal\r\nImportance: high\r\n\r\n", 3},
    {true, "Importance: low\r\n\r\n", 1},
    {true, "X-MS-Priority: 1\r\nSubject: X-Priority: 1\r\n\r\n", 3},
};

class PriorityRules : public ParseHeaderTest, public ::testing::WithParamInterface<PriorityCase> {};

TEST_P(PriorityRules, ComeFromTheFieldsOfTheirNames) {
    const PriorityCase& c = GetParam();
    if (c.modern) {
        ASSERT_EQ(brevorin_setoption("mime", "modern", session_), 0);
    }
    EXPECT_EQ(parse(c.header).priority, c.expected) << c.header;
    // The default is announced as it always was; a found one is put.
    bool put = host_.has_line("BREVORIN: <D2> POP3_PARSEHEADER: Put " + std::to_string(c.expected) +
                              " in priority field");
    bool defaulted = host_.has_line(
        "BREVORIN: <F0> POP3_PARSEHEADER: X-Priority not available, using default priority");
    EXPECT_NE(put, defaulted) << c.header;
}

INSTANTIATE_TEST_SUITE_P(Fields, PriorityRules, ::testing::ValuesIn(kPriorityCases));

// A value runs over its continuation lines up to the next header field,
// whether or not it holds colons itself.
TEST_F(ParseHeaderTest, FoldedValueEndsWhereTheNextFieldBegins) {
    const std::pair<const char*, const char*> cases[] = {
        {"Subject: first part\r\n second part\r\n\tthird\r\nFrom: a@x\r\n\r\n",
         "first part second partthird"},
        {"Subject: Re: hello\r\nFrom: a@x\r\n\r\n", "Re: hello"},
        {"Subject: Re: a long\r\n subject\r\n\r\n", "Re: a long subject"},
        {"Subject: Agenda\r\n item: budget\r\nDate: Tue\r\n\r\n", "Agenda item: budget"},
        {"Subject: broken\r\nfold\r\nFrom: a@x\r\n\r\n", "brokenfold"},
        {"Date: Tue\r\nSubject: the very end\r\n more", "the very end more"},  // as RETR gives it
        {"Subject: \r\n on the next line\r\n\r\n", "on the next line"},
    };
    for (const auto& [header, subject] : cases) EXPECT_EQ(parse(header).subject, subject) << header;
    EXPECT_EQ(parse("From: \"Team: Sales\" <s@x>\r\nTo: t@x\r\n\r\n").from,
              "\"Team: Sales\" <s@x>");
}

TEST_F(ParseHeaderTest, SingleLineFieldsAndPriority) {
    MessageEntry e = parse("Date:    Mon, 7 Dec 2026 +0000   \r\nMessage-ID: <o'brien@x>\r\n\r\n");
    EXPECT_EQ(e.date, "Mon, 7 Dec 2026 +0000");
    EXPECT_EQ(e.id, "<o");  // an apostrophe ends the value
    EXPECT_EQ(parse("X-Priority: 1 (Highest)\r\n\r\n").priority, 1);
    EXPECT_EQ(parse("Priority: urgent\r\nX-Priority: 1\r\n\r\n").priority, 0);
    EXPECT_EQ(parse("X-Priority:  -4\r\n\r\n").priority, -4);
}

// An empty value (the key right before its line end) lists as an empty
// text instead of failing; a subject that ends in "date:" is no Date.
TEST_F(ParseHeaderTest, EmptySingleLineValuesDoNotFailTheExtraction) {
    MessageEntry e =
        parse("Message-ID:\r\nX-Priority:\r\nSubject: moved the date:\r\nDate:\r\n\r\n");
    EXPECT_EQ(e.id, "");
    EXPECT_EQ(e.priority, 3);
    EXPECT_EQ(e.date, "");
    EXPECT_EQ(e.subject, "moved the date:");
    EXPECT_EQ(parse("Subject: moved the date:\r\nDate: Mon\r\n\r\n").date, "Mon");
}

TEST_F(ParseHeaderTest, ValuesAreCutTo511CharactersKeepingEncodedWordsWhole) {
    EXPECT_EQ(parse("Subject: " + std::string(600, 'x') + "\r\n\r\n").subject,
              std::string(511, 'x'));
    EXPECT_EQ(parse("To: " + std::string(511, 't') + "\r\n\r\n").to, std::string(511, 't'));
    EXPECT_EQ(parse("Message-ID: <" + std::string(700, 'i') + ">\r\n\r\n").id,
              "<" + std::string(510, 'i'));
    std::string plain(480, 'p');
    EXPECT_EQ(parse("Subject: " + plain + " =?iso-8859-1?q?Caf=E9_and_more?=\r\n\r\n").subject,
              plain);
}

TEST_F(ParseHeaderTest, EncodedWordsAreDecodedAndUndecodableValuesKept) {
    MessageEntry e = parse(
        "Subject: Re: =?iso-8859-1?q?Caf=E9?= ok\r\nFrom: =?us-ascii?b?SGVsbG8=?= <h@x>\r\n"
        "To: =?x?X?abc?=\r\nCc: What is 2+2=?\r\n\r\n");
    EXPECT_EQ(e.subject, "Re: Caf\xE9 ok");
    EXPECT_EQ(e.from, "Hello <h@x>");
    EXPECT_EQ(e.to, "=?x?X?abc?=");
    EXPECT_EQ(e.cc, "What is 2+2=?");
    EXPECT_EQ(host_.count_containing("POP3_PARSEHEADER: Could not decode"), 2);
}

}  // namespace
}  // namespace brevorin
