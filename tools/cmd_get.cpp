// get and raw: retrieve one message, decoded or as it was sent.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli.h"

namespace {

const char* attachment_note(int status) {
    switch (status) {
        case 1:
            return "an attachment was skipped or could not be decoded";
        case 2:
            return "an attachment file could not be opened for writing";
        case 3:
            return "no free file name for an attachment";
        default:
            return "";
    }
}

bool message_number(const cli::Args& args, const char* command, int& number) {
    if (args.positional.size() != 1) {
        std::fprintf(stderr, "brevorin: %s needs one message number\n", command);
        return false;
    }
    number = std::atoi(args.positional[0].c_str());
    return true;
}

void print_files(const std::string& directory, const std::string& files) {
    if (files.empty()) {
        std::printf("files written: none\n");
        return;
    }
    std::printf("files written:\n");
    std::string prefix = directory;
    if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\') prefix += '/';
    size_t start = 0;
    while (start <= files.size()) {
        size_t end = files.find('\x1b', start);
        if (end == std::string::npos) end = files.size();
        std::printf("  %s%s\n", prefix.c_str(), files.substr(start, end - start).c_str());
        start = end + 1;
    }
}

int run_get(const cli::Args& args, MailSession* session) {
    int number;
    if (!message_number(args, "get", number)) return 2;
    std::string directory = args.get("--dir");
    int max_size = std::atoi(args.get("--max-size", "0").c_str());
    char *header = nullptr, *body = nullptr, *files = nullptr;
    int status =
        brevorin_getmail(number, directory.c_str(), max_size, &header, &body, &files, session);
    // Texts over the host's limits are still handed out whole: show them.
    if (status < 0 && status != BREVORIN_E_HOST_LIMIT) return cli::report_failure("get", status);
    std::printf("%s\n\n", cli::readable_fields(header ? header : "").c_str());
    std::fputs(body ? body : "", stdout);
    if (body != nullptr && body[0] != '\0' &&
        body[std::char_traits<char>::length(body) - 1] != '\n')
        std::fputc('\n', stdout);
    std::printf("\n");
    print_files(directory, files ? files : "");
    if (status == BREVORIN_E_HOST_LIMIT) return cli::report_failure("get", status);
    if (status > 0)
        std::fprintf(stderr, "brevorin: get: %s (status %d)\n", attachment_note(status), status);
    return 0;
}

int run_raw(const cli::Args& args, MailSession* session) {
    int number;
    if (!message_number(args, "raw", number)) return 2;
    int max_size = std::atoi(args.get("--max-size", "0").c_str());
    char* text = nullptr;
    int status = brevorin_getrawmail(number, max_size, &text, session);
    if (status < 0 && status != BREVORIN_E_HOST_LIMIT) return cli::report_failure("raw", status);
    if (text != nullptr) std::fputs(text, stdout);
    return status == BREVORIN_E_HOST_LIMIT ? cli::report_failure("raw", status) : 0;
}

cli::Registrar get_command(
    {"get", "get N [--dir DIR] [--max-size BYTES] --server H --user U   decoded message, files",
     run_get, true});
cli::Registrar raw_command(
    {"raw", "raw N [--max-size BYTES] --server H --user U   the message as it was sent", run_raw,
     true});

}  // namespace
