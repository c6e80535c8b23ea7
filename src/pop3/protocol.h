// POP3 as the protocol of a mailbox visit.
#pragma once

#include <memory>

#include "mailbox/mailbox.h"
#include "pop3/session.h"

namespace brevorin::pop3 {

class Pop3Protocol final : public MailboxProtocol {
  public:
    int logon(Mailbox& box, const char* server, const char* user, const char* password) override;
    int logoff(Mailbox& box) override;
    int remove(Mailbox& box, int message) override;
    bool size(Mailbox& box, int message, int32_t& size) override;
    bool size_before_fetch(Mailbox& box, int message, int32_t& size) override;
    Fetch fetch(Mailbox& box, int message, const char* tag,
                const std::function<Fetch(LineSource&)>& reader) override;
    bool unique_id(Mailbox& box, int message) override;
    std::unique_ptr<ListingPass> listing(Mailbox& box, int first) override;
    const char* name() const override { return "POP3"; }
    void end_visit() override { visit_ = Pop3Visit{}; }

    Pop3Visit& visit() { return visit_; }

  private:
    Pop3Visit visit_;
};

std::unique_ptr<MailboxProtocol> make_protocol();

}  // namespace brevorin::pop3
