// The index types of a table's index column, by type code: 0 uint16, 1 uint32, 2 uint64.
#pragma once
#include <cstdint>

namespace quorlin::kern {

constexpr int n_index_types = 3;
constexpr unsigned long long index_max[n_index_types] = {0xFFFFull, 0xFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull};

/// Code of the narrowest index type that holds `v`.
inline int code_for(unsigned long long v) {
    int code = 0;
    while (v > index_max[code]) ++code;
    return code;
}

/// Calls `f` with a value of the C++ type of index type `code`.
template <class F>
decltype(auto) with_index_type(int code, F&& f) {
    switch (code) {
        case 0: return f(std::uint16_t{});
        case 1: return f(std::uint32_t{});
        default: return f(std::uint64_t{});
    }
}

}  // namespace quorlin::kern
