// The lines of one SASL exchange as a server sees them, for each mechanism,
// each room for the initial response and each way a server ends it.
#include "net/sasl.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <tuple>
#include <vector>

namespace brevorin::sasl {
namespace {

// Answers from a script and keeps every line sent.
class FakePeer : public Peer {
  public:
    FakePeer(size_t limit, std::deque<Answer> answers, Answer verdict)
        : limit_(limit), answers_(std::move(answers)), verdict_(verdict) {}
    std::string command(const char* mechanism) override { return std::string("AUTH ") + mechanism; }
    size_t initial_response_limit() const override { return limit_; }
    bool send(const std::string& line) override {
        sent.push_back(line);
        // As a transcript shows it: from the mark to the line end starred.
        size_t end = line.size() >= 2 ? line.size() - 2 : line.size();
        shown.push_back(hidden_ < end ? line.substr(0, hidden_) + "****\r\n" : line);
        hidden_ = SIZE_MAX;
        return true;
    }
    void conceal_next(size_t from) override { hidden_ = from; }
    Answer read() override {
        if (answers_.empty()) {
            ++overrun;
            return Answer::kLost;
        }
        Answer a = answers_.front();
        answers_.pop_front();
        return a;
    }
    Answer read_verdict() override {
        ++verdicts;
        return verdict_;
    }
    void challenged() override { ++challenges; }

    std::vector<std::string> sent;
    std::vector<std::string> shown;
    int challenges = 0;
    int verdicts = 0;
    int overrun = 0;

  private:
    size_t hidden_ = SIZE_MAX;
    size_t limit_;
    std::deque<Answer> answers_;
    Answer verdict_;
};

// The credentials "ann" / "pw" as each mechanism sends them; the limit is
// the opening line's room, at the boundary where it matters.
struct Wire {
    const char* label;
    Mechanism mechanism;
    size_t limit;
    std::vector<std::string> lines;
};

const Wire kWires[] = {
    {"PlainFitsExactly", Mechanism::kPlain, 25, {"AUTH PLAIN AGFubgBwdw==\r\n"}},
    {"PlainOneByteShort", Mechanism::kPlain, 24, {"AUTH PLAIN\r\n", "AGFubgBwdw==\r\n"}},
    {"PlainForbidden", Mechanism::kPlain, 0, {"AUTH PLAIN\r\n", "AGFubgBwdw==\r\n"}},
    {"Xoauth2FitsExactly",
     Mechanism::kXoauth2,
     51,
     {"AUTH XOAUTH2 dXNlcj1hbm4BYXV0aD1CZWFyZXIgcHcBAQ==\r\n"}},
    {"Xoauth2OneByteShort",
     Mechanism::kXoauth2,
     50,
     {"AUTH XOAUTH2\r\n", "dXNlcj1hbm4BYXV0aD1CZWFyZXIgcHcBAQ==\r\n"}},
    {"Xoauth2Forbidden",
     Mechanism::kXoauth2,
     0,
     {"AUTH XOAUTH2\r\n", "dXNlcj1hbm4BYXV0aD1CZWFyZXIgcHcBAQ==\r\n"}},
    // LOGIN waits for the prompts, however much room the line has.
    {"LoginRoomy", Mechanism::kLogin, 1000, {"AUTH LOGIN\r\n", "YW5u\r\n", "cHc=\r\n"}},
    {"LoginForbidden", Mechanism::kLogin, 0, {"AUTH LOGIN\r\n", "YW5u\r\n", "cHc=\r\n"}},
};

enum class Ending {
    kAccepted,    // a continuation before each response, then a verdict
    kRefused,     // a verdict on the command: no credentials follow
    kChallenged,  // a continuation after the last response too
    kLost,        // nothing after the last response
};

class SaslExchange : public ::testing::TestWithParam<std::tuple<Wire, Ending>> {};

TEST_P(SaslExchange, SendsTheLinesTheServerAsksFor) {
    const auto& [wire, ending] = GetParam();
    std::deque<Answer> answers(wire.lines.size() - 1, Answer::kContinue);
    std::vector<std::string> expected = wire.lines;
    Outcome outcome = Outcome::kAnswered;
    switch (ending) {
        case Ending::kAccepted:
            answers.push_back(Answer::kFinal);
            break;
        case Ending::kRefused:
            answers = {Answer::kFinal};
            expected.resize(1);
            break;
        case Ending::kChallenged:
            answers.push_back(Answer::kContinue);
            expected.push_back("\r\n");
            outcome = Outcome::kChallenged;
            break;
        case Ending::kLost:
            answers.push_back(Answer::kLost);
            outcome = Outcome::kLost;
            break;
    }
    FakePeer peer(wire.limit, answers, Answer::kFinal);
    EXPECT_EQ(run(peer, wire.mechanism, "ann", "pw"), outcome);
    EXPECT_EQ(peer.sent, expected);
    EXPECT_EQ(peer.challenges, ending == Ending::kChallenged ? 1 : 0);
    EXPECT_EQ(peer.verdicts, ending == Ending::kChallenged ? 1 : 0);
    EXPECT_EQ(peer.overrun, 0);
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Wire, Ending>>& info) {
    static const char* const kEndings[] = {"Accepted", "Refused", "Challenged", "Lost"};
    return std::string(std::get<0>(info.param).label) +
           kEndings[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(AllMechanisms, SaslExchange,
                         ::testing::Combine(::testing::ValuesIn(kWires),
                                            ::testing::Values(Ending::kAccepted, Ending::kRefused,
                                                              Ending::kChallenged, Ending::kLost)),
                         CaseName);

// Every response is a credential, on the command line or after it; the
// command and the empty answer to a challenge are not.
struct Shown {
    const char* label;
    Mechanism mechanism;
    size_t limit;
    std::vector<std::string> lines;
};

class SaslTranscript : public ::testing::TestWithParam<Shown> {};

TEST_P(SaslTranscript, HidesTheResponsesAndNothingElse) {
    const Shown& s = GetParam();
    std::deque<Answer> answers(s.lines.size(), Answer::kContinue);
    FakePeer peer(s.limit, answers, Answer::kFinal);
    EXPECT_EQ(run(peer, s.mechanism, "ann", "pw"), Outcome::kChallenged);
    EXPECT_EQ(peer.shown, s.lines);
}

INSTANTIATE_TEST_SUITE_P(
    AllMechanisms, SaslTranscript,
    ::testing::Values(
        Shown{"PlainInitial", Mechanism::kPlain, 1000, {"AUTH PLAIN ****\r\n", "\r\n"}},
        Shown{"PlainPrompted", Mechanism::kPlain, 0, {"AUTH PLAIN\r\n", "****\r\n", "\r\n"}},
        Shown{"Xoauth2Initial", Mechanism::kXoauth2, 1000, {"AUTH XOAUTH2 ****\r\n", "\r\n"}},
        Shown{"LoginPrompted",
              Mechanism::kLogin,
              1000,
              {"AUTH LOGIN\r\n", "****\r\n", "****\r\n", "\r\n"}}),
    [](const ::testing::TestParamInfo<Shown>& info) { return info.param.label; });

// A verdict that never comes after the empty answer loses the connection,
// not just the logon.
TEST(SaslChallenge, UnreadVerdictIsALostConnection) {
    FakePeer peer(1000, {Answer::kContinue}, Answer::kLost);
    EXPECT_EQ(run(peer, Mechanism::kXoauth2, "ann", "pw"), Outcome::kLost);
    EXPECT_EQ(peer.sent.back(), "\r\n");
}

}  // namespace
}  // namespace brevorin::sasl
