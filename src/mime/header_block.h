// A received header block (a message's or a part's), read by the lookups
// the library knows. The classic one finds a label wherever it first
// occurs, in any case: an upper-case copy is searched, made once for all
// the readers of the block. The field lookup of RFC 5322 finds a field by
// its name at the start of a line and joins its folded lines. Between them,
// the name lookup finds a label only in the name of a field.
#pragma once

#include <optional>
#include <string>

namespace brevorin {

class HeaderBlock {
  public:
    // The classic readers see the block up to its first NUL byte, as they
    // always have; a null block is one that cannot be read at all.
    HeaderBlock(const char* text)
        : present_(text != nullptr), text_(text != nullptr ? text : ""), classic_(text_) {}
    HeaderBlock(const std::string& text) : text_(text), classic_(text.c_str()) {}

    bool present() const { return present_; }
    // The block as the classic readers see it, and its upper-case copy.
    const std::string& classic_text() const { return classic_; }
    const std::string& upper() const;
    // Where the first occurrence of label (upper case) anywhere in the
    // block ends, from position from; npos when there is none.
    size_t after_label(const char* label, size_t from = 0) const;

    // How a label (upper case, ending in its colon) must meet a field name:
    // as its tail, the way the classic listing always read Delivered-To as
    // To and X-Priority as Priority, or as the whole name.
    enum class NameMatch { kTail, kWhole };
    // Where the value of the first field whose name matches label begins
    // (just after its colon); npos when there is none. Only a line that
    // starts a field counts, up to its first colon: a label in a value, on
    // a continuation line or past the empty line is not a field.
    size_t after_field_name(const char* label, NameMatch match) const;

    // The unfolded value of the first field called name (any case), the
    // whole block searched; nullopt when there is none.
    std::optional<std::string> field(const std::string& name) const;

  private:
    bool present_ = true;
    std::string text_;
    std::string classic_;
    mutable std::optional<std::string> upper_;
};

}  // namespace brevorin
