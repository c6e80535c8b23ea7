// Where a reader's bytes come from, behind one seam: the connection in use,
// or in tests a script that cuts the same bytes anywhere. The readers above
// it must read the same whatever the cuts.
#pragma once

#include "core/limits.h"
#include "net/connection.h"

namespace brevorin {

// Pieces that never run past a line feed nor past room bytes. The
// connection's end at one or the other; another source may cut shorter.
class PieceSource {
  public:
    virtual ~PieceSource() = default;
    // The piece's length, or -1 when the connection failed.
    virtual int read(const char*& data, int room) = 0;
    // Whether the last failure was the peer falling silent.
    virtual bool timed_out() const { return false; }
    // The bytes read make no response (a token past its bound, a bad literal).
    virtual void note_unreadable() {}
    // What is read from now on is message data, or no longer is.
    virtual void payload(bool on) { (void)on; }
};

class ConnectionPieces final : public PieceSource {
  public:
    explicit ConnectionPieces(Connection& connection) : connection_(connection) {}
    // Inline: the dot-data reader calls it directly on the way of every line.
    int read(const char*& data, int room) override {
        if (room > kLineCapacity) room = kLineCapacity;
        return connection_.read_view(data, buffer_, room);
    }
    bool timed_out() const override { return connection_.failure() == Failure::kTimedOut; }
    void note_unreadable() override;
    void payload(bool on) override {
        if (on)
            connection_.begin_payload();
        else
            connection_.end_payload();
    }

  private:
    Connection& connection_;
    char buffer_[kLineCapacity];
};

}  // namespace brevorin
