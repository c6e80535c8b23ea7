// get and raw: retrieve one message, decoded or as it was sent.
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

// The library's file list holds bare names; they were written into directory.
void print_files(const std::string& directory, const std::string& files) {
    if (files.empty()) {
        std::printf("files written: none\n");
        return;
    }
    std::printf("files written:\n");
    std::string prefix = directory;
    if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\') prefix += '/';
    for (const std::string& name : brevorin::split_field_list(files))
        std::printf("  %s%s\n", prefix.c_str(), name.c_str());
}

// -16 means the text is whole but longer than a host could take: the tool is
// no such host, so it is a success with a remark.
void note_host_limit(const char* what) {
    std::fprintf(stderr,
                 "brevorin: %s: the text is longer than the host's parameter size (status -16); "
                 "shown whole\n",
                 what);
}

}  // namespace

int run_get(const Request& request, MailSession* session) {
    char *header = nullptr, *body = nullptr, *files = nullptr;
    int status;
    {
        Progress progress(session, "get");
        diagnostics().begin_call();
        status = brevorin_getmail(request.messages.at(0), request.directory.c_str(),
                                  request.max_size, &header, &body, &files, session);
    }
    if (status < 0 && status != BREVORIN_E_HOST_LIMIT)
        return report_failure("get", status, Step::kMailbox, request.server);
    std::printf("%s\n\n", readable_fields(header ? header : "").c_str());
    std::fputs(body ? body : "", stdout);
    if (body != nullptr && body[0] != '\0' && body[std::strlen(body) - 1] != '\n')
        std::fputc('\n', stdout);
    std::printf("\n");
    print_files(request.directory, files ? files : "");
    if (status == BREVORIN_E_HOST_LIMIT) {
        note_host_limit("get");
        return kExitOk;
    }
    if (status > 0) {
        std::fprintf(stderr, "brevorin: get: %s (status %d)\n", attachment_note(status), status);
        const brevorin::FailureRecord& failure = brevorin::tool::last_failure(session);
        if (failure.kind == brevorin::Failure::kFile)
            std::fprintf(stderr, "brevorin: get: %s: %s\n", failure.path.c_str(),
                         std::strerror(failure.system_error));
        const std::string& said = diagnostics().last_problem();
        if (!said.empty()) std::fprintf(stderr, "brevorin: library: %s\n", said.c_str());
    }
    return status >= 2 ? kExitFile : kExitOk;
}

int run_raw(const Request& request, MailSession* session) {
    char* text = nullptr;
    int status;
    {
        Progress progress(session, "raw");
        diagnostics().begin_call();
        status = brevorin_getrawmail(request.messages.at(0), request.max_size, &text, session);
    }
    if (status < 0 && status != BREVORIN_E_HOST_LIMIT)
        return report_failure("raw", status, Step::kMailbox, request.server);
    // -16 only says the text is longer than a host's window, which the tool
    // has not: raw prints it whole without remark.
    if (text != nullptr) std::fputs(text, stdout);
    return kExitOk;
}

}  // namespace cli
