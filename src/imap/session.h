// IMAP (RFC 3501) as the protocol of a mailbox visit, behind the same
// workers as POP3's: the same statuses, records, message readers and result
// slots. Host message numbers are the sequence numbers at logon, each tied
// to its UID, and every later command names UIDs.
#pragma once

#include <memory>
#include <string>

#include "imap/visit.h"
#include "mailbox/mailbox.h"

namespace brevorin::imap {

constexpr int kImapPort = 143;
constexpr int kImapsPort = 993;

class ImapProtocol final : public MailboxProtocol {
  public:
    int logon(Mailbox& box, const char* server, const char* user, const char* password) override;
    int logoff(Mailbox& box) override;
    int remove(Mailbox& box, int message) override;
    bool size(Mailbox& box, int message, int32_t& size) override;
    Fetch fetch(Mailbox& box, int message, const char* tag,
                const std::function<Fetch(LineSource&)>& reader) override;
    bool unique_id(Mailbox& box, int message) override;
    std::unique_ptr<ListingPass> listing(Mailbox& box, int first) override;
    const char* name() const override { return "IMAP"; }
    void end_visit() override { visit_ = ImapVisit{}; }

    const ImapVisit& visit() const { return visit_; }

  private:
    ImapVisit visit_;
};

std::unique_ptr<MailboxProtocol> make_protocol();

// "%08x%08x" of the UID and UIDVALIDITY: the form Dovecot's POP3 gives by
// default, so a host's record of seen ids survives a move to IMAP there.
std::string unique_id(const ImapVisit& visit, int message);

}  // namespace brevorin::imap
