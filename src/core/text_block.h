// A text grown in one block of the C heap, to be handed to a host as it is:
// a result as large as a whole message is then never copied. Growth goes
// through realloc, which for large blocks moves pages rather than bytes on
// the platforms that can, so the old and the new block need not coexist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace brevorin {

struct FreeBlock {
    void operator()(char* block) const noexcept { std::free(block); }
};
using Block = std::unique_ptr<char, FreeBlock>;

class TextBlock {
  public:
    TextBlock() = default;
    TextBlock(TextBlock&& other) noexcept;
    TextBlock& operator=(TextBlock&& other) noexcept;

    // Room for capacity bytes of text before the block must grow. Throws
    // std::bad_alloc.
    void reserve(size_t capacity);
    // Grows by half again when full, at least to what the piece needs.
    // Throws std::bad_alloc.
    void append(const char* data, size_t length);

    const char* data() const { return block_ ? block_.get() : ""; }
    size_t size() const { return size_; }

    // The text, ended by a NUL, in a block no larger than that; empty
    // afterwards. Null only when not even the NUL could be had.
    Block release() noexcept;

  private:
    void resize(size_t bytes);

    Block block_;
    size_t size_ = 0;
    size_t capacity_ = 0;  // bytes of block_, the NUL's among them
};

}  // namespace brevorin
