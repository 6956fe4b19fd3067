// A byte buffer that grows in steps and never shrinks. The exported entry reader keeps
// its results in such buffers between calls, so a caller may hold on to the pointers
// until its next call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace keldrin {

class GrowableBuffer {
  public:
    explicit GrowableBuffer(std::size_t initialCapacity, std::size_t growthStep = 16);

    std::uint8_t* data() { return data_.get(); }
    const std::uint8_t* data() const { return data_.get(); }
    std::size_t length() const { return length_; }
    std::size_t capacity() const { return capacity_; }

    // Makes room for at least `needed` bytes, keeping the first length() bytes.
    void reserve(std::size_t needed);
    // reserve(n), then length() = n.
    void setLength(std::size_t n);

  private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
    std::size_t growthStep_;
};

}  // namespace keldrin
