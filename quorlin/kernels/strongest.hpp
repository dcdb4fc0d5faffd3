// The strongest neurons of one input: the columns of a row's largest values, largest first, ties
// to the lower column and NaN above every number, as an argmax picks the first of them.
#pragma once
#include <cmath>
#include <cstddef>

namespace quorlin::kern {

/// `a` ranks above `b`: larger, or NaN where `b` is a number.
template <class T>
bool stronger(T a, T b) {
    return a > b || (std::isnan(a) && !std::isnan(b));
}

/// Writes the columns of the `m` strongest of the `n` values of `row` to `out`, strongest first,
/// and returns how many there are (min(m, n)). Columns are met in increasing order and a column
/// passes only one it ranks strictly above, so equal values keep the lower column first.
template <class T>
std::size_t strongest(const T* row, std::size_t n, std::size_t m, std::size_t* out) {
    std::size_t kept = 0;
    for (std::size_t c = 0; c < n; ++c) {
        if (kept == m && !stronger(row[c], row[out[m - 1]])) continue;
        std::size_t at = kept < m ? kept++ : m - 1;
        while (at > 0 && stronger(row[c], row[out[at - 1]])) {
            out[at] = out[at - 1];
            --at;
        }
        out[at] = c;
    }
    return kept;
}

}  // namespace quorlin::kern
