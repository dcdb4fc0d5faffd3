// Decoded tables kept between calls. A write never changes a dataset in place: it links a new one
// under the table's name, so the token of the dataset a name links to tells whether a kept table is
// still the stored one. Bounded in bytes, least recently used first out.
#pragma once
#include <Python.h>

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include "hdf5.hpp"
#include "py/ref.hpp"

namespace quorlin {

class ReadCache {
public:
    static constexpr std::uint64_t default_budget = 256ull << 20;

    /// The columns (idxs, vals) kept for `name`, when its dataset still has `token`; else null.
    const std::pair<py::Ref, py::Ref>* find(const std::string& name, const hdf5::Token& token) {
        auto it = entries_.find(name);
        if (it == entries_.end()) return nullptr;
        if (!(it->second.token == token)) {
            erase(it);
            return nullptr;
        }
        lru_.splice(lru_.begin(), lru_, it->second.age);
        return &it->second.columns;
    }

    /// Whether columns are kept for `name`: a dataset was linked under it when they were read or written.
    bool holds(const std::string& name) const { return entries_.count(name) != 0; }

    /// Keeps the columns of `name` as stored under `token`, taking `bytes` of the budget.
    void put(const std::string& name, const hdf5::Token& token, py::Ref idxs, py::Ref vals, std::uint64_t bytes) {
        if (auto it = entries_.find(name); it != entries_.end()) erase(it);
        if (bytes > budget_) return;
        evict_until(budget_ - bytes);
        lru_.push_front(name);
        entries_.emplace(name, Entry{token, {std::move(idxs), std::move(vals)}, bytes, lru_.begin()});
        used_ += bytes;
    }

    void clear() {
        entries_.clear();
        lru_.clear();
        used_ = 0;
    }

    std::uint64_t budget() const { return budget_; }
    void set_budget(std::uint64_t bytes) {
        budget_ = bytes;
        evict_until(bytes);
    }

    int traverse(visitproc visit, void* arg) {
        for (auto& [name, entry] : entries_) {
            Py_VISIT(entry.columns.first.get());
            Py_VISIT(entry.columns.second.get());
        }
        return 0;
    }

private:
    struct Entry {
        hdf5::Token token;
        std::pair<py::Ref, py::Ref> columns;
        std::uint64_t bytes;
        std::list<std::string>::iterator age;
    };

    void erase(std::unordered_map<std::string, Entry>::iterator it) {
        used_ -= it->second.bytes;
        lru_.erase(it->second.age);
        entries_.erase(it);
    }
    void evict_until(std::uint64_t limit) {
        while (used_ > limit && !lru_.empty()) erase(entries_.find(lru_.back()));
    }

    std::unordered_map<std::string, Entry> entries_;
    std::list<std::string> lru_;  // most recently used first
    std::uint64_t used_ = 0;
    std::uint64_t budget_ = default_budget;
};

}  // namespace quorlin
