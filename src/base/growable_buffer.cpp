#include "base/growable_buffer.h"

#include <cstring>

namespace keldrin {

GrowableBuffer::GrowableBuffer(std::size_t initialCapacity, std::size_t growthStep)
    : data_(std::make_unique<std::uint8_t[]>(initialCapacity)),
      capacity_(initialCapacity),
      growthStep_(growthStep == 0 ? 1 : growthStep) {}

void GrowableBuffer::reserve(std::size_t needed) {
    if (needed <= capacity_) return;
    // Round up to the growth step so a run of slightly growing requests does not
    // reallocate every time.
    std::size_t newCapacity = needed + (growthStep_ - needed % growthStep_) % growthStep_;
    auto bigger = std::make_unique<std::uint8_t[]>(newCapacity);
    if (length_ > 0) std::memcpy(bigger.get(), data_.get(), length_);
    data_ = std::move(bigger);
    capacity_ = newCapacity;
}

void GrowableBuffer::setLength(std::size_t n) {
    reserve(n);
    length_ = n;
}

}  // namespace keldrin
