// Names and paths of attachment files written into the caller's directory.
#pragma once

#include <string>
#include <vector>

#include "core/charset.h"
#include "core/context.h"
#include "core/text.h"
#include "platform/files.h"

namespace brevorin {

// Attachment status: what happened to the attachments of a message.
enum AttachmentStatus : int {
    kAttachmentsHandled = 0,
    kAttachmentSkipped = 1,    // skipped, not decodable, or the message was cut short
    kAttachmentNotOpened = 2,  // an attachment file could not be opened or written
    kAttachmentNoName = 3,     // no free file name for an attachment
};

// Longest path (directory text and name) an attachment file may get.
constexpr size_t kMaxPathLength = 255;
// next_file_name falls back to "att-1" for a result longer than this.
constexpr size_t kMaxNextNameLength = 512;
// Existence checks made in the search for a free path.
constexpr int kFreePathTries = 10;

// A name from a message made fit to be a file in the caller's directory:
// its last path component (split by the rules of the host charset),
// control characters, characters that disguise a name (C1 controls,
// bidirectional overrides) and on Windows the characters it forbids
// replaced by '_', a leading dot made visible ("_.bashrc"), cut to
// kMaxFileNameLength, device names such as CON prefixed with '_'. Empty when
// nothing usable is left ("", ".", "..", dots and blanks only).
std::string safe_attachment_name(const std::string& name, int charset = kUsAscii);

// How a taken name moves on. The classic rule keeps the dot of an empty
// extension (README -> README-1.), which Windows drops from the file it
// creates, so the name reported would not be the file's; the modern rule
// leaves it out.
enum class NextName { kClassic, kNoTrailingDot };

// Rewrites name into the next candidate: photo.jpg -> photo-1.jpg ->
// photo-2.jpg; README -> README-1. (README-1 by the modern rule);
// .profile -> att-1.profile.
void next_file_name(std::string& name, NextName rule = NextName::kClassic);

// Most attachment files one message may create: a message of 100,000 tiny
// named parts must not fill a directory. The rest are skipped (status 1).
constexpr int kMaxAttachmentFiles = 1000;

// Finds a free path for name in the directory text: 0 with path set, -1 when
// kFreePathTries candidates are taken or the directory leaves no room. name
// ends as the last candidate tried. A path in claimed counts as taken.
// utf8: the directory and name are UTF-8 (a UTF-8 host's).
int find_free_path(const std::string& directory, std::string& name, std::string& path,
                   bool utf8 = false, const std::vector<std::string>* claimed = nullptr,
                   NextName rule = NextName::kClassic);

// The attachment files of one message. Each is written under a hidden
// temporary name of its own in the caller's directory and takes its real
// name only at commit, once the whole message has arrived; whatever is not
// committed is removed when the set goes. A lost connection, a refused size,
// a full disk or an interrupted run so leaves no file behind, whole or cut
// short, and no temporary that a later retrieval could trip over.
class AttachmentFiles {
public:
    AttachmentFiles() = default;
    ~AttachmentFiles() { discard(); }
    AttachmentFiles(const AttachmentFiles&) = delete;
    AttachmentFiles& operator=(const AttachmentFiles&) = delete;
    // A moved-from set holds nothing (its vectors are empty, its file null),
    // so only the new owner removes what was not committed.
    AttachmentFiles(AttachmentFiles&&) noexcept = default;
    // Removes what this set had not committed, then takes the other's.
    AttachmentFiles& operator=(AttachmentFiles&& other) noexcept;

    // Starts the file for a safe name (safe_attachment_name) in the
    // directory text: the stream to write, or null with the attachment
    // status that skips it. name ends as the name chosen (or the last one
    // tried). One file is open at a time.
    std::FILE* begin(const std::string& directory, std::string& name, bool utf8, const Context& ctx,
                     int& status);
    // Writes to the open file; a failure is remembered for end(). Writes
    // are gathered into large blocks: a decoder hands over a line at a time.
    bool write(const char* data, size_t length);
    // Space for length more bytes (at most kWriteBlock), for a decoder to
    // write into directly; added() then takes what it wrote.
    char* room(size_t length);
    void added(size_t length) { buffered_ += length; }
    static constexpr size_t kWriteBlock = 64 * 1024;
    // Closes the open file: true when every byte reached it and the system
    // said they are on the disk. A file that could not be written or
    // flushed is removed, with an E1 line naming its path and the system's
    // reason, and status 2.
    bool end(const Context& ctx, int& status);
    // Removes the open file: its part could not be read or decoded.
    void abandon();
    // The path the open (or last) file will have.
    const std::string& path() const { return path_; }

    // Gives every ended file its real name, in order, and appends the
    // names to files. A name taken meanwhile moves on to the next free one.
    // The directory is then flushed so that the names survive a power
    // loss; when that fails the files stay listed, with an E1 line naming
    // the directory and status 2.
    void commit(OwnedText& files, int& status, const Context& ctx);
    // Removes every file not committed.
    void discard();
    // How names taken already move on (the classic rule unless set).
    void set_next_name_rule(NextName rule) { next_name_ = rule; }

private:
    struct Pending {
        std::string directory;
        std::string name;
        std::string temporary;  // empty: written under its real name
        bool utf8 = false;
        bool ended = false;
    };
    void remove(const Pending& file) const;

    std::vector<Pending> files_;
    std::vector<std::string> claimed_;  // real paths of files_, for the name search
    bool flush();

    platform::File open_;
    std::vector<char> buffer_;  // kWriteBlock bytes once a file is begun
    size_t buffered_ = 0;
    int write_error_ = 0;
    bool limit_reported_ = false;
    NextName next_name_ = NextName::kClassic;
    std::string path_;
};

// The caller's attachment directory as the text that file names are
// appended to: empty for none, otherwise ending with the path separator.
std::string attachment_directory(const char* directory);

// Appends a name to an ESC-separated file list.
void append_file_name(OwnedText& files, const std::string& name);

}  // namespace brevorin
