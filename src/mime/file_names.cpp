#include "mime/file_names.h"

#include <cstring>

#include "core/context.h"
#include "core/text.h"
#include "mime/mime_headers.h"

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

std::string safe_attachment_name(const std::string& name) {
    std::string safe = last_path_component(name);
    for (char& c : safe)
        if (is_forbidden(static_cast<unsigned char>(c))) c = '_';
    if (only_dots_and_blanks(safe)) return std::string();
    if (safe.size() > kMaxFileNameLength) safe.resize(kMaxFileNameLength);
    if (platform::is_device_name(safe)) {
        safe.insert(0, "_");
        if (safe.size() > kMaxFileNameLength) safe.resize(kMaxFileNameLength);
    }
    return safe;
}

void next_file_name(std::string& name) {
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
    name = next.size() > kMaxNextNameLength ? std::string("att-1") : next;
}

int find_free_path(const std::string& directory, std::string& name, std::string& path,
                   bool utf8) {
    size_t room = directory.size() < kMaxPathLength ? kMaxPathLength - directory.size() : 0;
    for (int tries = 0; tries < kFreePathTries; ++tries) {
        if (!fit_name(name, room)) return -1;
        if (platform::is_device_name(name)) name.insert(0, "_");
        if (!fit_name(name, room)) return -1;
        path = directory + name;
        if (!(utf8 ? platform::path_exists_utf8(path) : platform::path_exists(path))) return 0;
        next_file_name(name);
    }
    fit_name(name, room);
    return -1;
}

NewFile::NewFile(std::string path, bool utf8) : path_(std::move(path)), utf8_(utf8) {
    // The partial name must fit where the real one fits; a path at the limit
    // is written under its real name.
    if (path_.size() < kMaxPathLength) partial_ = path_ + "~";
    const std::string& target = partial_.empty() ? path_ : partial_;
#if defined(_WIN32)
    if (utf8_) {
        if (!platform::path_exists_utf8(path_)) file_ = platform::open_binary_write_utf8(target);
    } else if (!platform::path_exists(path_)) {
        file_ = platform::open_binary_write(target);
    }
#else
    if (!platform::path_exists(path_)) file_.reset(std::fopen(target.c_str(), "wbx"));
#endif
    if (!file_) partial_.clear();
}

bool NewFile::close() {
    if (!file_) return true;
    bool written = std::fclose(file_.release()) == 0;
    if (partial_.empty()) return written;
    bool named = utf8_ ? platform::rename_no_replace_utf8(partial_, path_)
                       : platform::rename_no_replace(partial_, path_);
    if (!named) {
        if (utf8_) platform::remove_file_utf8(partial_);
        else std::remove(partial_.c_str());
    }
    partial_.clear();
    return written && named;
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
