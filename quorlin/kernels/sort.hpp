// Sorting and merging of (index, value) pairs by value, for merging new entries into a table.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

/// Copies old[begin, end) to out[at, ...), converting the index type.
template <class I, class OldI>
void copy_run(const Strided<OldI>& old_idx, const Strided<float>& old_val, std::size_t begin, std::size_t end,
              I* out_idx, float* out_val, std::size_t at) {
    if (old_idx.contiguous() && old_val.contiguous()) {  // the common case: plain arrays, vectorised copies
        std::copy(old_idx.ptr() + begin, old_idx.ptr() + end, out_idx + at);
        std::copy(old_val.ptr() + begin, old_val.ptr() + end, out_val + at);
        return;
    }
    for (std::size_t j = begin; j < end; ++j, ++at) {
        out_idx[at] = static_cast<I>(old_idx[j]);
        out_val[at] = old_val[j];
    }
}

/// First position at or after `lo` in the sorted old values whose value sorts after `v` (equal
/// values stay first). Gallops from `lo` first, so the cost grows with the distance moved, not n.
inline std::size_t upper_position(const Strided<float>& vals, std::size_t lo, float v) {
    std::size_t step = 1, hi = lo;
    while (hi < vals.size && !value_less(v, vals[hi])) {
        lo = hi + 1;
        hi = lo + step < vals.size ? lo + step : vals.size;
        step *= 2;
    }
    while (lo < hi) {
        std::size_t mid = lo + (hi - lo) / 2;  // overflow-safe midpoint
        if (value_less(v, vals[mid]))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

/// Merges the sorted old columns into out[0, n), where out[old.size, n) already holds the new
/// entries in sorted order. Each new entry's place is found by binary search and the old entries
/// before it are copied as one run, so a few new entries cost little more than a copy. Works in
/// place: an output slot is never ahead of the next unread new entry.
template <class I, class OldI>
void merge_into(const Strided<OldI>& old_idx, const Strided<float>& old_val, I* out_idx, float* out_val,
                std::size_t n) {
    const std::size_t n_old = old_val.size;
    std::size_t a = 0, p = 0;
    for (std::size_t b = n_old; b < n; ++b) {
        std::size_t until = upper_position(old_val, a, out_val[b]);
        copy_run(old_idx, old_val, a, until, out_idx, out_val, p);
        p += until - a;
        a = until;
        out_idx[p] = out_idx[b];
        out_val[p] = out_val[b];
        ++p;
    }
    copy_run(old_idx, old_val, a, n_old, out_idx, out_val, p);
}

/// True when the contiguous `n` values at `v` are in value order. Blocks of 64 pairs are compared
/// four at a time with no branch inside a block (value_less, written for vector lanes), which runs
/// about four times faster than a compare and branch per pair.
inline bool is_sorted(const float* v, std::size_t n) {
    using Floats = float __attribute__((vector_size(16)));
    using Masks = std::int32_t __attribute__((vector_size(16)));
    constexpr std::size_t lanes = 4, block = 64;
    std::size_t j = 1;
    for (; j + block <= n; j += block) {
        Masks out_of_order{};
        for (std::size_t k = j; k < j + block; k += lanes) {
            Floats a, b;  // v[k..], and the values just before them
            std::memcpy(&a, v + k, sizeof a);
            std::memcpy(&b, v + k - 1, sizeof b);
            out_of_order |= (a < b) | ((b != b) & (a == a));
        }
        std::uint64_t halves[2];
        std::memcpy(halves, &out_of_order, sizeof halves);
        if (halves[0] | halves[1]) return false;
    }
    for (; j < n; ++j)
        if (value_less(v[j], v[j - 1])) return false;
    return true;
}

/// True when the column is in value order.
inline bool is_sorted(const Strided<float>& vals) {
    if (vals.contiguous()) return is_sorted(vals.ptr(), vals.size);
    for (std::size_t j = 1; j < vals.size; ++j)
        if (value_less(vals[j], vals[j - 1])) return false;
    return true;
}

}  // namespace quorlin::kern
