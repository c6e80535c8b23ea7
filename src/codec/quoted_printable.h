// Quoted-printable decoding as a stream: bytes go in as they arrive, in
// pieces of any size, and the decoded bytes come out as soon as no later
// byte can change them. Memory stays bounded whatever the line structure: a
// single line of 512 MiB costs no more than one of 76 bytes.
//
// One decoder reads every form this library meets; they differ in a few
// rules, chosen at construction:
//   kText        received text and attachments: a line ends at LF (CR LF or
//                LF are both a hard break, given as CR LF), "=" before the
//                break joins the lines, no line is too long.
//   kClassicText received text as older releases read it, kept byte for byte:
//                CR, LF and CR LF each end a line and stay as they came; only
//                "=" CR LF is a soft break; a line over kQpClassicMaxLine
//                fails the text; a NUL ends it; a bad escape is kept with
//                the one or two characters after its "=" ("==41" stays).
//   kWord        the text of a Q encoded word in a header: "_" is a space,
//                line breaks and blanks are bytes like any other.
#pragma once

#include <cstddef>
#include <string>

namespace brevorin {

// Longest line kClassicText takes, its line ending not counted.
constexpr size_t kQpClassicMaxLine = 2046;

class QpDecoder {
public:
    enum class Form { kText, kClassicText, kWord };

    QpDecoder() = default;
    explicit QpDecoder(Form form) : form_(form) {}

    // Decodes what it can of data, appending to out.
    void feed(const char* data, size_t length, std::string& out);
    // The end of the input: the last line, without a line break.
    void finish(std::string& out);

    // kClassicText only: a line was too long. Nothing is decoded after it,
    // and what was appended before is not the text's decoding.
    bool failed() const { return failed_; }
    // Whether any "=XX" escape was decoded (a text that had none may still
    // have lost soft breaks and trailing blanks).
    bool decoded_escape() const { return decoded_escape_; }

private:
    void decode_line(bool hard_break, std::string& out);
    void decode_prefix(std::string& out);
    void feed_classic(const char* data, size_t length, std::string& out);
    void decode_classic_line(const char* ending, std::string& out);
    void feed_word(const char* data, size_t length, std::string& out);

    std::string line_;  // the undecoded part of the current line
    Form form_ = Form::kText;
    bool failed_ = false;
    bool decoded_escape_ = false;
    bool ended_ = false;        // kClassicText: a NUL (or a failure) ended the text
    bool pending_cr_ = false;   // kClassicText: line_ ended at a CR an LF may follow
};

// The whole of text decoded by the given form, into out. False when the
// classic line limit was passed or memory ran out; out is then left as it
// was.
bool qp_decode_whole(QpDecoder::Form form, const std::string& text, std::string& out);

}  // namespace brevorin
