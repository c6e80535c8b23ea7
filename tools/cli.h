// The brevorin command-line tool: plays the host (attaches through the
// runtime stand-in) and drives the library's exports.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "brevorin.h"

namespace cli {

// Parsed command line: options (--name value / --flag) and positional words.
struct Args {
    std::map<std::string, std::vector<std::string>> options;
    std::vector<std::string> positional;

    bool has(const std::string& name) const { return options.count(name) != 0; }
    std::string get(const std::string& name, const std::string& fallback = "") const;
    std::vector<std::string> all(const std::string& name) const;
};

using CommandFn = int (*)(const Args& args, MailSession* session);

struct Command {
    const char* name;
    const char* usage;
    CommandFn run;
    bool needs_logon;  // log on to POP3 before run, log off after
};

// Registers a command at start-up (one static Registrar per command file).
struct Registrar {
    explicit Registrar(const Command& command);
};

// A status code and what it means, for people.
std::string describe_status(int status);
// Prints "brevorin: <what> failed: <code> (<meaning>)" and returns an exit code.
int report_failure(const char* what, int status);
// Exit code for a status: 0 success, otherwise 10 + (-status).
int exit_code_for(int status);
// Turns ESC-separated field lists into one line per item.
std::string readable_fields(const std::string& list);

}  // namespace cli
