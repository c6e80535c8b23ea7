// Quoted-printable decoding as a stream: bytes go in as they arrive, in
// pieces of any size, and the decoded bytes come out as soon as no later
// byte can change them. Memory stays bounded whatever the line structure: a
// single line of 512 MiB costs no more than one of 76 bytes.
#pragma once

#include <cstddef>
#include <string>

namespace brevorin {

class QpDecoder {
public:
    // Decodes what it can of data, appending to out.
    void feed(const char* data, size_t length, std::string& out);
    // The end of the input: the last line, without a line break.
    void finish(std::string& out);

private:
    void decode_line(bool hard_break, std::string& out);
    void decode_prefix(std::string& out);

    std::string line_;  // the undecoded part of the current line
};

}  // namespace brevorin
