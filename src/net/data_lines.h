// The dot-terminated data of a multi-line POP3 answer (TOP, RETR, LIST) as
// a line source. Lines are handed out where the connection's read-ahead
// holds them, copied only when one spans two receives. They come with the 2048-byte line
// capacity, so a longer line arrives in pieces. Only a piece that starts a
// line can be the terminating line or carry a stuffing dot; the pieces that
// continue a long line are data whatever they begin with.
#pragma once

#include <array>

#include "core/line_source.h"
#include "net/connection.h"

namespace brevorin {

class DataLineReader final : public LineSource {
  public:
    explicit DataLineReader(Connection& connection) : connection_(connection) {}

  protected:
    Next read_piece() override;

  private:
    Connection& connection_;
    std::array<char, kLineCapacity> buffer_{};
};

}  // namespace brevorin
