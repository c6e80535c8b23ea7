// Reading IMAP server responses (RFC 3501 section 7) token by token: atoms,
// numbers, quoted strings with escapes, NIL, nested lists and literals
// ({n}, {n+} and binary ~{n}), however the bytes were split across reads.
//
// The reader never holds a whole response: a response line is taken apart
// as it arrives, a literal's size is known before its data, and the caller
// decides whether the data is kept (bounded), streamed as message lines or
// skipped in step. Memory stays bounded whatever the server sends.
#pragma once

#include <cstdint>
#include <string>

#include "core/line_source.h"
#include "net/pieces.h"

namespace brevorin::imap {

// Longest atom or quoted string kept; a longer one is a broken dialogue.
constexpr size_t kMaxTokenLength = 8 * 1024;
// Longest response text (after a status word) read; what fits the reply
// capacity is kept, the rest dropped.
constexpr size_t kMaxTextLength = 16 * 1024;

enum class Token { kAtom, kNumber, kString, kNil, kOpen, kClose, kLiteral, kLineEnd, kFailed };

class ResponseReader {
  public:
    explicit ResponseReader(PieceSource& source) : source_(source) {}

    // The next token of the current response line. After kLiteral the
    // caller must consume the literal (read_literal, skip_literal or
    // LiteralLines) before asking for the next token.
    Token next();

    // An atom's or quoted string's text (an atom keeps its brackets:
    // "BODY[HEADER]"); a number's value.
    const std::string& text() const { return text_; }
    uint64_t number() const { return number_; }
    // After kLiteral: the literal's bytes not yet read (its size at first).
    uint64_t literal_left() const { return literal_left_; }

    // The literal's data: up to keep bytes into out, the rest read and
    // dropped. False when the connection failed.
    bool read_literal(std::string& out, size_t keep);
    bool skip_literal();
    // Hands out the next piece of the literal, ending at a line feed, at
    // most room bytes; -1 when the connection failed.
    int literal_piece(const char*& data, int room);

    // The text after the current position to the end of the line (leading
    // blank dropped), at most keep bytes of it kept.
    bool rest_of_line(std::string& out, size_t keep = kReplyCapacity - 1);
    // Reads what is left of a value whose first token was first (a list is
    // read to its matching close, literals skipped). False on failure or a
    // line end inside a list.
    bool skip_value(Token first);
    // Everything to the end of the response, literals included.
    bool skip_response();

    // Marks the start of a response: what is skipped or kept of it from
    // here on counts towards the bound on one response.
    void start_response() {
        response_start_ = consumed_;
        overrun_ = false;
    }
    // Whether the last failure was a response going past that bound (the
    // connection itself is fine, but out of step).
    bool overrun() const { return overrun_; }

    // A string value (quoted, literal of at most keep bytes, or NIL as
    // empty); false when the token is none of these or reading failed.
    bool string_value(Token first, std::string& out, size_t keep);

    bool failed() const { return failed_; }
    bool timed_out() const { return failed_ && source_.timed_out(); }

  private:
    int peek();
    int get();
    bool fill();
    Token fail();
    Token read_atom(char first);
    Token read_quoted();
    Token read_literal_size();
    // False (failed) when the literal would take the response past its bound.
    bool literal_fits();

    PieceSource& source_;
    const char* piece_ = nullptr;
    int left_ = 0;  // bytes of piece_ not yet taken
    std::string text_;
    uint64_t number_ = 0;
    uint64_t literal_left_ = 0;
    uint64_t consumed_ = 0;  // bytes taken, for the bound on a skipped response
    uint64_t response_start_ = 0;
    bool failed_ = false;
    bool overrun_ = false;
};

// A literal's data as message lines for the message readers: exactly its
// bytes, nothing unstuffed, the end of the literal the end of the data.
class LiteralLines final : public LineSource {
  public:
    explicit LiteralLines(ResponseReader& reader) : reader_(reader) {}

  protected:
    Next read_piece() override;

  private:
    ResponseReader& reader_;
};

// A mailbox name in IMAP's modified UTF-7 (RFC 3501 section 5.1.3), from
// UTF-8. Invalid UTF-8 bytes are taken as Latin-1 characters.
std::string modified_utf7(const std::string& utf8);

// The command form of a string: quoted (with escapes) when it can be, or
// empty when only a literal can carry it (8-bit bytes, NUL, line breaks).
std::string quoted(const std::string& text);

}  // namespace brevorin::imap
