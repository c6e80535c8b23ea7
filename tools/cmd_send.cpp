// send: one message through an SMTP server.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "cli.h"

namespace {

constexpr char kEsc = '\x1b';

// The header list and the attachment list are ESC-separated; a value with an
// ESC in it would add items of its own.
bool usable_value(const std::string& option, const std::string& value) {
    if (value.find(kEsc) == std::string::npos) return true;
    std::fprintf(stderr, "brevorin: %s must not contain an ESC character\n", option.c_str());
    return false;
}

bool add_item(const cli::Args& args, const char* option, const char* key, std::string& list) {
    if (!args.has(option)) return true;
    std::string value = args.get(option);
    if (!usable_value(option, value)) return false;
    if (!list.empty()) list += kEsc;
    list += key;
    list += value;
    return true;
}

bool read_text(const cli::Args& args, std::string& text) {
    std::string file = args.get("--text-file");
    if (file.empty()) {
        std::ostringstream all;
        all << std::cin.rdbuf();
        text = all.str();
        return true;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "brevorin: cannot read text file %s\n", file.c_str());
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int run_send(const cli::Args& args, MailSession* session) {
    std::string server = args.get("--server");
    if (server.empty() || !args.has("--from") || !args.has("--to")) {
        std::fprintf(stderr, "brevorin: send needs --server, --from and --to\n");
        return 2;
    }
    std::string headers;
    if (!add_item(args, "--to", "TO=", headers) || !add_item(args, "--from", "FROM=", headers) ||
        !add_item(args, "--cc", "CC=", headers) || !add_item(args, "--bcc", "BCC=", headers) ||
        !add_item(args, "--subject", "SUBJECT=", headers) ||
        !add_item(args, "--priority", "PRIORITY=", headers) ||
        !add_item(args, "--reply", "REPLY=", headers))
        return 2;
    std::string attachments;
    for (const std::string& path : args.all("--attach")) {
        if (!usable_value("--attach", path)) return 2;
        if (!attachments.empty()) attachments += kEsc;
        attachments += path;
    }
    std::string text;
    if (!read_text(args, text)) return 2;
    int max_size = std::atoi(args.get("--max-size", "0").c_str());
    int status = brevorin_sendmail(server.c_str(), headers.c_str(), text.c_str(),
                                   attachments.c_str(), max_size, session);
    if (status != 0) return cli::report_failure("send", status);
    std::printf("sent\n");
    return 0;
}

cli::Registrar send_command(
    {"send",
     "send --server H[+PORT] --from A --to B [--cc C] [--bcc D] [--subject S] [--priority N]\n"
     "       [--reply R] [--attach FILE]... [--max-size N] [--text-file F | text on stdin]",
     run_send, false});

}  // namespace
