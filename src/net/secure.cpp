#include "net/secure.h"

#include "platform/sockets.h"

namespace brevorin {

bool secure_connection(Connection& connection, const Context& ctx, const std::string& host,
                       const char* tag) {
    // The one place the session's options become the TLS policy.
    platform::TlsSettings settings;
    settings.host = host;
    settings.ca_file = ctx.options.ca_file;
    settings.verify_chain = settings.verify_host = ctx.options.verify == Verify::kPeer;
    settings.min_version = platform::TlsVersion::k1_2;
    settings.offer_tls13 = true;
    settings.tolerate_unclean_close = true;
    settings.describe = ctx.wire != nullptr;
    if (!settings.verifies())
        ctx.diag.print('W', 1, "%s: Warning: server certificate not verified (verify=none)", tag);
    platform::TlsHandshake handshake = connection.start_tls(settings);
    if (handshake.failure != platform::TlsFailure::kNone) {
        ctx.diag.print('E', 1, "%s: TLS failed: %s%s%.200s", tag,
                       platform::describe(handshake.failure), handshake.detail.empty() ? "" : ": ",
                       handshake.detail.c_str());
        return false;
    }
    ctx.diag.print('F', 1, "%s: TLS established with %s", tag, host.c_str());
    if (ctx.wire != nullptr) ctx.wire->tls(handshake.summary.c_str());
    return true;
}

bool credentials_may_go(const Context& ctx, bool legacy_logon, const char* tag) {
    if (ctx.options.security != Security::kNone || ctx.options.allow_plaintext_auth || legacy_logon)
        return true;
    ctx.diag.print('E', 1,
                   "%s: Refused: credentials would be sent without TLS (set security, or "
                   "allow_plaintext_auth=yes)",
                   tag);
    ctx.note_failure(Failure::kNoTls);
    return false;
}

}  // namespace brevorin
