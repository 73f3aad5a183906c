#include "input/secret_buffer.hpp"

#include "common/secret.hpp"

#include <cstring>
#include <utility>

namespace quorlin::input {

SecretBuffer::SecretBuffer(std::size_t capacity) { reserve(capacity); }

SecretBuffer::SecretBuffer(SecretBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

void SecretBuffer::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    auto* grown = new std::uint8_t[capacity];
    if (size_ > 0) std::memcpy(grown, data_, size_);
    const std::size_t size = size_;
    release();
    data_ = grown;
    size_ = size;
    capacity_ = capacity;
}

void SecretBuffer::release() noexcept {
    if (data_ == nullptr) return;
    wipe(data_, size_);
    wipe(data_, capacity_);
    delete[] data_;
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

}  // namespace quorlin::input
