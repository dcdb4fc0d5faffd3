// Sorting and merging of (index, value) pairs by value, for merging new entries into a table.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "order.hpp"
#include "strided.hpp"

namespace quorlin::kern {

/// Stable LSD radix sort of the pairs (idx[j], val[j]) by sort_key(val), 8 bits per pass.
/// `scratch_idx` and `scratch_val` hold n elements each; the result ends in idx/val.
template <class I>
void radix_sort(I* idx, float* val, I* scratch_idx, float* scratch_val, std::size_t n) {
    if (n < 2) return;
    std::array<std::array<std::size_t, 256>, 4> counts{};
    for (std::size_t j = 0; j < n; ++j) {
        std::uint32_t key = sort_key(val[j]);
        for (int d = 0; d < 4; ++d) ++counts[d][(key >> (8 * d)) & 0xFF];
    }
    I* src_idx = idx;
    float* src_val = val;
    I* dst_idx = scratch_idx;
    float* dst_val = scratch_val;
    for (int d = 0; d < 4; ++d) {
        auto& count = counts[d];
        std::uint32_t first = (sort_key(src_val[0]) >> (8 * d)) & 0xFF;
        if (count[first] == n) continue;  // every key has this digit: the pass would not move anything
        std::size_t offset = 0;
        for (auto& c : count) offset += std::exchange(c, offset);
        for (std::size_t j = 0; j < n; ++j) {
            std::size_t to = count[(sort_key(src_val[j]) >> (8 * d)) & 0xFF]++;
            dst_idx[to] = src_idx[j];
            dst_val[to] = src_val[j];
        }
        std::swap(src_idx, dst_idx);
        std::swap(src_val, dst_val);
    }
    if (src_idx != idx) {
        std::copy(src_idx, src_idx + n, idx);
        std::copy(src_val, src_val + n, val);
    }
}

/// Merges the sorted old columns into out[0, n), where out[old.size, n) already holds the new
/// entries in sorted order. Works in place: an output slot is never ahead of the next unread new entry.
template <class I, class OldI>
void merge_into(const Strided<OldI>& old_idx, const Strided<float>& old_val, I* out_idx, float* out_val,
                std::size_t n) {
    const std::size_t n_old = old_val.size;
    std::size_t a = 0, b = n_old, p = 0;
    while (a < n_old && b < n) {
        float old_v = old_val[a];
        if (sort_key(out_val[b]) < sort_key(old_v)) {
            out_idx[p] = out_idx[b];
            out_val[p] = out_val[b];
            ++b;
        } else {
            out_idx[p] = static_cast<I>(old_idx[a]);
            out_val[p] = old_v;
            ++a;
        }
        ++p;
    }
    for (; a < n_old; ++a, ++p) {
        out_idx[p] = static_cast<I>(old_idx[a]);
        out_val[p] = old_val[a];
    }
}

/// True when the column is in value order.
inline bool is_sorted(const Strided<float>& vals) {
    for (std::size_t j = 1; j < vals.size; ++j)
        if (value_less(vals[j], vals[j - 1])) return false;
    return true;
}

}  // namespace quorlin::kern
