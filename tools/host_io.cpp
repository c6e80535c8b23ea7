// The tool's side of the host: diagnostics capture, failure reports and exit
// codes, secrets from files or a terminal, and progress on a terminal.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "api/tool_support.h"
#include "cli.h"
#include "core/limits.h"
#include "core/text.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#include <winsock.h>
#define BREVORIN_ISATTY _isatty
#else
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#define BREVORIN_ISATTY isatty
#endif

namespace cli {

namespace {

// "BREVORIN: <E1> " comes before every line's text.
constexpr size_t kPrefix = 15;

std::string line_text(const std::string& line) {
    return line.size() >= kPrefix && line.compare(0, 11, "BREVORIN: <") == 0 ? line.substr(kPrefix)
                                                                             : line;
}

MailSession* g_session = nullptr;
std::string g_ca_file;

// A line shown on standard error never carries a secret: what follows PASS
// or an AUTH mechanism's name is starred out.
std::string masked(const std::string& line) {
    static const char* const kSecrets[] = {"PASS ", "AUTH PLAIN ", "AUTH XOAUTH2 ", "AUTH LOGIN "};
    for (const char* secret : kSecrets) {
        size_t at = line.find(secret);
        if (at != std::string::npos && at + std::strlen(secret) < line.size())
            return line.substr(0, at + std::strlen(secret)) + "****";
    }
    return line;
}

bool is_problem(const std::string& line) {
    return line.compare(0, 14, "BREVORIN: <E1>") == 0 || line.compare(0, 12, "BREVORIN: <W") == 0;
}

std::string host_of(const std::string& server) {
    size_t close = server.find(']');
    return server.substr(0, server.find('+', close == std::string::npos ? 0 : close));
}

// The library reports a connection that could not be opened without saying
// whether the name or the connection failed; asking the resolver again tells.
bool host_resolves(const std::string& host) {
#if defined(_WIN32)
    return ::gethostbyname(host.c_str()) != nullptr;  // the session has started Winsock
#else
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
    if (result != nullptr) ::freeaddrinfo(result);
    return rc == 0;
#endif
}

// Exit code for a failed call to reach the server: the connection may not
// have been opened at all, or opened and then lost.
int network_exit(Step step, const std::string& server, std::string& why) {
    using brevorin::Failure;
    Failure kind = brevorin::tool::last_failure(g_session).kind;
    if (kind == Failure::kTimedOut) {
        why = "the server did not answer in time";
        return kExitTimeout;
    }
    // A server that has replied was reached, whatever it said.
    if (kind == Failure::kReply ||
        (kind == Failure::kNone && !diagnostics().last_reply().empty())) {
        why = "the server's reply could not be used (unusable reply)";
        return kExitNetwork;
    }
    // A failure that names no cause, before any connection: the resolver
    // is asked again.
    std::string host = host_of(server);
    if (kind == Failure::kNone && step != Step::kMailbox)
        kind = host_resolves(host) ? Failure::kConnect : Failure::kResolve;
    if (kind == Failure::kResolve) {
        why = "cannot resolve host name '" + host + "'";
        return kExitResolve;
    }
    if (kind == Failure::kConnect) {
        why = "cannot connect to " + server + " (connection refused or host unreachable)";
        return kExitConnect;
    }
    why = "the connection failed or was lost";
    return kExitNetwork;
}

#if !defined(_WIN32)
// Terminal state while a secret is typed; the interrupt handler puts it back.
struct termios g_saved_terminal;
volatile std::sig_atomic_t g_echo_off = 0;
volatile int g_terminal = -1;

extern "C" void restore_terminal_and_stop(int signal_number) {
    if (g_echo_off) tcsetattr(g_terminal, TCSANOW, &g_saved_terminal);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}
#endif

enum class Prompted { kOk, kEnded, kNoTerminal };

// Reads one line from the terminal with echo off: the controlling terminal
// (the console on Windows), whatever standard input is, so that a message
// piped in is never taken for the password. The terminal is silenced and the
// handler that restores it installed before the prompt shows: a Ctrl-C
// answered to the prompt at once must find them in place, or it would leave
// the tool waiting for a line.
Prompted prompt_without_echo(const std::string& prompt, std::string& secret) {
    bool ok = true;
#if defined(_WIN32)
    HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE) return Prompted::kNoTerminal;
    if (GetConsoleMode(in, &mode) == 0) {
        CloseHandle(in);
        return Prompted::kNoTerminal;
    }
    SetConsoleMode(in, (mode | ENABLE_LINE_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    char c = 0;
    DWORD got = 0;
    while ((ok = ReadFile(in, &c, 1, &got, nullptr) != 0 && got == 1) && c != '\n') secret += c;
    SetConsoleMode(in, mode);
    CloseHandle(in);
    std::fputc('\n', stderr);
#else
    int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Prompted::kNoTerminal;
    if (!isatty(fd)) {
        ::close(fd);
        return Prompted::kNoTerminal;
    }
    g_terminal = fd;
    bool changed = tcgetattr(fd, &g_saved_terminal) == 0;
    auto previous = std::signal(SIGINT, restore_terminal_and_stop);
    if (changed) {
        struct termios quiet = g_saved_terminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        g_echo_off = 1;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    // An interrupt that came before the handler above was caught by the
    // tool's own; it is honoured here instead of after a line nobody types.
    if (brevorin::tool::interrupted()) restore_terminal_and_stop(SIGINT);
    ssize_t written = ::write(fd, prompt.data(), prompt.size());
    (void)written;
    char c = 0;
    ssize_t n = 0;
    while ((n = ::read(fd, &c, 1)) == 1 && c != '\n') secret += c;
    ok = n == 1;
    if (changed) {
        tcsetattr(fd, TCSAFLUSH, &g_saved_terminal);
        g_echo_off = 0;
    }
    std::signal(SIGINT, previous);
    if (!ok) written = ::write(fd, "\n", 1);
    ::close(fd);
    g_terminal = -1;
#endif
    return ok ? Prompted::kOk : Prompted::kEnded;
}

uint64_t now_ms() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string human_bytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    int u = 0;
    while (bytes >= 1024 && u < 3) {
        bytes /= 1024;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return text;
}

}  // namespace

Diagnostics& diagnostics() {
    static Diagnostics instance;
    return instance;
}

void Diagnostics::add(const char* line) {
    std::string text = line != nullptr ? line : "";
    // Lines come without a line break; the few messages that end in one
    // would otherwise leave blank lines.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (echo_) std::fprintf(stderr, "%s\n", escaped(masked(text)).c_str());
    if (is_problem(text)) last_problem_ = line_text(text);
    if (text.find("SENDMAIL: Got reply on MAIL FROM command") != std::string::npos)
        verdict_ = Verdict::kSender;
    if (text.find("SENDMAIL: Got reply on rcpt to command") != std::string::npos) {
        verdict_ = Verdict::kRecipient;
        ++recipients_answered_;
    }
    if (text.find("SENDMAIL: Got reply on send command") != std::string::npos)
        verdict_ = Verdict::kData;
    // Data lines that quote the server: "... Code: 550, received buffer: text"
    // from SMTP, "... Server response: -ERR text" from POP3.
    static const char* const kQuotes[] = {
        "received buffer: ", "Server response: ", "Received response from server: "};
    for (const char* quote : kQuotes) {
        size_t at = text.find(quote);
        if (at == std::string::npos || text.compare(0, 12, "BREVORIN: <D") != 0) continue;
        last_reply_ = text.substr(at + std::strlen(quote));
        size_t code = text.find("Code: ");
        if (code != std::string::npos && code < at)
            last_reply_ = std::to_string(std::atoi(text.c_str() + code + 6)) + " " + last_reply_;
    }
}

void explain_failures_of(MailSession* session) {
    g_session = session;
}

void explain_tls_with_ca_file(const std::string& path) {
    g_ca_file = path;
}

std::string describe_status(int status) {
    switch (status) {
        case -2:
            return "the server refused";
        case -3:
            return "already logged on";
        case -4:
            return "receiving timed out";
        case -5:
            return "no memory for the message table";
        case -6:
            return "message larger than the size limit";
        case -7:
            return "no such message";
        case -8:
            return "not logged on";
        case -9:
            return "network failure";
        case -10:
            return "invalid input or no memory";
        case -11:
            return "a mailbox command failed";
        case -12:
            return "header list lacks TO= or FROM=";
        case -13:
            return "an attachment file could not be opened";
        case -14:
            return "an attachment could not be encoded";
        case -15:
            return "server reports insufficient storage";
        case -16:
            return "a result exceeds the host's parameter size";
        default:
            return status >= 0 ? "success" : "unknown status";
    }
}

int report_failure(const char* what, int status, Step step, const std::string& server) {
    std::string why;
    int code = -1;
    const brevorin::FailureRecord& failure = brevorin::tool::last_failure(g_session);
    // What the failure was, where the library could tell, comes first.
    switch (failure.kind) {
        case brevorin::Failure::kTls:
            code = kExitTls;
            why = "TLS could not be set up with " + server +
                  (g_ca_file.empty()
                       ? "; a certificate from your own CA is trusted with --ca-file FILE "
                         "(--insecure skips the check)"
                       : ": its certificate may not be signed by a CA in " + g_ca_file +
                             ", or may not name the host") +
                  ", and --tls is for ports that speak TLS from the start";
            break;
        case brevorin::Failure::kAuth:
            code = kExitAuth;
            why = "the server refused the user name or password";
            break;
        case brevorin::Failure::kNoTls:
            code = kExitUsage;
            why =
                "the password would go over a connection without TLS: add --starttls or --tls, "
                "or name a server that speaks TLS from the start (imaps://, pop3s://, "
                "smtps://); --allow-plaintext-auth sends it anyway";
            break;
        case brevorin::Failure::kFile:
            if (!failure.path.empty())
                why = failure.path + ": " + std::strerror(failure.system_error);
            break;
        default:
            break;
    }
    if (code == -1) switch (status) {
            case BREVORIN_E_NETWORK:
                code = network_exit(step, server, why);
                break;
            case BREVORIN_E_TIMEOUT:
                code = kExitTimeout;
                break;
            case BREVORIN_E_REFUSED:
                code = step == Step::kLogon ? kExitAuth : kExitServer;
                if (step == Step::kLogon) why = "the server refused the user name or password";
                break;
            case BREVORIN_E_COMMAND:
            case BREVORIN_E_STORAGE:
                code = kExitServer;
                break;
            case BREVORIN_E_ATTACH_OPEN:
            case BREVORIN_E_ATTACH_ENCODE:
                code = kExitFile;
                break;
            default:
                code = status >= 0 ? kExitOk : 10 - status;
        }
    // The headline says what happened, then the library's status: the same
    // status stands for many causes.
    std::string cause = failure_cause(status, step);
    if (cause.empty()) cause = why;
    if (cause.empty()) cause = describe_status(status);
    std::fprintf(stderr, "brevorin: %s failed: %s (status %d)\n", what, escaped(cause).c_str(),
                 status);
    if (!why.empty() && why != cause) std::fprintf(stderr, "brevorin: %s\n", why.c_str());
    const std::string& reply = diagnostics().last_reply();
    const bool unusable = code == kExitNetwork && why.find("(unusable reply)") != std::string::npos;
    if ((code == kExitAuth || code == kExitServer || unusable) && !reply.empty())
        std::fprintf(stderr, "brevorin: server said: %s\n", escaped(reply).c_str());
    // The library's own words name its options, not the tool's flags.
    const std::string& said = diagnostics().last_problem();
    if (!said.empty() && failure.kind != brevorin::Failure::kNoTls)
        std::fprintf(stderr, "brevorin: library: %s\n", escaped(said).c_str());
    return code;
}

void usage_error(const std::string& message) {
    std::fprintf(stderr,
                 "brevorin: %s\nRun 'brevorin --help' or 'brevorin COMMAND --help' for usage.\n",
                 message.c_str());
}

bool read_file(const std::string& path, const char* what, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "brevorin: cannot read %s %s: %s\n", what, path.c_str(),
                     std::strerror(errno));
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

namespace {

// The whitespace-separated words of a netrc file, quoted ones unquoted;
// "macdef" bodies (up to an empty line) are left out, as curl leaves them.
std::vector<std::string> netrc_words(const std::string& text) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
        if (at >= text.size()) break;
        std::string word;
        if (text[at] == '"') {
            for (++at; at < text.size() && text[at] != '"'; ++at) {
                if (text[at] == '\\' && at + 1 < text.size()) ++at;
                word += text[at];
            }
            ++at;
        } else {
            while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at])))
                word += text[at++];
        }
        if (word == "macdef") {
            size_t end = text.find("\n\n", at);
            at = end == std::string::npos ? text.size() : end + 2;
            continue;
        }
        words.push_back(word);
    }
    return words;
}

}  // namespace

bool netrc_lookup(const std::string& path, const std::string& host, const std::string& login,
                  NetrcEntry& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> words = netrc_words(text);
    // Entries in order: the first "machine HOST" whose login fits (any login
    // when none is asked for), else "default", which stands last.
    NetrcEntry entry;
    bool in_entry = false, matches = false;
    auto finish = [&]() {
        if (in_entry && matches && (login.empty() || entry.login.empty() || entry.login == login)) {
            out = entry;
            out.found = true;
            return true;
        }
        return false;
    };
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "machine" || w == "default") {
            if (finish()) return true;
            entry = NetrcEntry{};
            in_entry = true;
            matches = w == "default" || (i + 1 < words.size() && words[i + 1] == host);
            if (w == "machine") ++i;
        } else if ((w == "login" || w == "password" || w == "account") && i + 1 < words.size()) {
            if (w == "login") entry.login = words[i + 1];
            if (w == "password") entry.password = words[i + 1];
            ++i;
        }
    }
    return finish();
}

// The first line a command prints, at most kMaxSecretLine bytes; kExitOk,
// or after printing why kExitFile (cannot be run, failed) or kExitUsage (a
// line too long to be a secret). Reading stops at the line end: a command
// that prints for ever, or keeps running after the secret, holds nobody up.
constexpr size_t kMaxSecretLine = brevorin::kMaxBearerTokenLength;

#if defined(_WIN32)
int command_output(const std::string& command, std::string& line) {
    std::FILE* pipe = ::_popen(command.c_str(), "rb");
    if (pipe == nullptr) {
        std::fprintf(stderr, "brevorin: cannot run the password command: %s\n",
                     std::strerror(errno));
        return kExitFile;
    }
    int c;
    while ((c = std::fgetc(pipe)) != EOF && c != '\n' && line.size() <= kMaxSecretLine)
        line += static_cast<char>(c);
    int status = ::_pclose(pipe);
    if (line.size() > kMaxSecretLine) {
        usage_error("the password command's first line is longer than " +
                    std::to_string(kMaxSecretLine) + " bytes");
        return kExitUsage;
    }
    if (status != 0) {
        std::fprintf(stderr, "brevorin: the password command failed (exit code %d)\n", status);
        return kExitFile;
    }
    return kExitOk;
}
#else
// How long the command may take to end once its line is read.
constexpr int kCommandGraceMs = 2000;

int command_output(const std::string& command, std::string& line) {
    int fds[2];
    if (::pipe(fds) != 0) {
        std::fprintf(stderr, "brevorin: cannot run the password command: %s\n",
                     std::strerror(errno));
        return kExitFile;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (fds[1] != STDOUT_FILENO) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[1]);
        }
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        std::fprintf(stderr, "brevorin: cannot run the password command: %s\n",
                     std::strerror(errno));
        return kExitFile;
    }
    bool ended = false;
    char block[512];
    while (!ended && line.size() <= kMaxSecretLine) {
        ssize_t n = ::read(fds[0], block, sizeof block);
        if (n < 0 && errno == EINTR && !brevorin::tool::interrupted()) continue;
        if (n <= 0) break;
        const char* lf = static_cast<const char*>(std::memchr(block, '\n', static_cast<size_t>(n)));
        line.append(block,
                    lf != nullptr ? static_cast<size_t>(lf - block) : static_cast<size_t>(n));
        ended = lf != nullptr;
    }
    // What it prints after the line goes nowhere: a command still writing
    // ends through SIGPIPE, which is no failure of its own.
    ::close(fds[0]);
    if (line.size() > kMaxSecretLine) {
        usage_error("the password command's first line is longer than " +
                    std::to_string(kMaxSecretLine) + " bytes");
        return kExitUsage;
    }
    int status = 0;
    pid_t done = 0;
    for (int waited = 0; waited <= kCommandGraceMs; waited += 20) {
        done = ::waitpid(pid, &status, WNOHANG);
        if (done != 0 && !(done < 0 && errno == EINTR)) break;
        ::usleep(20 * 1000);
    }
    // Still running after its line: the line is taken, the command left to
    // end on its own.
    if (done <= 0) return kExitOk;
    // A shell reports its child's SIGPIPE as 128 + SIGPIPE.
    if (ended && WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGPIPE) return kExitOk;
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "brevorin: the password command failed (exit code %d)\n",
                     WEXITSTATUS(status));
        return kExitFile;
    }
    if (WIFSIGNALED(status) && !(ended && WTERMSIG(status) == SIGPIPE)) {
        std::fprintf(stderr, "brevorin: the password command failed (killed by signal %d, %s)\n",
                     WTERMSIG(status), strsignal(WTERMSIG(status)));
        return kExitFile;
    }
    return kExitOk;
}
#endif

std::string netrc_path(const Request& r) {
    if (!r.netrc_file.empty()) return r.netrc_file;
    if (const char* path = std::getenv("NETRC")) return path;
    const char* home = std::getenv("HOME");
#if defined(_WIN32)
    if (home == nullptr) home = std::getenv("USERPROFILE");
#endif
    return home != nullptr ? std::string(home) + "/.netrc" : std::string();
}

std::string host_name(const std::string& server) {
    std::string host = host_of(server);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return host;
}

int read_secret(const Request& r, const std::string& login, const std::string& prompt,
                std::string& secret) {
    const bool token = r.auth == "xoauth2" || !r.token_file.empty();
    const std::string& file = r.token_file.empty() ? r.password_file : r.token_file;
    const char* from_environment = std::getenv(token ? "BREVORIN_TOKEN" : "BREVORIN_PASSWORD");
    NetrcEntry entry;
    std::string where = file;
    if (!file.empty()) {
        std::string all;
        if (!read_file(file, "file", all)) return kExitFile;
        secret = all.substr(0, all.find('\n'));
    } else if (!r.password_command.empty()) {
        int rc = command_output(r.password_command, secret);
        if (rc != kExitOk) return rc;
        where = "the password command";
    } else if (r.password_stdin) {
        std::getline(std::cin, secret);
        where = "standard input";
    } else if (from_environment != nullptr && *from_environment != '\0') {
        secret = from_environment;
        where = token ? "BREVORIN_TOKEN" : "BREVORIN_PASSWORD";
    } else if (!r.password.empty()) {
        secret = r.password;
        where = "the configuration file";
    } else if (r.netrc && netrc_lookup(netrc_path(r), host_name(r.server), login, entry) &&
               !entry.password.empty()) {
        secret = entry.password;
        where = "the netrc file";
    } else if (r.command != "send" && !BREVORIN_ISATTY(0)) {
        // Scripts have long piped the password into the mailbox commands,
        // whose standard input carries nothing else; send's carries the
        // text, so there only --password-stdin makes it a password.
        std::getline(std::cin, secret);
        where = "standard input";
        if (!diagnostics().quiet())
            std::fputs("brevorin: warning: the password was read from standard input; "
                       "say so with --password-stdin\n",
                       stderr);
    } else {
        Prompted prompted = prompt_without_echo(prompt, secret);
        if (prompted == Prompted::kEnded) return kExitFile;
        if (prompted == Prompted::kNoTerminal) {
            usage_error(std::string(token ? "no token" : "no password") +
                        " and no terminal to ask for one on; give it with " +
                        (token ? "--token-file, --password-command, BREVORIN_TOKEN"
                               : "--password-file, --password-command, BREVORIN_PASSWORD") +
                        ", --netrc or --password-stdin");
            return kExitUsage;
        }
        where = "the terminal";
    }
    while (!secret.empty() && (secret.back() == '\r' || secret.back() == '\n')) secret.pop_back();
    size_t nul = secret.find('\0');
    if (nul != std::string::npos) {
        if (where.empty()) where = "standard input";
        usage_error("the secret read from " + where + " holds a NUL byte at offset " +
                    std::to_string(nul));
        return kExitUsage;
    }
    // Sent, an empty secret only earns a refusal the server counts against
    // the account.
    if (secret.empty()) {
        if (where.empty()) where = "standard input";
        usage_error(std::string(token ? "the token" : "the password") + " read from " + where +
                    " is empty; give it with " +
                    (token ? "--token-file, --password-command, BREVORIN_TOKEN"
                           : "--password-file, --password-command, BREVORIN_PASSWORD") +
                    ", --netrc or --password-stdin");
        return kExitUsage;
    }
    return kExitOk;
}

std::string json_string(const std::string& text) {
    const bool utf8 = brevorin::is_utf8(text);
    std::string out = "\"";
    char escape[8];
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c >= 0x80 && !utf8) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string escaped(const std::string& text) {
    // C1 controls count too: a Latin-1 terminal takes a lone 0x9B as CSI, a
    // UTF-8 one takes U+009B.
    const bool utf8 = brevorin::is_utf8(text);
    std::string out;
    char escape[8];
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (utf8 && c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", next);
            out += escape;
            ++i;
        } else if ((c < 0x20 && c != '\t') || c == 0x7F || (!utf8 && c >= 0x80 && c <= 0x9F)) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string readable_fields(const std::string& list) {
    std::string out;
    for (char c : list) out += c == '\x1b' ? '\n' : c;
    return out;
}

Progress::Progress(MailSession* session, const char* what, uint64_t total, int message)
    : session_(session), what_(what), total_(total), message_(message) {
    if (!BREVORIN_ISATTY(2) || diagnostics().quiet()) {
        session_ = nullptr;
        return;
    }
    started_ms_ = now_ms();
    brevorin::tool::set_progress_hook(session_, [this](uint64_t received, uint64_t sent) {
        uint64_t now = now_ms();
        // Short transfers show nothing; long ones redraw a few times a second.
        constexpr uint64_t kQuietMs = 500, kRedrawMs = 200;
        if (now - started_ms_ < kQuietMs || now - last_ms_ < kRedrawMs) return;
        last_ms_ = now;
        long long size = 0;
        if (total_ == 0 && message_ != 0 &&
            brevorin::tool::known_message_size(session_, message_, size))
            total_ = static_cast<uint64_t>(size);
        double bytes = static_cast<double>(received > sent ? received : sent);
        double seconds = static_cast<double>(now - started_ms_) / 1000.0;
        double rate = bytes / seconds;
        if (total_ > 0 && bytes <= static_cast<double>(total_) && rate > 0) {
            double total = static_cast<double>(total_);
            long left = static_cast<long>((total - bytes) / rate + 0.5);
            std::fprintf(stderr, "\r%s: %s of %s (%d%%) at %s/s, %ld:%02ld left   ", what_,
                         human_bytes(bytes).c_str(), human_bytes(total).c_str(),
                         static_cast<int>(100.0 * bytes / total), human_bytes(rate).c_str(),
                         left / 60, left % 60);
        } else {
            std::fprintf(stderr, "\r%s: %s at %s/s   ", what_, human_bytes(bytes).c_str(),
                         human_bytes(rate).c_str());
        }
        std::fflush(stderr);
        shown_ = true;
    });
}

Progress::~Progress() {
    if (session_ == nullptr) return;
    brevorin::tool::set_progress_hook(session_, {});
    if (shown_) std::fputs("\r\033[K", stderr);
}

}  // namespace cli
