#include "net/pieces.h"

namespace brevorin {

int ConnectionPieces::read(const char*& data, int room) {
    if (room > kLineCapacity) room = kLineCapacity;
    return connection_.read_view(data, buffer_, room);
}

void ConnectionPieces::note_unreadable() {
    connection_.context().note_failure(Failure::kReply);
}

}  // namespace brevorin
