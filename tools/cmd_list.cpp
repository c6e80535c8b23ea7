// list: the messages waiting in the mailbox, one line each, or the field
// list exactly as the library hands it to its host (--raw).
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "api/tool_support.h"
#include "cli.h"
#include "core/text.h"

namespace cli {

namespace {

using Record = ListRecord;

constexpr size_t kDateWidth = 31;
constexpr size_t kFromWidth = 32;

// Splits the field list into records; each begins with its NMB item.
std::vector<Record> split_records(const std::string& list) {
    std::vector<Record> records;
    for (const std::string& item : brevorin::split_field_list(list)) {
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (key == "NMB" || records.empty()) records.emplace_back();
        records.back()[key] = value;
    }
    return records;
}

long number_of(const Record& record) {
    auto it = record.find("NMB");
    return it == record.end() ? 0 : std::strtol(it->second.c_str(), nullptr, 10);
}

// Control bytes (escape sequences of unconverted Japanese text, stray line
// breaks) would garble a terminal line.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
    return out;
}

std::string fit(const std::string& text, size_t width) {
    std::string shown = printable(text);
    if (shown.size() > width) shown = shown.substr(0, width - 3) + "...";
    shown.resize(width, ' ');
    return shown;
}

void print_table(const std::vector<Record>& records, bool uidl) {
    if (uidl) std::printf("%-24s ", "UIDL");
    std::printf("%5s %9s  %s  %s  %s\n", "NMB", "SIZE", fit("DATE", kDateWidth).c_str(),
                fit("FROM", kFromWidth).c_str(), "SUBJECT");
    for (const auto& r : records) {
        auto field = [&r](const char* key) {
            auto it = r.find(key);
            return it == r.end() ? std::string() : it->second;
        };
        // Ids are up to 70 characters: the column widens for long ones.
        if (uidl) std::printf("%-24s ", printable(field("UIDL")).c_str());
        std::printf("%5s %9s  %s  %s  %s\n", field("NMB").c_str(), field("SIZE").c_str(),
                    fit(field("DATE"), kDateWidth).c_str(), fit(field("FROM"), kFromWidth).c_str(),
                    printable(field("SUBJECT")).c_str());
    }
}

// {"messages": [{"number": 1, "size": 48, "date": ..., ...}, ...]}
void print_json(const std::vector<Record>& records) {
    static const struct {
        const char* key;
        const char* name;
        bool number;
    } kFields[] = {{"NMB", "number", true},        {"SIZE", "size", true},
                   {"DATE", "date", false},        {"FROM", "from", false},
                   {"SUBJECT", "subject", false},  {"ID", "message_id", false},
                   {"PRIORITY", "priority", true}, {"UIDL", "uidl", false}};
    std::string out = "{\"messages\": [";
    for (size_t i = 0; i < records.size(); ++i) {
        out += i == 0 ? "{" : ", {";
        bool first = true;
        for (const auto& f : kFields) {
            auto it = records[i].find(f.key);
            if (it == records[i].end()) continue;
            out += first ? "" : ", ";
            first = false;
            out += json_string(f.name) + ": ";
            out += f.number ? std::to_string(std::strtoll(it->second.c_str(), nullptr, 10))
                            : json_string(it->second);
        }
        out += "}";
    }
    std::printf("%s]}\n", out.c_str());
}

}  // namespace

// One listing call returns what fits in a host text; the list_from option
// asks for the next page, starting after the last message seen.
int list_records(const Request& request, MailSession* session, std::vector<Record>& records,
                 std::string& raw, bool& complete) {
    brevorin::tool::MailboxStat stat;
    brevorin::tool::mailbox_stat(session, stat);
    long next = 1;
    complete = true;
    while (true) {
        if (next > 1) {
            diagnostics().begin_call();
            if (brevorin_setoption("list_from", std::to_string(next).c_str(), session) != 0) {
                complete = false;
                break;
            }
        }
        char* list = nullptr;
        diagnostics().begin_call();
        int status = brevorin_listmail(&list, session);
        if (status < 0) return report_failure("list", status, Step::kMailbox, request.server);
        std::string text = list != nullptr ? list : "";
        std::vector<Record> page = split_records(text);
        if (page.empty()) break;
        // A library that ignores list_from starts every page at the beginning.
        if (!records.empty() && number_of(page.front()) < next) {
            complete = false;
            break;
        }
        raw += (raw.empty() ? "" : "\x1b") + text;
        records.insert(records.end(), page.begin(), page.end());
        if (static_cast<long long>(records.size()) >= stat.present) break;
        next = number_of(page.back()) + 1;
    }
    return kExitOk;
}

int run_list(const Request& request, MailSession* session) {
    std::vector<Record> records;
    std::string raw;
    bool complete = true;
    int rc = list_records(request, session, records, raw, complete);
    if (rc != kExitOk) return rc;
    if (request.json) {
        print_json(records);
    } else if (request.raw_list) {
        std::fwrite(raw.data(), 1, raw.size(), stdout);
        std::fputc('\n', stdout);
    } else {
        print_table(records, request.uidl);
    }
    if (!complete) {
        brevorin::tool::MailboxStat stat;
        brevorin::tool::mailbox_stat(session, stat);
        std::fprintf(stderr, "brevorin: first %zu of %lld messages shown\n", records.size(),
                     stat.present);
    }
    return kExitOk;
}

}  // namespace cli
