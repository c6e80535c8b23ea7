// Received text brought into the host's character set, for mime=modern and
// for hosts that work in UTF-8.
#pragma once

#include <cstddef>
#include <string>

#include "codec/unicode_forms.h"
#include "core/context.h"

namespace brevorin {

// Whether received text and encoded words are converted to the host's set.
bool converts_for_host(const Context& ctx);

enum class HostText {
    kConverted,  // every character carried over
    kLossy,      // some became '?'
    kKept,       // left as received: same set, undeclared, or unknown to the converter
};

// Converts text declared in charset (a MIME token, any case) to the host's
// character set.
HostText to_host_charset(const std::string& charset, std::string& text, const Context& ctx);

// The same for a charset known only by the code the classic readers give;
// kKept for codes without a MIME row.
HostText to_host_charset(int code, std::string& text, const Context& ctx);

// A received text (modern rules) brought into the host's character set as
// it arrives, in pieces that end where its set is back in its initial
// state (after a line break will do; UTF-16 and UTF-32 may be cut
// anywhere). A sequence the declared set cannot read is replaced alone, as
// is a NUL, which would end the text for the host: by U+FFFD on a UTF-8
// host, by '?' on the others. An empty, US-ASCII or unknown set keeps the
// bytes as they came, NULs apart.
class HostTextStream {
  public:
    HostTextStream(const std::string& charset, const Context& ctx);

    // Converts the next piece in place.
    void convert(std::string& piece);
    // Appends what the end of the text leaves: a wide unit cut short.
    void finish(std::string& text);

    // Some character was replaced or could not be carried over.
    bool lossy() const { return lossy_ || malformed_ > 0 || nuls_ > 0; }
    size_t malformed() const { return malformed_; }
    size_t nuls() const { return nuls_; }
    // Warns of what was replaced in the text, which part names ("Text
    // part", "HTML part").
    void report(const char* part) const;

  private:
    void from_utf8(std::string& text);
    void replace_nuls(std::string& text);

    std::string charset_;  // upper case, without an RFC 2231 language
    const Context& ctx_;
    WideDecoder wide_;
    bool wide_source_ = false;
    bool utf8_source_ = false;
    bool lossy_ = false;
    size_t malformed_ = 0;
    size_t nuls_ = 0;
};

}  // namespace brevorin
