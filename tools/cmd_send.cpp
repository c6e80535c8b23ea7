// send: one message through an SMTP server.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
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

// The password for AUTH, when a user is named: kExitOk or the exit code.
int give_password(const Request& request, MailSession* session) {
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
    return kExitOk;
}

// The text as the library takes it; empty when it cannot go, with why.
std::string ready_text(const Request& request, std::string& text) {
    // The library takes the text as a C string: it would end at the NUL.
    size_t nul = text.find('\0');
    if (nul != std::string::npos)
        return "the text holds a NUL byte at offset " + std::to_string(nul) +
               "; send binary data as an attachment (--attach)";
    // A message of one part ends with a line break the library writes before
    // the end-of-data mark; the text's own last one would add a blank line.
    if (request.attachments.empty() && request.html_file.empty() && !text.empty() &&
        text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') text.pop_back();
    }
    return std::string();
}

// One sending: the library's status; recipients gets the envelope's.
int deliver(const Request& request, const std::string& text, MailSession* session,
            std::vector<std::string>& recipients) {
    std::string attachments;
    for (const auto& path : request.attachments)
        attachments += (attachments.empty() ? "" : "\x1b") + path;
    recipients.clear();
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
    return status;
}

std::string json_list(const std::vector<std::string>& values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) out += (i == 0 ? "" : ", ") + json_string(values[i]);
    return out + "]";
}

// A field of a batch line that names addresses or files: one string, or
// an array of strings. False when it is anything else.
bool string_list(const nlohmann::json& line, const char* key, std::vector<std::string>& out) {
    out.clear();
    if (!line.contains(key)) return true;
    const nlohmann::json& value = line[key];
    if (value.is_string()) {
        out.push_back(value.get<std::string>());
        return true;
    }
    if (!value.is_array()) return false;
    for (const auto& item : value) {
        if (!item.is_string()) return false;
        out.push_back(item.get<std::string>());
    }
    return true;
}

bool string_field(const nlohmann::json& line, const char* key, std::string& out) {
    if (!line.contains(key)) return true;
    if (!line[key].is_string()) return false;
    out = line[key].get<std::string>();
    return true;
}

// The request one batch line stands for, on the command line's server and
// settings, and its text; empty, or why the line cannot be sent.
std::string batch_message(const std::string& text_line, const Request& base, Request& r,
                          std::string& text) {
    nlohmann::json line = nlohmann::json::parse(text_line, nullptr, false);
    if (line.is_discarded() || !line.is_object()) return "not a JSON object";
    r = base;
    r.subject.clear();
    r.text_file.clear();
    r.html_file.clear();
    text.clear();
    const char* lists[] = {"to", "cc", "bcc", "attach"};
    std::vector<std::string>* targets[] = {&r.to, &r.cc, &r.bcc, &r.attachments};
    for (size_t i = 0; i < 4; ++i)
        if (!string_list(line, lists[i], *targets[i]))
            return std::string("\"") + lists[i] + "\" is neither a string nor strings";
    const std::pair<const char*, std::string*> fields[] = {{"from", &r.from},
                                                           {"subject", &r.subject},
                                                           {"text", &text},
                                                           {"text_file", &r.text_file},
                                                           {"html_file", &r.html_file}};
    for (const auto& [key, target] : fields)
        if (!string_field(line, key, *target)) return std::string("\"") + key + "\" is no string";
    for (const auto& [key, value] : line.items()) {
        bool known = false;
        for (const char* name :
             {"to", "cc", "bcc", "attach", "from", "subject", "text", "text_file", "html_file"})
            known = known || key == name;
        if (!known) return "unknown field \"" + key + "\"";
    }
    if (r.to.empty()) return "no recipient (\"to\")";
    if (r.from.empty()) return "no sender (\"from\", or --from)";
    if (line.contains("text") + !r.text_file.empty() + !r.html_file.empty() != 1)
        return "give one of \"text\", \"text_file\" and \"html_file\"";
    const std::pair<const char*, const std::vector<std::string>*> addresses[] = {
        {"to", &r.to}, {"cc", &r.cc}, {"bcc", &r.bcc}};
    for (const auto& [key, values] : addresses)
        for (const std::string& value : *values) {
            std::string bad = malformed_address(value);
            if (!bad.empty()) return "'" + bad + "' in \"" + key + "\" is no mail address";
        }
    if (!malformed_address(r.from).empty()) return "'" + r.from + "' is no mail address";
    if (!r.html_file.empty() && !read_file(r.html_file, "HTML file", text)) return "-";
    if (!r.text_file.empty() && !read_file(r.text_file, "text file", text)) return "-";
    return ready_text(r, text);
}

// Each line of the batch file over the one connection the session keeps.
int run_batch(const Request& request, MailSession* session) {
    std::ifstream file(request.batch_file, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "brevorin: %s: cannot be read\n", request.batch_file.c_str());
        return kExitFile;
    }
    diagnostics().begin_call();
    if (brevorin_setoption("smtp_keep_open", "60", session) != 0) return kExitUsage;
    int exit_code = kExitOk;
    int sent = 0, failed = 0, number = 0;
    std::string results;
    for (std::string line; std::getline(file, line);) {
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        Request r;
        std::string text;
        std::vector<std::string> recipients;
        std::string problem = batch_message(line, request, r, text);
        int status = 0;
        if (problem.empty()) {
            diagnostics().begin_call();
            brevorin_setoption("text_format", r.html_file.empty() ? "plain" : "html", session);
            status = deliver(r, text, session, recipients);
        }
        std::string result = "{\"line\": " + std::to_string(number);
        if (!problem.empty() || status != 0) {
            ++failed;
            if (problem == "-") {
                problem = "a file it names cannot be read";
                if (exit_code == kExitOk) exit_code = kExitFile;
            } else if (!problem.empty()) {
                std::fprintf(stderr, "brevorin: %s line %d: %s\n", request.batch_file.c_str(),
                             number, escaped(problem).c_str());
                if (exit_code == kExitOk) exit_code = kExitUsage;
            } else {
                std::fprintf(stderr, "brevorin: %s line %d:\n", request.batch_file.c_str(), number);
                int code = report_failure("send", status, Step::kSend, request.server);
                if (exit_code == kExitOk) exit_code = code;
            }
            result += ", \"sent\": false, \"status\": " + std::to_string(status);
            if (!problem.empty()) result += ", \"error\": " + json_string(problem);
        } else {
            ++sent;
            result += ", \"sent\": true, \"recipients\": " + json_list(recipients);
            if (!request.json && !request.quiet) std::printf("line %d: sent\n", number);
        }
        results += (results.empty() ? "" : ", ") + result + "}";
    }
    diagnostics().begin_call();
    brevorin_logoffmail(session);
    if (request.json)
        std::printf("{\"sent\": %d, \"failed\": %d, \"messages\": [%s]}\n", sent, failed,
                    results.c_str());
    else if (!request.quiet)
        std::printf("%d sent, %d failed\n", sent, failed);
    return exit_code;
}

}  // namespace

int run_send(const Request& request, MailSession* session) {
    int rc = give_password(request, session);
    if (rc != kExitOk) return rc;
    if (!request.batch_file.empty()) return run_batch(request, session);
    std::string text;
    if (!read_text(request, text)) return kExitFile;
    std::string problem = ready_text(request, text);
    if (!problem.empty()) {
        usage_error(problem);
        return kExitUsage;
    }
    std::vector<std::string> recipients;
    int status = deliver(request, text, session, recipients);
    if (status != 0) return report_failure("send", status, Step::kSend, request.server);
    if (request.json) {
        std::printf("{\"sent\": true, \"recipients\": %s}\n", json_list(recipients).c_str());
    } else if (!request.quiet) {
        std::printf("sent\n");
    }
    return kExitOk;
}

}  // namespace cli
