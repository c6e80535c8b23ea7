// Sequence numbers of the logon's messages as expunges shift them, held
// against a plain list of what is left, for mailboxes of every size up to
// a few tree levels and expunges at the front, back and anywhere.
#include <gtest/gtest.h>

#include <vector>

#include "imap/visit.h"

namespace brevorin::imap {
namespace {

TEST(SequenceNumbers, FollowEveryExpungeAsAListWould) {
    for (int count = 0; count <= 70; ++count) {
        SequenceMap map;
        map.reset(static_cast<size_t>(count));
        std::vector<int> left;
        for (int n = 1; n <= count; ++n) left.push_back(n);
        unsigned seed = static_cast<unsigned>(count) * 2654435761u + 1;
        while (true) {
            for (size_t k = 0; k < left.size(); ++k) {
                ASSERT_EQ(map.message_at(k + 1), left[k]) << count;
                ASSERT_EQ(map.sequence_of(left[k]), k + 1) << count;
            }
            ASSERT_EQ(map.message_at(left.size() + 1), 0) << "past the end";
            ASSERT_EQ(map.message_at(0), 0);
            if (left.empty()) break;
            seed = seed * 1103515245u + 12345u;
            size_t at = left.size() == 1 ? 0 : (seed >> 8) % left.size();
            int gone = left[at];
            // What the client does with "* n EXPUNGE": the message there
            // leaves the sequence.
            ASSERT_EQ(map.message_at(at + 1), gone);
            map.expunge(at + 1);
            left.erase(left.begin() + static_cast<long>(at));
            EXPECT_EQ(map.sequence_of(gone), 0u);
        }
    }
}

}  // namespace
}  // namespace brevorin::imap
