// send: one message through an SMTP server.
#include <sys/stat.h>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "cli.h"

namespace cli {

namespace {

constexpr char kEsc = '\x1b';

void add_item(std::string& list, const char* key, const std::string& value) {
    if (!list.empty()) list += kEsc;
    list += key;
    list += value;
}

// Several recipients of one kind make one comma-separated item.
void add_joined(std::string& list, const char* key, const std::vector<std::string>& values) {
    if (values.empty()) return;
    std::string joined;
    for (const auto& v : values) joined += (joined.empty() ? "" : ",") + v;
    add_item(list, key, joined);
}

std::string header_list(const Request& r) {
    std::string list;
    add_joined(list, "TO=", r.to);
    add_item(list, "FROM=", r.from);
    add_joined(list, "CC=", r.cc);
    add_joined(list, "BCC=", r.bcc);
    if (!r.subject.empty()) add_item(list, "SUBJECT=", r.subject);
    if (!r.priority.empty()) add_item(list, "PRIORITY=", r.priority);
    if (!r.reply.empty()) add_item(list, "REPLY=", r.reply);
    return list;
}

bool read_text(const Request& r, std::string& text) {
    if (!r.html_file.empty()) return read_file(r.html_file, "HTML file", text);
    if (!r.text_file.empty()) return read_file(r.text_file, "text file", text);
    std::ostringstream all;
    all << std::cin.rdbuf();
    text = all.str();
    return true;
}

// About what the sending moves: the text, and each file base64-encoded.
uint64_t wire_size(const std::string& text, const std::vector<std::string>& files) {
    uint64_t total = text.size();
    for (const std::string& path : files) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) total += static_cast<uint64_t>(st.st_size) / 3 * 4 + 4;
    }
    return total;
}

}  // namespace

int run_send(const Request& request, MailSession* session) {
    if (!request.smtp_user.empty()) {
        std::string secret;
        std::string prompt = (request.token_file.empty() ? "SMTP password for " : "Token for ") +
                             request.smtp_user + " at " + request.server + ": ";
        int read = read_secret(request, request.smtp_user, prompt, secret);
        if (read != kExitOk) return read;
        diagnostics().begin_call();
        if (brevorin_setoption("smtp_password", secret.c_str(), session) != 0) {
            usage_error("the library refused the SMTP password: " + diagnostics().last_problem());
            return kExitUsage;
        }
    }
    std::string text;
    if (!read_text(request, text)) return kExitFile;
    // The library takes the text as a C string: it would end at the NUL.
    size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        usage_error("the text holds a NUL byte at offset " + std::to_string(nul) +
                    "; send binary data as an attachment (--attach)");
        return kExitUsage;
    }
    // A message of one part ends with a line break the library writes before
    // the end-of-data mark; the text's own last one would add a blank line.
    if (request.attachments.empty() && request.html_file.empty() && !text.empty() &&
        text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') text.pop_back();
    }
    std::string attachments;
    for (const auto& path : request.attachments)
        attachments += (attachments.empty() ? "" : "\x1b") + path;
    std::vector<std::string> recipients;
    for (const auto* list : {&request.to, &request.cc, &request.bcc})
        for (const std::string& value : *list)
            for (const std::string& address : addresses_of(value)) recipients.push_back(address);
    const std::vector<std::string> senders = addresses_of(request.from);
    name_envelope(senders.empty() ? request.from : senders.front(), recipients);
    int status;
    {
        Progress progress(session, "send", wire_size(text, request.attachments));
        diagnostics().begin_call();
        status = brevorin_sendmail(request.server.c_str(), header_list(request).c_str(),
                                   text.c_str(), attachments.c_str(), request.max_size, session);
    }
    if (status != 0) return report_failure("send", status, Step::kSend, request.server);
    if (request.json) {
        std::string out = "{\"sent\": true, \"recipients\": [";
        for (size_t i = 0; i < recipients.size(); ++i)
            out += (i == 0 ? "" : ", ") + json_string(recipients[i]);
        std::printf("%s]}\n", out.c_str());
    } else if (!request.quiet) {
        std::printf("sent\n");
    }
    return kExitOk;
}

}  // namespace cli
