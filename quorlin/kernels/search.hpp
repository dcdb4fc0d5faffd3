// Nearest-value search over a value-sorted column, with the relative closeness score.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "order.hpp"
#include "strided.hpp"

namespace quorlin::kern {

/// Number of values that sort strictly before `q` (a left-sided binary search).
inline std::size_t insertion_point(const Strided<float>& vals, float q) {
    std::size_t lo = 0, hi = vals.size;
    while (lo < hi) {
        std::size_t mid = lo + (hi - lo) / 2;  // overflow-safe midpoint
        if (value_less(vals[mid], q))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

/// Score of a stored value `v` at distance `d` from the query: max(0, 1 - d / (2|v|)) in float32,
/// NaN propagated as the maximum of the array library does. An exact match scores 1, also for a
/// stored zero, where the quotient would be 0/0.
inline float closeness(float v, float d) {
    if (d == 0.0f) return 1.0f;
    float s = 1.0f - d / (2.0f * std::fabs(v));
    return std::isnan(s) ? s : std::max(0.0f, s);
}

/// Writes the `m` stored pairs nearest to `q` (m <= vals.size == idxs.size) as (index, score).
/// The column is sorted, so the nearest values form one run around the insertion point: grow it
/// outwards, always by the nearer neighbour (NaN distances count as the largest).
template <class I>
void nearest(const Strided<I>& idxs, const Strided<float>& vals, float q, std::size_t m, I* out_idx,
             float* out_score) {
    std::size_t right = insertion_point(vals, q), left = right;  // run is [left, right)
    const std::size_t n = vals.size;
    for (std::size_t j = 0; j < m; ++j) {
        std::size_t pos;
        if (left == 0) {
            pos = right++;
        } else if (right == n) {
            pos = --left;
        } else {
            float dl = std::fabs(vals[left - 1] - q), dr = std::fabs(vals[right] - q);
            pos = value_less(dl, dr) ? --left : right++;
        }
        float v = vals[pos];
        out_idx[j] = idxs[pos];
        out_score[j] = closeness(v, std::fabs(v - q));
    }
}

}  // namespace quorlin::kern
