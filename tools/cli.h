// The brevorin command-line tool: plays the host (attaches through the
// runtime stand-in) and drives the library's exports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "brevorin.h"

namespace cli {

// Exit codes. A library failure without a category of its own exits with
// 10 + |status| (17: no such message), as the tool always has.
enum Exit : int {
    kExitOk = 0,
    kExitUsage = 2,
    kExitResolve = 3,  // host name not found
    kExitConnect = 4,  // connection refused or host unreachable
    kExitAuth = 5,     // the server refused the logon (POP3) or AUTH (SMTP)
    kExitServer = 6,   // the server refused a command, a sender, a recipient or the message
    kExitTimeout = 7,  // the peer did not answer in time
    kExitFile = 8,     // a local file could not be read or written
    kExitNetwork = 9,  // any other network failure (connection lost, bad greeting)
    kExitTls = 10,     // TLS could not be set up (certificate, name, handshake, STARTTLS)
    kExitInterrupted = 130,
};

// Defaults the tool passes to the library, stated in --help.
constexpr unsigned kDefaultConnectTimeout = 30;
constexpr unsigned kDefaultTimeout = 120;

// Everything the command line asked for, checked and converted.
struct Request {
    std::string command;
    bool trace = false;
    bool verbose = false;  // -v: the dialogue on standard error, secrets masked
    bool quiet = false;    // -q: errors only
    bool json = false;     // stat, list, get: one JSON document on standard output
    std::string charset;   // host setting 39; empty: not set

    std::string server;
    std::string user;
    std::string password_file;
    std::string password_command;
    bool password_stdin = false;  // the password is standard input's first line
    std::string password;         // an account's, from the configuration file
    std::string config_file;      // --config; empty: the usual place
    std::string account;          // --account; empty: the file's default
    bool netrc = false;
    std::string netrc_file;
    std::string token_file;
    std::string smtp_user;
    std::string ca_file;
    std::string auth;
    bool tls = false;
    bool starttls = false;
    bool insecure = false;
    bool allow_plaintext_auth = false;
    bool classic_mime = false;
    bool message_id = true;
    unsigned connect_timeout = kDefaultConnectTimeout;
    unsigned timeout = kDefaultTimeout;
    int logon_pause = 0;            // milliseconds after USER/PASS
    std::string protocol = "pop3";  // pop3 or imap: how the mailbox is reached
    std::string mailbox;            // IMAP: the mailbox to open (empty: INBOX)

    std::vector<int> messages;  // get, raw: one; delete: one or more
    std::string directory;
    int max_size = 0;
    bool raw_list = false;
    bool uidl = false;  // list: the UIDL column

    std::string helo;  // send: the name EHLO gives; empty: the machine's
    std::string from, subject, reply, priority, text_file, html_file;
    std::vector<std::string> to, cc, bcc, attachments;
};

// Fills request from the command line. Returns -1 to go on, otherwise the
// exit code (0 after --help or --version, kExitUsage after a usage error,
// whose message it has printed).
int parse_command_line(int argc, char** argv, Request& request);

// The library's diagnostics lines of the current call. The tool switches them
// on always, so that a failure can say why; they reach stderr only with
// --trace.
class Diagnostics {
  public:
    void set_echo(bool echo) { echo_ = echo; }
    void set_quiet(bool quiet) { quiet_ = quiet; }
    bool quiet() const { return quiet_; }
    // What an earlier call said does not explain a later failure.
    void begin_call() {
        last_problem_.clear();
        last_reply_.clear();
    }
    void add(const char* line);
    // Text (after the "BREVORIN: <E1> " prefix) of the last error or warning.
    const std::string& last_problem() const { return last_problem_; }
    // The server's last reply line as the library reported it, if any.
    const std::string& last_reply() const { return last_reply_; }

  private:
    // A call may say millions of lines (a listing of a huge mailbox): only
    // what explains a failure is kept.
    bool echo_ = false;
    bool quiet_ = false;
    std::string last_problem_;
    std::string last_reply_;
};
Diagnostics& diagnostics();

// The session whose failures the tool explains.
void explain_failures_of(MailSession* session);
// The CA file the session trusts, if any: a TLS failure is then not
// explained by the want of one.
void explain_tls_with_ca_file(const std::string& path);

// What was being attempted when a status came back: the same -2 means a
// refused logon or a refused message.
enum class Step { kLogon, kSend, kMailbox };

std::string describe_status(int status);
// Prints why step failed and returns its exit code.
int report_failure(const char* what, int status, Step step, const std::string& server);
void usage_error(const std::string& message);

// Reads a secret. kExitOk, or after printing why the
// exit code: kExitFile when it could not be read, kExitUsage when it holds a
// NUL byte (the library takes C strings: "Bearer ya29.\0..." would go out
// cut short and fail in a way nobody could explain).
// The password (or token) for login, from the first source given: --password-file
// or --token-file, --password-command, standard input with --password-stdin,
// BREVORIN_PASSWORD or BREVORIN_TOKEN, an account's password, the netrc file
// (--netrc, --netrc-file), then the terminal (prompted without echo). With
// none of them kExitUsage: a standard input that is not a terminal is the
// message to send, not a password.
int read_secret(const Request& r, const std::string& login, const std::string& prompt,
                std::string& secret);

// curl's reading of a netrc file for host and login (any login when empty).
struct NetrcEntry {
    std::string login, password;
    bool found = false;
};
bool netrc_lookup(const std::string& path, const std::string& host, const std::string& login,
                  NetrcEntry& out);
// The netrc file a request reads: --netrc-file, else $NETRC, else ~/.netrc.
std::string netrc_path(const Request& r);

// The host of a server string in the library's form, without brackets.
std::string host_name(const std::string& server);
// Whole file into text; false after printing why.
bool read_file(const std::string& path, const char* what, std::string& text);

// Shows bytes moved and the rate on stderr while it lives, when stderr is a
// terminal and the transfer takes long enough to be worth watching.
class Progress {
  public:
    // total: the bytes the transfer will move, when known (0: unknown).
    Progress(MailSession* session, const char* what, uint64_t total = 0);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

  private:
    MailSession* session_;
    bool shown_ = false;
    const char* what_;
    uint64_t started_ms_ = 0;
    uint64_t last_ms_ = 0;
    uint64_t total_ = 0;
};

// A JSON string literal of text: UTF-8 as it is, other bytes read as
// Latin-1, so that the document is valid whatever the host charset.
std::string json_string(const std::string& text);

// Commands: each returns an exit code.
int run_stat(const Request& request, MailSession* session);
int run_list(const Request& request, MailSession* session);
int run_get(const Request& request, MailSession* session);
int run_raw(const Request& request, MailSession* session);
int run_delete(const Request& request, MailSession* session);
// Reads its secrets and text itself, after the options are set.
int run_send(const Request& request, MailSession* session);

// Text from a server made safe for a terminal: control characters (ESC,
// BEL, CR, C1) shown as \x1b (\u009b for a UTF-8 C1 control); tabs kept.
std::string escaped(const std::string& text);

// Turns ESC-separated field lists into one line per item.
std::string readable_fields(const std::string& list);

}  // namespace cli
