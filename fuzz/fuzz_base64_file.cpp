// The file-to-file base64 codec on in-memory streams: any input decodes
// without fault, and any binary input survives encoding and decoding.
#include "codec/base64.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brevorin;
    Context quiet;  // trace off: no host needed
    {
        auto in = fuzz::reader(data, size);
        fuzz::MemoryWriter out;
        if (in != nullptr && out.get() != nullptr) base64_decode(in.get(), out.get(), quiet);
    }
    auto in = fuzz::reader(data, size);
    fuzz::MemoryWriter encoded;
    if (in == nullptr || encoded.get() == nullptr) return 0;
    const int count = base64_encode(in.get(), encoded.get(), quiet);
    const std::string text = encoded.contents();
    fuzz::check(count == static_cast<int>(text.size()), "encode count differs from output");
    // An empty input gives an empty output, which the reader cannot wrap.
    if (text.empty()) return 0;
    auto again = fuzz::reader(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    fuzz::MemoryWriter back;
    fuzz::check(base64_decode(again.get(), back.get(), quiet) == 0, "decode of encoding failed");
    fuzz::check(back.contents() == std::string(reinterpret_cast<const char*>(data), size),
                "round trip changed the data");
    return 0;
}
