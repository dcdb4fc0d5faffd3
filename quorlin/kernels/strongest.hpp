// The strongest neurons of one input: the columns of a row's largest values, largest first, ties
// to the lower column and NaN above every number, as an argmax picks the first of them.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>

namespace quorlin::kern {

/// `a` ranks above `b`: larger, or NaN where `b` is a number.
template <class T>
bool stronger(T a, T b) {
    return a > b || (std::isnan(a) && !std::isnan(b));
}

/// Writes the columns of the `m` (>= 1) strongest of the `n` values of `row` to `out`, strongest
/// first, and returns how many there are (min(m, n)). Columns are met in increasing order and a
/// column passes only one it ranks strictly above, so equal values keep the lower column first.
template <class T>
std::size_t strongest(const T* row, std::size_t n, std::size_t m, std::size_t* out) {
    std::size_t kept = 0;
    auto take = [&](std::size_t c) {
        std::size_t at = kept < m ? kept++ : m - 1;
        while (at > 0 && stronger(row[c], row[out[at - 1]])) {
            out[at] = out[at - 1];
            --at;
        }
        out[at] = c;
    };
    std::size_t c = 0;
    for (; c < n && kept < m; ++c) take(c);
    // Most values rank below the weakest kept one: blocks of them are passed over in one
    // comparison each, which the compiler can do several at a time.
    constexpr std::size_t block = 8;
    while (c < n) {
        std::size_t end = std::min(n, c + block);
        T weakest = row[out[m - 1]];
        int above = 0;  // values not at most the weakest: larger, or NaN
        for (std::size_t j = c; j < end; ++j) above += !(row[j] <= weakest);
        if (above)
            for (std::size_t j = c; j < end; ++j)
                if (stronger(row[j], row[out[m - 1]])) take(j);
        c = end;
    }
    return kept;
}

}  // namespace quorlin::kern
