// A whole IMAP visit against a server that says whatever the input says,
// handed out in pieces of a size the input chooses: logon, listing, a
// decoded and a raw fetch, a deletion and the logoff. Nothing may crash,
// hang or grow without bound, and what reaches the host keeps its limits.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/context.h"
#include "core/text_block.h"
#include "fuzz_support.h"
#include "imap/session.h"
#include "mailbox/listing.h"
#include "mailbox/mailbox.h"
#include "mailbox/retrieval.h"
#include "mailbox/visit.h"
#include "scripted_socket.h"

namespace {

using namespace brevorin;

const std::string& scratch_directory() {
    static const std::string dir = [] {
        char name[] = "/tmp/brevorin-fuzz-imap-XXXXXX";
        return std::string(mkdtemp(name) != nullptr ? name : "/tmp");
    }();
    return dir;
}

void empty_directory(const std::string& dir) {
    for (const std::string& name : fuzz::entries(dir)) unlink((dir + "/" + name).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ScriptedSocket peer;
    if (size < 1) return 0;
    size_t piece = 1 + (data[0] & 0x3F) * 37;
    peer.load(fuzz::as_text(data + 1, size - 1), piece);
    platform::set_socket_api(&peer);
    {
        Context ctx;
        ctx.options.protocol = MailProtocol::kImap;
        ctx.options.allow_plaintext_auth = true;  // the scripted peer speaks no TLS
        ctx.options.uidl = (data[0] & 0x40) != 0;
        ctx.options.mime = (data[0] & 0x80) != 0 ? MimeMode::kModern : MimeMode::kClassic;
        Mailbox box(ctx);
        if (logon(box, imap::make_protocol(), "127.0.0.1", "user", "secret") == kOk) {
            const auto& visit = static_cast<const imap::ImapProtocol&>(*box.protocol).visit();
            fuzz::check(box.message_count >= 0 &&
                            visit.uids.size() == static_cast<size_t>(box.message_count) + 1,
                        "a message table out of step with the UID map");
            std::string list, header, body, files;
            TextBlock raw;
            list_messages(box, list);
            fuzz::check(list.size() < static_cast<size_t>(kHostTextLimit), "list over the limit");
            get_message(box, 1, scratch_directory().c_str(), 0, header, body, files);
            get_raw_message(box, 2, 4096, raw);
            fuzz::check(raw.size() <= 4096, "raw text over the caller's limit");
            delete_message(box, 1);
            if (box.logged_on) logoff(box);
        }
        fuzz::check(!box.connection.is_open() || box.logged_on, "a closed visit left open");
        empty_directory(scratch_directory());
    }
    platform::set_socket_api(nullptr);
    return 0;
}
