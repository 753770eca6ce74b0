// A malloc-backed byte buffer that frees itself. Allocation failure is a
// result, not an exception, so the readers can answer "out of memory".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

class ByteBuffer {
  public:
    ByteBuffer() = default;
    ~ByteBuffer() { std::free(data_); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& o) noexcept : data_(o.data_), size_(o.size_) {
        o.data_ = nullptr;
        o.size_ = 0;
    }
    ByteBuffer& operator=(ByteBuffer&& o) noexcept {
        if (this != &o) {
            std::free(data_);
            data_ = o.data_;
            size_ = o.size_;
            o.data_ = nullptr;
            o.size_ = 0;
        }
        return *this;
    }

    // Replaces the content by n zero bytes. Returns false when out of memory.
    bool Allocate(size_t n) {
        std::free(data_);
        size_ = 0;
        data_ = static_cast<uint8_t*>(std::calloc(n == 0 ? 1 : n, 1));
        if (data_ == nullptr) return false;
        size_ = n;
        return true;
    }
    // Shortens the logical size (the allocation is kept).
    void Shrink(size_t n) {
        if (n < size_) size_ = n;
    }
    void Reset() {
        std::free(data_);
        data_ = nullptr;
        size_ = 0;
    }

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

  private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};
