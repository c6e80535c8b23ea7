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
// Without a caller's size limit, a text held in memory for the host (the
// raw message, the decoded body) still stops here, so that a server cannot
// exhaust the host's memory.
constexpr size_t kInMemoryCeiling = 64u * 1024 * 1024;
// More items than any answer to our FETCHes holds: a response that goes on
// and on is a broken one.
constexpr int kMaxFetchItems = 64;
// Servers list a few dozen capabilities.
constexpr size_t kMaxCapabilities = 1000;
constexpr char kEsc = '\x1b';
// An OAuth bearer token (XOAUTH2): the access tokens of large providers are
// JSON Web Tokens of 1,500 to 3,000 characters; this leaves room to grow.
constexpr size_t kMaxBearerTokenLength = 16 * 1024;
// Longest SASL command that carries its initial response on the AUTH line;
// a longer response follows the server's continuation request instead.
// Every response of at most 508-byte credentials fits.
constexpr size_t kMaxInitialResponseLine = 2048;

}  // namespace brevorin
