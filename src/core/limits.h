// Sizes the library's callers and peers can reach; every check uses these
// names, and none of them sizes an array that input could overflow.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brevorin {

constexpr int kLineCapacity = 2048;     // one received message line
constexpr int kReplyCapacity = 513;     // a status or reply line with its terminator
constexpr int kCommandBuffer = 516;     // one formatted command
constexpr int kHeaderBlockCapacity = 32768;
constexpr int kBodyCapacity = 64000;
constexpr int kHostTextLimit = 10240;   // a text handed to the host
constexpr int kHostFileListLimit = 2048;  // the file list handed to the host
constexpr size_t kResultSlots = 10;
constexpr char kEsc = '\x1b';

}  // namespace brevorin
