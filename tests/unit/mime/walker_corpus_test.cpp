// The walker against accounts recorded from the two readers it replaced,
// over generated, hand-made and fuzzed messages read by both rule sets and
// four host charsets: same outcome, status, body, files and diagnostics.
// A deliberate change of behaviour re-records the accounts (run with
// BREVORIN_RECORD_WALKER_CORPUS set), with the reason in its commit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "walk_summary.h"

namespace brevorin {
namespace {

const std::string kCorpus = BREVORIN_UNIT_DATA "/walker_corpus";

// The recorded accounts by entry name: "== name" lines, each followed by
// its account.
std::map<std::string, std::string> recorded_accounts() {
    std::map<std::string, std::string> accounts;
    std::string text = test::read_file(kCorpus + "/accounts.txt");
    std::string* current = nullptr;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(at, end - at);
        if (line.compare(0, 3, "== ") == 0)
            current = &accounts[line.substr(3, line.size() - 4)];
        else if (current != nullptr)
            *current += line;
        at = end;
    }
    return accounts;
}

TEST(WalkerCorpus, EveryEntryGivesItsRecordedAccount) {
    std::map<std::string, std::string> accounts = recorded_accounts();
    ASSERT_GE(accounts.size(), 200u) << "the corpus was not found at " << kCorpus;
    if (std::getenv("BREVORIN_RECORD_WALKER_CORPUS") != nullptr) {
        std::string all;
        for (const auto& entry : accounts)
            all += "== " + entry.first + "\n" +
                   test::walk_summary(test::read_file(kCorpus + "/" + entry.first));
        test::write_file(kCorpus + "/accounts.txt", all);
        GTEST_SKIP() << "accounts re-recorded";
    }
    int differing = 0;
    for (const auto& [name, account] : accounts) {
        std::string input = test::read_file(kCorpus + "/" + name);
        ASSERT_FALSE(input.empty()) << name;
        std::string now = test::walk_summary(input);
        if (now != account && ++differing <= 5)
            ADD_FAILURE() << name << "\nrecorded:\n" << account << "now:\n" << now;
    }
    EXPECT_EQ(differing, 0);
}

}  // namespace
}  // namespace brevorin
