// Stand-in for the host's closed runtime: the setting query and the message
// output that the library calls with the host context it was attached with.
#pragma once

#include <cstdint>

namespace brevorin::host {

constexpr int kHostValueAbsent = 0;
constexpr int kHostValueText = 1;
constexpr int kHostValueInteger = 2;
constexpr int kHostTextBuffer = 256;

// runtime_word: the 32-bit word at byte offset 16 of the host context record.
// Writes a text value into own_buffer (256 bytes) and reports its kind; the
// result is the integer value (0 for texts and absent settings).
int host_runtime_query(uint32_t runtime_word, uint16_t number, char* text_out, char* own_buffer,
                       int* kind);

// context: the host context record itself.
void host_runtime_put_message(const void* context, const char* line);

}  // namespace brevorin::host
