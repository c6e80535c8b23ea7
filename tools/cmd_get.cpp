// get and raw: retrieve messages, decoded or as they were sent.
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "api/tool_support.h"
#include "cli.h"
#include "core/text.h"

namespace cli {

namespace {

const char* attachment_note(int status) {
    switch (status) {
        case 1:
            return "an attachment was skipped or could not be decoded";
        case 2:
            return "an attachment file could not be opened or written";
        case 3:
            return "no free file name for an attachment";
        default:
            return "";
    }
}

// The files were written into directory, under the bare names listed.
std::string file_path(const std::string& directory, const std::string& name) {
    std::string prefix = directory;
    if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\') prefix += '/';
    return prefix + name;
}

// The library's file list holds bare names; they were written into directory.
void print_files(const std::string& directory, const std::string& files) {
    if (files.empty()) {
        std::printf("files written: none\n");
        return;
    }
    std::printf("files written:\n");
    for (const std::string& name : brevorin::split_field_list(files))
        std::printf("  %s\n", file_path(directory, name).c_str());
}

// -16 means the text is whole but longer than a host could take: the tool is
// no such host, so it is a success with a remark.
void note_host_limit(const char* what) {
    std::fprintf(stderr,
                 "brevorin: %s: the text is longer than the host's parameter size (status -16); "
                 "shown whole\n",
                 what);
}

// Standard output is text: lines end in LF as the header's do (a Windows
// console turns them into CRLF itself, and a CRLF would become CR CR LF).
std::string text_lines(const std::string& body) {
    std::string out;
    out.reserve(body.size());
    for (size_t i = 0; i < body.size(); ++i)
        if (!(body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n')) out += body[i];
    return out;
}

void print_text(const Request& request, const std::string& header, const std::string& body,
                const std::string& files) {
    std::printf("%s\n\n", readable_fields(header).c_str());
    std::fputs(text_lines(body).c_str(), stdout);
    if (!body.empty() && body.back() != '\n') std::fputc('\n', stdout);
    if (request.quiet) return;
    std::printf("\n");
    print_files(request.directory, files);
}

// {"number": N, "status": S, "header": {"from": ...}, "body": ..., "files":
// [{"name": ..., "path": ..., "size": ...}]}
std::string json_of(const Request& request, int n, int status, const std::string& header,
                    const std::string& body, const std::string& files) {
    std::string out = "{\"number\": " + std::to_string(n) +
                      ", \"status\": " + std::to_string(status) + ", \"header\": {";
    bool first = true;
    for (const std::string& item : brevorin::split_field_list(header)) {
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key == "id") key = "message_id";
        std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        // As list has it: a number, not a string of digits.
        const bool number = key == "priority" && !value.empty() &&
                            value.find_first_not_of("0123456789") == std::string::npos;
        out += (first ? "" : ", ") + json_string(key) + ": " +
               (number ? std::to_string(std::stoi(value)) : json_string(value));
        first = false;
    }
    out += "}, \"body\": " + json_string(body) + ", \"files\": [";
    first = true;
    for (const std::string& name : brevorin::split_field_list(files)) {
        std::string path = file_path(request.directory, name);
        struct stat st {};
        long long size = ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
        out += (first ? "{" : ", {") + std::string("\"name\": ") + json_string(name) +
               ", \"path\": " + json_string(path) + ", \"size\": " + std::to_string(size) + "}";
        first = false;
    }
    return out + "]}";
}

// Several messages come one after another, each under a line naming it, as
// head(1) separates files.
void print_separator(const Request& request, const Target& target, bool first,
                     std::FILE* out = stdout) {
    if (!several(request) || request.json) return;
    std::fprintf(out, "%s==> message %d%s <==\n", first ? "" : "\n", target.number,
                 target.uidl.empty() ? "" : (" (id " + escaped(target.uidl) + ")").c_str());
}

// Names the message in a failure when there are several.
std::string step_name(const Request& request, const char* what, int n) {
    return several(request) ? std::string(what) + " " + std::to_string(n) : std::string(what);
}

}  // namespace

int get_one(const Request& request, MailSession* session, const Target& target, bool& first,
            bool& saved) {
    char *header = nullptr, *body = nullptr, *files = nullptr;
    int status;
    saved = false;
    {
        Progress progress(session, "get", 0, target.number);
        diagnostics().begin_call();
        status = brevorin_getmail(target.number, request.directory.c_str(), request.max_size,
                                  &header, &body, &files, session);
    }
    if (status < 0 && status != BREVORIN_E_HOST_LIMIT)
        return report_failure(step_name(request, "get", target.number).c_str(), status,
                              Step::kMailbox, request.server);
    if (request.json) {
        std::string json = json_of(request, target.number, status, header ? header : "",
                                   body ? body : "", files ? files : "");
        if (several(request))
            std::printf("%s%s", first ? "" : ", ", json.c_str());
        else
            std::printf("%s\n", json.c_str());
    } else {
        print_separator(request, target, first);
        print_text(request, header ? header : "", body ? body : "", files ? files : "");
        if (status == BREVORIN_E_HOST_LIMIT) note_host_limit("get");
    }
    first = false;
    // A message whose attachment could not be written is not yet saved;
    // one with an attachment that cannot be decoded is as saved as it gets.
    saved = status < 2;
    if (status == BREVORIN_E_HOST_LIMIT) return kExitOk;
    if (status > 0 && (status >= 2 || !request.quiet)) {
        // Status 1 also stands for text that the host's character set could
        // not hold; only a skipped part leaves a warning line of its own.
        const std::string& problem = diagnostics().last_problem();
        const char* note = attachment_note(status);
        if (status == 1 && problem.find("replaced") != std::string::npos)
            note = "characters that were not valid text were replaced";
        else if (status == 1 && problem.empty())
            note =
                "characters the host's character set cannot hold were replaced (--charset "
                "UTF8 keeps them)";
        std::fprintf(stderr, "brevorin: %s: %s (status %d)\n",
                     step_name(request, "get", target.number).c_str(), note, status);
        const brevorin::FailureRecord& failure = brevorin::tool::last_failure(session);
        if (failure.kind == brevorin::Failure::kFile)
            std::fprintf(stderr, "brevorin: get: %s: %s\n", failure.path.c_str(),
                         std::strerror(failure.system_error));
        const std::string& said = diagnostics().last_problem();
        if (!said.empty()) std::fprintf(stderr, "brevorin: library: %s\n", escaped(said).c_str());
    }
    return status >= 2 ? kExitFile : kExitOk;
}

int raw_one(const Request& request, MailSession* session, const Target& target, bool& first,
            RawOutput& out) {
    // Output that took no more would take no further message either.
    if (out.failed()) return out.check();
    // The separator waits for the message's first byte, so that a message
    // refused at once leaves no heading without a text.
    bool started = false;
    auto start = [&]() {
        if (started) return;
        started = true;
        print_separator(request, target, first, out.stream());
        first = false;
    };
    int status;
    {
        Progress progress(session, "raw", 0, target.number);
        diagnostics().begin_call();
        status = brevorin::tool::raw_message_to(session, target.number, request.max_size,
                                                [&](const char* data, size_t size) {
                                                    start();
                                                    return out.write(data, size);
                                                });
    }
    if (status < 0)
        return report_failure(step_name(request, "raw", target.number).c_str(), status,
                              Step::kMailbox, request.server);
    start();
    return out.check();
}

}  // namespace cli
