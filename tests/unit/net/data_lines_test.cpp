// The dot-data reader on answers cut into pieces anywhere: what it hands out
// must not depend on how the bytes arrived.
#include "net/data_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace brevorin {
namespace {

enum class Ending { kFails, kTimesOut };

// The bytes in pieces that never run past a line feed (as a connection's
// do), nor past room, step bytes or the split position; after the last
// byte the source fails, as a connection closed or fallen silent does.
class ScriptedPieces final : public PieceSource {
  public:
    ScriptedPieces(std::string bytes, size_t step, size_t split = 0, Ending ending = Ending::kFails)
        : bytes_(std::move(bytes)), step_(step), split_(split), ending_(ending) {}

    int read(const char*& data, int room) override {
        if (pos_ >= bytes_.size()) return -1;
        size_t end = std::min({bytes_.size(), pos_ + static_cast<size_t>(room), pos_ + step_});
        if (pos_ < split_) end = std::min(end, split_);
        size_t lf = bytes_.find('\n', pos_);
        if (lf != std::string::npos && lf < end) end = lf + 1;
        data = bytes_.data() + pos_;
        int n = static_cast<int>(end - pos_);
        pos_ = end;
        return n;
    }
    bool timed_out() const override { return ending_ == Ending::kTimesOut; }

    bool holds(const char* p) const {
        return p >= bytes_.data() && p < bytes_.data() + bytes_.size();
    }
    std::string unread() const { return bytes_.substr(pos_); }

  private:
    std::string bytes_;
    size_t step_;
    size_t split_;
    Ending ending_;
    size_t pos_ = 0;
};

struct Reading {
    // Each piece's data, "+" in front of one that continues a line, then
    // how the data stopped.
    std::vector<std::string> pieces;
    // Whether a piece was handed out from a copy rather than the source.
    bool copied = false;
};

Reading read_all(ScriptedPieces& source) {
    DataLineReader reader(source);
    Reading out;
    LineSource::Next r;
    while ((r = reader.next()) == LineSource::Next::kLine) {
        out.pieces.push_back((reader.starts_line() ? "" : "+") +
                             std::string(reader.data(), static_cast<size_t>(reader.size())));
        if (!source.holds(reader.raw())) out.copied = true;
    }
    out.pieces.push_back(r == LineSource::Next::kEnd      ? "<end>"
                         : r == LineSource::Next::kFailed ? "<failed>"
                                                          : "<timed out>");
    return out;
}

using Pieces = std::vector<std::string>;

struct Answer {
    const char* name;
    std::string data;  // up to and with the terminating line
    Pieces expected;
};

void PrintTo(const Answer& a, std::ostream* os) {
    *os << a.name;
}

class WholeAnswers : public ::testing::TestWithParam<Answer> {};

// What follows the terminator is the next reply: it must stay unread.
const std::string kNextReply = "+OK next\r\n";

TEST_P(WholeAnswers, SameLinesHowEverTheBytesAreCut) {
    const Answer& a = GetParam();
    const std::string input = a.data + kNextReply;
    const size_t whole = input.size();

    ScriptedPieces one(input, whole);
    const Reading reference = read_all(one);
    ASSERT_EQ(reference.pieces, a.expected);
    EXPECT_FALSE(reference.copied) << "lines that arrive whole are handed out where they lie";
    EXPECT_EQ(one.unread(), kNextReply);

    for (size_t step = 1; step <= whole; ++step) {
        ScriptedPieces stepped(input, step);
        ASSERT_EQ(read_all(stepped).pieces, reference.pieces) << "pieces of " << step;
        ASSERT_EQ(stepped.unread(), kNextReply) << "pieces of " << step;
    }
    for (size_t split = 1; split < whole; ++split) {
        ScriptedPieces cut(input, whole, split);
        ASSERT_EQ(read_all(cut).pieces, reference.pieces) << "cut at " << split;
        ASSERT_EQ(cut.unread(), kNextReply) << "cut at " << split;
    }
}

const std::string kFull(kLineCapacity, 'x');

INSTANTIATE_TEST_SUITE_P(
    DataLines, WholeAnswers,
    ::testing::Values(Answer{"empty_body", ".\r\n", {"<end>"}},
                      Answer{"plain_lines",
                             "a\r\nbc\r\n\r\nd\r\n.\r\n",
                             {"a\r\n", "bc\r\n", "\r\n", "d\r\n", "<end>"}},
                      Answer{"stuffing_dot_dropped_at_line_start",
                             "..dot\r\n...\r\n..\r\n.\r\n",
                             {".dot\r\n", "..\r\n", ".\r\n", "<end>"}},
                      Answer{"dots_inside_a_line_are_data",
                             "a..b\r\n x.\r\n .\r\n.\r\n",
                             {"a..b\r\n", " x.\r\n", " .\r\n", "<end>"}},
                      Answer{"long_line_continues_with_dots_as_data",
                             kFull + ".\r\n" + kFull + "..q\r\n" + kFull + kFull + "\r\n.\r\n",
                             {kFull, "+.\r\n", kFull, "+..q\r\n", kFull, "+" + kFull, "+\r\n",
                              "<end>"}},
                      Answer{"line_at_capacity_and_one_past",
                             std::string(kLineCapacity - 2, 'a') + "\r\n" +
                                 std::string(kLineCapacity - 1, 'b') + "\r\n.\r\n",
                             {std::string(kLineCapacity - 2, 'a') + "\r\n",
                              std::string(kLineCapacity - 1, 'b') + "\r", "+\n", "<end>"}},
                      Answer{"bare_line_feeds_are_lines_but_never_the_end",
                             "a\nb\n.\n.\rx\r\nc\n.\r\n",
                             {"a\n", "b\n", "\n", "\rx\r\n", "c\n", "<end>"}}),
    [](const ::testing::TestParamInfo<Answer>& info) { return std::string(info.param.name); });

struct Truncated {
    const char* name;
    std::string data;
    Ending ending;
    Pieces expected;
};

void PrintTo(const Truncated& t, std::ostream* os) {
    *os << t.name;
}

class TruncatedAnswers : public ::testing::TestWithParam<Truncated> {};

TEST_P(TruncatedAnswers, ReportTheFailureNotAnEnd) {
    const Truncated& t = GetParam();
    for (size_t step = 1; step <= t.data.size() + 1; ++step) {
        ScriptedPieces pieces(t.data, step, 0, t.ending);
        ASSERT_EQ(read_all(pieces).pieces, t.expected) << "pieces of " << step;
    }
}

INSTANTIATE_TEST_SUITE_P(
    DataLines, TruncatedAnswers,
    ::testing::Values(
        Truncated{"nothing_at_all", "", Ending::kFails, {"<failed>"}},
        Truncated{"after_a_whole_line", "a\r\n", Ending::kFails, {"a\r\n", "<failed>"}},
        Truncated{"after_the_dot", "a\r\n.", Ending::kFails, {"a\r\n", "<failed>"}},
        Truncated{"after_the_dot_and_cr", "a\r\n.\r", Ending::kFails, {"a\r\n", "<failed>"}},
        Truncated{"mid_line", "a\r\nhalf a li", Ending::kFails, {"a\r\n", "<failed>"}},
        Truncated{"mid_stuffing", "a\r\n..st", Ending::kFails, {"a\r\n", "<failed>"}},
        Truncated{
            "in_the_rest_of_a_long_line", kFull + "tail", Ending::kFails, {kFull, "<failed>"}},
        Truncated{
            "silent_after_the_dot_and_cr", "a\r\n.\r", Ending::kTimesOut, {"a\r\n", "<timed out>"}},
        Truncated{"silent_mid_line", "a\r\nhal", Ending::kTimesOut, {"a\r\n", "<timed out>"}}),
    [](const ::testing::TestParamInfo<Truncated>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brevorin
