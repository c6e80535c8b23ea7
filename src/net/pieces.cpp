#include "net/pieces.h"

namespace brevorin {

void ConnectionPieces::note_unreadable() {
    connection_.context().note_failure(Failure::kReply);
}

}  // namespace brevorin
