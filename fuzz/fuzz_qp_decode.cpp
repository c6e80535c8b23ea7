// Quoted-printable decoding of any text, by every form: never longer than
// its input (up to a NUL for the classic form), and the classic form fails
// only on a line past its limit.
#include <cstring>

#include "codec/quoted_printable.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brevorin;
    const std::string input = fuzz::as_text(data, size);
    for (QpDecoder::Form form :
         {QpDecoder::Form::kText, QpDecoder::Form::kClassicText, QpDecoder::Form::kWord}) {
        std::string out;
        const bool ok = qp_decode_whole(form, input, out);
        if (form != QpDecoder::Form::kClassicText) {
            fuzz::check(ok, "only the classic form fails");
            // A hard break may grow from LF to CR LF.
            size_t breaks = 0;
            for (char c : input) breaks += c == '\n';
            fuzz::check(out.size() <= input.size() + breaks, "output grew");
        } else if (ok) {
            fuzz::check(out.size() <= std::strlen(input.c_str()), "output grew");
        }
    }
    return 0;
}
