// The configuration file: named accounts of settings the command line
// would otherwise repeat on every call.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "cli.h"

namespace cli {

struct ConfigSetting {
    std::string key, value;
    int line = 0;
};

struct ConfigAccount {
    std::string name;
    int line = 0;
    std::vector<ConfigSetting> settings;
};

struct ConfigFile {
    std::string default_account;
    std::vector<ConfigAccount> accounts;
    bool holds_password = false;  // a password key in any account
};

// Reads the text of a configuration file. False with error set to
// "line N: why" when a line is not understood.
bool parse_config(const std::string& text, ConfigFile& out, std::string& error);

// Fills what the command line left open from the account it names (or the
// file's default account). -1 to go on, otherwise the exit code after
// printing why: kExitFile when a named file cannot be read, kExitUsage for
// a bad file or an unknown account.
int apply_account(Request& r, std::string& charset, std::string& protocol);

}  // namespace cli
