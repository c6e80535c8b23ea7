// The IMAP response reader on responses cut into pieces of every size, as
// reads of any size would deliver them; mailbox names and quoting.
#include "imap/response.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace brevorin::imap {
namespace {

// Bytes handed out step bytes at a time (and never past a line feed).
class SteppedPieces final : public PieceSource {
  public:
    SteppedPieces(std::string bytes, int step) : bytes_(std::move(bytes)), step_(step) {}
    int read(const char*& data, int room) override {
        if (pos_ >= bytes_.size()) return -1;
        size_t n = std::min<size_t>(
            {static_cast<size_t>(room), static_cast<size_t>(step_), bytes_.size() - pos_});
        size_t lf = bytes_.find('\n', pos_);
        if (lf != std::string::npos && lf < pos_ + n) n = lf - pos_ + 1;
        data = bytes_.data() + pos_;
        pos_ += n;
        return static_cast<int>(n);
    }

  private:
    std::string bytes_;
    int step_;
    size_t pos_ = 0;
};

// The tokens of input as text: atoms and numbers as they are, strings in
// <>, literals as {data}, lists as ( ), line ends as $.
std::string tokens(const std::string& input, int step) {
    SteppedPieces pieces(input, step);
    ResponseReader r(pieces);
    std::string out;
    while (true) {
        Token t = r.next();
        switch (t) {
            case Token::kAtom:
            case Token::kNumber:
                out += r.text() + " ";
                break;
            case Token::kString:
                out += "<" + r.text() + "> ";
                break;
            case Token::kNil:
                out += "NIL ";
                break;
            case Token::kOpen:
                out += "( ";
                break;
            case Token::kClose:
                out += ") ";
                break;
            case Token::kLiteral: {
                std::string data;
                if (!r.read_literal(data, 64)) return out + "!";
                out += "{" + data + "} ";
                break;
            }
            case Token::kLineEnd:
                out += "$ ";
                break;
            case Token::kFailed:
                return out + (r.failed() ? "!" : "?");
        }
    }
}

struct Case {
    const char* name;
    std::string input;
    std::string expected;  // "!" at the end: the input runs out (or is refused) there
};

class Tokens : public ::testing::TestWithParam<Case> {};

TEST_P(Tokens, SameAtEveryPieceSize) {
    const Case& c = GetParam();
    for (int step = 1; step <= static_cast<int>(c.input.size()) + 1; ++step)
        ASSERT_EQ(tokens(c.input, step), c.expected) << "pieces of " << step;
}

INSTANTIATE_TEST_SUITE_P(
    Responses, Tokens,
    ::testing::Values(
        Case{"fetch_with_literal",
             "* 12 FETCH (UID 7 RFC822.SIZE 44 BODY[HEADER] {10}\r\nab\r\ncd\r\n\r\n)\r\n",
             "* 12 FETCH ( UID 7 RFC822.SIZE 44 BODY[HEADER] {ab\r\ncd\r\n\r\n} ) $ !"},
        Case{"section_with_blanks_is_one_atom", "* 1 FETCH (BODY[HEADER.FIELDS (FROM TO)] NIL)\r\n",
             "* 1 FETCH ( BODY[HEADER.FIELDS (FROM TO)] NIL ) $ !"},
        Case{"quoted_with_escapes", "* LIST () \"\\\\\" \"a \\\"b\\\" c\"\r\n",
             "* LIST ( ) <\\> <a \"b\" c> $ !"},
        Case{"nested_lists_and_nil",
             "* 3 FETCH (ENVELOPE (NIL \"s\" ((\"n\" NIL \"u\" \"h\"))))\r\n",
             "* 3 FETCH ( ENVELOPE ( NIL <s> ( ( <n> NIL <u> <h> ) ) ) ) $ !"},
        Case{"non_synchronising_and_binary_literals", "* X {3+}\r\nabc ~{2}\r\nxy\r\n",
             "* X {abc} {xy} $ !"},
        Case{"empty_literal_then_tagged", "* 1 FETCH (BODY[] {0}\r\n)\r\nB1 OK done\r\n",
             "* 1 FETCH ( BODY[] {} ) $ B1 OK done $ !"},
        Case{"bare_lf_line_end", "* OK x\n", "* OK x $ !"},
        Case{"line_break_in_quoted_string", "* X \"ab\r\ncd\"\r\n", "* X !"},
        Case{"literal_without_digits", "* X {}\r\n", "* X !"},
        Case{"literal_size_line_not_ended", "* X {5} \r\nabcde\r\n", "* X !"},
        Case{"number_too_long_is_an_atom", "* 12345678901234567890123 EXISTS\r\n",
             "* 12345678901234567890123 EXISTS $ !"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(ResponseReader, LiteralLinesHandOutTheDataAsLinesAtEveryPieceSize) {
    const std::string data = "Subject: x\r\n\r\n" + std::string(3000, 'y') + "\r\nlast";
    const std::string input =
        "* 1 FETCH (BODY[] {" + std::to_string(data.size()) + "}\r\n" + data + ")\r\n";
    for (int step : {1, 2, 3, 7, 64, 2047, 2048, 4096}) {
        SteppedPieces pieces(input, step);
        ResponseReader r(pieces);
        for (int i = 0; i < 5; ++i) r.next();
        ASSERT_EQ(r.next(), Token::kLiteral);
        LiteralLines lines(r);
        std::string got;
        int pieces_starting_lines = 0;
        while (lines.next() == LineSource::Next::kLine) {
            got.append(lines.data(), static_cast<size_t>(lines.size()));
            ASSERT_LE(lines.size(), kLineCapacity);
            if (lines.starts_line()) ++pieces_starting_lines;
        }
        EXPECT_TRUE(lines.finished());
        EXPECT_EQ(got, data) << "pieces of " << step;
        EXPECT_EQ(pieces_starting_lines, 4) << "pieces of " << step;
        EXPECT_EQ(r.next(), Token::kClose);
        EXPECT_EQ(r.next(), Token::kLineEnd);
    }
}

TEST(ResponseReader, BoundsWhatItHolds) {
    // An atom or quoted string longer than the bound, and a line of text
    // without end, break the dialogue instead of growing.
    std::string atom = "* " + std::string(kMaxTokenLength + 1, 'a') + "\r\n";
    EXPECT_EQ(tokens(atom, 4096), "* !");
    std::string quoted_text = "* \"" + std::string(kMaxTokenLength + 1, 'a') + "\"\r\n";
    EXPECT_EQ(tokens(quoted_text, 4096), "* !");
    std::string exact = "* " + std::string(kMaxTokenLength, 'a') + "\r\n";
    EXPECT_EQ(tokens(exact, 4096), "* " + std::string(kMaxTokenLength, 'a') + " $ !");

    std::string text;
    SteppedPieces long_line("* OK " + std::string(kMaxTextLength + 10, 't') + "\r\n", 512);
    ResponseReader r(long_line);
    r.next();
    r.next();
    EXPECT_FALSE(r.rest_of_line(text));
    EXPECT_TRUE(r.failed());
    EXPECT_EQ(text.size(), static_cast<size_t>(kReplyCapacity - 1));

    // A literal skipped inside a response of no interest is bounded too.
    SteppedPieces huge("* 1 FETCH (X {999999999999}\r\nabc", 4096);
    ResponseReader h(huge);
    EXPECT_FALSE(h.skip_response());
    EXPECT_TRUE(h.failed());
}

TEST(ResponseReader, ReadLiteralKeepsAtMostItsShareAndStaysInStep) {
    SteppedPieces pieces("* 1 FETCH (BODY[HEADER] {12}\r\n0123456789\r\n)\r\n", 5);
    ResponseReader r(pieces);
    for (int i = 0; i < 5; ++i) r.next();
    ASSERT_EQ(r.next(), Token::kLiteral);
    std::string kept;
    ASSERT_TRUE(r.read_literal(kept, 4));
    EXPECT_EQ(kept, "0123");
    EXPECT_EQ(r.next(), Token::kClose);
}

// A response of prefix, size bytes of literal data (made as they are read)
// and suffix, then the same again: how much one response may hold does
// not carry over into the next.
class LargePieces final : public PieceSource {
  public:
    LargePieces(std::string prefix, uint64_t size, std::string suffix)
        : prefix_(std::move(prefix)), size_(size), suffix_(std::move(suffix)) {}
    int read(const char*& data, int room) override {
        while (true) {
            if (round_ == 2) return -1;
            if (part_ == 0 && at_ < prefix_.size())
                return take(data, prefix_.data() + at_, prefix_.size() - at_, room);
            if (part_ == 0) part_ = 1, at_ = 0;
            if (part_ == 1 && at_ < size_) {
                static const std::string kFill(8192, 'x');
                return take(data, kFill.data(), std::min<uint64_t>(size_ - at_, kFill.size()),
                            room);
            }
            if (part_ == 1) part_ = 2, at_ = 0;
            if (at_ < suffix_.size())
                return take(data, suffix_.data() + at_, suffix_.size() - at_, room);
            part_ = 0, at_ = 0, ++round_;
        }
    }
    uint64_t served = 0;

  private:
    int take(const char*& data, const char* from, uint64_t left, int room) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, static_cast<uint64_t>(room)));
        const void* lf = std::memchr(from, '\n', n);
        if (lf != nullptr) n = static_cast<size_t>(static_cast<const char*>(lf) - from) + 1;
        data = from;
        at_ += n;
        served += n;
        return static_cast<int>(n);
    }
    std::string prefix_;
    uint64_t size_;
    std::string suffix_;
    int part_ = 0;
    int round_ = 0;
    uint64_t at_ = 0;
};

// How a literal of no interest (or one kept in part) is read.
enum class Way { kSkipResponse, kSkipValue, kReadLiteral };

struct Bound {
    const char* name;
    Way way;
    int64_t over;  // the response's size minus the bound
};

class ResponseBound : public ::testing::TestWithParam<Bound> {};

TEST_P(ResponseBound, HoldsAtExactlyTheBoundAndRefusesOneByteMoreUnread) {
    const uint64_t kBound = 64u << 20;
    const std::string prefix = "* 1 FETCH (X {";
    const std::string suffix = ")\r\n";
    // The size line's length depends on the size: find the one that makes
    // prefix, size line and data add up to the bound plus over.
    uint64_t size = kBound - prefix.size() - 12;
    while (prefix.size() + std::to_string(size).size() + 3 + size <
           kBound + static_cast<uint64_t>(GetParam().over))
        ++size;
    LargePieces pieces(prefix + std::to_string(size) + "}\r\n", size, suffix);
    ResponseReader r(pieces);
    for (int round = 0; round < 2; ++round) {
        r.start_response();
        bool read = false;
        if (GetParam().way == Way::kSkipResponse) {
            read = r.skip_response();
        } else {
            for (int i = 0; i < 5; ++i) r.next();  // * 1 FETCH ( X
            ASSERT_EQ(r.next(), Token::kLiteral);
            std::string kept;
            read = GetParam().way == Way::kSkipValue ? r.skip_value(Token::kLiteral)
                                                     : r.read_literal(kept, 10);
            if (read) read = r.next() == Token::kClose && r.next() == Token::kLineEnd;
        }
        if (GetParam().over > 0) {
            EXPECT_FALSE(read);
            EXPECT_TRUE(r.overrun());
            EXPECT_LT(pieces.served, 100u) << "the data was read";
            return;
        }
        ASSERT_TRUE(read) << "round " << round;
        EXPECT_FALSE(r.overrun());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Literals, ResponseBound,
    ::testing::Values(Bound{"skipped_response_at_the_bound", Way::kSkipResponse, 0},
                      Bound{"skipped_response_past_it", Way::kSkipResponse, 1},
                      Bound{"skipped_value_at_the_bound", Way::kSkipValue, 0},
                      Bound{"skipped_value_past_it", Way::kSkipValue, 1},
                      Bound{"kept_literal_at_the_bound", Way::kReadLiteral, 0},
                      Bound{"kept_literal_past_it", Way::kReadLiteral, 1}),
    [](const ::testing::TestParamInfo<Bound>& info) { return std::string(info.param.name); });

TEST(ResponseReader, BlanksCountTowardsTheBoundOfALine) {
    for (size_t blanks : {kMaxTextLength, kMaxTextLength + 1}) {
        SteppedPieces pieces("*" + std::string(blanks, ' ') + "OK\r\n", 4096);
        ResponseReader r(pieces);
        r.start_response();
        ASSERT_EQ(r.next(), Token::kAtom);
        const bool fits = blanks == kMaxTextLength;
        EXPECT_EQ(r.next(), fits ? Token::kAtom : Token::kFailed) << blanks;
        EXPECT_EQ(r.overrun(), !fits);
    }
}

struct Name {
    const char* utf8;
    const char* wire;
};

class MailboxNames : public ::testing::TestWithParam<Name> {};

TEST_P(MailboxNames, AreModifiedUtf7) {
    EXPECT_EQ(modified_utf7(GetParam().utf8), GetParam().wire);
}

// The examples of RFC 3501 section 5.1.3 and the edges of the encoding.
INSTANTIATE_TEST_SUITE_P(
    Rfc3501, MailboxNames,
    ::testing::Values(
        Name{"INBOX", "INBOX"}, Name{"A&B", "A&-B"},
        Name{"~peter/mail/\xE5\x8F\xB0\xE5\x8C\x97/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
             "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
        Name{"Entw\xC3\xBC rfe", "Entw&APw- rfe"}, Name{"Gel\xC3\xB6scht", "Gel&APY-scht"},
        Name{"\xF0\x9F\x98\x80", "&2D3eAA-"}, Name{"caf\xE9", "caf&AOk-"},
        Name{"a\tb", "a&AAk-b"}));

TEST(Quoting, EscapesWhatItCanAndRefusesWhatNeedsALiteral) {
    EXPECT_EQ(quoted("alice"), "\"alice\"");
    EXPECT_EQ(quoted(""), "\"\"");
    EXPECT_EQ(quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quoted("p\xC3\xA4ss"), "");
    EXPECT_EQ(quoted(std::string("a\0b", 3)), "");
    EXPECT_EQ(quoted("a\r\nb"), "");
}

}  // namespace
}  // namespace brevorin::imap
