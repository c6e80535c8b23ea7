// The brevorin command-line tool: plays the host (attaches through the
// runtime stand-in) and drives the library's exports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
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
    bool json = false;     // one JSON document on standard output
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

    // get, raw, delete: the messages as numbers and ranges (N is N-N), every
    // message (--all), or the server's unique ids; get also the new ones.
    struct Range {
        int first = 0, last = 0;
    };
    std::vector<Range> messages;
    bool all = false;
    std::vector<std::string> uidls;
    bool only_new = false;  // get --new: ids not in state_file
    std::string state_file;
    bool delete_fetched = false;  // get --new --delete
    bool dry_run = false;         // delete: say what would go
    std::string directory;
    std::string output_file;  // raw: the file to write instead of standard output
    int max_size = 0;
    bool raw_list = false;
    bool uidl = false;  // list: the UIDL column

    std::string helo;  // send: the name EHLO gives; empty: the machine's
    std::string from, subject, reply, priority, text_file, html_file;
    std::string batch_file;  // send: one message per line, as JSON
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
        verdict_ = Verdict::kNone;
        recipients_answered_ = 0;
    }
    void add(const char* line);
    // Text (after the "BREVORIN: <E1> " prefix) of the last error or warning.
    const std::string& last_problem() const { return last_problem_; }
    // The server's last reply line as the library reported it, if any.
    const std::string& last_reply() const { return last_reply_; }
    // Which envelope step of a sending the server answered last, and how
    // many recipients it had answered: a refusal then names its address.
    enum class Verdict { kNone, kSender, kRecipient, kData };
    Verdict last_verdict() const { return verdict_; }
    int recipients_answered() const { return recipients_answered_; }

  private:
    // A call may say millions of lines (a listing of a huge mailbox): only
    // what explains a failure is kept.
    bool echo_ = false;
    bool quiet_ = false;
    std::string last_problem_;
    std::string last_reply_;
    Verdict verdict_ = Verdict::kNone;
    int recipients_answered_ = 0;
};
Diagnostics& diagnostics();

// -v: the session's dialogue on standard error, credentials starred out.
void show_transcript(MailSession* session);

// The session whose failures the tool explains.
void explain_failures_of(MailSession* session);
// The CA file the session trusts, if any: a TLS failure is then not
// explained by the want of one.
void explain_tls_with_ca_file(const std::string& path);

// What was being attempted when a status came back: the same -2 means a
// refused logon or a refused message.
enum class Step { kLogon, kSend, kMailbox };

std::string describe_status(int status);
// The envelope addresses of the sending in the order the server is asked
// for them, so that a refusal can name the address it was about.
void name_envelope(const std::string& sender, const std::vector<std::string>& recipients);
// What happened, said first in a failure's headline; empty when nothing
// more is known than the status.
std::string failure_cause(int status, Step step);
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
    // message (not 0): the total is that message's size, once the visit
    // has learnt it, which the retrieval does with its first request.
    Progress(MailSession* session, const char* what, uint64_t total = 0, int message = 0);
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
    int message_ = 0;
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

// The messages a get, raw or delete acts on, in the order asked, each once.
struct Target {
    int number = 0;
    std::string uidl;  // when the selection was by id
};
// Whether the selection can name more than one message: such output is
// separated per message (a JSON array), a single number's is as it was.
bool several(const Request& request);
// Resolves the selection against the mailbox; every number or id it cannot
// find is reported, and the exit code for those comes back (kExitOk: none).
int select_messages(const Request& request, MailSession* session, const char* what,
                    std::vector<Target>& out);

// One message of a get or raw, printed after the others (first: none yet,
// then false). saved: its files and text are written.
int get_one(const Request& request, MailSession* session, const Target& target, bool& first,
            bool& saved);
class RawOutput;
int raw_one(const Request& request, MailSession* session, const Target& target, bool& first,
            RawOutput& out);

// Where raw writes: standard output as it comes, or (--output FILE) a
// temporary beside FILE that takes FILE's name only once every message is
// in it, so that FILE is never half a message.
class RawOutput {
  public:
    RawOutput() = default;
    RawOutput(const RawOutput&) = delete;
    RawOutput& operator=(const RawOutput&) = delete;
    ~RawOutput();  // an unfinished temporary goes

    // kExitOk, or after printing why kExitFile.
    int open(const Request& request);
    std::FILE* stream() const { return out_; }
    // False once any write failed; nothing more is written then.
    bool write(const char* data, size_t size);
    bool failed() const { return error_ != 0; }
    // kExitOk, or the first time after a failed write, printing why,
    // kExitFile (later calls return it without a word).
    int check();
    // The command's exit code so far; FILE is replaced only when that is
    // kExitOk and all was written. Returns the final exit code.
    int finish(int rc);

  private:
    std::string path_, temp_;
    std::FILE* out_ = stdout;
    int error_ = 0;  // errno of the first failed write
    bool reported_ = false;
};
// Before connecting: whether --output's directory takes a new file.
// kExitOk, or after printing why kExitFile.
int check_output_file(const Request& request);
// The directory a file name is in ("." for a bare name).
std::string directory_of(const std::string& path);
// Replacing a file whole: the temporary's name beside it, the temporary
// flushed to the disk, then renamed over the file (the directory flushed
// too). False with errno set.
std::string temporary_beside(const std::string& path);
bool flush_to_disk(std::FILE* file);
bool replace_durably(const std::string& temp, const std::string& path);

// A listing record (NMB=1, SIZE=..., UIDL=... without the "="), every
// present message, page by page; complete is false when the library stopped
// paging short of the end. kExitOk or the exit code of a failure reported.
using ListRecord = std::map<std::string, std::string>;
int list_records(const Request& request, MailSession* session, std::vector<ListRecord>& records,
                 std::string& raw, bool& complete);

// get --new: the ids already fetched from one account, kept in a file that
// is replaced whole each time, so that an interruption leaves the old or the
// new list, never half of one.
class StateFile {
  public:
    // The account line that opens the file: a file of another account must
    // not make this one's messages look old.
    static std::string account_of(const Request& request);
    // Reads the file; a missing one is created (so that an unwritable place
    // shows before anything is fetched). kExitOk, or after printing why
    // kExitUsage (another account's file) or kExitFile.
    int open(const Request& request);
    bool has(const std::string& id) const { return ids_.count(id) != 0; }
    void add(const std::string& id) { ids_.insert(id); }
    // Ids of messages no longer on the server are forgotten, so the file
    // does not grow for ever.
    bool keep_only(const std::set<std::string>& present);
    // Writes a temporary beside the file, flushes it and renames it over the
    // file. False after printing why.
    bool save() const;

  private:
    std::string path_;
    std::string account_;
    std::set<std::string> ids_;
};
// Opens the state file before connecting: the exit code of open().
int check_state_file(const Request& request);

// Text from a server made safe for a terminal: control characters (ESC,
// BEL, CR, C1) shown as \x1b (\u009b for a UTF-8 C1 control); tabs kept.
std::string escaped(const std::string& text);

// The bare addresses of a list as the sending names them ("Ann <a@x>, b@y"
// gives a@x and b@y); commas and brackets inside quotes belong to a name.
std::vector<std::string> addresses_of(const std::string& list);
// Empty when every mailbox of list is well formed, else the one that is not.
std::string malformed_address(const std::string& list);

// Turns ESC-separated field lists into one line per item.
std::string readable_fields(const std::string& list);

}  // namespace cli
