// Counting distinct values: the input indices of a layer and the stored values of a table.
#pragma once
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "codec.hpp"

namespace quorlin::kern {

/// The number of distinct values in `values`, which it may reorder. Indices are usually dense
/// (0..n-1, or a shard's range): a bitmap over 0..max counts them in one pass; sparse ones are
/// sorted instead, so that the bitmap never takes more than 32 bytes per value.
inline std::size_t count_distinct(std::span<std::uint64_t> values) {
    if (values.empty()) return 0;
    std::uint64_t top = *std::max_element(values.begin(), values.end());
    if (top / 64 <= values.size() * 4) {
        std::vector<std::uint64_t> bits(top / 64 + 1);
        for (std::uint64_t v : values) bits[v / 64] |= std::uint64_t{1} << (v % 64);
        std::size_t count = 0;
        for (std::uint64_t word : bits) count += static_cast<std::size_t>(std::popcount(word));
        return count;
    }
    std::sort(values.begin(), values.end());
    return static_cast<std::size_t>(std::unique(values.begin(), values.end()) - values.begin());
}

/// The number of distinct values among `n` stored ones (a value section: two little-endian bytes
/// each), as numbers: both zeros count as one value, and so does every NaN.
inline std::size_t count_distinct_values(const std::uint8_t* section, std::size_t n) {
    std::vector<bool> seen(1 << 16);
    std::size_t count = 0;
    for (std::size_t j = 0; j < n; ++j) {
        std::uint16_t h;
        std::memcpy(&h, section + 2 * j, 2);  // host order is little-endian
        if ((h & 0x7FFF) == 0) h = 0;
        if ((h & 0x7F80) == 0x7F80 && (h & 0x007F) != 0) h = 0x7FC0;
        if (!seen[h]) {
            seen[h] = true;
            ++count;
        }
    }
    return count;
}

}  // namespace quorlin::kern
