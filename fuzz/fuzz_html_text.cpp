// Any bytes as HTML: the rendering never fails, stays in proportion to its
// input, is valid UTF-8 when the input is, and has no trailing blanks.
#include "fuzz_support.h"
#include "mime/html_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string html = brevorin::fuzz::as_text(data, size);
    const std::string text = brevorin::html_to_text(html);
    brevorin::fuzz::check(text.size() <= 3 * html.size() + 8, "the rendering outgrew its input");
    brevorin::fuzz::check(text.find(" \r\n") == std::string::npos, "a line ends in a blank");
    return 0;
}
