// The state file of get --new: which messages of one account were fetched.
//
// Format: a first line naming the account, then one unique id a line. The
// file is never edited in place: a crash while writing would leave half a
// list, and the messages missing from it would be fetched a second time.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "cli.h"

namespace cli {

namespace {

const char kStateMagic[] = "brevorin-state ";

bool fail(const std::string& path, const char* doing, int error) {
    std::fprintf(stderr, "brevorin: --state %s: cannot %s: %s\n", path.c_str(), doing,
                 std::strerror(error));
    return false;
}

int file_error(const std::string& path, const char* doing, int error) {
    fail(path, doing, error);
    return kExitFile;
}

#if defined(_WIN32)
bool write_whole(const std::string& path, const std::string& temp, const std::string& text) {
    int fd =
        ::_open(temp.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return fail(path, "create a temporary beside it", errno);
    bool ok = ::_write(fd, text.data(), static_cast<unsigned>(text.size())) ==
                  static_cast<int>(text.size()) &&
              ::_commit(fd) == 0;
    int error = errno;
    ::_close(fd);
    if (!ok) {
        ::_unlink(temp.c_str());
        return fail(path, "write", error);
    }
    if (!replace_durably(temp, path)) {
        error = errno;
        ::_unlink(temp.c_str());
        return fail(path, "replace", error);
    }
    return true;
}
#else
bool write_whole(const std::string& path, const std::string& temp, const std::string& text) {
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return fail(path, "create a temporary beside it", errno);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == text.size() && ::fsync(fd) == 0;
    int error = errno;
    ::close(fd);
    if (!ok) {
        ::unlink(temp.c_str());
        return fail(path, "write", error);
    }
    if (!replace_durably(temp, path)) {
        error = errno;
        ::unlink(temp.c_str());
        return fail(path, "replace", error);
    }
    return true;
}
#endif

}  // namespace

// Default ports are written out, so that "host" and "host:110" are one
// account; the mailbox is named, since each IMAP folder has its own ids.
std::string StateFile::account_of(const Request& r) {
    std::string server = r.server;
    size_t plus = server.rfind('+');
    std::string port;
    if (plus != std::string::npos && server.find(']', plus) == std::string::npos) {
        port = server.substr(plus + 1);
        server.resize(plus);
    } else {
        bool imap = r.protocol == "imap";
        port = imap ? (r.tls ? "993" : "143") : (r.tls ? "995" : "110");
    }
    std::string mailbox = r.protocol == "imap" ? (r.mailbox.empty() ? "INBOX" : r.mailbox) : "";
    return kStateMagic + r.protocol + "://" + r.user + "@" + server + ":" + port + "/" + mailbox;
}

int StateFile::open(const Request& request) {
    path_ = request.state_file;
    account_ = account_of(request);
    ids_.clear();
    std::FILE* in = std::fopen(path_.c_str(), "rb");
    if (in == nullptr) {
        if (errno != ENOENT) return file_error(path_, "read", errno);
        return save() ? kExitOk : kExitFile;
    }
    std::string text;
    char buffer[8192];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
    bool bad = std::ferror(in) != 0;
    int error = errno;
    std::fclose(in);
    if (bad) return file_error(path_, "read", error);
    // An empty file (made by hand) is taken as a new state.
    if (text.empty()) return save() ? kExitOk : kExitFile;
    size_t at = 0;
    bool first = true;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first) {
            first = false;
            if (line == account_) continue;
            const size_t magic = sizeof kStateMagic - 1;
            std::string whose = line.compare(0, magic, kStateMagic) == 0
                                    ? "it is the state of " + line.substr(magic)
                                    : std::string("it is no state file of this tool");
            std::fprintf(stderr, "brevorin: --state %s: %s, not of %s\n", path_.c_str(),
                         escaped(whose).c_str(), account_.substr(magic).c_str());
            return kExitUsage;
        }
        if (!line.empty()) ids_.insert(line);
    }
    return kExitOk;
}

bool StateFile::keep_only(const std::set<std::string>& present) {
    size_t before = ids_.size();
    for (auto it = ids_.begin(); it != ids_.end();)
        it = present.count(*it) != 0 ? std::next(it) : ids_.erase(it);
    return ids_.size() != before;
}

bool StateFile::save() const {
    std::string text = account_ + "\n";
    for (const std::string& id : ids_) text += id + "\n";
    return write_whole(path_, temporary_beside(path_), text);
}

int check_state_file(const Request& request) {
    StateFile state;
    return state.open(request);
}

}  // namespace cli
