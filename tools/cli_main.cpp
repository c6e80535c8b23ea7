#include <fcntl.h>
#include <sys/stat.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "api/tool_support.h"
#include "brevorin_host.h"
#include "cli.h"

namespace {

// Ctrl-C (or a SIGTERM) asks the library to stop the call in progress:
// it fails at its next wait for the network and removes the attachment
// temporaries it wrote. The process then ends with the signal as its
// reason, as shells expect. A second signal ends it at once.
volatile std::sig_atomic_t g_signal = 0;

extern "C" void on_interrupt(int signal_number) {
    g_signal = signal_number;
    brevorin::tool::interrupt();
    std::signal(signal_number, SIG_DFL);
}

void catch_interrupts() {
#if defined(_WIN32)
    std::signal(SIGINT, on_interrupt);
#else
    // Without SA_RESTART, so that a receive waiting without a timeout
    // returns and sees the request.
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
#endif
}

void take_line(void* /*user*/, const char* line) {
    cli::diagnostics().add(line);
}

struct Option {
    const char* name;
    std::string value;
};

// The session options the command line asks for, in the library's words.
std::vector<Option> session_options(const cli::Request& r) {
    std::vector<Option> options;
    if (r.tls) options.push_back({"security", "tls"});
    if (r.starttls) options.push_back({"security", "starttls"});
    if (!r.ca_file.empty()) options.push_back({"ca_file", r.ca_file});
    if (r.insecure) options.push_back({"verify", "none"});
    options.push_back({"connect_timeout", std::to_string(r.connect_timeout)});
    options.push_back({"timeout", std::to_string(r.timeout)});
    // Without --auth, a token means XOAUTH2 and an SMTP user means AUTH of
    // whatever mechanism the server offers: a user name is given to log on.
    if (!r.auth.empty())
        options.push_back({"auth", r.auth});
    else if (!r.token_file.empty())
        options.push_back({"auth", "xoauth2"});
    else if (!r.smtp_user.empty())
        options.push_back({"auth", "auto"});
    options.push_back({"logon_pause", std::to_string(r.logon_pause)});
    if (r.command != "send" && r.protocol == "imap") {
        options.push_back({"protocol", "imap"});
        if (!r.mailbox.empty()) options.push_back({"mailbox", r.mailbox});
    }
    if (!r.smtp_user.empty()) options.push_back({"smtp_user", r.smtp_user});
    if (r.allow_plaintext_auth) options.push_back({"allow_plaintext_auth", "yes"});
    options.push_back({"mime", r.classic_mime ? "classic" : "modern"});
    options.push_back({"pipelining", r.classic_mime ? "off" : "auto"});
    if (r.message_id) options.push_back({"message_id", "auto"});
    if (!r.html_file.empty()) options.push_back({"text_format", "html"});
    if (r.uidl) options.push_back({"uidl", "yes"});
    if (r.command == "send" && !r.helo.empty()) options.push_back({"helo_name", r.helo});
    return options;
}

int apply_options(const cli::Request& r, MailSession* session) {
    for (const auto& o : session_options(r)) {
        cli::diagnostics().begin_call();
        if (brevorin_setoption(o.name, o.value.c_str(), session) != 0) {
            std::string why = cli::diagnostics().last_problem();
            cli::usage_error("the library refused option " + std::string(o.name) + "=" + o.value +
                             (why.empty() ? "" : ": " + why));
            return cli::kExitUsage;
        }
    }
    return cli::kExitOk;
}

int logon(const cli::Request& r, MailSession* session) {
    std::string secret;
    std::string prompt =
        (r.token_file.empty() ? "Password for " : "Token for ") + r.user + " at " + r.server + ": ";
    int read = cli::read_secret(r, r.user, prompt, secret);
    if (read != cli::kExitOk) return read;
    cli::diagnostics().begin_call();
    int status = brevorin_logonmail(r.server.c_str(), r.user.c_str(), secret.c_str(), session);
    if (status != 0) return cli::report_failure("logon", status, cli::Step::kLogon, r.server);
    return cli::kExitOk;
}

// Local files a command needs are checked before anything is sent: a
// missing directory or attachment must not show only after the mail.
int check_local_files(const cli::Request& r) {
    auto fail = [](const std::string& what, const std::string& path, int error) {
        std::fprintf(stderr, "brevorin: %s %s: %s\n", what.c_str(), path.c_str(),
                     std::strerror(error));
        return cli::kExitFile;
    };
    if (r.command == "get" && !r.directory.empty()) {
        struct stat st {};
        if (::stat(r.directory.c_str(), &st) != 0) return fail("--dir", r.directory, errno);
        if (!S_ISDIR(st.st_mode)) return fail("--dir", r.directory, ENOTDIR);
    }
    // Opened without blocking: a FIFO would otherwise wait here for a
    // writer that never comes. The library refuses what is not a regular
    // file; so does the tool, before connecting.
    for (const std::string& path : r.attachments) {
        struct stat st {};
#if defined(_WIN32)
        if (::stat(path.c_str(), &st) != 0) return fail("--attach", path, errno);
#else
        int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) return fail("--attach", path, errno);
        int error = ::fstat(fd, &st) != 0 ? errno : 0;
        ::close(fd);
        if (error != 0) return fail("--attach", path, error);
#endif
        if (!S_ISREG(st.st_mode)) {
            std::fprintf(stderr, "brevorin: --attach %s: not a regular file\n", path.c_str());
            return cli::kExitFile;
        }
    }
    if (r.only_new) {
        int state = cli::check_state_file(r);
        if (state != cli::kExitOk) return state;
    }
    int output = cli::check_output_file(r);
    if (output != cli::kExitOk) return output;
    // A CA file that cannot be read would show only as a certificate the
    // server's TLS handshake failed on.
    if (!r.ca_file.empty()) {
        struct stat st {};
        if (::stat(r.ca_file.c_str(), &st) != 0) return fail("--ca-file", r.ca_file, errno);
        if (S_ISDIR(st.st_mode)) return fail("--ca-file", r.ca_file, EISDIR);
        std::FILE* file = std::fopen(r.ca_file.c_str(), "rb");
        if (file == nullptr) return fail("--ca-file", r.ca_file, errno);
        std::fclose(file);
        cli::explain_tls_with_ca_file(r.ca_file);
    }
    const std::string& text = !r.html_file.empty() ? r.html_file : r.text_file;
    if (!text.empty()) {
        std::FILE* file = std::fopen(text.c_str(), "rb");
        if (file == nullptr)
            return fail(r.html_file.empty() ? "--text-file" : "--html", text, errno);
        std::fclose(file);
    }
    return cli::kExitOk;
}

int run(const cli::Request& r, MailSession* session) {
    int rc = check_local_files(r);
    if (rc != cli::kExitOk) return rc;
    rc = apply_options(r, session);
    if (rc != cli::kExitOk) return rc;
    if (r.command == "send") return cli::run_send(r, session);
    rc = logon(r, session);
    if (rc != cli::kExitOk) return rc;
    if (r.command == "delete") return cli::run_delete(r, session);
    if (r.command == "stat") rc = cli::run_stat(r, session);
    if (r.command == "list") rc = cli::run_list(r, session);
    if (r.command == "get") rc = cli::run_get(r, session);
    if (r.command == "raw") rc = cli::run_raw(r, session);
    cli::diagnostics().begin_call();
    int status = brevorin_logoffmail(session);
    if (status != 0 && rc == cli::kExitOk)
        rc = cli::report_failure("logoff", status, cli::Step::kMailbox, r.server);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    catch_interrupts();
    cli::Request request;
    int rc = cli::parse_command_line(argc, argv, request);
    if (rc >= 0) return rc;

    cli::diagnostics().set_echo(request.trace);
    cli::diagnostics().set_quiet(request.quiet);
    brevorin_host_context ctx;
    if (brevorin_host_context_init(&ctx) != 0) {
        std::fprintf(stderr, "brevorin: no host settings store left\n");
        return 10 - BREVORIN_E_INVALID;
    }
    brevorin_host_set_int(&ctx, 3, 64);
    if (!request.charset.empty()) brevorin_host_set_text(&ctx, 39, request.charset.c_str());
    brevorin_host_set_message_sink(&ctx, take_line, nullptr);
    _TCONNECT(1, 0, reinterpret_cast<brevorin_word>(&ctx));

    MailSession* session = nullptr;
    int count = brevorin_init(&session);
    if (session == nullptr) {
        std::fprintf(stderr, "brevorin: could not create a session (%d)\n", count);
        rc = count == 0 ? 10 - BREVORIN_E_INVALID : cli::kExitNetwork;
    } else {
        cli::explain_failures_of(session);
        if (request.verbose) cli::show_transcript(session);
        rc = run(request, session);
        brevorin_cleanup(session);
    }
    _TCONNECT(6, 1, 0);
    brevorin_host_context_release(&ctx);
    if (g_signal != 0) {
        std::fprintf(stderr, "brevorin: interrupted\n");
        std::raise(g_signal);
    }
    return rc;
}
