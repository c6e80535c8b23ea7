// A received message made of the fuzzer's bytes, read from memory and
// decoded: the header block, the MIME walker (by the rules the host's options
// pick: the classic ones, or mime=modern with nested multiparts, held
// alternatives, RFC 2231 and RFC 2047 names and charset conversion), the plain body with
// its uuencoded blocks, and the attachment files. Nothing may crash, nothing may
// be written outside the attachment directory, and every file listed must
// exist there.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/line_source.h"
#include "fuzz_support.h"
#include "mime/message.h"

namespace {

using namespace brevorin;

struct Scratch {
    Scratch() {
        char name[] = "/tmp/brevorin-fuzz-XXXXXX";
        root = mkdtemp(name) != nullptr ? name : "";
        out = root + "/out";
        mkdir(out.c_str(), 0700);
    }
    std::string root, out;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    if (size < 1 || scratch.root.empty()) return 0;
    Context quiet;
    // First byte: the host's charset and which walker reads the message.
    static const int kHosts[] = {kUsAscii, kSjis, kLatin1, kUtf8};
    quiet.charset = kHosts[data[0] & 3];
    if (data[0] & 4) quiet.options.mime = MimeMode::kModern;
    std::string message = fuzz::as_text(data + 1, size - 1);
    TextLineSource lines(message.data(), message.size());
    std::string header;
    DecodedBody decoded;
    bool read = read_header_block(lines, header) == HeaderRead::kRead &&
                decode_body(lines, header, scratch.out + "/", quiet, decoded) == MessageBody::kDecoded;
    if (read) decoded.commit_files(quiet);
    else decoded.attachments.discard();

    fuzz::check(fuzz::entries(scratch.root) == std::vector<std::string>{"out"},
                "a file was written outside the attachment directory");
    std::vector<std::string> written = fuzz::entries(scratch.out);
    for (const auto& name : written)
        fuzz::check(name.compare(0, 5, ".brv-") != 0, "a temporary file was left behind");
    if (read && decoded.files.has_value() && !decoded.files->empty()) {
        std::string list = *decoded.files;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = std::min(list.find('\x1b', start), list.size());
            std::string name = list.substr(start, end - start);
            fuzz::check(name.find('/') == std::string::npos, "listed name holds a separator");
            fuzz::check(std::find(written.begin(), written.end(), name) != written.end(),
                        "a listed file does not exist");
            start = end + 1;
        }
    }
    for (const auto& name : written) unlink((scratch.out + "/" + name).c_str());
    return 0;
}
