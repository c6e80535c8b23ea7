// Names and paths of attachment files written into the caller's directory.
#pragma once

#include <string>

#include "platform/files.h"
#include "core/text.h"

namespace brevorin {

// Longest path (directory text and name) an attachment file may get.
constexpr size_t kMaxPathLength = 255;
// next_file_name falls back to "att-1" for a result longer than this.
constexpr size_t kMaxNextNameLength = 512;
// Existence checks made in the search for a free path.
constexpr int kFreePathTries = 10;

// A name from a message made fit to be a file in the caller's directory:
// its last path component, control characters (and on Windows the
// characters it forbids) replaced by '_', cut to kMaxFileNameLength, device
// names such as CON prefixed with '_'. Empty when nothing usable is left
// ("", ".", "..", dots and blanks only).
std::string safe_attachment_name(const std::string& name);

// Rewrites name into the next candidate: photo.jpg -> photo-1.jpg ->
// photo-2.jpg; README -> README-1. ; .profile -> att-1.profile.
void next_file_name(std::string& name);

// Finds a free path for name in the directory text: 0 with path set, -1 when
// kFreePathTries candidates are taken or the directory leaves no room. name
// ends as the last candidate tried.
// utf8: the directory and name are UTF-8 (a UTF-8 host's).
int find_free_path(const std::string& directory, std::string& name, std::string& path,
                   bool utf8 = false);

// A new attachment file, written under a partial name beside its real one
// and given the real name when closed, so a process stopped while writing
// (Ctrl-C in the command-line tool) never leaves a half-written file under
// the attachment's name. A file the library gives up on is still closed
// under its real name, as it always was.
class NewFile {
public:
    // Opens for binary writing; where the platform allows it, the open fails
    // rather than follow or replace something that appeared after the search.
    // utf8: the path is UTF-8 (a UTF-8 host's), which Windows takes only
    // through its wide functions.
    explicit NewFile(std::string path, bool utf8 = false);
    ~NewFile() { close(); }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    explicit operator bool() const { return file_ != nullptr; }
    std::FILE* get() const { return file_.get(); }
    // Closes and gives the file its real name: false when the last data
    // could not be written or the name could not be given.
    bool close();

private:
    platform::File file_;
    std::string path_;
    std::string partial_;
    bool utf8_ = false;
};

// The caller's attachment directory as the text that file names are
// appended to: empty for none, otherwise ending with the path separator.
std::string attachment_directory(const char* directory);

// Appends a name to an ESC-separated file list.
void append_file_name(OwnedText& files, const std::string& name);

}  // namespace brevorin
