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

/// The entries of one value-sorted column in the order of their distance to `q`: the run grown
/// outwards from the query's place, always by the nearer neighbour, and on a tie to the right.
/// Reading values through `midpoint` keeps their order, so the column stays sorted for the search.
struct Outward {
    /// The entry that comes next: its place, distance and stored value, and the side it lies on.
    struct Step {
        std::size_t pos;
        float d;
        float stored;
        bool right;  // at or above the query value
    };

    Strided<float> vals;
    float q;
    bool midpoint;
    std::size_t left, right;  // taken: [left, right)

    Outward(const Strided<float>& v, float query, bool mid) : vals(v), q(query), midpoint(mid) {
        std::size_t lo = 0, hi = vals.size;
        while (lo < hi) {
            std::size_t m = lo + (hi - lo) / 2;  // overflow-safe midpoint
            if (value_less(value(m), q))
                lo = m + 1;
            else
                hi = m;
        }
        left = right = lo;
    }
    float value(std::size_t j) const { return midpoint ? kern::midpoint(vals[j]) : vals[j]; }
    bool done() const { return left == 0 && right == vals.size; }
    Step next() const {
        if (left == 0 || (right < vals.size && !value_less(std::fabs(value(left - 1) - q), std::fabs(value(right) - q))))
            return {right, std::fabs(value(right) - q), vals[right], true};
        return {left - 1, std::fabs(value(left - 1) - q), vals[left - 1], false};
    }
    void take(const Step& s) { s.right ? ++right : --left; }
};

/// Whether the entry `a` of column `ra` comes before the entry `b` of column `rb` (ra != rb) in
/// the outward order of the one column that merges the columns in their order, equal values
/// keeping the columns' order: nearer first, then the right side; on the right, the smaller
/// stored value and then the earlier column; on the left the reverse, as that side is read backwards.
inline bool comes_before(const Outward::Step& a, std::size_t ra, const Outward::Step& b, std::size_t rb) {
    if (value_less(a.d, b.d) || value_less(b.d, a.d)) return value_less(a.d, b.d);
    if (a.right != b.right) return a.right;
    if (value_less(a.stored, b.stored) || value_less(b.stored, a.stored)) return value_less(a.stored, b.stored) == a.right;
    return (ra < rb) == a.right;
}

/// Calls `visit(column, position, score)` for the entries nearest to `q` in the value-sorted
/// `columns` taken together, scored as a table search scores them: with several columns (the
/// shards of a set) exactly what the one column merging them in their order (equal values keeping
/// the columns' order) gives. That column's outward walk takes its entries ordered by distance,
/// then side, then place on that side; a place is a value and then a column. Each column's own
/// walk already gives its entries in that order, so taking at every step the walk whose next entry
/// comes first (`comes_before`) yields the merged column's walk entry by entry, and the rule below
/// sees the very sequence it would see there: ties and cuts are decided over the union.
/// With `ties`, the entries as near as the last one asked for come too, all or none: a group of
/// equally near entries larger than the count asked (a value most inputs share, which tells them
/// apart no more than a constant) gives none, so that the work stays bounded by twice the count.
template <class Visit>
void nearest_runs(const std::vector<Strided<float>>& columns, float q, const Asking& ask, Visit&& visit) {
    std::vector<Outward> walks;
    walks.reserve(columns.size());
    for (const auto& c : columns) walks.emplace_back(c, q, ask.midpoint);
    struct Taken {
        std::size_t column, pos;
        float d;
    };
    std::vector<Taken> taken;  // nearest first
    std::size_t group = 0;     // taken entries as far as the last one
    for (;;) {
        std::size_t from = walks.size();
        Outward::Step step{};
        for (std::size_t c = 0; c < walks.size(); ++c) {
            if (walks[c].done()) continue;
            Outward::Step s = walks[c].next();
            if (from == walks.size() || comes_before(s, c, step, from)) {
                from = c;
                step = s;
            }
        }
        if (from == walks.size()) break;
        bool tied = !taken.empty() && step.d == taken.back().d;
        if (taken.size() >= ask.count && !(ask.ties && tied)) break;
        walks[from].take(step);
        group = tied ? group + 1 : 1;
        taken.push_back({from, step.pos, step.d});
        if (ask.ties && taken.size() > ask.count && group > ask.count) {
            taken.resize(taken.size() - group);
            break;
        }
    }
    for (const auto& t : taken) visit(t.column, t.pos, closeness(walks[t.column].value(t.pos), t.d));
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
