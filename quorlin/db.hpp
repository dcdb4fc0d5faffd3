// Activation tables, their byte format, the preprocessors and the store.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "py/ref.hpp"

namespace quorlin {

/// Module-level statements of this unit: imports, index-type tables, `get_dtype`, `Table`, `DB`.
int db_exec(PyObject* module);

/// Converts one input index (an integer, through `__index__`) to an unsigned 64-bit value:
/// TypeError for a non-integer, ValueError for a negative index, IndexError above 2**64-1.
int index_value(PyObject* obj, unsigned long long* out);

/// Decodes a table byte string into new (index column, value column) arrays, as `Table.frombytes`
/// reads them. 0, or -1 with an exception set.
int deserialize_table(const std::uint8_t* data, std::size_t size, py::Ref& idxs, py::Ref& vals);

/// The columns that the table byte string `bytes`, made by `table.tobytes()`, holds. When it is a
/// `Table` of this module with its own `tobytes`, they are its index column, now read-only, and a
/// copy of its values cut as the byte format cuts them; otherwise they are decoded from `bytes`.
/// 0, or -1 with an exception set.
int written_columns(PyObject* table, PyObject* bytes, py::Ref& idxs, py::Ref& vals);

/// Frees a table at once when nothing but `own_refs` references of the caller's refer to it: its
/// `_search_fn` is a method bound to the table itself, a cycle that would otherwise wait for the
/// collector. Tables of other types, or still referred to elsewhere, are left alone.
void release_table(PyObject* table, Py_ssize_t own_refs);

/// Whether `idx` is one input index, the first of a batch: an int, or an object without a length
/// that converts through `__index__` (a NumPy integer, a 0-d integer tensor or array). 1 with `out`
/// set to it as an int, 0 for anything else (taken as one index per input), -1 with an error.
int single_index(PyObject* idx, py::Ref& out);

/// Notes on the TypeError of an `idx` that is neither one index nor indices what `where` takes.
void note_index_kind(PyObject* idx, const char* where);

/// Refuses the use of a store that `close` closed: 0, or -1 with ValueError "the store ... is closed".
int check_open(PyObject* db);

/// Warns that `method` (its name, as "DB.search") found nothing for the query layers in the list
/// `layers` of which none of `stores` holds a table at all: their names differ from those recorded.
/// `verb` begins the advice ("Search"). Only stores that fetch tables from their files as a plain DB
/// does are asked. 0, or -1.
int warn_unknown_layers(const std::vector<PyObject*>& stores, PyObject* layers, const char* method, const char* verb);

/// Creates the class `Table` (the types of this unit are made in this order).
int table_exec(PyObject* module);

/// `self._get_table(key, create=False)`: the table stored under `key`, or None; no table is made.
py::Ref stored_table(PyObject* self, PyObject* key);

/// `self._clear_cache()`: every changed table written, the cache emptied.
py::Ref clear_cache(PyObject* self);

/// `DB.search`'s merge of its raw answers (a dict from layer key to one answer per query input)
/// into one dict of the `k` best stored inputs per query input.
py::Ref merge_answers(PyObject* ret, int k);

/// Warns when `k` asks for no candidates: every table then answers nothing. Only an int is looked at
/// here; anything else is converted, and refused, where the search needs it. 0, or -1.
int warn_no_candidates(const char* method, PyObject* k);

/// Warns when one index is given more than once in a batch of `method`: every copy is stored, and
/// a search adds up the scores of the copies. 0, or -1.
int warn_repeated(const char* method, std::vector<std::uint64_t> indices);

/// Warns that `method` returns None because `layer`'s first axis (`len`) is not the batch size.
int warn_no_result(const char* method, PyObject* layer, Py_ssize_t len, Py_ssize_t bsize);

/// Creates the class `DB`.
int store_exec(PyObject* module);

}  // namespace quorlin
