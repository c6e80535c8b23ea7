// The dot-terminated data of a multi-line POP3 answer (TOP, RETR, LIST) as
// a line source. Lines are handed out where the source's read-ahead holds
// them, copied only when one spans two receives. They come with the 2048-byte line
// capacity, so a longer line arrives in pieces. Only a piece that starts a
// line can be the terminating line or carry a stuffing dot; the pieces that
// continue a long line are data whatever they begin with.
#pragma once

#include <optional>

#include "core/line_source.h"
#include "net/connection.h"
#include "net/pieces.h"

namespace brevorin {

class DataLineReader final : public LineSource {
  public:
    explicit DataLineReader(PieceSource& source) : source_(source) {}
    explicit DataLineReader(Connection& connection)
        : connection_(std::in_place, connection), source_(*connection_) {}
    DataLineReader(const DataLineReader&) = delete;
    DataLineReader& operator=(const DataLineReader&) = delete;

  protected:
    Next read_piece() override;

  private:
    // Completes a piece the source cut short of its line end; the piece's
    // length then, or -1.
    int gather(const char*& piece, int n);

    std::optional<ConnectionPieces> connection_;
    PieceSource& source_;
    char gathered_[kLineCapacity];
};

}  // namespace brevorin
