// A plain-text account of what reading one received message gives: the
// outcome, the attachment status, the files listed and found, the body and
// every file by length and hash, and each diagnostics line. The walker
// corpus test compares it with accounts recorded from the readers the
// walker replaced, so it only depends on what both of them offer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/context.h"
#include "core/line_source.h"
#include "mime/message.h"
#include "mime_test_support.h"
#include "support/temp_dir.h"

namespace brevorin::test {

inline uint64_t fnv1a(const std::string& bytes) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    return h;
}

// Bytes outside printable ASCII as \xNN, so that an account is one line.
inline std::string printable(const std::string& bytes) {
    std::string out;
    char hex[8];
    for (unsigned char c : bytes) {
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

inline std::string& walk_diagnostics() {
    static std::string lines;
    return lines;
}

inline void collect_walk_diagnostics(const char* line) {
    walk_diagnostics() += printable(line);
    walk_diagnostics() += '\n';
}

inline std::string sized_hash(const std::string& bytes) {
    char text[48];
    std::snprintf(text, sizeof text, "%zu:%016llx", bytes.size(),
                  static_cast<unsigned long long>(fnv1a(bytes)));
    return text;
}

// The context a corpus entry's first byte picks, as the fuzz target's does:
// the host's charset and the rules.
inline Context walk_context(char selector) {
    static const int kHosts[] = {kUsAscii, kSjis, kLatin1, kUtf8};
    Context ctx;
    ctx.charset = kHosts[selector & 3];
    if (selector & 4) ctx.options.mime = MimeMode::kModern;
    ctx.diag = Diag(true, collect_walk_diagnostics);
    return ctx;
}

// Reads a message from lines as retrieval does and gives the account.
inline std::string walk_account(LineSource& lines, const Context& ctx) {
    walk_diagnostics().clear();
    TempDir dir;
    std::string header;
    std::string out;
    {
        DecodedBody decoded;
        int outcome = -1;
        if (read_header_block(lines, header) == HeaderRead::kRead) {
            MessageBody body = decode_body(lines, header, dir.text(), ctx, decoded);
            outcome = static_cast<int>(body);
            if (body == MessageBody::kDecoded) decoded.commit_files(ctx);
        }
        out += "outcome " + std::to_string(outcome) + " status " + std::to_string(decoded.status);
        out += " body " + (decoded.body ? sized_hash(*decoded.body) : std::string("none"));
        out += " files " + (decoded.files ? printable(*decoded.files) : std::string("none")) + "\n";
    }
    for (const std::string& name : dir.names())
        out += "file " + printable(name) + " " + sized_hash(read_file(dir.file(name))) + "\n";
    std::string diagnostics = walk_diagnostics();
    std::string where = printable(dir.text());
    for (size_t at; (at = diagnostics.find(where)) != std::string::npos;)
        diagnostics.replace(at, where.size(), "DIR/");
    return out + diagnostics;
}

// input: the selector byte, then the message as received, stuffing undone.
inline std::string walk_summary(const std::string& input) {
    if (input.empty()) return "empty\n";
    std::string message = input.substr(1);
    TextLineSource lines(message.data(), message.size());
    return walk_account(lines, walk_context(input[0]));
}

}  // namespace brevorin::test
