// LIST and TOP: a message's size and its header block.
#pragma once

#include <string>

#include "mailbox/header_record.h"
#include "pop3/session.h"

namespace brevorin {

constexpr size_t kTopWorkBuffer = kHeaderWorkBuffer;
constexpr size_t kRetrWorkBuffer = 96768;

// LIST n: true with size set.
bool list_size(Mailbox& box, int message, int32_t& size);

// The header block of a message (TOP n 0, or RETR where TOP does not work),
// at most capacity - 1 bytes: a longer block is cut there with a warning,
// so that one message with a huge header does not stop the listing. False
// when a command failed. The first one of a connection learns top.
bool fetch_header(Mailbox& box, TopSupport& top, int message, size_t capacity, std::string& header);
// list_size and fetch_header of a connection's first header, their LIST
// and TOP in one write (a server that pipelines): the same answers, a round
// trip sooner.
bool size_and_first_header(Mailbox& box, TopSupport& top, int message, size_t capacity,
                           int32_t& size, std::string& header);

// The same dialogue pipelined: the request lines go out in a batch, and
// each answer is read in the order of its request. header_request and
// header_answer need TOP support to be known (after the first fetch_header).
std::string size_request(int message);
std::string header_request(TopSupport top, int message);
bool header_answer(Mailbox& box, TopSupport top, int message, size_t capacity, std::string& header);

// The answer to LIST n. Read in a batch (in_batch), every +OK answer must
// name its own message: one that names another or does not parse means the
// answers are out of step with the requests, and nothing read from then on
// can be attributed to a message.
enum class SizeAnswer { kOk, kRefused, kOutOfStep, kFailed };
SizeAnswer size_answer(Mailbox& box, int message, int32_t& size, bool in_batch);

// Reads and drops an answer whose request is no longer wanted; a +OK answer
// to a multi-line request is read to its end. The answer to LIST n (size) is
// checked as size_answer checks it in a batch.
SizeAnswer drop_size_answer(Mailbox& box, int message);
bool drop_answer(Mailbox& box);

// UIDL n and its answer "+OK n id". The answer must name its message (one
// that names another or does not parse is out of step); a server without
// UIDL refuses, and the id stays empty.
std::string uidl_request(int message);
SizeAnswer uidl_answer(Mailbox& box, int message, std::string& uid);
// The id of a message, asked alone when it is not known yet: false when the
// visit had to end (the answer failed or was out of step).
bool known_uidl(Mailbox& box, int message);

}  // namespace brevorin
