// The table byte format's value and index encodings: little-endian, values cut to their upper 16 bits.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "strided.hpp"

namespace quorlin::kern {

static_assert(std::endian::native == std::endian::little, "the byte format is written for little-endian hosts");

/// Upper 16 bits of the binary32 pattern: truncation toward zero, never rounding.
inline std::uint16_t encode_value(float v) { return static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(v) >> 16); }

/// Exact inverse of encode_value on its range: the lower 16 bits become zero.
inline float decode_value(std::uint16_t h) { return std::bit_cast<float>(static_cast<std::uint32_t>(h) << 16); }

/// Writes `v` as `width` little-endian bytes.
inline void store_le(std::uint8_t* out, std::uint64_t v, std::size_t width) {
    for (std::size_t b = 0; b < width; ++b) out[b] = static_cast<std::uint8_t>(v >> (8 * b));
}

/// Reads up to 8 little-endian bytes (fewer bytes: the integer formed by those present).
inline std::uint64_t load_le(const std::uint8_t* in, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t b = 0; b < width; ++b) v |= static_cast<std::uint64_t>(in[b]) << (8 * b);
    return v;
}

/// Index section: each index as sizeof(I) little-endian bytes.
template <class I>
void encode_indices(const Strided<I>& idxs, std::uint8_t* out) {
    if (idxs.contiguous()) {  // little-endian host: the column's bytes are the section
        std::memcpy(out, idxs.data, idxs.size * sizeof(I));
        return;
    }
    for (std::size_t j = 0; j < idxs.size; ++j) store_le(out + j * sizeof(I), idxs[j], sizeof(I));
}

/// Value section: two bytes per value, low byte first.
inline void encode_values(const Strided<float>& vals, std::uint8_t* out) {
    if (vals.contiguous()) {
        const float* v = vals.ptr();
        for (std::size_t j = 0; j < vals.size; ++j) {
            std::uint16_t h = encode_value(v[j]);
            std::memcpy(out + 2 * j, &h, 2);  // host order is little-endian
        }
        return;
    }
    for (std::size_t j = 0; j < vals.size; ++j) store_le(out + 2 * j, encode_value(vals[j]), 2);
}

/// The values as the value section keeps them: each cut to its upper 16 bits (`out` may be `in`).
inline void cut_values(const float* in, std::size_t n, float* out) {
    for (std::size_t j = 0; j < n; ++j) out[j] = decode_value(encode_value(in[j]));
}

inline void decode_values(const std::uint8_t* in, std::size_t n, float* out) {
    for (std::size_t j = 0; j < n; ++j) {
        std::uint16_t h;
        std::memcpy(&h, in + 2 * j, 2);  // host order is little-endian
        out[j] = decode_value(h);
    }
}

}  // namespace quorlin::kern
