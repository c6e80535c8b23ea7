// Helpers of the MIME tests: a scratch directory, whole-file access and a
// context whose diagnostics reach the host stand-in.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/context.h"
#include "support/temp_dir.h"
#include "host/host_calls.h"

namespace brevorin::test {

// Diagnostics go to the host runtime, where a HostFixture captures them.
inline Context traced_context(int charset = kUsAscii) {
    Context ctx;
    ctx.charset = charset;
    ctx.diag = Diag(true, host_put_message);
    return ctx;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

}  // namespace brevorin::test
