// Japanese code conversion: every direction on any text, within the
// worst-case size.
#include <cstring>

#include "codec/kanji.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brevorin;
    const std::string input = fuzz::as_text(data, size);
    const size_t length = std::strlen(input.c_str());
    for (int source : {kEuc, kSjis, kJis}) {
        for (int target : {kEuc, kSjis, kJis}) {
            std::string out;
            const int result = kanji_convert(source, target, input.c_str(), out);
            fuzz::check(result == (source == target ? 1 : 0), "unexpected result");
            fuzz::check(out.size() + 1 <= kanji_buffer_size(length), "output beyond worst case");
        }
    }
    return 0;
}
