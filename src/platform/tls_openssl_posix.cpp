// TLS through OpenSSL 3. The records travel through a BIO of our own that
// calls the connection's RawTransport, so the connection's timeouts and its
// Windows Sockets error numbers stay in force; OpenSSL never sees the fd.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/sockets.h"
#include "platform/tls.h"
#include "platform/tls_names.h"

namespace brevorin::platform {

namespace {

// What the BIO saw of the transport: OpenSSL's own error reporting cannot
// tell a timed-out socket from a bad record, and the caller needs that.
struct Channel {
    RawTransport* transport = nullptr;
    bool failed = false;  // recv or send returned -1
    int error = 0;        // the socket layer's error number at that time
    bool eof = false;     // the peer closed its end
};

int channel_read(BIO* bio, char* buffer, int length) {
    auto* channel = static_cast<Channel*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
    int n;
    try {  // nothing may unwind through libssl
        n = channel->transport->recv(buffer, length);
    } catch (...) {
        n = -1;
    }
    if (n > 0) return n;
    if (n == 0) {
        channel->eof = true;
        return 0;
    }
    channel->failed = true;
    channel->error = socket_api().last_error();
    return -1;
}

int channel_write(BIO* bio, const char* data, int length) {
    auto* channel = static_cast<Channel*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
    int n;
    try {
        n = channel->transport->send(data, length);
    } catch (...) {
        n = -1;
    }
    if (n > 0) return n;
    channel->failed = true;
    channel->error = socket_api().last_error();
    return -1;
}

long channel_ctrl(BIO*, int command, long, void*) {
    // libssl flushes after every flight; the transport has nothing buffered.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int channel_create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

struct SslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};
struct BioMethodFree {
    void operator()(BIO_METHOD* p) const { BIO_meth_free(p); }
};

// The reasons in OpenSSL's error queue, oldest first (the oldest is often
// the telling one: "no such file" before "system lib"); empties the queue.
std::string openssl_reason() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(code);
        if (reason == nullptr || std::strcmp(reason, "system lib") == 0) continue;
        if (!text.empty()) text += ": ";
        text += reason;
    }
    return text;
}

TlsFailure failure_of_verify_result(long result) {
    switch (result) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_REJECTED:
            return TlsFailure::kUntrusted;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return TlsFailure::kNameMismatch;
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return TlsFailure::kExpired;
        default:
            return TlsFailure::kProtocol;
    }
}

// What the certificate check needs of the settings. It outlives the
// handshake with the stream: a renegotiation checks the new certificate.
struct PeerCheck {
    std::string host;
    bool verify_chain = false;
    bool verify_host = false;
};

struct GeneralNamesFree {
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
};

CertificateNames names_of(X509* cert) {
    CertificateNames names;
    std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> alt(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; alt && i < sk_GENERAL_NAME_num(alt.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alt.get(), i);
        std::vector<std::string>* list = name->type == GEN_DNS     ? &names.dns
                                         : name->type == GEN_IPADD ? &names.ip
                                                                   : nullptr;
        if (list == nullptr) continue;
        const ASN1_STRING* value = name->type == GEN_DNS ? name->d.dNSName : name->d.iPAddress;
        list->emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                           static_cast<std::size_t>(ASN1_STRING_length(value)));
    }
    return names;
}

// Errors OpenSSL would find only after the name when checking both, so a
// certificate that is also for another host is reported as that.
bool found_after_name(int error) {
    switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
            return true;
        default:
            return false;
    }
}

struct StoreCtxFree {
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
};

// The system's roots are in a hashed directory, looked up as a chain needs
// them, and in a bundle file, which OpenSSL would parse whole before every
// handshake: some 150 certificates, a quarter of the CPU time of fetching a
// 27 MiB message. So a chain is verified without the bundle first; only when
// that fails is the bundle loaded and the chain verified again, which gives
// the outcome that loading it first would have.
int verify_trust(X509_STORE_CTX* ctx) {
    int ok = X509_verify_cert(ctx);
    if (ok > 0) return ok;
    X509_STORE* store = X509_STORE_CTX_get0_store(ctx);
    const char* bundle = std::getenv(X509_get_default_cert_file_env());
    if (bundle == nullptr) bundle = X509_get_default_cert_file();
    ERR_set_mark();
    bool loaded = X509_STORE_load_file(store, bundle) == 1;
    ERR_pop_to_mark();  // a system without a bundle file is no error
    std::unique_ptr<X509_STORE_CTX, StoreCtxFree> again(X509_STORE_CTX_new());
    if (!loaded || !again ||
        X509_STORE_CTX_init(again.get(), store, X509_STORE_CTX_get0_cert(ctx),
                            X509_STORE_CTX_get0_untrusted(ctx)) != 1 ||
        X509_VERIFY_PARAM_set1(X509_STORE_CTX_get0_param(again.get()),
                               X509_STORE_CTX_get0_param(ctx)) != 1) {
        return ok;
    }
    int ssl_index = SSL_get_ex_data_X509_STORE_CTX_idx();
    X509_STORE_CTX_set_ex_data(again.get(), ssl_index, X509_STORE_CTX_get_ex_data(ctx, ssl_index));
    ok = X509_verify_cert(again.get());
    X509_STORE_CTX_set_error(ctx, X509_STORE_CTX_get_error(again.get()));
    X509_STORE_CTX_set_error_depth(ctx, X509_STORE_CTX_get_error_depth(again.get()));
    X509_STORE_CTX_set0_verified_chain(ctx, X509_STORE_CTX_get1_chain(again.get()));
    return ok;
}

// The chain as verify_trust has it, and the name by our own rule rather than
// OpenSSL's, which the Windows DLL could not follow. A failure leaves the
// error in ctx for SSL_get_verify_result.
int verify_peer(X509_STORE_CTX* ctx, void* arg) {
    const auto* check = static_cast<const PeerCheck*>(arg);
    bool name_ok = true;
    if (check->verify_host) {
        X509* cert = X509_STORE_CTX_get0_cert(ctx);
        name_ok = cert != nullptr && certificate_names_host(names_of(cert), check->host);
    }
    int ok = 1;
    if (check->verify_chain) {
        ok = verify_trust(ctx);
        if (ok <= 0 && (name_ok || !found_after_name(X509_STORE_CTX_get_error(ctx)))) return ok;
    }
    if (name_ok) return ok;
    X509_STORE_CTX_set_error(ctx, is_ip_literal(check->host) ? X509_V_ERR_IP_ADDRESS_MISMATCH
                                                             : X509_V_ERR_HOSTNAME_MISMATCH);
    return 0;
}

class OpenSslStream final : public TlsStream {
public:
    OpenSslStream(std::unique_ptr<PeerCheck> check, std::unique_ptr<Channel> channel,
                  std::unique_ptr<BIO_METHOD, BioMethodFree> method,
                  std::unique_ptr<SSL, SslFree> ssl)
        : check_(std::move(check)),
          channel_(std::move(channel)),
          method_(std::move(method)),
          ssl_(std::move(ssl)) {}

    ~OpenSslStream() override {
        ssl_.reset();  // frees the BIO, which uses method_ and channel_
    }

    int read(char* buffer, int length) override {
        if (length <= 0) return 0;
        if (closed_) return 0;
        if (broken_) return fail();
        ERR_clear_error();
        while (true) {
            int n = SSL_read(ssl_.get(), buffer, length);
            if (n > 0) return n;
            int error = SSL_get_error(ssl_.get(), n);
            if (error == SSL_ERROR_ZERO_RETURN || (channel_->eof && !channel_->failed)) {
                closed_ = true;
                return 0;
            }
            // Only a transport that asked to be retried leads here; ours
            // never does, but a record without application data might.
            if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
                !channel_->failed) {
                continue;
            }
            broken_ = true;
            return fail();
        }
    }

    int write(const char* data, int length) override {
        if (length < 0 || broken_) return fail();
        ERR_clear_error();
        int done = 0;
        while (done < length) {
            int n = SSL_write(ssl_.get(), data + done, length - done);
            if (n > 0) {
                done += n;
                continue;
            }
            int error = SSL_get_error(ssl_.get(), n);
            if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
                !channel_->failed && !channel_->eof) {
                continue;
            }
            broken_ = true;
            return fail();
        }
        return length;
    }

    void shutdown() override {
        if (broken_ || shut_) return;
        shut_ = true;
        ERR_clear_error();
        SSL_shutdown(ssl_.get());  // 0: ours is sent, the peer's not awaited
    }

private:
    // The caller reads the socket layer's last error to tell a timeout from
    // a reset; a failed transport's number is put back in case anything in
    // between changed it.
    int fail() {
        if (channel_->failed) socket_api().set_last_error(channel_->error);
        return -1;
    }

    std::unique_ptr<PeerCheck> check_;
    std::unique_ptr<Channel> channel_;
    std::unique_ptr<BIO_METHOD, BioMethodFree> method_;
    std::unique_ptr<SSL, SslFree> ssl_;
    bool closed_ = false;
    bool broken_ = false;
    bool shut_ = false;
};

constexpr size_t kReadBuffer = 64 * 1024;

std::string summary_of(SSL* ssl) {
    std::string text = SSL_get_version(ssl);
    text += ", ";
    text += SSL_get_cipher_name(ssl);
    text += ", ";
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    X509* peer = SSL_get1_peer_certificate(ssl);
#else
    X509* peer = SSL_get_peer_certificate(ssl);
#endif
    if (peer == nullptr) return text + "no certificate";
    BIO* out = BIO_new(BIO_s_mem());
    if (out != nullptr &&
        X509_NAME_print_ex(out, X509_get_subject_name(peer), 0, XN_FLAG_RFC2253) >= 0) {
        char* data = nullptr;
        long n = BIO_get_mem_data(out, &data);
        if (n > 0) text.append(data, static_cast<size_t>(n));
    }
    BIO_free(out);
    X509_free(peer);
    return text;
}

TlsHandshake failed(TlsFailure failure, std::string detail) {
    TlsHandshake result;
    result.failure = failure;
    result.detail = std::move(detail);
    return result;
}

TlsHandshake handshake(RawTransport& transport, const TlsSettings& settings) {
    ERR_clear_error();
    // Before ctx: freed after it and the SSL, which may still call back.
    auto check = std::make_unique<PeerCheck>();
    // A context per handshake: nothing shared between sessions, so two
    // threads may handshake at once without any locking of ours.
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) return failed(TlsFailure::kUnavailable, openssl_reason());
    SSL_CTX_set_min_proto_version(
        ctx.get(), settings.min_version == TlsVersion::k1_3 ? TLS1_3_VERSION : TLS1_2_VERSION);
    if (!settings.offer_tls13) SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
    if (settings.tolerate_unclean_close) SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    const std::string host = unbracketed(settings.host);
    const bool ip_host = is_ip_literal(settings.host);
    if (settings.verify_host && host.empty())
        return failed(TlsFailure::kNameMismatch, "no host name to verify");
    check->host = settings.host;
    check->verify_chain = settings.verify_chain;
    check->verify_host = settings.verify_host;
    if (settings.verifies()) {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_cert_verify_callback(ctx.get(), verify_peer, check.get());
    } else {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    }
    if (settings.verify_chain) {
        if (SSL_CTX_set_default_verify_dir(ctx.get()) != 1) {
            return failed(TlsFailure::kUnavailable, openssl_reason());
        }
        if (!settings.ca_file.empty() &&
            SSL_CTX_load_verify_locations(ctx.get(), settings.ca_file.c_str(), nullptr) != 1) {
            return failed(TlsFailure::kCaFile, settings.ca_file + ": " + openssl_reason());
        }
    }

    // Read ahead into a buffer of several records: without it every record
    // costs two receives (header, then body), and with Dovecot's 4 KiB
    // records a 27 MiB message took 14 000 receives instead of 1 000.
    SSL_CTX_set_read_ahead(ctx.get(), 1);
    SSL_CTX_set_default_read_buffer_len(ctx.get(), kReadBuffer);
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
    if (!ssl) return failed(TlsFailure::kUnavailable, openssl_reason());
    if (!host.empty() && !ip_host && SSL_set_tlsext_host_name(ssl.get(), host.c_str()) != 1) {
        return failed(TlsFailure::kProtocol, openssl_reason());
    }

    std::unique_ptr<BIO_METHOD, BioMethodFree> method(
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "brevorin transport"));
    if (!method || BIO_meth_set_read(method.get(), channel_read) != 1 ||
        BIO_meth_set_write(method.get(), channel_write) != 1 ||
        BIO_meth_set_ctrl(method.get(), channel_ctrl) != 1 ||
        BIO_meth_set_create(method.get(), channel_create) != 1) {
        return failed(TlsFailure::kUnavailable, openssl_reason());
    }
    auto channel = std::make_unique<Channel>();
    channel->transport = &transport;
    BIO* bio = BIO_new(method.get());
    if (bio == nullptr) return failed(TlsFailure::kUnavailable, openssl_reason());
    BIO_set_data(bio, channel.get());
    SSL_set_bio(ssl.get(), bio, bio);  // ssl owns it from here

    if (SSL_connect(ssl.get()) != 1) {
        if (channel->failed) {
            socket_api().set_last_error(channel->error);
            return failed(TlsFailure::kTransport, "socket error " + std::to_string(channel->error));
        }
        if (channel->eof) {
            return failed(TlsFailure::kTransport, "connection closed during the handshake");
        }
        long verify = SSL_get_verify_result(ssl.get());
        if (settings.verifies() && verify != X509_V_OK) {
            return failed(failure_of_verify_result(verify), X509_verify_cert_error_string(verify));
        }
        return failed(TlsFailure::kProtocol, openssl_reason());
    }

    TlsHandshake result;
    if (settings.describe) result.summary = summary_of(ssl.get());
    result.stream = std::make_unique<OpenSslStream>(std::move(check), std::move(channel),
                                                    std::move(method), std::move(ssl));
    return result;
}

}  // namespace

TlsHandshake tls_client_handshake(RawTransport& transport, const TlsSettings& settings) {
    try {
        return handshake(transport, settings);
    } catch (const std::bad_alloc&) {
        ERR_clear_error();
        TlsHandshake result;  // allocates nothing
        result.failure = TlsFailure::kUnavailable;
        return result;
    }
}

const char* tls_backend_name() {
    static char name[64];
    static const bool made = [] {
        std::snprintf(name, sizeof name, "OpenSSL %s", OpenSSL_version(OPENSSL_VERSION_STRING));
        return true;
    }();
    (void)made;
    return name;
}

}  // namespace brevorin::platform
