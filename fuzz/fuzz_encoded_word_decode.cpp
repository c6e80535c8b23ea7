// Header values with encoded words, for each kind of session character set.
// The first byte picks the session's charset code.
#include "fuzz_support.h"
#include "mime/encoded_word.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brevorin;
    if (size == 0) return 0;
    static const int kCharsets[] = {1, 2, 12, 13};
    Context session;
    session.charset = kCharsets[data[0] % 4];
    const std::string value = fuzz::as_text(data + 1, size - 1);
    std::string out = "unset";
    const int result = decode_encoded_words(value.c_str(), out, session);
    fuzz::check(result == 0 || result == -1 || result == -10, "result out of range");
    if (result != 0) fuzz::check(out == "unset", "output written on failure");
    return 0;
}
