#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace Varnix {

// Growable raw storage of trivially copyable elements, allocated with malloc.
// It keeps no count of used elements: its owner does. Not thread-safe.
template <typename T>
class Buffer {
public:
    Buffer() noexcept = default;

    // Copies the whole capacity, used or not. Throws std::bad_alloc.
    Buffer(const Buffer& other) : Buffer() {
        if (other.capacity > 0) {
            data = allocate(other.capacity);
            capacity = other.capacity;
            std::memcpy(data, other.data, sizeof(T) * static_cast<size_t>(capacity));
        }
    }

    Buffer& operator=(const Buffer&) = delete;

    ~Buffer() { std::free(data); }

    // Makes room for exactly n elements, keeping the first min(capacity, n).
    // n == 0 releases the storage. On failure throws std::bad_alloc and leaves
    // the Buffer as it was.
    void resize(std::int32_t n) {
        if (n == capacity) return;
        if (n <= 0) {
            std::free(data);
            data = nullptr;
            capacity = 0;
            return;
        }
        T* fresh = allocate(n);
        if (capacity > 0) std::memcpy(fresh, data, sizeof(T) * static_cast<size_t>(capacity < n ? capacity : n));
        std::free(data);
        data = fresh;
        capacity = n;
    }

    // Exchanges storage with another Buffer; never fails.
    void swap(Buffer& other) noexcept {
        T* d = data;
        data = other.data;
        other.data = d;
        std::int32_t c = capacity;
        capacity = other.capacity;
        other.capacity = c;
    }

    T* data = nullptr;          // null when capacity is 0
    std::int32_t capacity = 0;  // elements the storage holds

private:
    static T* allocate(std::int32_t n) {
        void* memory = std::malloc(sizeof(T) * static_cast<size_t>(n));
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
};

}  // namespace Varnix
