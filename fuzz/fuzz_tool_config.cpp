// The tool's configuration file reader fed any text. Nothing may crash; what
// it accepts must hold together: named accounts, each once, settings on the
// lines they came from, and a reading that does not depend on a trailing
// line break.
#include <string>

#include "config.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using brevorin::fuzz::check;
    const std::string text = brevorin::fuzz::as_text(data, size);
    cli::ConfigFile file;
    std::string error;
    bool ok = cli::parse_config(text, file, error);
    check(ok == error.empty(), "an error is said exactly when the text is refused");
    if (!ok) {
        check(error.compare(0, 5, "line ") == 0, "an error names its line");
        return 0;
    }
    int last_line = 0;
    bool password = false;
    for (size_t i = 0; i < file.accounts.size(); ++i) {
        const cli::ConfigAccount& a = file.accounts[i];
        check(!a.name.empty(), "an account has a name");
        check(a.line > last_line, "accounts in the order of their lines");
        last_line = a.line;
        for (size_t j = 0; j < i; ++j) check(file.accounts[j].name != a.name, "names differ");
        for (const cli::ConfigSetting& s : a.settings) {
            check(s.line > last_line, "settings after their account, in order");
            last_line = s.line;
            check(!s.value.empty() && s.value.find('\n') == std::string::npos, "one-line value");
            password = password || s.key == "password" || s.key == "smtp-password";
        }
    }
    check(password == file.holds_password, "a password is noticed wherever it is");
    cli::ConfigFile again;
    check(cli::parse_config(text + "\n", again, error), "a final line break changes nothing");
    check(again.accounts.size() == file.accounts.size(), "the same accounts");
    return 0;
}
