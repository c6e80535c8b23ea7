// TLS through SChannel (secur32) with the certificate checks done here, by
// crypt32: Wine's SChannel accepts any certificate for any name, so the
// handshake asks for manual validation everywhere and the chain and the host
// name are checked once it is complete. The records go through the
// connection's RawTransport like everything else on the socket.
#define SECURITY_WIN32
// SCH_CREDENTIALS, the structure that can ask for TLS 1.3.
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#include <security.h>
#include <schannel.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/sockets.h"
#include "platform/tls.h"
#include "platform/tls_names.h"

namespace brevorin::platform {

namespace {

// fdwChecks of SSL_EXTRA_CERT_CHAIN_POLICY_PARA; the headers that define
// them (wininet.h, winhttp.h) are not otherwise needed.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kIgnoreCertDateInvalid = 0x00002000;
constexpr DWORD kIgnoreCertCnInvalid = 0x00001000;

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

// Receive-buffer growth step and bound: a TLS record is at most about
// 18 KiB, a handshake flight with a long chain a few of them.
constexpr std::size_t kReceiveStep = 32 * 1024;
constexpr std::size_t kReceiveLimit = 512 * 1024;

// A ca_file is a few certificates; anything this big is not one.
constexpr long kCaFileLimit = 16L * 1024 * 1024;

std::string hex_status(const char* what, long status) {
    char text[96];
    std::snprintf(text, sizeof text, "%s 0x%08lx", what, static_cast<unsigned long>(status));
    return text;
}

std::string status_text(SECURITY_STATUS status) {
    switch (status) {
        case SEC_E_ILLEGAL_MESSAGE: return hex_status("illegal message or alert", status);
        case SEC_E_ALGORITHM_MISMATCH: return hex_status("no common algorithm", status);
        case SEC_E_UNSUPPORTED_FUNCTION: return hex_status("unsupported protocol", status);
        case SEC_E_DECRYPT_FAILURE: return hex_status("decrypt failure", status);
        case SEC_E_MESSAGE_ALTERED: return hex_status("message altered", status);
        case SEC_E_INTERNAL_ERROR: return hex_status("internal error", status);
        default: return hex_status("status", status);
    }
}

struct CertFree {
    void operator()(const CERT_CONTEXT* p) const { CertFreeCertificateContext(p); }
};
struct StoreClose {
    void operator()(void* p) const { CertCloseStore(p, 0); }
};
struct ChainFree {
    void operator()(const CERT_CHAIN_CONTEXT* p) const { CertFreeCertificateChain(p); }
};
using Store = std::unique_ptr<void, StoreClose>;

// The roots of a ca_file: their encodings, to recognise them at the end of a
// chain, and a store holding them for the chain builder.
struct CaRoots {
    std::vector<std::vector<BYTE>> encoded;
    Store store;
};

TlsFailure load_ca_file(const std::string& path, CaRoots& roots, std::string& detail) {
    File file = open_binary_read(path);
    if (!file) {
        detail = "cannot open " + path;
        return TlsFailure::kCaFile;
    }
    std::string text;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        text.append(chunk, n);
        if (text.size() > static_cast<std::size_t>(kCaFileLimit)) {
            detail = path + " is too large";
            return TlsFailure::kCaFile;
        }
    }
    // CryptStringToBinary decodes the first PEM block it finds; a file of
    // roots is fed to it one block at a time.
    static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
    static const char kEnd[] = "-----END CERTIFICATE-----";
    for (std::size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
        std::size_t end = text.find(kEnd, at);
        if (end == std::string::npos) break;
        end += sizeof kEnd - 1;
        const char* block = text.data() + at;
        DWORD length = static_cast<DWORD>(end - at);
        at = end;
        DWORD size = 0;
        if (!CryptStringToBinaryA(block, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                                  nullptr)) {
            continue;
        }
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(block, length, CRYPT_STRING_BASE64HEADER, der.data(), &size,
                                  nullptr, nullptr)) {
            continue;
        }
        der.resize(size);
        if (!CertAddEncodedCertificateToStore(roots.store.get(), X509_ASN_ENCODING, der.data(), size,
                                              CERT_STORE_ADD_USE_EXISTING, nullptr)) {
            continue;
        }
        roots.encoded.push_back(std::move(der));
    }
    if (roots.encoded.empty()) {
        detail = "no certificate in " + path;
        return TlsFailure::kCaFile;
    }
    return TlsFailure::kNone;
}

bool is_ca_root(const CaRoots& roots, const CERT_CONTEXT* cert) {
    for (const auto& der : roots.encoded) {
        if (der.size() == cert->cbCertEncoded &&
            std::memcmp(der.data(), cert->pbCertEncoded, der.size()) == 0) {
            return true;
        }
    }
    return false;
}

using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

// The chain from the server's certificate, with the ca_file roots and the
// intermediates the server sent for the builder to find issuers in.
TlsFailure build_chain(const CERT_CONTEXT* server, const CaRoots& roots, Chain& chain,
                       std::string& detail) {
    Store extra(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!extra) {
        detail = hex_status("CertOpenStore", static_cast<long>(GetLastError()));
        return TlsFailure::kProtocol;
    }
    for (const auto& der : roots.encoded) {
        CertAddEncodedCertificateToStore(extra.get(), X509_ASN_ENCODING, der.data(),
                                         static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING,
                                         nullptr);
    }
    for (const CERT_CONTEXT* c = nullptr;
         (c = CertEnumCertificatesInStore(server->hCertStore, c)) != nullptr;) {
        CertAddCertificateContextToStore(extra.get(), c, CERT_STORE_ADD_USE_EXISTING, nullptr);
    }
    char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {server_auth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    const CERT_CHAIN_CONTEXT* raw_chain = nullptr;
    if (!CertGetCertificateChain(nullptr, server, nullptr, extra.get(), &para, 0, nullptr,
                                 &raw_chain)) {
        detail = hex_status("CertGetCertificateChain", static_cast<long>(GetLastError()));
        return TlsFailure::kProtocol;
    }
    chain.reset(raw_chain);
    if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
        detail = "empty certificate chain";
        return TlsFailure::kUntrusted;
    }
    return TlsFailure::kNone;
}

// Whether the chain ends in a trusted root: the system's, or exactly one of
// the ca_file's (which the builder calls untrusted, since they are not the
// system's; a certificate that merely has the same name is not enough).
// Checked here rather than left to the SSL policy: Wine's policy lets an
// incomplete chain pass. status gets the chain's error bits left to judge.
TlsFailure check_trust(const Chain& chain, const CaRoots& roots, bool& root_from_file,
                       DWORD& status, std::string& detail) {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const CERT_CONTEXT* root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    status = chain->TrustStatus.dwErrorStatus;
    root_from_file = is_ca_root(roots, root);
    if (root_from_file) status &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    if (status & CERT_TRUST_IS_PARTIAL_CHAIN) {
        detail = "unable to get local issuer certificate";
        return TlsFailure::kUntrusted;
    }
    if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) {
        detail = "untrusted root certificate";
        return TlsFailure::kUntrusted;
    }
    return TlsFailure::kNone;
}

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};

// A dNSName entry as its ASCII bytes; anything else in it cannot be part of a
// name we would match, so such an entry is left out whole.
bool narrow_dns_name(const wchar_t* wide, std::string& name) {
    name.clear();
    for (; wide != nullptr && *wide != L'\0'; ++wide) {
        if (*wide > 0x7e) return false;
        name += static_cast<char>(*wide);
    }
    return true;
}

// The certificate's subjectAltName entries; found is false when it has none.
CertificateNames names_of(const CERT_CONTEXT* cert, bool& found) {
    CertificateNames names;
    const CERT_EXTENSION* extension = CertFindExtension(
        szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    found = extension != nullptr;
    if (!found) return names;
    CERT_ALT_NAME_INFO* raw = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &raw,
                             &size)) {
        return names;
    }
    std::unique_ptr<CERT_ALT_NAME_INFO, LocalFreer> info(raw);
    for (DWORD i = 0; i < info->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = info->rgAltEntry[i];
        std::string name;
        if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
            if (narrow_dns_name(entry.pwszDNSName, name)) names.dns.push_back(name);
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
            names.ip.emplace_back(reinterpret_cast<const char*>(entry.IPAddress.pbData),
                                  entry.IPAddress.cbData);
        }
    }
    return names;
}

// The name by our own rule (Wine's policy checks none, and Windows' differs
// from OpenSSL's at the edges), then the validity periods by the SSL policy.
TlsFailure check_name_and_dates(const CERT_CONTEXT* server, const Chain& chain,
                                const std::string& host, const TlsSettings& settings,
                                bool root_from_file, DWORD status, std::string& detail) {
    if (settings.verify_host) {
        bool has_alt_names = false;
        CertificateNames names = names_of(server, has_alt_names);
        if (!has_alt_names) {
            detail = "certificate is not for " + host + " (no subjectAltName)";
            return TlsFailure::kNameMismatch;
        }
        if (!certificate_names_host(names, settings.host)) {
            detail = "certificate is not for " + host;
            return TlsFailure::kNameMismatch;
        }
    }
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // What the settings do not ask for is left out of the policy's checks,
    // and the name was settled above.
    ssl.fdwChecks = kIgnoreCertDateInvalid | kIgnoreCertCnInvalid |
                    (root_from_file ? kIgnoreUnknownCa : 0) |
                    (settings.verify_chain ? 0 : kIgnoreUnknownCa);
    ssl.pwszServerName = nullptr;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS |
                     (root_from_file || !settings.verify_chain ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG
                                                               : 0);
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof verdict;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &verdict)) {
        detail = hex_status("CertVerifyCertificateChainPolicy", static_cast<long>(GetLastError()));
        return TlsFailure::kProtocol;
    }
    if (status & CERT_TRUST_IS_NOT_TIME_VALID) {
        detail = "certificate has expired or is not yet valid";
        return TlsFailure::kExpired;
    }
    switch (verdict.dwError) {
        case 0:
            break;
        case static_cast<DWORD>(CERT_E_EXPIRED):
            detail = "certificate has expired";
            return TlsFailure::kExpired;
        case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
        case static_cast<DWORD>(CERT_E_CHAINING):
            detail = hex_status("untrusted", static_cast<long>(verdict.dwError));
            return TlsFailure::kUntrusted;
        default:
            detail = hex_status("certificate policy", static_cast<long>(verdict.dwError));
            return TlsFailure::kProtocol;
    }
    if (status != CERT_TRUST_NO_ERROR) {
        detail = hex_status("certificate chain status", static_cast<long>(status));
        return TlsFailure::kProtocol;
    }
    return TlsFailure::kNone;
}

// Checks the peer's certificate as OpenSSL would: a chain to a root the
// system or the ca_file trusts, then the name, then the validity periods.
TlsFailure verify_peer(CtxtHandle& context, const TlsSettings& settings, const CaRoots& roots,
                       std::string& detail) {
    const std::string host = unbracketed(settings.host);
    const CERT_CONTEXT* raw = nullptr;
    SECURITY_STATUS st = QueryContextAttributesA(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &raw);
    if (st != SEC_E_OK || raw == nullptr) {
        detail = hex_status("no server certificate", st);
        return TlsFailure::kProtocol;
    }
    std::unique_ptr<const CERT_CONTEXT, CertFree> server(raw);
    Chain chain;
    TlsFailure failure = build_chain(server.get(), roots, chain, detail);
    if (failure != TlsFailure::kNone) return failure;
    bool root_from_file = false;
    DWORD status = 0;
    if (settings.verify_chain) {
        failure = check_trust(chain, roots, root_from_file, status, detail);
        if (failure != TlsFailure::kNone) return failure;
    }
    return check_name_and_dates(server.get(), chain, host, settings, root_from_file, status, detail);
}

class SchannelStream final : public TlsStream {
public:
    SchannelStream(RawTransport& transport, const TlsSettings& settings)
        : transport_(transport), settings_(settings) {
        const std::string host = unbracketed(settings.host);
        // No SNI for an address literal.
        if (!host.empty() && !is_ip_literal(settings.host)) target_ = host;
    }

    ~SchannelStream() override {
        if (have_context_) DeleteSecurityContext(&context_);
        if (have_credentials_) FreeCredentialsHandle(&credentials_);
    }

    TlsFailure open(std::string& detail) {
        CaRoots roots;
        if (settings_.verifies()) {
            if (settings_.verify_host && settings_.host.empty()) {
                detail = "no host name to verify";
                return TlsFailure::kNameMismatch;
            }
            roots.store.reset(
                CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
            if (!roots.store) {
                detail = hex_status("CertOpenStore", static_cast<long>(GetLastError()));
                return TlsFailure::kUnavailable;
            }
            if (!settings_.ca_file.empty()) {
                TlsFailure f = load_ca_file(settings_.ca_file, roots, detail);
                if (f != TlsFailure::kNone) return f;
            }
        }

        SECURITY_STATUS st = acquire_credentials();
        if (st != SEC_E_OK) {
            detail = status_text(st);
            return TlsFailure::kUnavailable;
        }
        have_credentials_ = true;

        TlsFailure f = handshake(detail);
        if (f != TlsFailure::kNone) return f;
        if (settings_.verifies()) {
            f = verify_peer(context_, settings_, roots, detail);
            if (f != TlsFailure::kNone) return f;
        }
        roots_ = std::move(roots);
        if (!query_sizes()) {
            detail = "no stream sizes";
            return TlsFailure::kProtocol;
        }
        return TlsFailure::kNone;
    }

    int read(char* buffer, int length) override {
        if (length <= 0) return 0;
        try {
            return read_some(buffer, static_cast<std::size_t>(length));
        } catch (const std::bad_alloc&) {
            broken_ = true;
            return -1;
        }
    }

    int write(const char* data, int length) override {
        if (length < 0 || broken_) return fail();
        for (int done = 0; done < length;) {
            DWORD chunk = static_cast<DWORD>(length - done);
            if (chunk > sizes_.cbMaximumMessage) chunk = sizes_.cbMaximumMessage;
            char* header = sealed_.data();
            char* body = header + sizes_.cbHeader;
            std::memcpy(body, data + done, chunk);
            SecBuffer buffers[4] = {
                {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, header},
                {chunk, SECBUFFER_DATA, body},
                {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, body + chunk},
                {0, SECBUFFER_EMPTY, nullptr},
            };
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            if (EncryptMessage(&context_, 0, &desc, 0) != SEC_E_OK) {
                broken_ = true;
                return -1;
            }
            std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
            if (!send_all(header, total)) {
                broken_ = true;
                return fail();
            }
            done += static_cast<int>(chunk);
        }
        return length;
    }

    void shutdown() override {
        if (broken_ || shut_ || !have_context_) return;
        shut_ = true;
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc control_desc{SECBUFFER_VERSION, 1, &control};
        if (ApplyControlToken(&context_, &control_desc) != SEC_E_OK) return;
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
        ULONG attributes = 0;
        InitializeSecurityContextA(&credentials_, &context_, target_name(), kContextFlags, 0, 0,
                                   nullptr, 0, &context_, &out_desc, &attributes, nullptr);
        if (out.pvBuffer != nullptr) {
            send_all(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
            FreeContextBuffer(out.pvBuffer);
        }
    }

private:
    SEC_CHAR* target_name() { return target_.empty() ? nullptr : &target_[0]; }

    // SCH_CREDENTIALS (Windows 10 1809 and later) is the only way to offer
    // TLS 1.3; a system without it refuses the structure, and SCHANNEL_CRED
    // asks for TLS 1.2 instead (newer Windows rejects TLS 1.3 there).
    SECURITY_STATUS acquire_credentials() {
        char package[] = UNISP_NAME_A;
        TimeStamp expiry;
        const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        SECURITY_STATUS st = SEC_E_UNSUPPORTED_FUNCTION;
        if (settings_.offer_tls13) {
            DWORD wanted = SP_PROT_TLS1_3_CLIENT;
            if (settings_.min_version == TlsVersion::k1_2) wanted |= SP_PROT_TLS1_2_CLIENT;
            TLS_PARAMETERS parameters{};
            parameters.grbitDisabledProtocols = ~wanted;
            SCH_CREDENTIALS cred{};
            cred.dwVersion = SCH_CREDENTIALS_VERSION;
            cred.dwFlags = flags;
            cred.cTlsParameters = 1;
            cred.pTlsParameters = &parameters;
            st = AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred,
                                           nullptr, nullptr, &credentials_, &expiry);
        }
        if (st == SEC_E_OK || settings_.min_version == TlsVersion::k1_3) return st;
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        cred.dwFlags = flags;
        return AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred,
                                         nullptr, nullptr, &credentials_, &expiry);
    }

    int fail() {
        if (transport_failed_) socket_api().set_last_error(socket_error_);
        return -1;
    }

    bool send_all(const char* data, std::size_t length) {
        while (length > 0) {
            int n = transport_.send(data, static_cast<int>(length));
            if (n <= 0) {
                transport_failed_ = true;
                socket_error_ = socket_api().last_error();
                return false;
            }
            data += n;
            length -= static_cast<std::size_t>(n);
        }
        return true;
    }

    // Appends what the socket has to the ciphertext: count, 0 at its end,
    // -1 on failure (the transport's, or a record that never ends).
    int receive() {
        if (cipher_.size() - cipher_length_ < kReceiveStep / 2) {
            if (cipher_.size() >= kReceiveLimit) return -1;
            cipher_.resize(cipher_.size() + kReceiveStep);
        }
        int n = transport_.recv(cipher_.data() + cipher_length_,
                                static_cast<int>(cipher_.size() - cipher_length_));
        if (n < 0) {
            transport_failed_ = true;
            socket_error_ = socket_api().last_error();
            return -1;
        }
        cipher_length_ += static_cast<std::size_t>(n);
        return n;
    }

    // Leaves the last `extra` bytes of the ciphertext, which SChannel did not
    // consume, at the front for the next call.
    void keep_extra(const SecBuffer& buffer) {
        std::size_t extra = buffer.BufferType == SECBUFFER_EXTRA ? buffer.cbBuffer : 0;
        if (extra > cipher_length_) extra = cipher_length_;
        std::memmove(cipher_.data(), cipher_.data() + cipher_length_ - extra, extra);
        cipher_length_ = extra;
    }

    // Runs InitializeSecurityContext until the context is established,
    // starting from whatever ciphertext is already buffered (the rest of a
    // renegotiation request); what arrives after the server's Finished stays
    // buffered for read().
    TlsFailure handshake(std::string& detail) {
        bool need_input = have_context_ && cipher_length_ == 0;
        while (true) {
            if (need_input) {
                int n = receive();
                if (n <= 0) {
                    if (transport_failed_) {
                        detail = "socket error " + std::to_string(socket_error_);
                        socket_api().set_last_error(socket_error_);
                    } else {
                        detail = n == 0 ? "connection closed during the handshake"
                                        : "handshake record too large";
                    }
                    return n == 0 || transport_failed_ ? TlsFailure::kTransport
                                                       : TlsFailure::kProtocol;
                }
            }
            // Wine's SChannel takes any five bytes for a record header and
            // waits for the length they claim, so a server on a plain-text
            // port ("+OK ...") would look like one that hung up. A record
            // starts with its content type, 20 to 24.
            if (cipher_length_ > 0 && (static_cast<unsigned char>(cipher_[0]) < 20 ||
                                       static_cast<unsigned char>(cipher_[0]) > 24)) {
                detail = "the server does not speak TLS";
                return TlsFailure::kProtocol;
            }
            SecBuffer in[2] = {
                {static_cast<unsigned long>(cipher_length_), SECBUFFER_TOKEN, cipher_.data()},
                {0, SECBUFFER_EMPTY, nullptr},
            };
            SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
            SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
            SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
            ULONG attributes = 0;
            SECURITY_STATUS st = InitializeSecurityContextA(
                &credentials_, have_context_ ? &context_ : nullptr, target_name(), kContextFlags, 0, 0,
                have_context_ ? &in_desc : nullptr, 0, &context_, &out_desc, &attributes, nullptr);
            if (st == SEC_I_CONTINUE_NEEDED || st == SEC_E_OK || st == SEC_E_INCOMPLETE_MESSAGE ||
                st == SEC_I_INCOMPLETE_CREDENTIALS) {
                have_context_ = true;
            }
            // Sent on failure too: with ISC_REQ_EXTENDED_ERROR it is the alert.
            bool sent = true;
            if (out.pvBuffer != nullptr) {
                if (out.cbBuffer > 0) sent = send_all(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
                FreeContextBuffer(out.pvBuffer);
            }
            if (st == SEC_E_INCOMPLETE_MESSAGE) {
                need_input = true;
                continue;
            }
            if (st == SEC_I_INCOMPLETE_CREDENTIALS) {
                // The server asks for a client certificate; go on without.
                need_input = false;
                continue;
            }
            if (st != SEC_E_OK && st != SEC_I_CONTINUE_NEEDED) {
                detail = status_text(st);
                return TlsFailure::kProtocol;
            }
            if (!sent) {
                detail = "socket error " + std::to_string(socket_error_);
                socket_api().set_last_error(socket_error_);
                return TlsFailure::kTransport;
            }
            if (have_context_ && cipher_length_ > 0) {
                keep_extra(in[1]);
            }
            if (st == SEC_E_OK) return TlsFailure::kNone;
            need_input = cipher_length_ == 0;
        }
    }

    int read_some(char* buffer, std::size_t length) {
        while (true) {
            if (plain_offset_ < plain_.size()) {
                std::size_t n = plain_.size() - plain_offset_;
                if (n > length) n = length;
                std::memcpy(buffer, plain_.data() + plain_offset_, n);
                plain_offset_ += n;
                return static_cast<int>(n);
            }
            if (closed_) return 0;
            if (broken_) return fail();
            if (cipher_length_ > 0) {
                SecBuffer buffers[4] = {
                    {static_cast<unsigned long>(cipher_length_), SECBUFFER_DATA, cipher_.data()},
                    {0, SECBUFFER_EMPTY, nullptr},
                    {0, SECBUFFER_EMPTY, nullptr},
                    {0, SECBUFFER_EMPTY, nullptr},
                };
                SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
                SECURITY_STATUS st = DecryptMessage(&context_, &desc, 0, nullptr);
                if (st == SEC_E_OK || st == SEC_I_RENEGOTIATE || st == SEC_I_CONTEXT_EXPIRED) {
                    const SecBuffer* data = nullptr;
                    const SecBuffer* extra = nullptr;
                    for (const SecBuffer& b : buffers) {
                        if (b.BufferType == SECBUFFER_DATA && data == nullptr) data = &b;
                        if (b.BufferType == SECBUFFER_EXTRA && extra == nullptr) extra = &b;
                    }
                    // The plaintext lies inside the ciphertext buffer; it
                    // must be copied out before the leftover moves down.
                    plain_.clear();
                    plain_offset_ = 0;
                    if (data != nullptr && data->cbBuffer > 0) {
                        const char* p = static_cast<const char*>(data->pvBuffer);
                        plain_.assign(p, p + data->cbBuffer);
                    }
                    SecBuffer none{0, SECBUFFER_EMPTY, nullptr};
                    keep_extra(extra != nullptr ? *extra : none);
                    if (st == SEC_I_CONTEXT_EXPIRED) {
                        closed_ = true;  // close_notify
                    } else if (st == SEC_I_RENEGOTIATE) {
                        if (!renegotiate()) {
                            broken_ = true;
                            return fail();
                        }
                    }
                    continue;
                }
                if (st != SEC_E_INCOMPLETE_MESSAGE) {
                    broken_ = true;
                    return -1;
                }
            }
            int n = receive();
            if (n == 0 && settings_.tolerate_unclean_close) {
                closed_ = true;  // end of stream, as good as close_notify here
            } else if (n == 0) {
                broken_ = true;
                socket_api().set_last_error(kWsaEconnreset);
                return -1;
            } else if (n < 0) {
                broken_ = true;
                return fail();
            }
        }
    }

    // The server asked for a new handshake; its request is at the front of
    // the ciphertext. The new certificate is held to the same checks.
    bool renegotiate() {
        std::string detail;
        if (handshake(detail) != TlsFailure::kNone) return false;
        if (settings_.verifies() &&
            verify_peer(context_, settings_, roots_, detail) != TlsFailure::kNone) {
            return false;
        }
        return query_sizes();
    }

  public:
    // Protocol, cipher and the server certificate's subject. SChannel names
    // no cipher suite, only its parts: the bulk cipher and its strength.
    std::string summary() {
        std::string text;
        SecPkgContext_ConnectionInfo info{};
        if (QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
            switch (info.dwProtocol) {
#ifdef SP_PROT_TLS1_3_CLIENT
                case SP_PROT_TLS1_3_CLIENT:
                    text = "TLSv1.3";
                    break;
#endif
                case SP_PROT_TLS1_2_CLIENT:
                    text = "TLSv1.2";
                    break;
                default:
                    text = hex_status("protocol", static_cast<long>(info.dwProtocol));
            }
            const char* cipher = info.aiCipher == CALG_AES_128   ? "AES-128"
                                 : info.aiCipher == CALG_AES_256 ? "AES-256"
                                                                 : nullptr;
            text += ", ";
            text += cipher != nullptr ? std::string(cipher)
                                      : hex_status("cipher", static_cast<long>(info.aiCipher));
        }
        text += ", ";
        const CERT_CONTEXT* raw = nullptr;
        if (QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &raw) != SEC_E_OK ||
            raw == nullptr)
            return text + "no certificate";
        std::unique_ptr<const CERT_CONTEXT, CertFree> server(raw);
        char name[512];
        DWORD n =
            CertNameToStrA(X509_ASN_ENCODING, &server->pCertInfo->Subject,
                           CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, name, sizeof name);
        if (n > 1) text += name;
        return text;
    }

  private:
    bool query_sizes() {
        if (QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK ||
            sizes_.cbMaximumMessage == 0) {
            return false;
        }
        sealed_.resize(sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer);
        return true;
    }

    RawTransport& transport_;
    TlsSettings settings_;
    std::string target_;
    CaRoots roots_;
    CredHandle credentials_{};
    CtxtHandle context_{};
    bool have_credentials_ = false;
    bool have_context_ = false;
    SecPkgContext_StreamSizes sizes_{};
    std::vector<char> sealed_;   // header, up to cbMaximumMessage bytes, trailer
    std::vector<char> cipher_;   // received, not yet decrypted
    std::size_t cipher_length_ = 0;
    std::vector<char> plain_;    // decrypted, not yet read
    std::size_t plain_offset_ = 0;
    bool transport_failed_ = false;
    int socket_error_ = 0;
    bool closed_ = false;
    bool broken_ = false;
    bool shut_ = false;
};

}  // namespace

TlsHandshake tls_client_handshake(RawTransport& transport, const TlsSettings& settings) {
    TlsHandshake result;
    try {
        auto stream = std::make_unique<SchannelStream>(transport, settings);
        result.failure = stream->open(result.detail);
        if (result.failure == TlsFailure::kNone) {
            if (settings.describe) result.summary = stream->summary();
            result.stream = std::move(stream);
        }
    } catch (const std::bad_alloc&) {
        result.stream.reset();
        result.failure = TlsFailure::kUnavailable;
    }
    return result;
}

const char* tls_backend_name() { return "SChannel"; }

}  // namespace brevorin::platform
