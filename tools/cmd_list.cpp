// list: the messages waiting in the mailbox, one line each, or the field
// list exactly as the library hands it to its host (--raw).
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "api/tool_support.h"
#include "cli.h"

namespace {

using Record = std::map<std::string, std::string>;

constexpr size_t kDateWidth = 31;
constexpr size_t kFromWidth = 32;

// Splits the field list into records; each begins with its NMB item.
std::vector<Record> split_records(const std::string& list) {
    std::vector<Record> records;
    size_t pos = 0;
    while (pos < list.size()) {
        size_t end = list.find('\x1b', pos);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(pos, end - pos);
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (key == "NMB" || records.empty()) records.emplace_back();
        records.back()[key] = value;
        pos = end + 1;
    }
    return records;
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

int present_messages(const MailSession* session) {
    brevorin::tool::MailboxStat stat;
    return brevorin::tool::mailbox_stat(session, stat) ? static_cast<int>(stat.present) : 0;
}

void print_table(const std::vector<Record>& records) {
    std::printf("%5s %9s  %s  %s  %s\n", "NMB", "SIZE", fit("DATE", kDateWidth).c_str(),
                fit("FROM", kFromWidth).c_str(), "SUBJECT");
    for (const auto& r : records) {
        auto field = [&r](const char* key) {
            auto it = r.find(key);
            return it == r.end() ? std::string() : it->second;
        };
        std::printf("%5s %9s  %s  %s  %s\n", field("NMB").c_str(), field("SIZE").c_str(),
                    fit(field("DATE"), kDateWidth).c_str(), fit(field("FROM"), kFromWidth).c_str(),
                    printable(field("SUBJECT")).c_str());
    }
}

int run_list(const cli::Args& args, MailSession* session) {
    char* list = nullptr;
    int status = brevorin_listmail(&list, session);
    if (status < 0) return cli::report_failure("list", status);
    std::string text = list != nullptr ? list : "";
    if (args.has("--raw")) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
        return 0;
    }
    print_table(split_records(text));
    int waiting = present_messages(session);
    if (status < waiting)
        std::fprintf(stderr,
                     "brevorin: %d of %d messages listed; the list stops at the %d bytes a host "
                     "text may hold\n",
                     status, waiting, brevorin::kHostTextLimit);
    return 0;
}

cli::Registrar list_command({"list",
                             "list --server H --user U [--raw]   number, size, date, sender and "
                             "subject of each message",
                             run_list, true});

}  // namespace
