// Value order of a table's column: ascending, every NaN (whatever its sign bit) after all numbers.
#pragma once
#include <bit>
#include <cmath>
#include <cstdint>

namespace quorlin::kern {

/// `a` sorts strictly before `b`; a strict weak order even with NaN.
inline bool value_less(float a, float b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

/// Unsigned key whose integer order is the value order (NaN largest), for radix sorting.
inline std::uint32_t sort_key(float v) {
    if (std::isnan(v)) return 0xFFFFFFFFu;
    std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
    // Negative numbers: flip all bits so larger magnitudes come first; positive: set the sign bit.
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

}  // namespace quorlin::kern
