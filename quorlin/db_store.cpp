// The store: one HDF5 file of serialised tables with a table cache, its preprocessor and neuron
// count, and the two operations that add and search activations (the reduction of layer outputs
// is reduce.cpp's, the ranked query query.cpp's).
#include "py/numpy.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "db.hpp"
#include "db_file.hpp"
#include "db_report.hpp"
#include "kernels/order.hpp"
#include "kernels/position_table.hpp"
#include "kernels/rank.hpp"
#include "py/args.hpp"
#include "py/func.hpp"
#include "py/errors.hpp"
#include "py/instance.hpp"
#include "py/ref.hpp"
#include "query.hpp"
#include "recorder.hpp"
#include "reduce.hpp"
#include "state.hpp"

namespace quorlin {
namespace {

using py::Ref;

Ref attr(PyObject* obj, PyObject* name) { return py::getattr(obj, name); }

/// Holds off the cyclic garbage collector for one call. A call allocates a few objects per table,
/// which would set off several collections over everything the process holds (torch's modules
/// included); the garbage of the call is short-lived and acyclic, and the collector runs as usual
/// after it.
struct CollectorPause {
    int was_enabled = PyGC_Disable();
    ~CollectorPause() {
        if (was_enabled) PyGC_Enable();
    }
};

/// Truth of `obj.<name>`, or -1.
int attr_true(PyObject* obj, PyObject* name) {
    Ref v = attr(obj, name);
    return v ? PyObject_IsTrue(v.get()) : -1;
}

/// Calls `obj.name(**{kw: value})`.
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kw, PyObject* value) {
    PyObject* argv[] = {obj, value};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, kw));
    return kwnames ? Ref::steal(PyObject_VectorcallMethod(name, argv, 1, kwnames.get())) : Ref{};
}

// ---------------------------------------------------------------------------------------------
// Construction, properties and the cache

/// Notes on h5py's OSError from opening the file which store it concerns, and, for an existing file
/// that is no HDF5 file, why it cannot be one. -1 always.
int note_open_failure(PyObject* path, PyObject* mode) {
    if (!PyErr_ExceptionMatches(PyExc_OSError) || path == Py_None) return -1;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref os_path = Ref::steal(PyImport_ImportModule("os.path"));
    Ref is_file = os_path ? Ref::steal(PyObject_CallMethod(os_path.get(), "isfile", "O", path)) : Ref{};
    Ref h5py = is_file ? Ref::steal(PyImport_ImportModule("h5py")) : Ref{};
    Ref is_hdf5 = h5py && is_file.get() == Py_True ? Ref::steal(PyObject_CallMethod(h5py.get(), "is_hdf5", "O", path)) : Ref{};
    bool foreign = is_hdf5 && is_hdf5.get() == Py_False;
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (foreign)
        return py::add_note_format("%R is no HDF5 file, so it cannot be a store: cquorlin.DB opens the HDF5 files "
                                   "it made, or makes a new one at a path where no file is.", path);
    return py::add_note_format("while opening the store %R with mode %R", path, mode);
}

/// Keeps the file name of the store's new file, for the messages of a closed store.
int keep_path(PyObject* self, PyObject* file) {
    Ref name = attr(file, G.names.filename);
    if (!name) return -1;
    Store& s = store_of(self);
    Py_XSETREF(s.path, name.release());
    s.closed = false;
    return 0;
}

/// Reads the root attribute "neurons" (1 without it) into the store.
int read_neurons(PyObject* self, PyObject* attrs) {
    Ref stored = py::call_method(attrs, G.names.get, G.names.neurons);
    if (!stored) return -1;
    std::size_t m = 1;
    if (stored.get() != Py_None) {
        Ref index = Ref::steal(PyNumber_Index(stored.get()));
        Py_ssize_t v = index ? PyLong_AsSsize_t(index.get()) : -1;
        if (v < 1 || static_cast<std::size_t>(v) > max_store_neurons) {
            // Not an integer, or one out of range, is what is reported; any other error passes on.
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError) &&
                !PyErr_ExceptionMatches(PyExc_OverflowError))
                return -1;
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "the store's attribute \"neurons\" holds %R, not a count from 1 to %zu",
                         stored.get(), max_store_neurons);
            return -1;
        }
        m = static_cast<std::size_t>(v);
    }
    store_of(self).neurons = m;
    return 0;
}

constexpr char db_init_name[] = "cquorlin.DB.__init__";
QUORLIN_SIGNATURE(db_init_sig, "__init__", 1, true, true, "path", "mode", "preprocessor", "driver");

int db_init_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    PyObject* extra_raw = nullptr;
    int parsed = py::parse_tuple(db_init_sig, args, kwargs, a, &extra_raw);
    Ref extra = Ref::steal(extra_raw);
    if (parsed < 0 || py::check_str_or_none(a[0], "path") < 0) return -1;
    const auto& n = G.names;
    Ref mode = a[1] ? Ref::borrow(a[1]) : Ref::steal(PyUnicode_FromString("a"));
    PyObject* preprocessor = a[2] ? a[2] : Py_None;
    Ref kw = Ref::steal(extra ? PyDict_Copy(extra.get()) : PyDict_New());
    if (!mode || !kw || PyDict_SetItem(kw.get(), n.driver, a[3] ? a[3] : Py_None) < 0) return -1;
    Ref file = open_file(self, a[0], mode.get(), kw.get());
    if (!file) return note_open_failure(a[0], mode.get());
    if (PyObject_SetAttr(self, n.file, file.get()) < 0 || keep_path(self, file.get()) < 0) return -1;
    Ref attrs = attr(file.get(), n.attrs);
    if (!attrs) return -1;
    int has_version = PySequence_Contains(attrs.get(), n.version);
    if (has_version < 0) return -1;
    int wants = PyObject_IsTrue(preprocessor);
    if (wants < 0) return -1;
    bool wrote = false;
    Ref file_mode = attr(file.get(), n.mode);
    if (!file_mode) return -1;
    bool read_only = PyUnicode_Check(file_mode.get()) && PyUnicode_CompareWithASCIIString(file_mode.get(), "r") == 0;
    if (!has_version) {
        if (read_only) {
            PyErr_SetString(PyExc_Exception, "Invalid file.");
            return py::add_note_format("%R is an HDF5 file but not a store: it lacks the root attribute \"version\" "
                                       "that marks one. Opened with mode \"a\", it becomes an empty store.",
                                       store_of(self).path);
        }
        Ref stamp = Ref::steal(PyUnicode_FromString("0.0.1"));
        if (!stamp || PyObject_SetItem(attrs.get(), n.version, stamp.get()) < 0) return -1;
        wrote = true;
        if (wants && PyObject_SetAttr(self, n.preprocessor, preprocessor) < 0) return -1;
    }
    if (wants) {
        int stored = attr_true(self, n.preprocessor);
        if (stored < 0) return -1;
        if (!stored && PyObject_SetAttr(self, n.preprocessor, preprocessor) < 0) return -1;
    }
    if (read_neurons(self, attrs.get()) < 0) return -1;
    // A fresh store reaches the disk complete, so that a crash right after opening leaves a valid file.
    if (wrote && write_file(self, file.get(), 0, [] { return 0; }) < 0) return -1;
    Ref cache = Ref::steal(PyDict_New());
    return cache ? PyObject_SetAttr(self, n.cache, cache.get()) : -1;
}

int db_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard_status(db_init_name, [&] { return db_init_impl(self, args, kwargs); });
}

constexpr char db_preprocessor_get_name[] = "cquorlin.DB.preprocessor.__get__";
constexpr char db_preprocessor_set_name[] = "cquorlin.DB.preprocessor.__set__";
constexpr char db_path_name[] = "cquorlin.DB.path.__get__";

Ref file_attrs(PyObject* self) {
    Ref file = attr(self, G.names.file);
    return file ? attr(file.get(), G.names.attrs) : Ref{};
}

PyObject* db_preprocessor_get(PyObject* self, void*) {
    return py::guard(db_preprocessor_get_name, [&]() -> Ref {
        if (check_open(self) < 0) return {};
        Ref file = attr(self, G.names.file);
        return file ? read_preprocessor(file.get()) : Ref{};
    });
}

int db_preprocessor_set(PyObject* self, PyObject* value, void*) {
    return py::guard_status(db_preprocessor_set_name, [&]() -> int {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
            return -1;
        }
        if (check_open(self) < 0) return -1;
        Ref stripped = py::call_method(value, G.names.strip);
        Ref name = stripped ? py::call_method(stripped.get(), G.names.lower) : Ref{};
        if (!name) return -1;
        Ref available = Ref::steal(Py_BuildValue("[ss]", "image", "text"));
        int known = available ? PySequence_Contains(available.get(), name.get()) : -1;
        if (known < 0) return -1;
        if (!known) {
            Ref listed = Ref::steal(PyObject_Str(available.get()));
            if (listed)
                PyErr_Format(PyExc_ValueError, "Invalid preprocessor specified: %S. Available preprocessors are: %U",
                             name.get(), listed.get());
            return -1;
        }
        Ref attrs = file_attrs(self);
        Ref file = attrs ? attr(self, G.names.file) : Ref{};
        if (!file) return -1;
        return write_file(self, file.get(), 0, [&] { return PyObject_SetItem(attrs.get(), G.names.preprocessor, name.get()); });
    });
}

constexpr char db_neurons_get_name[] = "cquorlin.DB.neurons.__get__";
constexpr char db_neurons_set_name[] = "cquorlin.DB.neurons.__set__";

/// `DB.neurons`: how many of each input's strongest neurons per layer the store records.
PyObject* db_neurons_get(PyObject* self, void*) {
    return py::guard(db_neurons_get_name, [&]() -> Ref {
        if (check_open(self) < 0) return {};
        return Ref::steal(PyLong_FromSize_t(store_of(self).neurons));
    });
}

/// Sets the neuron count, kept in the root attribute "neurons" when it is not 1. A store that holds
/// tables keeps its count: its entries were recorded with it.
int db_neurons_set(PyObject* self, PyObject* value, void*) {
    return py::guard_status(db_neurons_set_name, [&]() -> int {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
            return -1;
        }
        if (check_open(self) < 0) return -1;
        Ref index = Ref::steal(PyNumber_Index(value));
        if (!index) return -1;
        Py_ssize_t m = PyLong_AsSsize_t(index.get());
        if (m == -1 && PyErr_Occurred()) PyErr_Clear();
        if (m < 1 || static_cast<std::size_t>(m) > max_store_neurons) {
            PyErr_Format(PyExc_ValueError, "neurons must be from 1 to %zu, not %R", max_store_neurons, index.get());
            return -1;
        }
        Store& store = store_of(self);
        if (static_cast<std::size_t>(m) == store.neurons) return 0;
        Ref file = attr(self, G.names.file);
        Ref cache = file ? attr(self, G.names.cache) : Ref{};
        Py_ssize_t stored = cache ? PyObject_Length(file.get()) : -1;
        Py_ssize_t cached = stored >= 0 ? PyObject_Length(cache.get()) : -1;
        if (cached < 0) return -1;
        if (stored > 0 || cached > 0) {
            PyErr_Format(PyExc_ValueError,
                         "the store holds tables recorded with %zu neurons per input and layer; its neuron count "
                         "cannot change",
                         store.neurons);
            return -1;
        }
        Ref attrs = attr(file.get(), G.names.attrs);
        if (!attrs) return -1;
        int status = write_file(self, file.get(), 0, [&]() -> int {
            if (m != 1) return PyObject_SetItem(attrs.get(), G.names.neurons, index.get());
            return PyObject_DelItem(attrs.get(), G.names.neurons);
        });
        if (status < 0) return -1;
        store.neurons = static_cast<std::size_t>(m);
        return 0;
    });
}

PyObject* db_path(PyObject* self, void*) {
    return py::guard(db_path_name, [&]() -> Ref {
        if (check_open(self) < 0) return {};
        Ref file = attr(self, G.names.file);
        return file ? attr(file.get(), G.names.filename) : Ref{};
    });
}

constexpr char db_read_cache_bytes_get_name[] = "cquorlin.DB.read_cache_bytes.__get__";
constexpr char db_read_cache_bytes_set_name[] = "cquorlin.DB.read_cache_bytes.__set__";

/// `DB.read_cache_bytes`: how many bytes of decoded tables the store keeps between calls.
PyObject* db_read_cache_bytes_get(PyObject* self, void*) {
    return py::guard(db_read_cache_bytes_get_name,
                     [&] { return Ref::steal(PyLong_FromUnsignedLongLong(read_cache_budget(self))); });
}

int db_read_cache_bytes_set(PyObject* self, PyObject* value, void*) {
    return py::guard_status(db_read_cache_bytes_set_name, [&]() -> int {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
            return -1;
        }
        Ref index = Ref::steal(PyNumber_Index(value));
        if (!index) return -1;
        unsigned long long bytes = PyLong_AsUnsignedLongLong(index.get());
        if (bytes == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_SetString(PyExc_ValueError, "read_cache_bytes must be a number of bytes from 0 to 2**64-1");
            }
            return -1;
        }
        set_read_cache_budget(self, bytes);
        return 0;
    });
}

/// `self.cache`
Ref cache_of(PyObject* self) { return attr(self, G.names.cache); }

/// True when `self` reaches each of the methods `names` exactly as a plain DB does: its type's
/// attribute lookup is the generic one and finds the DB type's own methods, and its instance dict
/// holds none of the names. Then running a method's code directly is the same as calling it through
/// the instance.
int uses_db_methods(PyObject* self, std::initializer_list<PyObject*> names) {
    auto* base = reinterpret_cast<PyTypeObject*>(G.db_type);
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != base->tp_getattro) return 0;
    PyObject* dict = reinterpret_cast<py::Instance*>(self)->dict;
    for (PyObject* name : names) {
        PyObject* own = PyDict_GetItemWithError(base->tp_dict, name);
        if (!own) return PyErr_Occurred() ? -1 : 0;
        if (type != base && _PyType_Lookup(type, name) != own) return 0;
        int shadowed = dict ? PyDict_Contains(dict, name) : 0;
        if (shadowed) return shadowed < 0 ? -1 : 0;
    }
    return 1;
}

/// True when `self` fetches tables as a plain DB does.
int fetches_as_db(PyObject* self) {
    const auto& n = G.names;
    return uses_db_methods(self, {n._get_table, n._tomemory, n._create_table});
}

Ref create_table(PyObject* self, PyObject* k) {
    Ref table = Ref::steal(PyObject_CallNoArgs(G.table_type));
    Ref cache = table ? cache_of(self) : Ref{};
    if (!cache || PyObject_SetAttr(table.get(), G.names._flushed, Py_False) < 0 ||
        PyObject_SetItem(cache.get(), k, table.get()) < 0)
        return {};
    return table;
}

Ref tomemory(PyObject* self, PyObject* k) {
    Ref file = attr(self, G.names.file);
    Ref table = file ? load_table(self, file.get(), k) : Ref{};
    Ref cache = table ? cache_of(self) : Ref{};
    if (!cache || PyObject_SetItem(cache.get(), k, table.get()) < 0) return {};
    return table;
}

/// `self._get_table(k=k, create=create)` for a checked key: the cached table, else the stored one,
/// else a new one (`create`) or None. The loader and the creator run directly when `self` fetches as
/// a plain DB does, and are called through the instance, the key by keyword, otherwise.
Ref get_table(PyObject* self, PyObject* k, PyObject* create) {
    const auto& n = G.names;
    Ref cache = cache_of(self);
    if (!cache) return {};
    if (PyDict_CheckExact(cache.get())) {
        PyObject* hit = PyDict_GetItemWithError(cache.get(), k);
        if (hit) return Ref::borrow(hit);
        if (PyErr_Occurred()) return {};
    } else {
        int held = PySequence_Contains(cache.get(), k);
        if (held < 0) return {};
        if (held) return Ref::steal(PyObject_GetItem(cache.get(), k));
    }
    int direct = fetches_as_db(self);
    if (direct < 0) return {};
    Ref table = direct ? tomemory(self, k) : call_method_kw(self, n._tomemory, n.k, k);
    if (table || !PyErr_ExceptionMatches(PyExc_KeyError)) return table;
    PyErr_Clear();
    int wanted = create ? PyObject_IsTrue(create) : 1;
    if (wanted < 0) return {};
    if (!wanted) return Ref::borrow(Py_None);
    direct = fetches_as_db(self);  // the loader may have changed what the instance finds
    if (direct < 0) return {};
    return direct ? create_table(self, k) : call_method_kw(self, n._create_table, n.k, k);
}

constexpr char db_create_table_name[] = "cquorlin.DB._create_table";
QUORLIN_SIGNATURE(db_create_table_sig, "_create_table", 1, true, true, "k");

Ref db_create_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* k;
    if (py::parse(db_create_table_sig, args, nargs, kwnames, &k) < 0 || check_open(self) < 0) return {};
    return create_table(self, k);
}

constexpr char db_tomemory_name[] = "cquorlin.DB._tomemory";
QUORLIN_SIGNATURE(db_tomemory_sig, "_tomemory", 1, true, true, "k");

Ref db_tomemory(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* k;
    if (py::parse(db_tomemory_sig, args, nargs, kwnames, &k) < 0 || py::check_str_or_none(k, "k") < 0 ||
        check_open(self) < 0)
        return {};
    return tomemory(self, k);
}

constexpr char db_get_table_name[] = "cquorlin.DB._get_table";
QUORLIN_SIGNATURE(db_get_table_sig, "_get_table", 1, true, true, "k", "create");

Ref db_get_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (py::parse(db_get_table_sig, args, nargs, kwnames, a) < 0 || py::check_str_or_none(a[0], "k") < 0 ||
        check_open(self) < 0)
        return {};
    return get_table(self, a[0], a[1]);
}

constexpr char db_todisk_name[] = "cquorlin.DB._todisk";
QUORLIN_SIGNATURE(db_todisk_sig, "_todisk", 1, true, true, "k");

Ref db_todisk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* k;
    if (py::parse(db_todisk_sig, args, nargs, kwnames, &k) < 0 || py::check_str_or_none(k, "k") < 0 ||
        check_open(self) < 0)
        return {};
    const auto& n = G.names;
    Ref cache = cache_of(self);
    Ref table = cache ? py::call_method(cache.get(), n.get, k) : Ref{};
    if (!table) return {};
    if (table.get() == Py_None) return table;
    int changed = is_changed(self, k, table.get());
    if (changed <= 0) return changed < 0 ? Ref{} : Ref::borrow(Py_None);
    Ref file = attr(self, n.file);
    std::vector<std::pair<Ref, Ref>> one;
    one.emplace_back(Ref::borrow(k), std::move(table));
    if (!file || write_tables(self, file.get(), one, false) < 0) return {};
    return Ref::borrow(Py_None);
}

constexpr char db_flush_cache_name[] = "cquorlin.DB._flush_cache";

Ref flush_cache(PyObject* self) {
    Ref cache = cache_of(self);
    // A snapshot: serialising a table may run code that changes the cache.
    Ref items = cache ? Ref::steal(PyMapping_Items(cache.get())) : Ref{};
    if (!items) return {};
    std::vector<std::pair<Ref, Ref>> changed;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(items.get()); ++j) {
        PyObject* item = PyList_GET_ITEM(items.get(), j);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        PyObject* table = PyTuple_GET_ITEM(item, 1);
        int c = is_changed(self, key, table);
        if (c < 0) return {};
        if (c) changed.emplace_back(Ref::borrow(key), Ref::borrow(table));
    }
    if (changed.empty()) return Ref::borrow(Py_None);
    Ref file = attr(self, G.names.file);
    if (!file || write_tables(self, file.get(), changed, true) < 0) return {};
    return Ref::borrow(Py_None);
}

Ref db_flush_cache(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("_flush_cache", true, nargs, kwnames) < 0 || check_open(self) < 0) return {};
    return flush_cache(self);
}

constexpr char db_clear_cache_name[] = "cquorlin.DB._clear_cache";

/// Empties the cache after its flush.
Ref drop_cached(PyObject* self) {
    Ref cache = cache_of(self);
    if (!cache) return {};
    if (!PyDict_CheckExact(cache.get()))
        return Ref::steal(PyObject_CallMethod(cache.get(), "clear", nullptr)) ? Ref::borrow(Py_None) : Ref{};
    Ref tables = Ref::steal(PyDict_Values(cache.get()));
    if (!tables) return {};
    PyDict_Clear(cache.get());
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(tables.get()); ++j) release_table(PyList_GET_ITEM(tables.get(), j), 1);
    return Ref::borrow(Py_None);
}

/// `self.<name>()` for `_flush_cache` or `_clear_cache`, run directly when `self` reaches the
/// method, and the `_flush_cache` it calls, as a plain DB does.
Ref call_cache_method(PyObject* self, PyObject* name) {
    const auto& n = G.names;
    int direct = name == n._flush_cache ? uses_db_methods(self, {n._flush_cache})
                                        : uses_db_methods(self, {n._clear_cache, n._flush_cache});
    if (direct <= 0) return direct < 0 ? Ref{} : py::call_method(self, name);
    if (!flush_cache(self)) return {};
    return name == n._flush_cache ? Ref::borrow(Py_None) : drop_cached(self);
}

Ref db_clear_cache(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("_clear_cache", true, nargs, kwnames) < 0 || check_open(self) < 0 ||
        !call_cache_method(self, G.names._flush_cache))
        return {};
    return drop_cached(self);
}

constexpr char db_close_name[] = "cquorlin.DB.close";

Ref db_close(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("close", true, nargs, kwnames) < 0) return {};
    if (store_of(self).closed) return Ref::borrow(Py_None);  // closing again does nothing
    // The recorders' pending inputs go first: a flush that fails leaves the store open, as it was.
    if (flush_recorders(self) < 0) return {};
    bool failed = store_of(self).failed;  // then nothing more is written through HDF5's memory
    if (!failed && !py::call_method(self, G.names._clear_cache)) return {};
    Ref file = attr(self, G.names.file);
    if (!file) return {};
    int status = close_file(self, file.get());
    // Closed, also when compacting it failed after its close.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    int open = PyObject_IsTrue(file.get());
    if (open < 0) PyErr_Clear();
    store_of(self).closed = open == 0;
    PyErr_Restore(type, value, tb);
    return status == 0 ? Ref::borrow(Py_None) : Ref{};
}

constexpr char db_compact_name[] = "cquorlin.DB.compact";

/// `DB.compact()`: writes the changed tables, rewrites the store into a file of just its tables and
/// attributes, puts that in place of the old file, and goes on with it.
Ref db_compact(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("compact", true, nargs, kwnames) < 0 || check_open(self) < 0 ||
        !py::call_method(self, G.names._clear_cache))
        return {};
    Ref file = attr(self, G.names.file);
    return file && compact_store(self, file.get()) == 0 ? Ref::borrow(Py_None) : Ref{};
}

constexpr char db_enter_name[] = "cquorlin.DB.__enter__";
constexpr char db_exit_name[] = "cquorlin.DB.__exit__";

Ref db_enter(PyObject* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
    if (py::no_keywords("__enter__", kwnames) < 0 || check_open(self) < 0) return {};
    return Ref::borrow(self);
}

Ref db_exit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
    if (py::no_keywords("__exit__", kwnames) < 0 || !py::call_method(self, G.names.close)) return {};
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------------------------
// Table keys and entries

/// One entry to record: the table key, the input index and the value (a Python float).
struct Entry {
    Ref key;
    Ref index;
    Ref value;
};

/// The table key of a layer's neuron, "table_<layer>_<neuron>".
Ref table_key(PyObject* layer_text, Py_ssize_t neuron) {
    return Ref::steal(PyUnicode_FromFormat("table_%U_%zd", layer_text, neuron));
}

// ---------------------------------------------------------------------------------------------
// DB.add

/// State of a cached table before a call, to undo the call.
struct Snapshot {
    Ref key, table;          // table null: the key was not cached before
    bool was_dirty = false;  // then the fields below restore it
    Ref idxs, vals, search_fn, flushed;
    Py_ssize_t n_idx = 0, n_val = 0;
    bool was_unwritten = false;
};

int take_snapshot(PyObject* self, PyObject* cache, PyObject* key, Snapshot& s) {
    const auto& n = G.names;
    s.key = Ref::borrow(key);
    int unwritten = PySet_Contains(unwritten_of(self), key);
    if (unwritten < 0) return -1;
    s.was_unwritten = unwritten;
    int held = PySequence_Contains(cache, key);
    if (held <= 0) return held;
    s.table = Ref::steal(PyObject_GetItem(cache, key));
    if (!s.table) return -1;
    int clean = attr_true(s.table.get(), n._flushed);
    if (clean < 0) return -1;
    s.was_dirty = !clean;
    if (!s.was_dirty) return 0;
    s.flushed = attr(s.table.get(), n._flushed);
    s.idxs = attr(s.table.get(), n.idxs);
    s.vals = attr(s.table.get(), n.vals);
    s.search_fn = attr(s.table.get(), n._search_fn);
    Ref ibuf = attr(s.table.get(), n._idxs_buffer), vbuf = attr(s.table.get(), n._vals_buffer);
    if (!s.flushed || !s.idxs || !s.vals || !s.search_fn || !ibuf || !vbuf) return -1;
    s.n_idx = PyObject_Length(ibuf.get());
    s.n_val = PyObject_Length(vbuf.get());
    return s.n_idx < 0 || s.n_val < 0 ? -1 : 0;
}

/// Truncates the list attribute `name` of `table` to `len` items.
int truncate_buffer(PyObject* table, PyObject* name, Py_ssize_t len) {
    Ref buf = attr(table, name);
    if (!buf) return -1;
    if (PyList_Check(buf.get())) return PyList_SetSlice(buf.get(), len, PY_SSIZE_T_MAX, nullptr);
    Ref start = py::from_size(len);
    Ref slice = start ? Ref::steal(PySlice_New(start.get(), nullptr, nullptr)) : Ref{};
    return slice ? PyObject_DelItem(buf.get(), slice.get()) : -1;
}

/// Puts every touched table back as it was before the call; the error in flight is kept.
void undo_add(PyObject* self, PyObject* cache, std::vector<Snapshot>& snapshots) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    const auto& n = G.names;
    for (auto& s : snapshots) {
        if ((s.was_unwritten ? PySet_Add(unwritten_of(self), s.key.get()) : PySet_Discard(unwritten_of(self), s.key.get())) < 0)
            PyErr_Clear();
        if (!s.was_dirty) {
            // Not cached before, or cached clean: the file holds its state.
            if (PyObject_DelItem(cache, s.key.get()) < 0) PyErr_Clear();
            continue;
        }
        if (PyObject_SetItem(cache, s.key.get(), s.table.get()) < 0 ||
            PyObject_SetAttr(s.table.get(), n.idxs, s.idxs.get()) < 0 ||
            PyObject_SetAttr(s.table.get(), n.vals, s.vals.get()) < 0 ||
            PyObject_SetAttr(s.table.get(), n._search_fn, s.search_fn.get()) < 0 ||
            truncate_buffer(s.table.get(), n._idxs_buffer, s.n_idx) < 0 ||
            truncate_buffer(s.table.get(), n._vals_buffer, s.n_val) < 0 ||
            PyObject_SetAttr(s.table.get(), n._flushed, s.flushed.get()) < 0)
            PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
}

/// The indices of a batch as a list: consecutive from an int, else the given indices taken once.
/// (An index of another integer type has become its int before.)
Ref batch_indices(PyObject* idx, Py_ssize_t bsize) {
    if (PyLong_Check(idx)) {
        Ref list = Ref::steal(PyList_New(bsize));
        if (!list) return {};
        for (Py_ssize_t j = 0; j < bsize; ++j) {
            Ref offset = py::from_size(j);
            PyObject* v = offset ? PyNumber_Add(idx, offset.get()) : nullptr;
            if (!v) return {};
            PyList_SET_ITEM(list.get(), j, v);
        }
        return list;
    }
    Ref list = Ref::steal(PySequence_List(idx));
    if (!list) {
        note_index_kind(idx, "DB.add");
        return {};
    }
    Py_ssize_t nidx = PyList_GET_SIZE(list.get());
    if (nidx != bsize) {
        PyErr_Format(PyExc_ValueError, "Batch size of activations (%zd) != length of indices (%zd).", bsize, nidx);
        return {};
    }
    return list;
}

/// Checks a sized `idx` against the batch size before its items are read (so a wrong length is
/// reported as such, without consuming anything).
int check_index_length(PyObject* idx, Py_ssize_t bsize) {
    if (PyLong_Check(idx)) return 0;
    Py_ssize_t nidx = PyObject_Length(idx);
    if (nidx < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();  // no length (a generator): the list taken from it is checked instead
        return 0;
    }
    if (nidx != bsize) {
        PyErr_Format(PyExc_ValueError, "Batch size of activations (%zd) != length of indices (%zd).", bsize, nidx);
        return -1;
    }
    return 0;
}

/// Records a layer skipped for its length in the dict `skipped`, made when first needed.
int note_skipped(Ref& skipped, PyObject* layer_key, Py_ssize_t len) {
    if (!skipped && !(skipped = Ref::steal(PyDict_New()))) return -1;
    Ref length = py::from_size(len);
    return length ? PyDict_SetItem(skipped.get(), layer_key, length.get()) : -1;
}

constexpr char db_add_name[] = "cquorlin.DB.add";
QUORLIN_SIGNATURE(db_add_sig, "add", 2, true, true, "acts", "idx");

Ref db_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (py::parse(db_add_sig, args, nargs, kwnames, a) < 0 || check_open(self) < 0) return {};
    CollectorPause pause;
    const auto& n = G.names;
    Ref p = store_preprocessor(self);
    Py_ssize_t bsize;
    Ref items = p ? batch_items(a[0], bsize) : Ref{};
    Ref first;  // idx as an int, when it is one index (of any integer type)
    int single = items ? single_index(a[1], first) : -1;
    PyObject* idx = single > 0 ? first.get() : a[1];
    if (single < 0 || check_index_length(idx, bsize) < 0) return {};
    Ref indices = batch_indices(idx, bsize);
    if (!indices) return {};

    // Everything is reduced and checked before the first entry is appended: an add records its
    // whole batch or nothing.
    // With a store of m neurons, each row gives m entries, its strongest neuron's first.
    std::size_t m = store_of(self).neurons;
    std::vector<Entry> entries;
    Ref skipped;                           // layer -> length of each layer skipped for its length
    std::vector<std::uint64_t> stored_at;  // the indices some layer stores, as checked
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(items.get()); ++j) {
        PyObject* item = PyList_GET_ITEM(items.get(), j);
        PyObject* array = PyTuple_GET_ITEM(item, 1);
        Py_ssize_t len = PyObject_Length(array);
        if (len < 0) return {};
        if (len != bsize) {
            if (note_skipped(skipped, PyTuple_GET_ITEM(item, 0), len) < 0) return {};
            continue;
        }
        RowNeurons layer;
        Ref text = Ref::steal(PyObject_Str(PyTuple_GET_ITEM(item, 0)));
        if (!text || reduce_layer(PyTuple_GET_ITEM(item, 0), array, p.get(), m, layer) < 0) return {};
        Py_ssize_t rows = std::min(layer.rows, PyList_GET_SIZE(indices.get()));
        for (Py_ssize_t r = 0; r < rows; ++r) {
            PyObject* index = PyList_GET_ITEM(indices.get(), r);
            for (Py_ssize_t c = 0; c < layer.per_row; ++c) {
                std::size_t at = static_cast<std::size_t>(r * layer.per_row + c);
                Entry& e = entries.emplace_back();
                e.key = table_key(text.get(), layer.neurons[at]);
                e.value = Ref::steal(PyFloat_FromDouble(layer.values[at]));
                e.index = Ref::borrow(index);
                if (!e.key || !e.value) return {};
            }
            unsigned long long checked;
            if (index_value(index, &checked) < 0) return {};
            if (static_cast<std::size_t>(r) == stored_at.size()) stored_at.push_back(checked);
        }
    }
    // Warnings go before the batch is applied: one turned into an error leaves the store as it was.
    if (skipped && PyErr_WarnFormat(G.warning, 1,
                                    "DB.add skipped the layers whose first axis is not the batch size %zd (the longest "
                                    "first axis), by name and length: %R. Only outputs with one row per input are "
                                    "recorded; cquorlin.to_numpy(outputs, batch_size) keeps just those.",
                                    bsize, skipped.get()) < 0)
        return {};
    if (warn_repeated("DB.add", std::move(stored_at)) < 0) return {};
    Ref cache = cache_of(self);
    Ref touched = cache ? Ref::steal(PySet_New(nullptr)) : Ref{};
    if (!touched) return {};
    std::vector<Snapshot> snapshots;
    for (auto& e : entries) {
        int seen = PySet_Contains(touched.get(), e.key.get());
        if (seen < 0) return {};
        if (seen) continue;
        if (PySet_Add(touched.get(), e.key.get()) < 0 ||
            take_snapshot(self, cache.get(), e.key.get(), snapshots.emplace_back()) < 0)
            return {};
    }
    auto apply = [&]() -> int {
        for (auto& e : entries) {
            Ref table = py::call_method(self, n._get_table, e.key.get());
            if (!table || !py::call_method(table.get(), n.add, e.index.get(), e.value.get())) return -1;
        }
        return py::call_method(self, n._clear_cache) ? 0 : -1;
    };
    if (apply() < 0) {
        undo_add(self, cache.get(), snapshots);
        return {};
    }
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------------------------
// DB.search and the merge of the per-layer answers

/// Combined scores of one query input, in the order the stored indices were first met. Indices
/// come as Python objects (`keys`, found through `positions`) or, when every answer of the input
/// is plain, as numbers (`numbers`, found through `numbered`).
struct Merged {
    Ref positions;  // stored index -> position in keys/scores
    kern::PositionTable numbered;
    std::vector<Ref> keys;
    std::vector<std::uint64_t> numbers;
    std::vector<double> scores;
};

/// An answer as Table.search gives it: a tuple of two one-dimensional arrays of equal length,
/// unsigned indices of 2, 4 or 8 bytes and float32 scores, both in native byte order. Its indices
/// equal, as dict keys, the ints their `tolist` gives, so it merges without an object per candidate.
bool plain_answer(PyObject* answer) {
    if (!PyTuple_CheckExact(answer) || PyTuple_GET_SIZE(answer) != 2) return false;
    PyObject* idxs = PyTuple_GET_ITEM(answer, 0);
    PyObject* scores = PyTuple_GET_ITEM(answer, 1);
    if (!PyArray_CheckExact(idxs) || !PyArray_CheckExact(scores)) return false;
    auto* i = reinterpret_cast<PyArrayObject*>(idxs);
    auto* s = reinterpret_cast<PyArrayObject*>(scores);
    PyArray_Descr* di = PyArray_DESCR(i);
    PyArray_Descr* ds = PyArray_DESCR(s);
    npy_intp isize = PyDataType_ELSIZE(di);
    return PyArray_NDIM(i) == 1 && PyArray_NDIM(s) == 1 && PyArray_DIM(i, 0) == PyArray_DIM(s, 0) &&
           di->kind == 'u' && (isize == 2 || isize == 4 || isize == 8) && PyArray_ISNOTSWAPPED(i) &&
           ds->type_num == NPY_FLOAT32 && PyArray_ISNOTSWAPPED(s);
}

template <class I>
void merge_plain_as(PyArrayObject* idxs, PyArrayObject* scores, long weight, Merged& merged) {
    npy_intp n = PyArray_DIM(idxs, 0);
    const char* i = PyArray_BYTES(idxs);
    const char* s = PyArray_BYTES(scores);
    for (npy_intp j = 0; j < n; ++j, i += PyArray_STRIDE(idxs, 0), s += PyArray_STRIDE(scores, 0)) {
        I index;
        float score;
        std::memcpy(&index, i, sizeof index);
        std::memcpy(&score, s, sizeof score);
        double add = static_cast<double>(weight) * static_cast<double>(score);
        auto [at, fresh] = merged.numbered.find_or_add(index, merged.numbers.size());
        if (!fresh) {
            merged.scores[at] += add;
            continue;
        }
        merged.numbers.push_back(index);
        merged.scores.push_back(add);
    }
}

void merge_plain(PyObject* answer, long weight, Merged& merged) {
    auto* idxs = reinterpret_cast<PyArrayObject*>(PyTuple_GET_ITEM(answer, 0));
    auto* scores = reinterpret_cast<PyArrayObject*>(PyTuple_GET_ITEM(answer, 1));
    switch (PyDataType_ELSIZE(PyArray_DESCR(idxs))) {
        case 2: return merge_plain_as<std::uint16_t>(idxs, scores, weight, merged);
        case 4: return merge_plain_as<std::uint32_t>(idxs, scores, weight, merged);
        default: return merge_plain_as<std::uint64_t>(idxs, scores, weight, merged);
    }
}

int merge_answer(PyObject* answer, long weight, Merged& merged) {
    if (!merged.positions && !(merged.positions = Ref::steal(PyDict_New()))) return -1;
    Ref idxs = Ref::steal(PySequence_GetItem(answer, 0));
    Ref scores_obj = idxs ? Ref::steal(PySequence_GetItem(answer, 1)) : Ref{};
    Ref index_list = scores_obj ? py::call_method(idxs.get(), G.names.tolist) : Ref{};
    if (!index_list) return -1;
    Ref scores = Ref::steal(PyArray_FROMANY(scores_obj.get(), NPY_FLOAT64, 0, 1, NPY_ARRAY_CARRAY | NPY_ARRAY_FORCECAST));
    if (!scores || !PyList_Check(index_list.get())) {
        if (scores) PyErr_SetString(PyExc_TypeError, "the indices of a neuron answer must convert to a list");
        return -1;
    }
    Py_ssize_t n = PyList_GET_SIZE(index_list.get());
    Py_ssize_t n_scores = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(scores.get()));
    if (n != n_scores) {
        if (!Py_OptimizeFlag) {
            // The pair is the exception's one argument, as `assert cond, pair` gives it.
            Ref pair = Ref::steal(PyTuple_Pack(2, index_list.get(), scores_obj.get()));
            Ref error = pair ? py::call(PyExc_AssertionError, pair.get()) : Ref{};
            if (error) PyErr_SetObject(PyExc_AssertionError, error.get());
            return -1;
        }
        n = std::min(n, n_scores);  // as the interpreter would: read only what both have
    }
    const double* s = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(scores.get())));
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* key = PyList_GET_ITEM(index_list.get(), j);
        PyObject* pos = PyDict_GetItemWithError(merged.positions.get(), key);
        if (pos) {
            merged.scores[PyLong_AsSsize_t(pos)] += static_cast<double>(weight) * s[j];
            continue;
        }
        if (PyErr_Occurred()) return -1;
        Ref at = py::from_size(static_cast<Py_ssize_t>(merged.keys.size()));
        if (!at || PyDict_SetItem(merged.positions.get(), key, at.get()) < 0) return -1;
        merged.keys.push_back(Ref::borrow(key));
        merged.scores.push_back(static_cast<double>(weight) * s[j]);
    }
    return 0;
}

/// The result dict of one query input: the k best combined scores (all when k <= 0), in first-met order.
Ref trimmed(Merged& merged, int k) {
    std::size_t m = merged.scores.size();
    std::vector<bool> keep = kern::keep_best(merged.scores, k);
    Ref result = Ref::steal(PyDict_New());
    if (!result) return {};
    Ref f8 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT64)));
    for (std::size_t j = 0; j < m; ++j) {
        if (!keep[j]) continue;
        Ref score = Ref::steal(PyArray_Scalar(&merged.scores[j], reinterpret_cast<PyArray_Descr*>(f8.get()), nullptr));
        Ref key = merged.keys.empty() ? Ref::steal(PyLong_FromUnsignedLongLong(merged.numbers[j])) : Ref::borrow(merged.keys[j].get());
        if (!score || !key || PyDict_SetItem(result.get(), key.get(), score.get()) < 0) return {};
    }
    return result;
}

/// Merges the raw per-layer answers into one dict per query input; layer l weighs l*l.
Ref postprocess(PyObject* ret, int k) {
    Ref lists = Ref::steal(PyDict_Values(ret));
    if (!lists) return {};
    Py_ssize_t n_layers = PyList_GET_SIZE(lists.get());
    Py_ssize_t n = n_layers ? PyObject_Length(PyList_GET_ITEM(lists.get(), 0)) : 0;
    Ref result = Ref::steal(PyList_New(0));
    if (n < 0 || !result) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        Merged merged;
        std::vector<Ref> answers;
        bool plain = true;
        for (Py_ssize_t l = 0; l < n_layers; ++l) {
            Ref answer = Ref::steal(PySequence_GetItem(PyList_GET_ITEM(lists.get(), l), i));
            if (!answer) return {};
            plain = plain && plain_answer(answer.get());
            answers.push_back(std::move(answer));
        }
        if (plain) {
            std::size_t candidates = 0;
            for (const auto& answer : answers)
                candidates += static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(PyTuple_GET_ITEM(answer.get(), 0)), 0));
            merged.numbered.reserve(candidates);
            merged.numbers.reserve(candidates);
            merged.scores.reserve(candidates);
        }
        for (std::size_t l = 0; l < answers.size(); ++l) {
            long weight = static_cast<long>((l + 1) * (l + 1));
            if (plain)
                merge_plain(answers[l].get(), weight, merged);
            else if (merge_answer(answers[l].get(), weight, merged) < 0)
                return {};
        }
        Ref scores = trimmed(merged, k);
        if (!scores || PyList_Append(result.get(), scores.get()) < 0) return {};
    }
    return result;
}

/// Notes on the error of a failed conversion of `k` that `k` is what failed.
void note_k(PyObject* k) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError) && PyLong_Check(k)) {
        py::add_note_format("k of DB.search must lie between -2**31 and 2**31 - 1, not %R", k);
        return;
    }
    PyNumberMethods* nb = Py_TYPE(k)->tp_as_number;
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyLong_Check(k) && !(nb && nb->nb_int))
        py::add_note_format("k of DB.search must be an integer, not %.200s", Py_TYPE(k)->tp_name);
}

}  // namespace

int warn_unknown_layers(const std::vector<PyObject*>& stores, PyObject* layers, const char* method, const char* verb) {
    std::vector<Ref> files;
    for (PyObject* store : stores) {
        int direct = fetches_as_db(store);
        if (direct <= 0) return direct;
        if (files.push_back(attr(store, G.names.file)); !files.back()) return -1;
    }
    Ref unknown = Ref::steal(PyList_New(0));
    if (!unknown) return -1;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(layers); ++j) {
        PyObject* layer = PyList_GET_ITEM(layers, j);
        Ref prefix = Ref::steal(PyUnicode_FromFormat("table_%S_", layer));
        if (!prefix) return -1;
        int held = 0;
        for (std::size_t s = 0; s < files.size() && !held; ++s)
            if ((held = holds_prefix(files[s].get(), prefix.get())) < 0) return -1;
        if (!held && PyList_Append(unknown.get(), layer) < 0) return -1;
    }
    if (PyList_GET_SIZE(unknown.get()) == 0) return 0;
    return PyErr_WarnFormat(G.warning, 1,
                            "%s found nothing for the layers %R: the store holds no table of them. %s with the layer "
                            "names, in the same order, that were recorded.",
                            method, unknown.get(), verb);
}

namespace {

constexpr char db_search_name[] = "cquorlin.DB.search";
QUORLIN_SIGNATURE(db_search_sig, "search", 1, true, true, "acts", "k", "_postprocess");

Ref db_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (py::parse(db_search_sig, args, nargs, kwnames, a) < 0 || check_open(self) < 0) return {};
    CollectorPause pause;
    const auto& n = G.names;
    Ref default_k = Ref::steal(PyLong_FromLong(10));
    PyObject* k = a[1] ? a[1] : default_k.get();
    int merge = a[2] ? PyObject_IsTrue(a[2]) : 1;
    Py_ssize_t bsize;
    Ref items = merge >= 0 && warn_no_candidates("DB.search", k) == 0 ? batch_items(a[0], bsize) : Ref{};
    Ref p = items ? store_preprocessor(self) : Ref{};
    if (!p) return {};
    Py_ssize_t n_layers = PyList_GET_SIZE(items.get());
    Ref layer_count = py::from_size(n_layers);
    Ref per_table_k;  // k times the layers when merging; formed when the first table answers
    Ref ret = layer_count ? Ref::steal(PyDict_New()) : Ref{};
    Ref empty_pair;  // the answer where there is no table; made when first needed
    Ref unfound;     // the layers none of whose rows found a table
    Ref k_kw = Ref::steal(PyTuple_Pack(1, n.k));
    if (!ret || !k_kw) return {};
    for (Py_ssize_t j = 0; j < n_layers; ++j) {
        PyObject* item = PyList_GET_ITEM(items.get(), j);
        PyObject* array = PyTuple_GET_ITEM(item, 1);
        Py_ssize_t len = PyObject_Length(array);
        if (len < 0) return {};
        if (len != bsize) {  // no result, and the cache is left as it is
            if (warn_no_result("DB.search", PyTuple_GET_ITEM(item, 0), len, bsize) < 0) return {};
            return Ref::borrow(Py_None);
        }
        RowNeurons layer;
        Ref text = Ref::steal(PyObject_Str(PyTuple_GET_ITEM(item, 0)));
        Ref res = text ? Ref::steal(PyList_New(0)) : Ref{};
        if (!res || reduce_layer(PyTuple_GET_ITEM(item, 0), array, p.get(), 1, layer) < 0) return {};
        bool found = false;  // a table answered a row of this layer
        for (Py_ssize_t r = 0; r < layer.rows; ++r) {
            Ref key = table_key(text.get(), layer.neurons[r]);
            Ref value = key ? Ref::steal(PyFloat_FromDouble(layer.values[r])) : Ref{};
            Ref table = value ? stored_table(self, key.get()) : Ref{};
            if (!table) return {};
            Ref answer;
            if (table.get() == Py_None) {
                if (!empty_pair) {
                    npy_intp none = 0;
                    Ref idx = Ref::steal(PyArray_SimpleNew(1, &none, NPY_UINT16));
                    Ref score = idx ? Ref::steal(PyArray_SimpleNew(1, &none, NPY_FLOAT32)) : Ref{};
                    empty_pair = score ? Ref::steal(PyTuple_Pack(2, idx.get(), score.get())) : Ref{};
                    if (!empty_pair) return {};
                }
                answer = Ref::borrow(empty_pair.get());
            } else {
                if (!per_table_k)
                    per_table_k = merge ? Ref::steal(PyNumber_Multiply(k, layer_count.get())) : Ref::borrow(k);
                if (!per_table_k) {
                    note_k(k);
                    return {};
                }
                PyObject* argv[] = {table.get(), value.get(), per_table_k.get()};
                answer = Ref::steal(PyObject_VectorcallMethod(n.search, argv, 2, k_kw.get()));
                if (!answer) note_k(k);
                found = true;
            }
            if (!answer || PyList_Append(res.get(), answer.get()) < 0) return {};
        }
        if (!found && layer.rows > 0 && (!unfound && !(unfound = Ref::steal(PyList_New(0))))) return {};
        if (!found && layer.rows > 0 && PyList_Append(unfound.get(), PyTuple_GET_ITEM(item, 0)) < 0) return {};
        if (PyDict_SetItem(ret.get(), PyTuple_GET_ITEM(item, 0), res.get()) < 0) return {};
    }
    if (!call_cache_method(self, n._clear_cache) || (unfound && warn_unknown_layers({self}, unfound.get(), "DB.search", "Search") < 0)) return {};
    if (!merge) return ret;
    int kk;
    if (py::as_int(k, &kk) < 0) {
        note_k(k);
        return {};
    }
    return postprocess(ret.get(), kk);
}

// ---------------------------------------------------------------------------------------------
// The type

int store_traverse(PyObject* self, visitproc visit, void* arg) {
    int status = file_state_traverse(self, visit, arg);
    return status ? status : py::instance_traverse(self, visit, arg);
}

int store_clear(PyObject* self) {
    file_state_clear(self);
    return py::instance_clear(self);
}

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref self = Ref::steal(PyType_GenericNew(type, args, kwargs));
    return self && file_state_init(self.get()) == 0 ? self.release() : nullptr;
}

PyMethodDef db_methods[] = {
    py::method_def<db_create_table, db_create_table_name>("_create_table"),
    py::method_def<db_tomemory, db_tomemory_name>("_tomemory"),
    py::method_def<db_get_table, db_get_table_name>("_get_table"),
    py::method_def<db_todisk, db_todisk_name>("_todisk"),
    py::method_def<db_flush_cache, db_flush_cache_name>("_flush_cache"),
    py::method_def<db_clear_cache, db_clear_cache_name>("_clear_cache"),
    py::method_def<db_add, db_add_name>("add"),
    py::method_def<db_search, db_search_name>("search"),
    py::method_def<db_query, db_query_name>("query"),
    py::method_def<db_recorder, db_recorder_name>("recorder"),
    py::method_def<db_enter, db_enter_name>("__enter__"),
    py::method_def<db_exit, db_exit_name>("__exit__"),
    py::method_def<db_close, db_close_name>("close"),
    py::method_def<db_compact, db_compact_name>("compact"),
    py::method_def<db_layers, db_layers_name>("layers"),
    py::method_def<db_entries, db_entries_name>("entries"),
    py::method_def<db_neuron, db_neuron_name>("neuron"),
    py::method_def<db_plot_layers, db_plot_layers_name>("plot_layers"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef db_getset[] = {
    {"preprocessor", db_preprocessor_get, db_preprocessor_set,
     "how outputs of rank 3 and up become one row per input, kept in the file: \"image\" or \"text\" (None until set)",
     nullptr},
    {"neurons", db_neurons_get, db_neurons_set,
     "how many of each input's strongest neurons per layer the store records (1 by default)", nullptr},
    {"path", db_path, nullptr, "the store's file name, as h5py reports it", nullptr},
    {"read_cache_bytes", db_read_cache_bytes_get, db_read_cache_bytes_set,
     "how many bytes of decoded tables the store keeps between calls (256 MiB by default; 0 turns it off)", nullptr},
    py::dict_getset,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot db_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(&db_init)},
    {Py_tp_new, reinterpret_cast<void*>(&store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&py::instance_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&store_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&store_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(&db_repr)},
    {Py_tp_methods, db_methods},
    {Py_tp_getset, db_getset},
    {Py_tp_members, py::instance_members},
    {0, nullptr},
};

PyType_Spec db_spec = {"cquorlin.DB", sizeof(Store), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                       db_slots};


}  // namespace

int single_index(PyObject* idx, Ref& out) {
    if (PyLong_Check(idx)) {
        out = Ref::borrow(idx);
        return 1;
    }
    if (!PyIndex_Check(idx)) return 0;
    if (PyObject_Length(idx) >= 0) return 0;  // an array or tensor of indices
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();
    out = Ref::steal(PyNumber_Index(idx));
    if (out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();  // not an integer (a 0-d float array): refused as indices are
    return 0;
}

void note_index_kind(PyObject* idx, const char* where) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) || PyIter_Check(idx)) return;  // an iterator's own error
    py::add_note_format("%s takes as idx the first input index (an integer) or one index per input, not %.200s",
                        where, Py_TYPE(idx)->tp_name);
}

int check_open(PyObject* db) {
    const Store& s = store_of(db);
    if (!s.closed) return 0;
    if (s.path)
        PyErr_Format(PyExc_ValueError, "the store %R is closed", s.path);
    else
        PyErr_SetString(PyExc_ValueError, "the store is closed");
    return -1;
}

Ref stored_table(PyObject* self, PyObject* key) {
    // DB._get_table itself calls the loader and the creator as the instance finds them.
    int direct = uses_db_methods(self, {G.names._get_table});
    if (direct < 0) return {};
    if (direct) return get_table(self, key, Py_False);
    PyObject* argv[] = {self, key, Py_False};
    Ref create_kw = Ref::steal(PyTuple_Pack(1, G.names.create));
    return create_kw ? Ref::steal(PyObject_VectorcallMethod(G.names._get_table, argv, 2, create_kw.get())) : Ref{};
}

Ref clear_cache(PyObject* self) { return call_cache_method(self, G.names._clear_cache); }

Ref merge_answers(PyObject* ret, int k) { return postprocess(ret, k); }

int store_exec(PyObject* module) {
    if (file_exec() < 0 || report_exec(module) < 0) return -1;
    G.db_type = PyType_FromModuleAndSpec(module, &db_spec, nullptr);
    return G.db_type ? PyObject_SetAttrString(module, "DB", G.db_type) : -1;
}

int db_exec(PyObject* module) {
    Ref np = Ref::steal(import_as(module, "numpy", "np"));
    if (!np || import_from(module, "typing", {"Dict", "Optional", "Union", "List"}) < 0) return -1;
    Ref h5py = Ref::steal(import_as(module, "h5py", "h5py"));
    if (!h5py) return -1;
    Ref warnings = Ref::steal(import_as(module, "warnings", "warnings"));
    Ref threading = warnings ? Ref::steal(import_as(module, "threading", "threading")) : Ref{};
    if (!threading || table_exec(module) < 0) return -1;
    return store_exec(module);
}

int warn_no_candidates(const char* method, PyObject* k) {
    int kk;
    if (!PyLong_Check(k) || py::as_int(k, &kk) < 0) {
        PyErr_Clear();
        return 0;
    }
    if (kk > 0) return 0;
    return PyErr_WarnFormat(G.warning, 1,
                            "%s with k=%d finds no stored input: every table is asked for at most k (times "
                            "the layers) candidates. Pass k of 1 or more.",
                            method, kk);
}

int warn_no_result(const char* method, PyObject* layer, Py_ssize_t len, Py_ssize_t bsize) {
    return PyErr_WarnFormat(G.warning, 1,
                            "%s returned None: the first axis of layer %R has length %zd, not the batch "
                            "size %zd (the longest first axis). Only outputs with one row per input are "
                            "searched; cquorlin.to_numpy(outputs, batch_size) keeps just those.",
                            method, layer, len, bsize);
}

int warn_repeated(const char* method, std::vector<std::uint64_t> indices) {
    std::sort(indices.begin(), indices.end());
    auto repeated = std::adjacent_find(indices.begin(), indices.end());
    if (repeated == indices.end()) return 0;
    unsigned long long example = *repeated;
    std::size_t copies = indices.size() - static_cast<std::size_t>(std::unique(indices.begin(), indices.end()) - indices.begin());
    return PyErr_WarnFormat(G.warning, 1,
                            "%s got %zu repeated indices in one batch (such as %llu): every copy is stored as an "
                            "entry, and a search adds up the scores of the copies. Give each input its own index.",
                            method, copies, example);
}

}  // namespace quorlin
