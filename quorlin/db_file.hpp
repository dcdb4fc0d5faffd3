// The store's file: reading tables (through a read cache), writing them as journaled changes that a
// killed process or a failed call cannot leave half done, recovery when a store is opened, and
// compaction. The DB type itself, its table cache, add and search are in db_store.cpp.
#pragma once
#include <Python.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "py/instance.hpp"
#include "py/ref.hpp"

namespace quorlin {

class ReadCache;

/// A DB instance: the ordinary attribute dict, plus what the file's writer and reader keep.
struct Store {
    py::Instance base;
    PyObject* unwritten;  // set of table keys whose last write failed: changed, though their tables say clean
    PyObject* retired;    // list of the tokens (bytes) of groups of replaced datasets, freed by the next change
    PyObject* journal;    // bytes: the absolute "<store>-journal", fixed at open; null: none is kept
    PyObject* reopen;     // (args, kwargs) for h5py.File that open the same file again, untruncated
    bool failed;          // a write failed and the file could not be restored: writes are refused
    bool wrote;           // a table was written since the file was opened
    bool closed;          // `close` closed the file: the store refuses every use but another close
    PyObject* path;       // the file name as opened (str), for the messages of a closed store
    ReadCache* reads;     // decoded tables kept between calls while their datasets are unchanged
    std::size_t neurons;  // neurons recorded per input and layer: the root attribute "neurons", 1 without it
    int hold;             // the store's file, locked for as long as this DB has it open; -1: none
    bool holds_writer;    // the hold is a writer's
    dev_t held_dev;       // the file held
    ino_t held_ino;
};

inline Store& store_of(PyObject* self) { return *reinterpret_cast<Store*>(self); }
inline PyObject* unwritten_of(PyObject* self) { return store_of(self).unwritten; }

/// Sets up what a new DB instance's file side needs. 0, or -1 with an error set.
int file_state_init(PyObject* self);
/// Visits and clears the Python objects of a DB instance's file side (its type's traverse and clear).
int file_state_traverse(PyObject* self, visitproc visit, void* arg);
void file_state_clear(PyObject* self);

/// Opens the store's file for `DB.__init__`: recovers or sets aside a journal left beside it, opens
/// `h5py.File(path, mode, **kw)` and fixes where this store's journals go.
py::Ref open_file(PyObject* self, PyObject* path, PyObject* mode, PyObject* kw);

/// Makes `change` (0 or -1) to the file as one journaled change of at most `payload` new bytes:
/// a process killed at any moment, or a change or flush that fails, leaves the file as it was
/// before or after it. A failed change empties the read cache.
int write_file(PyObject* self, PyObject* file, std::uint64_t payload, const std::function<int()>& change);

/// Writes the given (key, table) pairs as one change, and keeps each as written in the read cache.
/// Without `replace`, an existing key fails.
int write_tables(PyObject* self, PyObject* file, std::vector<std::pair<py::Ref, py::Ref>>& tables, bool replace);

/// True when the cached table under `key` has changes the file lacks.
int is_changed(PyObject* self, PyObject* key, PyObject* table);

/// The table stored under `key`, from the read cache while its dataset is unchanged, else read and
/// decoded (KeyError when the file has none).
py::Ref load_table(PyObject* self, PyObject* file, PyObject* key);

/// The root attribute "preprocessor" of the open store `file`, or None: what
/// `file.attrs.get("preprocessor")` returns, read directly where it is one text.
py::Ref read_preprocessor(PyObject* file);

/// Whether a link in the root group of the open store `file` has a name that begins with the text
/// `prefix` (up to a "/" in it): 1 or 0, stopping at the first; -1 with an error.
int holds_prefix(PyObject* file, PyObject* prefix);

/// The read cache's budget in bytes, and setting it (0 turns the cache off).
std::uint64_t read_cache_budget(PyObject* self);
void set_read_cache_budget(PyObject* self, std::uint64_t bytes);

/// Closes the file after the store's last change: frees the replaced datasets under a journal,
/// drops the read cache, closes, and compacts the file when it has grown well past its tables.
int close_file(PyObject* self, PyObject* file);

/// `DB.compact()`: rewrites the store open as `file` into a new file holding only its tables and
/// attributes, puts it in place of the old one in one rename, and goes on with the new one.
int compact_store(PyObject* self, PyObject* file);

/// Loads h5py's objects and HDF5's calls. 0, or -1 with an error set.
int file_exec();

}  // namespace quorlin
