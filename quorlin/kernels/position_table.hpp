// A map from stored input index to a position, for merging the few hundred candidates of one query:
// open addressing in one flat array, sized once for the candidates to come.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quorlin::kern {

class PositionTable {
public:
    /// Makes room for `n` keys without growing.
    void reserve(std::size_t n) {
        std::size_t capacity = 16;
        while (capacity < 2 * n) capacity *= 2;
        if (capacity > slots_.size()) rebuild(capacity);
    }

    /// The position of `key` and false when it is present; else adds it at `position` and returns
    /// (position, true).
    std::pair<std::size_t, bool> find_or_add(std::uint64_t key, std::size_t position) {
        if (2 * (used_ + 1) > slots_.size()) rebuild(slots_.empty() ? 16 : 2 * slots_.size());
        Slot& slot = probe(key);
        if (slot.position != empty) return {slot.position, false};
        slot = {key, position};
        ++used_;
        return {position, true};
    }

private:
    static constexpr std::size_t empty = static_cast<std::size_t>(-1);
    struct Slot {
        std::uint64_t key;
        std::size_t position = empty;
    };

    Slot& probe(std::uint64_t key) {
        std::size_t mask = slots_.size() - 1;
        std::size_t at = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
        while (slots_[at].position != empty && slots_[at].key != key) at = (at + 1) & mask;
        return slots_[at];
    }

    void rebuild(std::size_t capacity) {
        std::vector<Slot> old(capacity);
        old.swap(slots_);
        for (const Slot& slot : old)
            if (slot.position != empty) probe(slot.key) = slot;
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

}  // namespace quorlin::kern
