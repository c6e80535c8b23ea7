#include "mime/file_names.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#include "core/charset.h"
#include "core/context.h"
#include "core/text.h"
#include "mime/classic_fields.h"

namespace brevorin {

namespace {

bool is_forbidden(unsigned char c) {
    if (c < 0x20 || c == 0x7F) return true;
#if defined(_WIN32)
    if (std::strchr("<>:\"|?*", c) != nullptr) return true;
#endif
    return false;
}

bool only_dots_and_blanks(const std::string& name) {
    return name.find_first_not_of(". ") == std::string::npos;
}

// Shortens name to at most room characters. The characters go from the end
// of its first word (before the first '-' or '.'), so that the extension and
// the counter that next_file_name adds survive; when that word is too short
// the tail is cut.
bool fit_name(std::string& name, size_t room) {
    if (room == 0) return false;
    if (name.size() <= room) return true;
    size_t excess = name.size() - room;
    size_t head = name.find_first_of("-.");
    if (head == std::string::npos) head = name.size();
    if (head > excess) {
        name.erase(head - excess, excess);
    } else {
        name.resize(room);
    }
    return true;
}

}  // namespace

namespace {

// The name after its last separator. In Shift_JIS a separator byte (0x5C)
// may be the second byte of a character ("表" is 0x95 0x5C), which is no
// separator: splitting there would leave the tail of a name (".txt").
std::string after_separators(const std::string& name, int charset) {
    if (charset != kSjis) return last_path_component(name);
    size_t start = 0;
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
        start = 2;
    size_t begin = start;
    for (size_t i = start; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
            ++i;  // a lead byte: the next byte belongs to it
            continue;
        }
        if (c == '/' || c == '\\') begin = i + 1;
    }
    return name.substr(begin);
}

// Length of a well-formed UTF-8 sequence at p (n bytes left), 0 if none.
size_t utf8_length(const unsigned char* p, size_t n) {
    size_t length = p[0] < 0x80                    ? 1
                    : p[0] >= 0xC2 && p[0] <= 0xDF ? 2
                    : p[0] >= 0xE0 && p[0] <= 0xEF ? 3
                    : p[0] >= 0xF0 && p[0] <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || length > n) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return length;
}

// Characters that change how a name is shown rather than what it says:
// C1 controls (U+0080-U+009F), the bidirectional marks, embeddings,
// overrides and isolates (U+200E, U+200F, U+202A-U+202E, U+2066-U+2069,
// U+061C). A right-to-left override turns "invoice_fdp.exe" into what
// reads as "invoice_exe.pdf".
bool disguises(const unsigned char* p, size_t length) {
    if (length == 2) return (p[0] == 0xC2 && p[1] <= 0x9F) || (p[0] == 0xD8 && p[1] == 0x9C);
    if (length != 3 || p[0] != 0xE2) return false;
    if (p[1] == 0x80) return p[2] == 0x8E || p[2] == 0x8F || (p[2] >= 0xAA && p[2] <= 0xAE);
    return p[1] == 0x81 && p[2] >= 0xA6 && p[2] <= 0xA9;
}

// Replaces what must not reach a file system or a terminal by '_': ASCII
// controls (and on Windows its forbidden characters); in a UTF-8 name the
// characters above and any byte that is not UTF-8 (a lone 0x9B is a
// terminal's CSI); in the single-byte ISO sets the C1 range. The double-byte
// sets use 0x80-0x9F for their own characters.
std::string replace_unsafe(const std::string& name, int charset) {
    const bool utf8 = charset == kUtf8;
    const bool iso_single_byte = charset >= kUsAscii && charset <= kHebrew;
    std::string safe;
    safe.reserve(name.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(name.data());
    size_t n = name.size();
    for (size_t i = 0; i < n;) {
        if (utf8 && p[i] >= 0x80) {
            size_t length = utf8_length(p + i, n - i);
            if (length == 0 || disguises(p + i, length)) {
                safe += '_';
                i += length == 0 ? 1 : length;
            } else {
                safe.append(name, i, length);
                i += length;
            }
            continue;
        }
        bool c1 = iso_single_byte && p[i] >= 0x80 && p[i] <= 0x9F;
        safe += is_forbidden(p[i]) || c1 ? '_' : static_cast<char>(p[i]);
        ++i;
    }
    return safe;
}

}  // namespace

std::string safe_attachment_name(const std::string& name, int charset) {
    std::string safe = replace_unsafe(after_separators(name, charset), charset);
    if (only_dots_and_blanks(safe)) return std::string();
    // A leading dot hides a file (and makes ".bashrc" of an attachment).
    if (safe[0] == '.') safe.insert(0, "_");
    if (safe.size() > kMaxFileNameLength) safe.resize(kMaxFileNameLength);
    if (platform::is_device_name(safe)) {
        safe.insert(0, "_");
        if (safe.size() > kMaxFileNameLength) safe.resize(kMaxFileNameLength);
    }
    return safe;
}

void next_file_name(std::string& name, NextName rule) {
    if (name.empty()) {
        name = "att-1";
        return;
    }
    if (name[0] == '.') {
        name = "att-1." + name.substr(1);
        return;
    }
    size_t dot = name.find('.');
    std::string stem = name.substr(0, dot);
    std::string extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    std::string next;
    size_t dash = stem.find('-');
    if (dash != std::string::npos) {
        long long counter = parse_int_like_atoi(stem.c_str() + dash + 1);
        next = stem.substr(0, dash) + "-" + std::to_string(counter + 1) + "." + extension;
    } else {
        next = stem + "-1." + extension;
    }
    if (rule == NextName::kNoTrailingDot && extension.empty()) next.pop_back();
    name = next.size() > kMaxNextNameLength ? std::string("att-1") : next;
}

int find_free_path(const std::string& directory, std::string& name, std::string& path, bool utf8,
                   const std::vector<std::string>* claimed, NextName rule) {
    size_t room = directory.size() < kMaxPathLength ? kMaxPathLength - directory.size() : 0;
    auto taken = [&](const std::string& candidate) {
        if (claimed != nullptr)
            for (const std::string& c : *claimed)
                if (c == candidate) return true;
        return utf8 ? platform::path_exists_utf8(candidate) : platform::path_exists(candidate);
    };
    for (int tries = 0; tries < kFreePathTries; ++tries) {
        if (!fit_name(name, room)) return -1;
        if (platform::is_device_name(name)) name.insert(0, "_");
        if (!fit_name(name, room)) return -1;
        path = directory + name;
        if (!taken(path)) return 0;
        next_file_name(name, rule);
    }
    fit_name(name, room);
    return -1;
}

namespace {

// ".brv-" and 12 random hex digits: hidden, and no name a safe attachment
// name can take (those never start with a dot).
constexpr size_t kTemporaryNameLength = 22;

std::string temporary_name() {
    return ".brv-" + platform::random_hex(12) + ".part";
}

// Attempts at a temporary name that nobody else holds.
constexpr int kTemporaryTries = 8;

}  // namespace

AttachmentFiles& AttachmentFiles::operator=(AttachmentFiles&& other) noexcept {
    if (this == &other) return *this;
    discard();
    files_ = std::move(other.files_);
    claimed_ = std::move(other.claimed_);
    open_ = std::move(other.open_);
    buffer_ = std::move(other.buffer_);
    buffered_ = other.buffered_;
    write_error_ = other.write_error_;
    limit_reported_ = other.limit_reported_;
    path_ = std::move(other.path_);
    other.files_.clear();
    other.claimed_.clear();
    other.buffered_ = 0;
    return *this;
}

std::FILE* AttachmentFiles::begin(const std::string& directory, std::string& name, bool utf8,
                                  const Context& ctx, int& status) {
    abandon();
    if (files_.size() >= static_cast<size_t>(kMaxAttachmentFiles)) {
        if (!limit_reported_)
            ctx.diag.print('W', 1,
                           "POP3_PARSE_MIME: More than %d attachment files, the rest skipped",
                           kMaxAttachmentFiles);
        limit_reported_ = true;
        status = kAttachmentSkipped;
        return nullptr;
    }
    std::string path;
    if (find_free_path(directory, name, path, utf8, &claimed_, next_name_) != 0) {
        status = kAttachmentNoName;
        return nullptr;
    }
    Pending file{directory, name, std::string(), utf8, false};
    int error = 0;
    // The temporary must fit where the real name fits; a path near the
    // limit is written under its real name, claimed exclusively.
    if (directory.size() + kTemporaryNameLength <= kMaxPathLength) {
        for (int tries = 0; tries < kTemporaryTries && !open_; ++tries) {
            file.temporary = directory + temporary_name();
            open_ = platform::create_new_file(file.temporary, utf8, true, error);
            if (error != EEXIST) break;
        }
    } else {
        open_ = platform::create_new_file(path, utf8, false, error);
    }
    path_ = path;
    if (!open_) {
        ctx.note_failure(Failure::kFile, error, path);
        ctx.diag.print('E', 1, "POP3_PARSE_MIME: Could not create file: %s: %s", path.c_str(),
                       platform::error_text(error).c_str());
        status = kAttachmentNotOpened;
        return nullptr;
    }
    write_error_ = 0;
    buffered_ = 0;
    files_.push_back(std::move(file));
    claimed_.push_back(path);
    return open_.get();
}

bool AttachmentFiles::flush() {
    if (buffered_ == 0 || write_error_ != 0) {
        buffered_ = 0;
        return write_error_ == 0;
    }
    bool ok = std::fwrite(buffer_.data(), 1, buffered_, open_.get()) == buffered_;
    buffered_ = 0;
    if (!ok) write_error_ = errno != 0 ? errno : EIO;
    return ok;
}

char* AttachmentFiles::room(size_t length) {
    if (buffer_.size() < kWriteBlock) buffer_.resize(kWriteBlock);
    if (buffered_ + length > buffer_.size()) flush();
    return buffer_.data() + buffered_;
}

bool AttachmentFiles::write(const char* data, size_t length) {
    if (!open_ || write_error_ != 0) return false;
    if (length >= kWriteBlock) {
        if (!flush()) return false;
        if (std::fwrite(data, 1, length, open_.get()) == length) return true;
        write_error_ = errno != 0 ? errno : EIO;
        return false;
    }
    std::memcpy(room(length), data, length);
    added(length);
    return write_error_ == 0;
}

bool AttachmentFiles::end(const Context& ctx, int& status) {
    if (!open_) return false;
    flush();
    int error = write_error_;
    if (error == 0 && std::ferror(open_.get())) error = errno != 0 ? errno : EIO;
    // Flushed here, while the stream is open, rather than at commit: holding
    // up to kMaxAttachmentFiles files open would run out of descriptors.
    int unsynced = error == 0 ? platform::sync_file(open_.get()) : 0;
    if (std::fclose(open_.release()) != 0 && error == 0) error = errno != 0 ? errno : EIO;
    if (error == 0 && unsynced == 0) {
        files_.back().ended = true;
        return true;
    }
    if (error == 0) {
        // Written, but the system cannot say the bytes are on the disk: the
        // file is not offered, or a host would delete the message it holds.
        ctx.note_failure(Failure::kFile, unsynced, path_);
        ctx.diag.print('E', 1, "POP3_PARSE_MIME: Could not flush file to disk: %s: %s",
                       path_.c_str(), platform::error_text(unsynced).c_str());
    } else {
        ctx.note_failure(Failure::kFile, error, path_);
        ctx.diag.print('E', 1, "POP3_PARSE_MIME: Could not write file: %s: %s", path_.c_str(),
                       platform::error_text(error).c_str());
    }
    remove(files_.back());
    files_.pop_back();
    claimed_.pop_back();
    status = kAttachmentNotOpened;
    return false;
}

void AttachmentFiles::abandon() {
    if (!open_) return;
    buffered_ = 0;
    open_.reset();
    remove(files_.back());
    files_.pop_back();
    claimed_.pop_back();
}

void AttachmentFiles::commit(OwnedText& files, int& status, const Context& ctx) {
    abandon();
    // Directories that gained a name, flushed once all names are given.
    std::vector<const Pending*> named;
    auto gained = [&named](const Pending& file) {
        for (const Pending* other : named)
            if (other->directory == file.directory) return;
        named.push_back(&file);
    };
    for (Pending& file : files_) {
        if (!file.ended) continue;
        if (file.temporary.empty()) {
            append_file_name(files, file.name);
            gained(file);
            continue;
        }
        std::string path = file.directory + file.name;
        platform::Placed placed = platform::Placed::kTaken;
        int error = 0;
        for (int tries = 0; tries < kFreePathTries; ++tries) {
            placed = platform::place_file(file.temporary, path, file.utf8, error);
            if (placed != platform::Placed::kTaken) break;
            if (find_free_path(file.directory, file.name, path, file.utf8, nullptr, next_name_) !=
                0)
                break;
        }
        if (placed == platform::Placed::kPlaced) {
            file.temporary.clear();
            append_file_name(files, file.name);
            gained(file);
            continue;
        }
        if (placed == platform::Placed::kTaken) {
            status = kAttachmentNoName;
            ctx.diag.print('E', 1, "POP3_PARSE_MIME: No free file name for: %s", path.c_str());
        } else {
            status = kAttachmentNotOpened;
            ctx.note_failure(Failure::kFile, error, path);
            ctx.diag.print('E', 1, "POP3_PARSE_MIME: Could not write file: %s: %s", path.c_str(),
                           platform::error_text(error).c_str());
        }
        remove(file);
    }
    // The files stay and are listed: they are whole, only their names may
    // not survive a power loss, which status 2 tells the host.
    for (const Pending* file : named) {
        int error = platform::sync_directory(file->directory, file->utf8);
        if (error == 0) continue;
        status = kAttachmentNotOpened;
        ctx.note_failure(Failure::kFile, error, file->directory);
        ctx.diag.print('E', 1, "POP3_PARSE_MIME: Could not flush directory to disk: %s: %s",
                       file->directory.c_str(), platform::error_text(error).c_str());
    }
    files_.clear();
    claimed_.clear();
}

void AttachmentFiles::discard() {
    open_.reset();
    for (const Pending& file : files_) remove(file);
    files_.clear();
    claimed_.clear();
}

void AttachmentFiles::remove(const Pending& file) const {
    const std::string& at = file.temporary.empty() ? file.directory + file.name : file.temporary;
    platform::remove_file(at, file.utf8);
}

std::string attachment_directory(const char* directory) {
    if (directory == nullptr || directory[0] == '\0') return std::string();
    std::string text(directory);
    if (text.back() != platform::kPathSeparator) text += platform::kPathSeparator;
    return text;
}

void append_file_name(OwnedText& files, const std::string& name) {
    if (files.has_value() && !files->empty()) {
        *files += kEsc;
        *files += name;
    } else {
        files = name;
    }
}

}  // namespace brevorin
