// Quoted-printable decoding of any text: never longer than its input.
#include <cstring>

#include "fuzz_support.h"
#include "mime/qp_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brevorin;
    const std::string input = fuzz::as_text(data, size);
    std::string out;
    const int result = qp_decode(input.c_str(), out);
    fuzz::check(result >= -1 && result <= 1, "result out of range");
    if (result >= 0) fuzz::check(out.size() <= std::strlen(input.c_str()), "output grew");
    return 0;
}
