// The sending encoders on any text. Quoted-printable must decode back to the
// text with line breaks made CR LF; Q-form encoded words must decode back to
// the value.
#include <cstring>

#include "codec/quoted_printable.h"
#include "fuzz_support.h"
#include "mime/encoded_word.h"
#include "smtp/header_encoding.h"

namespace {

std::string expected_after_qp(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += "\r\n";
        } else {
            out += text[i];
        }
    }
    return out;
}

// Blanks at the very end of a text do not survive quoted-printable.
std::string without_final_blanks(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brevorin;
    const std::string input = fuzz::as_text(data, size);
    const std::string text(input.c_str());

    std::string encoded;
    fuzz::check(qp_encode(text.c_str(), encoded) >= 0, "QP_ENCODE failed");
    std::string decoded;
    fuzz::check(qp_decode_whole(QpDecoder::Form::kClassicText, encoded, decoded),
                "QP_DECODE of encoding failed");
    fuzz::check(without_final_blanks(decoded) == without_final_blanks(expected_after_qp(text)),
                "quoted-printable round trip");

    for (int charset : {1, 2, 4, 12, 13}) {
        Context session;
        session.charset = charset;
        std::string word;
        const int result = encode_words(text.c_str(), word, session);
        fuzz::check(result == 0 || result == 1, "ENCODED_WORD_ENCODE failed");
        fuzz::check(word.find('\n') == std::string::npos || result == 1, "word spans lines");
        // The decoder takes words up to its 2046-character line.
        if (charset != 2 || result != 0 || word.size() > 2000) continue;
        std::string back;
        fuzz::check(decode_encoded_words(word.c_str(), back, session) == 0, "word decode failed");
        fuzz::check(without_final_blanks(back) == without_final_blanks(text),
                    "encoded word round trip");
    }
    return 0;
}
