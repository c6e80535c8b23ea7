#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "brevorin_host.h"
#include "cli.h"

namespace cli {

namespace {

std::vector<Command>& commands() {
    static std::vector<Command> list;
    return list;
}

// Options that take a value; everything else starting with "--" is a flag.
const char* const kValueOptions[] = {"--server", "--user", "--password-file", "--charset",
                                     "--dir", "--max-size", "--from", "--to", "--cc", "--bcc",
                                     "--subject", "--priority", "--reply", "--attach",
                                     "--text-file", "--trace-level"};

bool takes_value(const std::string& option) {
    for (const char* o : kValueOptions)
        if (option == o) return true;
    return false;
}

void print_line(void* /*user*/, const char* line) {
    std::fputs(line, stderr);
    size_t n = std::strlen(line);
    if (n == 0 || line[n - 1] != '\n') std::fputc('\n', stderr);
}

void usage() {
    std::fprintf(stderr,
                 "usage: brevorin [--trace] [--charset NAME] COMMAND [options]\n"
                 "POP3 commands take --server HOST[+PORT] --user NAME and the password from\n"
                 "--password-file FILE or, without it, from the first line of standard input.\n"
                 "commands:\n");
    for (const auto& c : commands()) std::fprintf(stderr, "  %s\n", c.usage);
}

bool read_password(const Args& args, std::string& password) {
    std::string file = args.get("--password-file");
    if (!file.empty()) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "brevorin: cannot read password file %s\n", file.c_str());
            return false;
        }
        std::getline(in, password);
    } else {
        std::getline(std::cin, password);
    }
    while (!password.empty() && (password.back() == '\r' || password.back() == '\n'))
        password.pop_back();
    return true;
}

}  // namespace

Registrar::Registrar(const Command& command) { commands().push_back(command); }

std::string Args::get(const std::string& name, const std::string& fallback) const {
    auto it = options.find(name);
    return it == options.end() || it->second.empty() ? fallback : it->second.back();
}

std::vector<std::string> Args::all(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? std::vector<std::string>{} : it->second;
}

std::string describe_status(int status) {
    switch (status) {
        case -2: return "the server refused";
        case -3: return "already logged on";
        case -4: return "receiving timed out";
        case -5: return "no memory for the message table";
        case -6: return "message larger than the size limit";
        case -7: return "no such message";
        case -8: return "not logged on";
        case -9: return "network failure";
        case -10: return "invalid input or no memory";
        case -11: return "a POP3 command failed";
        case -12: return "header list lacks TO= or FROM=";
        case -13: return "an attachment file could not be opened";
        case -14: return "an attachment could not be encoded";
        case -15: return "server reports insufficient storage";
        case -16: return "a result exceeds the host's parameter size";
        default: return status >= 0 ? "success" : "unknown status";
    }
}

int exit_code_for(int status) { return status >= 0 ? 0 : 10 - status; }

int report_failure(const char* what, int status) {
    std::fprintf(stderr, "brevorin: %s failed: %d (%s)\n", what, status,
                 describe_status(status).c_str());
    return exit_code_for(status);
}

std::string readable_fields(const std::string& list) {
    std::string out;
    for (char c : list) out += c == '\x1b' ? '\n' : c;
    return out;
}

}  // namespace cli

int main(int argc, char** argv) {
    using namespace cli;
    Args args;
    std::string command_name;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) == 0 && word.size() > 2) {
            if (word == "--password") {
                std::fprintf(stderr,
                             "brevorin: passwords are not taken on the command line; use "
                             "--password-file or standard input\n");
                return 2;
            }
            if (takes_value(word)) {
                if (i + 1 >= argc) {
                    std::fprintf(stderr, "brevorin: %s needs a value\n", word.c_str());
                    return 2;
                }
                args.options[word].push_back(argv[++i]);
            } else {
                args.options[word].push_back("");
            }
        } else if (command_name.empty()) {
            command_name = word;
        } else {
            args.positional.push_back(word);
        }
    }
    const Command* command = nullptr;
    for (const auto& c : commands())
        if (command_name == c.name) command = &c;
    if (command == nullptr || args.has("--help")) {
        usage();
        return command_name.empty() || args.has("--help") ? 0 : 2;
    }

    brevorin_host_context ctx;
    brevorin_host_context_init(&ctx);
    if (args.has("--trace")) brevorin_host_set_int(&ctx, 3, 64);
    if (args.has("--charset")) brevorin_host_set_text(&ctx, 39, args.get("--charset").c_str());
    brevorin_host_set_message_sink(&ctx, print_line, nullptr);
    _TCONNECT(1, 0, reinterpret_cast<brevorin_word>(&ctx));

    MailSession* session = nullptr;
    int count = brevorin_init(&session);
    if (session == nullptr) {
        std::fprintf(stderr, "brevorin: could not create a session (%d)\n", count);
        return 3;
    }
    int rc = 0;
    bool logged_on = false;
    if (command->needs_logon) {
        std::string server = args.get("--server"), user = args.get("--user"), password;
        if (server.empty() || user.empty()) {
            std::fprintf(stderr, "brevorin: %s needs --server and --user\n", command->name);
            rc = 2;
        } else if (!read_password(args, password)) {
            rc = 2;
        } else {
            int status = brevorin_logonmail(server.c_str(), user.c_str(), password.c_str(), session);
            if (status != 0)
                rc = report_failure("logon", status);
            else
                logged_on = true;
        }
    }
    if (rc == 0) rc = command->run(args, session);
    if (logged_on) {
        int status = brevorin_logoffmail(session);
        if (status != 0 && rc == 0) rc = report_failure("logoff", status);
    }
    brevorin_cleanup(session);
    _TCONNECT(6, 1, 0);
    brevorin_host_context_release(&ctx);
    return rc;
}
