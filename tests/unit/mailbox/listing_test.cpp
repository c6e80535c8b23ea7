// The listing loop over a scripted protocol: which messages it asks the
// protocol about and in what order, when it lets the protocol finish its
// requests in flight, and what a cut at the host's window hands out.
#include "mailbox/listing.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/context.h"

namespace brevorin {
namespace {

struct Script {
    const char* name;
    int messages;
    std::set<int> deleted;  // not present from the start
    std::set<int> vanish;   // found gone while their headers are asked for
    size_t subject_size;    // large ones push a record past the host's window
    bool uidl;
    int finish_status;         // what finishing the requests in flight meets
    bool hands_out_first;      // whether a cut list survives a failed finish
    int status;                // of the listing
    std::vector<int> numbers;  // the NMB= of the records handed out
    std::string calls;
};

// Records what the loop asks of it; every header it makes known has a
// subject of the script's size.
class ScriptedProtocol final : public MailboxProtocol {
  public:
    explicit ScriptedProtocol(const Script& script) : script_(script) {}
    std::string calls;

    class Pass final : public ListingPass {
      public:
        Pass(ScriptedProtocol& p, Mailbox& box) : p_(p), box_(box) {}
        int ensure_headers(int n) override {
            p_.calls += "h" + std::to_string(n) + " ";
            if (p_.script_.vanish.count(n) != 0) {
                box_.states[n].present = false;
                return 0;
            }
            box_.entry(n).subject = std::string(p_.script_.subject_size, 's');
            box_.states[n].size = 100 * n;
            box_.states[n].headers_parsed = true;
            return 0;
        }
        int make_way() override {
            p_.calls += "w ";
            return 0;
        }
        int finish() override {
            p_.calls += "f ";
            return p_.script_.finish_status;
        }
        bool hands_out_cut_list_first() const override { return p_.script_.hands_out_first; }

      private:
        ScriptedProtocol& p_;
        Mailbox& box_;
    };

    int logon(Mailbox&, const char*, const char*, const char*) override { return kOk; }
    int logoff(Mailbox&) override { return kOk; }
    int remove(Mailbox&, int) override { return kOk; }
    bool size(Mailbox&, int, int32_t&) override { return false; }
    Fetch fetch(Mailbox&, int, const char*, const std::function<Fetch(LineSource&)>&) override {
        return Fetch::kRefused;
    }
    bool unique_id(Mailbox& box, int message) override {
        calls += "u" + std::to_string(message) + " ";
        box.entry(message).uidl = "id" + std::to_string(message);
        return true;
    }
    std::unique_ptr<ListingPass> listing(Mailbox& box, int) override {
        return std::make_unique<Pass>(*this, box);
    }
    const char* name() const override { return "TEST"; }
    void end_visit() override {}

  private:
    const Script& script_;
};

// The NMB= numbers of a list, in order.
std::vector<int> record_numbers(const std::string& list) {
    std::vector<int> numbers;
    for (size_t at = list.find("NMB="); at != std::string::npos; at = list.find("NMB=", at + 4))
        numbers.push_back(std::stoi(list.substr(at + 4)));
    return numbers;
}

class ListingLoop : public ::testing::TestWithParam<Script> {};

TEST_P(ListingLoop, AsksTheProtocolInOrderAndFinishesBeforeReturning) {
    const Script& script = GetParam();
    Context ctx;
    ctx.options.uidl = script.uidl;
    Mailbox box(ctx);
    auto protocol = std::make_unique<ScriptedProtocol>(script);
    ScriptedProtocol& scripted = *protocol;
    box.protocol = std::move(protocol);
    box.logged_on = true;
    box.message_count = script.messages;
    box.states.assign(static_cast<size_t>(script.messages) + 1, MessageState{});
    for (int n = 1; n <= script.messages; ++n) box.states[n].present = script.deleted.count(n) == 0;

    std::string list = "stale";
    EXPECT_EQ(list_messages(box, list), script.status);
    EXPECT_EQ(record_numbers(list), script.numbers);
    EXPECT_EQ(scripted.calls, script.calls);
    EXPECT_LE(list.size() + 1, static_cast<size_t>(kHostTextLimit));
}

// Records of about 4 KiB: two fit the host's window of 10 KiB, three do not.
constexpr size_t kLarge = 4000;

INSTANTIATE_TEST_SUITE_P(
    Scripts, ListingLoop,
    ::testing::Values(
        Script{"all", 3, {}, {}, 10, false, 0, false, 3, {1, 2, 3}, "h1 h2 h3 f "},
        Script{"deleted_one_is_skipped_unasked",
               3,
               {2},
               {},
               10,
               false,
               0,
               false,
               2,
               {1, 3},
               "h1 h3 f "},
        Script{
            "one_found_gone_is_skipped", 3, {}, {2}, 10, false, 0, false, 2, {1, 3}, "h1 h2 h3 f "},
        Script{"unique_ids_after_the_way_is_made",
               2,
               {},
               {},
               10,
               true,
               0,
               false,
               2,
               {1, 2},
               "h1 w u1 h2 w u2 f "},
        Script{"cut_at_the_window", 4, {}, {}, kLarge, false, 0, false, 2, {1, 2}, "h1 h2 h3 f "},
        Script{"cut_then_lost_hands_out_nothing",
               4,
               {},
               {},
               kLarge,
               false,
               kNetwork,
               false,
               kNetwork,
               {},
               "h1 h2 h3 f "},
        Script{"cut_then_lost_keeps_records_handed_out_first",
               4,
               {},
               {},
               kLarge,
               false,
               kNetwork,
               true,
               kNetwork,
               {1, 2},
               "h1 h2 h3 f "},
        Script{"lost_at_the_end_reports_it",
               2,
               {},
               {},
               10,
               false,
               kNetwork,
               false,
               kNetwork,
               {1, 2},
               "h1 h2 f "}),
    [](const ::testing::TestParamInfo<Script>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brevorin
