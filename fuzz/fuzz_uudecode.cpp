// uudecode over any block of lines: no crash, the file lands in the
// directory under the name reported, and nothing is written elsewhere.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "mime/uudecode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brevorin;
    static std::string root, out;
    if (root.empty()) {
        char name[] = "/tmp/brevorin-fuzz-uu-XXXXXX";
        if (mkdtemp(name) == nullptr) return 0;
        root = name;
        out = root + "/out";
        mkdir(out.c_str(), 0700);
    }
    Context quiet;
    auto in = fuzz::reader(data, size);
    if (in == nullptr) return 0;
    std::string written_name;
    int status = -1;
    int rc;
    {
        AttachmentFiles files;
        rc = uudecode(out + "/", in.get(), files, written_name, status, quiet);
        OwnedText listed;
        files.commit(listed, status, quiet);
    }
    fuzz::check(status >= 0 && status <= 3, "status out of range");
    fuzz::check((rc == 0) == (status == 0), "result and status disagree");
    fuzz::check(fuzz::entries(root) == std::vector<std::string>{"out"},
                "a file was written outside the directory");
    std::vector<std::string> written = fuzz::entries(out);
    if (rc == 0) {
        fuzz::check(written.size() == 1 && written[0] == written_name,
                    "the file is not where its name says");
    }
    for (const auto& name : written) unlink((out + "/" + name).c_str());
    return 0;
}
