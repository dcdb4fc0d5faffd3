// A read-only view of a one-dimensional column with any byte stride, as NumPy arrays may have.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorlin::kern {

template <class T>
struct Strided {
    const char* data;
    std::ptrdiff_t stride;  // in bytes; may be negative or zero
    std::size_t size;

    /// The elements lie next to each other, aligned, so the view can be read as a plain array.
    bool contiguous() const {
        return stride == static_cast<std::ptrdiff_t>(sizeof(T)) && reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0;
    }
    const T* ptr() const { return reinterpret_cast<const T*>(data); }

    T operator[](std::size_t i) const {
        T v;
        // memcpy: strides need not be multiples of the element size
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
        return v;
    }
};

}  // namespace quorlin::kern
