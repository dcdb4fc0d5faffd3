// Ranking the stored inputs of one query input: the candidates each table gives (the nearest
// values, optionally with every entry tied with the last and with stored values read as the
// middle of their 16-bit interval), their weighted sums, and the best k of those.
#pragma once
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "order.hpp"
#include "position_table.hpp"
#include "search.hpp"
#include "strided.hpp"

namespace quorlin::kern {

/// A stored value read as the middle of the interval of full values that its upper 16 bits stand
/// for (the file keeps no more). Zeros, infinities and NaN stay as they are.
inline float midpoint(float v) {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
    if ((bits & 0x7F800000u) == 0x7F800000u || (bits & 0x7FFF0000u) == 0) return std::bit_cast<float>(bits & 0xFFFF0000u);
    return std::bit_cast<float>((bits & 0xFFFF0000u) | 0x8000u);
}

/// How a table is asked for candidates.
struct Asking {
    std::size_t count;  // nearest entries wanted
    bool ties;          // also every further entry as near as the last one
    bool midpoint;      // stored values read as the middle of their interval
};

/// Calls `visit(index, score)` for the entries of the value-sorted column nearest to `q`, grown
/// outwards from the query's place by the nearer neighbour, scored as a table search scores them.
/// Reading values through `midpoint` keeps their order, so the column stays sorted for the search.
/// With `ties`, the entries as near as the last one asked for come too, all or none: a group of
/// equally near entries larger than the count asked (a value most inputs share, which tells them
/// apart no more than a constant) gives none, so that the work stays bounded by twice the count.
template <class I, class Visit>
void nearest_run(const Strided<I>& idxs, const Strided<float>& vals, float q, const Asking& ask, Visit&& visit) {
    const std::size_t n = vals.size;
    auto value = [&](std::size_t j) { return ask.midpoint ? midpoint(vals[j]) : vals[j]; };
    std::size_t lo = 0, hi = n;
    while (lo < hi) {
        std::size_t mid = lo + (hi - lo) / 2;  // overflow-safe midpoint
        if (value_less(value(mid), q))
            lo = mid + 1;
        else
            hi = mid;
    }
    std::size_t left = lo, right = lo;  // taken: [left, right)
    std::vector<std::pair<std::size_t, float>> taken;  // (position, distance), nearest first
    std::size_t group = 0;                             // taken entries as far as the last one
    for (; left > 0 || right < n;) {
        std::size_t pos;
        float d;
        if (left == 0) {
            pos = right++;
            d = std::fabs(value(pos) - q);
        } else if (right == n) {
            pos = --left;
            d = std::fabs(value(pos) - q);
        } else {
            float dl = std::fabs(value(left - 1) - q), dr = std::fabs(value(right) - q);
            bool go_left = value_less(dl, dr);
            pos = go_left ? --left : right++;
            d = go_left ? dl : dr;
        }
        bool tied = !taken.empty() && d == taken.back().second;
        if (taken.size() >= ask.count && !(ask.ties && tied)) break;
        group = tied ? group + 1 : 1;
        taken.emplace_back(pos, d);
        if (ask.ties && taken.size() > ask.count && group > ask.count) {
            taken.resize(taken.size() - group);
            break;
        }
    }
    for (const auto& [pos, d] : taken) visit(idxs[pos], closeness(value(pos), d));
}

/// Weighted sums of the candidates of one query input, in the order the stored indices were first met.
struct Sums {
    PositionTable positions;
    std::vector<std::uint64_t> indices;
    std::vector<double> scores;

    void add(std::uint64_t index, double score) {
        auto [at, fresh] = positions.find_or_add(index, indices.size());
        if (!fresh) {
            scores[at] += score;
            return;
        }
        indices.push_back(index);
        scores.push_back(score);
    }
};

/// `a` ranks above `b`: larger, NaN above every number.
inline bool ranks_above(double a, double b) { return a > b || (std::isnan(a) && !std::isnan(b)); }

/// Marks the `scores.size() - k` lowest scores false in `keep` (none when k <= 0 or there are at
/// most k). Which of several scores tied at the cut go is the selection's, not otherwise defined.
inline std::vector<bool> keep_best(const std::vector<double>& scores, long long k) {
    std::size_t m = scores.size();
    std::vector<bool> keep(m, true);
    if (k <= 0 || m <= static_cast<std::size_t>(k)) return keep;
    std::vector<std::size_t> order(m);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::size_t drop = m - static_cast<std::size_t>(k);
    std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(drop), order.end(),
                     [&](std::size_t x, std::size_t y) { return ranks_above(scores[y], scores[x]); });
    for (std::size_t j = 0; j < drop; ++j) keep[order[j]] = false;
    return keep;
}

/// The positions of the best `k` of the sums among those `keep` allows (all when it is empty),
/// best first, equal scores by the smaller stored index.
inline std::vector<std::size_t> best_first(const Sums& sums, std::size_t k, const std::vector<bool>& keep = {}) {
    std::vector<std::size_t> order;
    order.reserve(sums.indices.size());
    for (std::size_t j = 0; j < sums.indices.size(); ++j)
        if (keep.empty() || keep[j]) order.push_back(j);
    auto before = [&](std::size_t x, std::size_t y) {
        if (ranks_above(sums.scores[x], sums.scores[y])) return true;
        if (ranks_above(sums.scores[y], sums.scores[x])) return false;
        return sums.indices[x] < sums.indices[y];
    };
    std::size_t n = std::min(k, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n), order.end(), before);
    order.resize(n);
    return order;
}

}  // namespace quorlin::kern
