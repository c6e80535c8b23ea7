#include "imap/visit.h"

namespace brevorin::imap {

void SequenceMap::reset(size_t count) {
    alive_.assign(count + 1, 0);
    for (size_t i = 1; i <= count; ++i) alive_[i] = static_cast<uint32_t>(lowest_bit(i));
}

uint64_t SequenceMap::alive_up_to(size_t message) const {
    uint64_t sum = 0;
    for (size_t i = message; i > 0; i -= lowest_bit(i)) sum += alive_[i];
    return sum;
}

uint64_t SequenceMap::sequence_of(int message) const {
    if (message <= 0 || static_cast<size_t>(message) >= alive_.size()) return 0;
    uint64_t upto = alive_up_to(static_cast<size_t>(message));
    return upto > alive_up_to(static_cast<size_t>(message) - 1) ? upto : 0;
}

int SequenceMap::message_at(uint64_t sequence_number) const {
    const size_t n = count();
    if (sequence_number == 0) return 0;
    size_t step = 1;
    while (step * 2 <= n) step *= 2;
    size_t pos = 0;
    uint64_t left = sequence_number;
    for (; step > 0; step /= 2) {
        if (pos + step <= n && alive_[pos + step] < left) {
            pos += step;
            left -= alive_[pos];
        }
    }
    return pos + 1 <= n ? static_cast<int>(pos + 1) : 0;
}

int SequenceMap::expunge(uint64_t sequence_number) {
    int message = message_at(sequence_number);
    if (message == 0) return 0;
    for (size_t i = static_cast<size_t>(message); i < alive_.size(); i += lowest_bit(i))
        --alive_[i];
    return message;
}

}  // namespace brevorin::imap
