// The in-memory base64 codec: any text decodes without fault, and every text
// survives encoding and decoding, wrapped or not.
#include <cstring>

#include "codec/base64.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brevorin;
    const std::string input = fuzz::as_text(data, size);
    std::string decoded;
    if (base64_decode_text(input.c_str(), decoded) == 0)
        fuzz::check(decoded.find('\0') == std::string::npos, "decoded text holds a zero byte");

    const std::string text(input.c_str());
    for (int wrap : {0, 1}) {
        std::string encoded;
        fuzz::check(base64_encode_text(text.c_str(), encoded, wrap) == 0, "encode failed");
        std::string back;
        fuzz::check(base64_decode_text(encoded.c_str(), back) == 0, "decode of encoding failed");
        fuzz::check(back == text, "round trip changed the text");
    }
    return 0;
}
