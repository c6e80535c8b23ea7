#include "core/text_block.h"

#include <cstring>
#include <new>
#include <utility>

namespace brevorin {

TextBlock::TextBlock(TextBlock&& other) noexcept
    : block_(std::move(other.block_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

TextBlock& TextBlock::operator=(TextBlock&& other) noexcept {
    block_ = std::move(other.block_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
}

void TextBlock::resize(size_t bytes) {
    void* grown = std::realloc(block_.get(), bytes);
    if (grown == nullptr) throw std::bad_alloc();
    (void)block_.release();
    block_.reset(static_cast<char*>(grown));
    capacity_ = bytes;
}

void TextBlock::reserve(size_t capacity) {
    if (capacity >= SIZE_MAX) throw std::bad_alloc();
    if (capacity + 1 > capacity_) resize(capacity + 1);
}

void TextBlock::append(const char* data, size_t length) {
    if (length >= SIZE_MAX - 1 - size_) throw std::bad_alloc();
    const size_t needed = size_ + length + 1;
    if (needed > capacity_) {
        // Geometric, so that a server that announced too little costs a
        // few moves, not one per line.
        size_t grown = capacity_ + capacity_ / 2;
        resize(grown > needed ? grown : needed);
    }
    std::memcpy(block_.get() + size_, data, length);
    size_ += length;
}

Block TextBlock::release() noexcept {
    if (capacity_ == 0) {
        block_.reset(static_cast<char*>(std::malloc(1)));
        if (!block_) return Block();
        capacity_ = 1;
    } else if (capacity_ > size_ + 1) {
        // An announced size larger than the message leaves room it does not
        // need; a failure to give it back keeps the larger block.
        void* shrunk = std::realloc(block_.get(), size_ + 1);
        if (shrunk != nullptr) {
            (void)block_.release();
            block_.reset(static_cast<char*>(shrunk));
        }
    }
    block_.get()[size_] = '\0';
    size_ = 0;
    capacity_ = 0;
    return std::move(block_);
}

}  // namespace brevorin
