// The streaming decoders and the encoder give the same bytes whatever pieces
// the input comes in: the first byte picks the piece size, the rest is the
// input. Base64 of a decode round-trips through the encoder.
#include <algorithm>

#include "codec/base64.h"
#include "codec/quoted_printable.h"
#include "fuzz_support.h"

namespace {

using namespace brevorin;

template <typename Codec, typename... Options>
std::string run(const std::string& input, size_t step, Options... options) {
    Codec codec(options...);
    std::string out;
    for (size_t i = 0; i < input.size(); i += step)
        codec.feed(input.data() + i, std::min(step, input.size() - i), out);
    codec.finish(out);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t step = 1 + data[0] % 97;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (QpDecoder::Form form :
         {QpDecoder::Form::kText, QpDecoder::Form::kClassicText, QpDecoder::Form::kWord})
        fuzz::check(
            run<QpDecoder>(input, step, form) == run<QpDecoder>(input, input.size() + 1, form),
            "quoted-printable output depends on the pieces");
    fuzz::check(run<Base64Decoder>(input, step) == run<Base64Decoder>(input, input.size() + 1),
                "base64 output depends on the pieces");
    const std::string encoded = run<Base64Encoder>(input, step);
    fuzz::check(encoded == run<Base64Encoder>(input, input.size() + 1),
                "base64 encoding depends on the pieces");
    fuzz::check(encoded.size() == Base64Encoder::encoded_size(input.size()),
                "base64 encoding is not the size computed for it");
    fuzz::check(run<Base64Decoder>(encoded, step) == input, "base64 does not round-trip");
    return 0;
}
