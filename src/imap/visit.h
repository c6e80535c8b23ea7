// What an IMAP visit keeps beside the common fields of the mailbox.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brevorin::imap {

// The server's sequence numbers of the logon's messages as expunges shift
// them. Which of the messages the server still has is kept as a Fenwick
// tree of counts over [1, count]: a message's sequence number now is the
// count up to it, found in logarithmic time however many others were
// expunged.
class SequenceMap {
  public:
    // Room for count messages, so that reset needs no memory it may not get.
    void reserve(size_t count) { alive_.reserve(count + 1); }
    // Every one of count messages alive.
    void reset(size_t count);
    // The message now at a sequence number; 0: none of the logon's.
    int message_at(uint64_t sequence_number) const;
    // A message's sequence number now; 0: expunged (or none of the logon's).
    uint64_t sequence_of(int message) const;
    // "* n EXPUNGE": the message that left, or 0.
    int expunge(uint64_t sequence_number);

  private:
    // The range of counts a tree node covers ends at it and is as long as
    // its index's lowest set bit.
    static size_t lowest_bit(size_t i) { return i & (~i + 1); }
    size_t count() const { return alive_.empty() ? 0 : alive_.size() - 1; }
    uint64_t alive_up_to(size_t message) const;

    std::vector<uint32_t> alive_;  // [1, count]; [0] unused
};

// Message n of the host is the message whose UID is uids[n]: its sequence
// number at logon, fixed for the session whatever other clients expunge.
struct ImapVisit {
    uint32_t next_tag = 0;
    uint32_t uid_validity = 0;
    std::vector<uint32_t> uids;     // [1, message_count]; [0] unused
    SequenceMap sequence;           // where the server has them now
    std::string capabilities;       // " CAP1 CAP2 ... ", upper case
    std::vector<uint32_t> deleted;  // UIDs flagged \Deleted by this session
    uint32_t exists = 0;            // the last EXISTS

    bool offers(const char* capability) const {
        return capabilities.find(std::string(" ") + capability + " ") != std::string::npos;
    }
};

}  // namespace brevorin::imap
