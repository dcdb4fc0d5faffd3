// Combining value-sorted columns in bulk: the order in which entries buffered over many batches
// join a table so that the result equals adding them batch by batch, and a one-pass merge of
// several sorted tables.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec.hpp"
#include "order.hpp"
#include "strided.hpp"

namespace quorlin::kern {

/// Where a new entry joins the stored entries of its 16-bit value class, as a batch-by-batch add
/// places it. A stored column holds values cut to 16 bits (toward zero); an add merges its batch,
/// sorted by full value, after every stored value not above it. So within one class of stored
/// values a positive (or exact) new value lands after every earlier batch, while a negative value
/// cut upwards lands before them: later batches' such entries come first.
struct JoinKey {
    std::uint32_t cls;  // the class: sort key of the 16-bit value, +0 and -0 alike, NaN last
    std::uint32_t rank; // before the class's stored entries (later batches first) or after them
    std::uint32_t key;  // the sort key of the full value, as one batch is ordered

    friend bool operator<(const JoinKey& a, const JoinKey& b) {
        if (a.cls != b.cls) return a.cls < b.cls;
        if (a.rank != b.rank) return a.rank < b.rank;
        return a.key < b.key;
    }
};

/// The largest batch number a JoinKey can tell apart.
constexpr std::uint32_t max_batches = 0x7FFFFFFFu;

inline JoinKey join_key(float v, std::uint32_t batch) {
    // Classes go by the value as stored: a NaN whose payload lies in the low 16 bits is stored as
    // an infinity and takes its place among them.
    float cut = decode_value(encode_value(v));
    if (std::isnan(cut)) return {0xFFFFFFFFu, 0x80000000u | batch, 0xFFFFFFFFu};
    bool before = v < cut;  // only a negative value that lost bits
    return {sort_key(cut == 0.0f ? 0.0f : cut), before ? max_batches - batch : 0x80000000u | batch, sort_key(v)};
}

/// The permutation that puts new entries (value `val[j]`, from batch `batch[j]`, listed in the
/// order they were added) in the order a batch-by-batch add leaves them; equal keys keep that order.
inline std::vector<std::size_t> join_order(const std::vector<float>& val, const std::vector<std::uint32_t>& batch) {
    std::vector<JoinKey> keys(val.size());
    std::vector<std::size_t> order(val.size());
    for (std::size_t j = 0; j < val.size(); ++j) {
        keys[j] = join_key(val[j], batch[j]);
        order[j] = j;
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    return order;
}

/// One value-sorted table: its index column (any unsigned width, native order) and value column.
struct Run {
    const char* idx_data;
    std::ptrdiff_t idx_stride;
    std::size_t idx_width;  // 2, 4 or 8 bytes
    Strided<float> vals;

    std::uint64_t index(std::size_t j) const {
        return load_le(reinterpret_cast<const std::uint8_t*>(idx_data + static_cast<std::ptrdiff_t>(j) * idx_stride),
                       idx_width);
    }
};

/// Merges the sorted runs into out[0, total) in one pass; equal values keep the runs' order.
template <class I>
void merge_runs(const std::vector<Run>& runs, I* out_idx, float* out_val) {
    std::vector<std::size_t> at(runs.size(), 0);
    for (std::size_t p = 0;; ++p) {
        std::size_t best = runs.size();
        for (std::size_t r = 0; r < runs.size(); ++r) {
            if (at[r] == runs[r].vals.size) continue;
            if (best == runs.size() || value_less(runs[r].vals[at[r]], runs[best].vals[at[best]])) best = r;
        }
        if (best == runs.size()) return;
        out_idx[p] = static_cast<I>(runs[best].index(at[best]));
        out_val[p] = runs[best].vals[at[best]];
        ++at[best];
    }
}

}  // namespace quorlin::kern
