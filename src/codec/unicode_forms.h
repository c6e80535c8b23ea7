// The Unicode encoding forms as received text carries them: UTF-8 that may
// hold ill-formed sequences, and UTF-16 and UTF-32 in either byte order
// (RFC 2781), decoded here rather than by the platform's converter so that
// the Linux library and the Windows DLL read them alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brevorin {

// U+FFFD in UTF-8.
constexpr char kUtf8Replacement[] = "\xEF\xBF\xBD";

// Appends the UTF-8 of a scalar value (U+FFFD for one that is none).
void put_utf8(uint32_t code_point, std::string& out);

// Replaces each ill-formed sequence of text by U+FFFD: the longest start of
// a well-formed sequence that breaks off counts as one (as Unicode
// recommends and Python's decoder does), any other stray byte as one each.
// The count of replacements.
size_t repair_utf8(std::string& text);

// A form whose code units are wider than a byte.
struct WideForm {
    unsigned unit = 0;  // 2 or 4 bytes
    bool little_endian = false;
    bool order_open = false;  // the name leaves the order to a byte order mark
};

// The form a charset name (upper case) declares; unit 0 for other names.
WideForm wide_form_of(const std::string& upper_name);

// UTF-16 or UTF-32 to UTF-8, in pieces cut anywhere: a unit or a surrogate
// pair split between two pieces waits for the next. A byte order mark at the
// start is dropped and sets the order, whatever the name said; without one a
// name that leaves the order open is big-endian (RFC 2781) unless the first
// piece plainly reads as little-endian text, as Windows programs send it.
class WideDecoder {
  public:
    explicit WideDecoder(WideForm form) : form_(form) {}

    void feed(const char* data, size_t length, std::string& out);
    // The end of the text: a unit or pair left incomplete is a replacement.
    void finish(std::string& out);
    // Units (or pairs of surrogates) that were no character, each replaced
    // by U+FFFD.
    size_t malformed() const { return malformed_; }

  private:
    void start(std::string& out);
    void units(const unsigned char* data, size_t length, std::string& out);
    void take(uint32_t unit, std::string& out);
    void replace(std::string& out);

    WideForm form_;
    bool started_ = false;
    std::string head_;  // the first bytes, held until the order is settled
    unsigned char partial_[4] = {0, 0, 0, 0};
    size_t partial_count_ = 0;
    uint32_t high_ = 0;  // a high surrogate waiting for its low one
    size_t malformed_ = 0;
};

}  // namespace brevorin
