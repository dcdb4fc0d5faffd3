// The merge of stores recorded apart (one per process) into one: every table of the sources is
// merged into the target's table of the same name, written in journaled changes of bounded size.
// Every source is checked before the target is opened (or made).
#include "merge.hpp"

#include "py/numpy.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <vector>

#include "columns.hpp"
#include "db.hpp"
#include "db_file.hpp"
#include "kernels/index_type.hpp"
#include "kernels/merge.hpp"
#include "kernels/sort.hpp"
#include "py/args.hpp"
#include "py/func.hpp"
#include "state.hpp"

namespace quorlin {

using py::Ref;

namespace {

/// Objects of this unit; made once in the execute step, never released.
struct MergeState {
    PyObject* visititems;
    PyObject* dataset;  // h5py.Dataset
};
MergeState M{};

using kern::with_index_type;

/// `visititems` callback: appends the name of every dataset to the list `self`.
PyObject* collect_dataset(PyObject* list, PyObject* args) {
    PyObject *name, *obj;
    if (!PyArg_UnpackTuple(args, "collect", 2, 2, &name, &obj)) return nullptr;
    int is_dataset = PyObject_IsInstance(obj, M.dataset);
    if (is_dataset < 0 || (is_dataset && PyList_Append(list, name) < 0)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef collect_def = {"collect", collect_dataset, METH_VARARGS, nullptr};

/// The names of every dataset in the store `db`.
Ref dataset_names(PyObject* db) {
    Ref names = Ref::steal(PyList_New(0));
    Ref collect = names ? Ref::steal(PyCFunction_New(&collect_def, names.get())) : Ref{};
    Ref file = collect ? py::getattr(db, G.names.file) : Ref{};
    if (!file || !py::call_method(file.get(), M.visititems, collect.get())) return {};
    return names;
}

/// Names the store at `path`, and the dataset `key` of it, in the error in flight: a ValueError
/// becomes "cannot merge <path>: ..." with the error as its cause; any other error gets a note.
void name_the_store(PyObject* path, PyObject* key) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Ref error_type = Ref::steal(type), error = Ref::steal(value), trace = Ref::steal(tb);
    bool invalid = PyErr_GivenExceptionMatches(error_type.get(), PyExc_ValueError);
    Ref message = invalid ? Ref::steal(PyUnicode_FromFormat("cannot merge %R: %S", path, error.get()))
                          : Ref::steal(PyUnicode_FromFormat("while merging the dataset %R of %R", key, path));
    if (!message) return;
    if (!invalid) {
        if (Ref::steal(PyObject_CallMethod(error.get(), "add_note", "O", message.get())))
            PyErr_Restore(error_type.release(), error.release(), trace.release());
        return;
    }
    Ref named = py::call(PyExc_ValueError, message.get());
    if (!named) return;
    PyException_SetCause(named.get(), error.release());
    PyErr_SetObject(PyExc_ValueError, named.get());
}

/// The table `key` of the store `db` as a merge run, or None where the store lacks it: the store
/// must hold a table there, in value order.
Ref table_run(PyObject* db, PyObject* key, Ref& idxs, Ref& vals, Columns& c) {
    PyObject* argv[] = {db, key, Py_False};
    Ref kw = Ref::steal(PyTuple_Pack(1, G.names.create));
    Ref table = kw ? Ref::steal(PyObject_VectorcallMethod(G.names._get_table, argv, 2, kw.get())) : Ref{};
    if (!table || table.get() == Py_None) return table;
    if (read_columns(table.get(), idxs, vals, c) < 0) return {};
    if (!kern::is_sorted(c.run.vals)) {
        PyErr_Format(PyExc_ValueError, "the table %R is not in value order", key);
        return {};
    }
    return table;
}

/// Checks, before the target is touched, that every dataset of the source `db` at `path` is a
/// table in value order; the names go to `keys` once each (in `seen`). Each table is dropped from
/// the source's cache once checked: the read cache keeps what its budget allows for the merge.
int check_source(PyObject* db, PyObject* path, PyObject* keys, PyObject* seen) {
    Ref names = dataset_names(db);
    Ref cache = names ? py::getattr(db, G.names.cache) : Ref{};
    if (!cache) {
        name_the_store(path, Py_None);
        return -1;
    }
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(names.get()); ++j) {
        PyObject* name = PyList_GET_ITEM(names.get(), j);
        Ref idxs, vals;
        Columns c;
        Ref table = table_run(db, name, idxs, vals, c);
        if (!table || PyObject_DelItem(cache.get(), name) < 0) {
            name_the_store(path, name);
            return -1;
        }
        idxs = Ref{};
        vals = Ref{};
        release_table(table.get(), 1);
        int known = PySet_Contains(seen, name);
        if (known < 0) return -1;
        if (!known && (PySet_Add(seen, name) < 0 || PyList_Append(keys, name) < 0)) return -1;
    }
    return 0;
}

/// Opens the store at `path` through DB.
Ref open_store(PyObject* path, const char* mode) {
    Ref m = Ref::steal(PyUnicode_FromString(mode));
    return m ? py::call(G.db_type, path, m.get()) : Ref{};
}

/// The table `key` of every store that has it, merged into the target's cache as changed. The
/// stores are the target and the sources, named by `paths` in the same order.
int merge_table(PyObject* target, PyObject* cache, const std::vector<Ref>& stores, PyObject* paths, PyObject* key,
                std::size_t& entries) {
    std::vector<Ref> tables, columns;
    std::vector<kern::Run> runs;
    int code = 0;
    std::size_t total = 0;
    bool target_had_it = false;
    for (std::size_t s = 0; s <= stores.size(); ++s) {
        Ref idxs, vals;
        Columns c;
        Ref table = table_run(s == 0 ? target : stores[s - 1].get(), key, idxs, vals, c);
        if (!table) {
            name_the_store(PyList_GET_ITEM(paths, static_cast<Py_ssize_t>(s)), key);
            return -1;
        }
        if (table.get() == Py_None) continue;
        target_had_it = target_had_it || s == 0;
        code = std::max(code, c.code);
        total += c.run.vals.size;
        runs.push_back(c.run);
        tables.push_back(std::move(table));
        columns.push_back(std::move(idxs));
        columns.push_back(std::move(vals));
    }
    Ref idxs, vals;
    if (new_columns(static_cast<npy_intp>(total), code, idxs, vals) < 0) return -1;
    with_index_type(code, [&](auto type) { kern::merge_runs(runs, data_of<decltype(type)>(idxs), data_of<float>(vals)); });
    entries += total;
    if (cache_table(cache, key, std::move(idxs), std::move(vals)) < 0) return -1;
    if (target_had_it) release_table(tables.front().get(), 1);  // replaced in the cache
    return 0;
}

/// Checks that the stores' preprocessors agree; `chosen` is the one they share (None: none has one).
int agree_on_preprocessor(const std::vector<Ref>& stores, PyObject* paths, Ref& chosen, Py_ssize_t& chosen_at) {
    chosen = Ref::borrow(Py_None);
    chosen_at = -1;
    for (std::size_t s = 0; s < stores.size(); ++s) {
        Ref p = py::getattr(stores[s].get(), G.names.preprocessor);
        int has = p ? PyObject_IsTrue(p.get()) : -1;
        if (has < 0) return -1;
        if (!has) continue;
        if (chosen_at < 0) {
            chosen = std::move(p);
            chosen_at = static_cast<Py_ssize_t>(s);
            continue;
        }
        int same = PyObject_RichCompareBool(chosen.get(), p.get(), Py_EQ);
        if (same < 0) return -1;
        if (!same) {
            PyErr_Format(PyExc_ValueError, "the stores' preprocessors differ: %R has %R, %R has %R",
                         PyList_GET_ITEM(paths, chosen_at), chosen.get(), PyList_GET_ITEM(paths, s), p.get());
            return -1;
        }
    }
    return 0;
}

/// Tells `progress` that `done` of `total` tables are merged.
Ref report_progress(PyObject* progress, Py_ssize_t done, Py_ssize_t total) {
    Ref d = py::from_size(done), t = d ? py::from_size(total) : Ref{};
    return t ? py::call(progress, d.get(), t.get()) : Ref{};
}

/// The error for stores of different neuron counts: `a` records `m` neurons per input and layer, `b` `n`.
int neurons_differ(PyObject* a, std::size_t m, PyObject* b, std::size_t n) {
    PyErr_Format(PyExc_ValueError, "the stores' neuron counts differ: %R records %zu neurons per input and layer, %R %zu",
                 a, m, b, n);
    return -1;
}

/// Checks that the sources record the same number of neurons per input and layer.
int agree_on_neurons(const std::vector<Ref>& stores, PyObject* paths) {
    for (std::size_t s = 1; s < stores.size(); ++s) {
        std::size_t first = store_of(stores[0].get()).neurons, own = store_of(stores[s].get()).neurons;
        if (own != first) return neurons_differ(PyList_GET_ITEM(paths, 0), first, PyList_GET_ITEM(paths, s), own);
    }
    return 0;
}

/// Checks that the target can take the sources' neuron count: it has it, or holds no tables yet
/// (then `adopt` is set).
int check_target_neurons(PyObject* target, PyObject* target_path, const std::vector<Ref>& sources,
                         PyObject* source_paths, bool& adopt) {
    adopt = false;
    if (sources.empty()) return 0;
    std::size_t own = store_of(target).neurons, wanted = store_of(sources.front().get()).neurons;
    if (own == wanted) return 0;
    Ref file = py::getattr(target, G.names.file);
    Py_ssize_t tables = file ? PyObject_Length(file.get()) : -1;
    if (tables < 0) return -1;
    if (tables > 0) return neurons_differ(target_path, own, PyList_GET_ITEM(source_paths, 0), wanted);
    adopt = true;
    return 0;
}

/// Entries merged into the target's cache before they are written as one change.
constexpr std::size_t merge_chunk = std::size_t{1} << 22;

constexpr char merge_name[] = "cquorlin.merge";
QUORLIN_SIGNATURE(merge_sig, "merge", 2, false, true, "target", "sources", "progress");

Ref merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (py::parse(merge_sig, args, nargs, kwnames, a) < 0) return {};
    Ref fspath = Ref::steal(PyImport_ImportModule("os"));
    Ref fsfn = fspath ? Ref::steal(PyObject_GetAttrString(fspath.get(), "fspath")) : Ref{};
    if (PyUnicode_Check(a[1]) || PyBytes_Check(a[1])) {
        PyErr_SetString(PyExc_TypeError, "sources must be an iterable of paths, not one path");
        return {};
    }
    Ref target_path = fsfn ? py::call(fsfn.get(), a[0]) : Ref{};
    Ref source_list = target_path ? Ref::steal(PySequence_List(a[1])) : Ref{};
    Ref os_path = source_list ? Ref::steal(PyObject_GetAttrString(fspath.get(), "path")) : Ref{};
    Ref realpath = os_path ? Ref::steal(PyObject_GetAttrString(os_path.get(), "realpath")) : Ref{};
    if (!realpath) return {};
    // Files are told apart by where their names lead, so that one file under two names is refused.
    Ref paths = Ref::steal(PyList_New(0));
    Ref real_paths = Ref::steal(PyList_New(0));
    Ref real_target = real_paths ? py::call(realpath.get(), target_path.get()) : Ref{};
    if (!paths || !real_target || PyList_Append(paths.get(), target_path.get()) < 0 ||
        PyList_Append(real_paths.get(), real_target.get()) < 0)
        return {};
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(source_list.get()); ++j) {
        Ref path = py::call(fsfn.get(), PyList_GET_ITEM(source_list.get(), j));
        Ref real = path ? py::call(realpath.get(), path.get()) : Ref{};
        int again = real ? PySequence_Contains(real_paths.get(), real.get()) : -1;
        if (again < 0) return {};
        if (again) {
            PyErr_Format(PyExc_ValueError, "%R is named twice among the target and the sources", path.get());
            return {};
        }
        if (PyList_Append(paths.get(), path.get()) < 0 || PyList_Append(real_paths.get(), real.get()) < 0) return {};
    }
    std::vector<Ref> sources;
    auto close_all = [&](PyObject* target) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        for (auto& db : sources)
            if (!py::call_method(db.get(), G.names.close)) PyErr_Clear();
        if (target && !py::call_method(target, G.names.close)) PyErr_Clear();
        PyErr_Restore(type, value, tb);
    };
    // Sources open read-only; every check runs before the target is opened (or created).
    for (Py_ssize_t j = 1; j < PyList_GET_SIZE(paths.get()); ++j) {
        Ref db = open_store(PyList_GET_ITEM(paths.get(), j), "r");
        if (!db) {
            close_all(nullptr);
            return {};
        }
        sources.push_back(std::move(db));
    }
    Ref chosen;
    Py_ssize_t chosen_at;
    Ref source_paths = Ref::steal(PyList_GetSlice(paths.get(), 1, PY_SSIZE_T_MAX));
    Ref keys = Ref::steal(PyList_New(0));
    Ref seen = Ref::steal(PySet_New(nullptr));
    if (!source_paths || !keys || !seen || agree_on_preprocessor(sources, source_paths.get(), chosen, chosen_at) < 0 ||
        agree_on_neurons(sources, source_paths.get()) < 0) {
        close_all(nullptr);
        return {};
    }
    for (std::size_t s = 0; s < sources.size(); ++s) {
        if (check_source(sources[s].get(), PyList_GET_ITEM(source_paths.get(), static_cast<Py_ssize_t>(s)), keys.get(),
                         seen.get()) < 0) {
            close_all(nullptr);
            return {};
        }
    }
    // A target this merge makes is removed again when the merge fails before its first change.
    Ref target_bytes;
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(target_path.get(), &encoded)) {
        close_all(nullptr);
        return {};
    }
    target_bytes = Ref::steal(encoded);
    struct stat st;
    bool created = lstat(PyBytes_AS_STRING(target_bytes.get()), &st) < 0 && errno == ENOENT;
    bool changed = false;
    Ref target = open_store(target_path.get(), "a");
    if (!target) {
        close_all(nullptr);
        return {};
    }
    auto run = [&]() -> int {
        bool adopt;
        if (check_target_neurons(target.get(), target_path.get(), sources, source_paths.get(), adopt) < 0) return -1;
        Ref own = py::getattr(target.get(), G.names.preprocessor);
        int has = own ? PyObject_IsTrue(own.get()) : -1;
        if (has < 0) return -1;
        if (has && chosen.get() != Py_None) {
            int same = PyObject_RichCompareBool(own.get(), chosen.get(), Py_EQ);
            if (same < 0) return -1;
            if (!same) {
                PyErr_Format(PyExc_ValueError, "the stores' preprocessors differ: %R has %R, %R has %R",
                             target_path.get(), own.get(), PyList_GET_ITEM(paths.get(), chosen_at + 1), chosen.get());
                return -1;
            }
        }
        if (!has && chosen.get() != Py_None && PyObject_SetAttr(target.get(), G.names.preprocessor, chosen.get()) < 0)
            return -1;
        Ref count = adopt ? Ref::steal(PyLong_FromSize_t(store_of(sources.front().get()).neurons)) : Ref{};
        if (adopt && (!count || PyObject_SetAttr(target.get(), G.names.neurons, count.get()) < 0)) return -1;
        Ref cache = py::getattr(target.get(), G.names.cache);
        if (!cache || !py::call_method(target.get(), G.names._clear_cache)) return -1;
        std::size_t entries = 0;
        auto write = [&]() -> int {
            entries = 0;
            for (auto& db : sources)
                if (!py::call_method(db.get(), G.names._clear_cache)) return -1;
            if (!py::call_method(target.get(), G.names._clear_cache)) return -1;
            changed = true;
            return 0;
        };
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(keys.get()); ++j) {
            PyObject* key = PyList_GET_ITEM(keys.get(), j);
            if (merge_table(target.get(), cache.get(), sources, paths.get(), key, entries) < 0) return -1;
            if (entries >= merge_chunk && write() < 0) return -1;
            if (a[2] && a[2] != Py_None && !report_progress(a[2], j + 1, PyList_GET_SIZE(keys.get()))) return -1;
        }
        return write();
    };
    int status = run();
    if (status < 0) {
        // What is not written yet is dropped, so that closing the target does not write it.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Ref cache = py::getattr(target.get(), G.names.cache);
        if (cache && PyDict_Check(cache.get())) PyDict_Clear(cache.get());
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    // A merge that succeeded fails still if its target cannot be closed (the last write is in the close).
    close_all(status < 0 ? target.get() : nullptr);
    if (status == 0 && !py::call_method(target.get(), G.names.close)) return {};
    if (status < 0 && created && !changed) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        unlink(PyBytes_AS_STRING(target_bytes.get()));
        PyErr_Restore(type, value, tb);
    }
    return status < 0 ? Ref{} : Ref::borrow(Py_None);
}

PyMethodDef merge_functions[] = {
    py::method_def<merge, merge_name>("merge"),
    {nullptr, nullptr, 0, nullptr},
};
}  // namespace

int agree_on_stores(const std::vector<Ref>& stores, PyObject* paths, Ref& preprocessor) {
    Py_ssize_t chosen_at;
    if (agree_on_preprocessor(stores, paths, preprocessor, chosen_at) < 0) return -1;
    return agree_on_neurons(stores, paths);
}

int merge_exec(PyObject* module) {
    Ref h5py = Ref::steal(PyImport_ImportModule("h5py"));
    if (!h5py || !(M.dataset = PyObject_GetAttrString(h5py.get(), "Dataset")) ||
        !(M.visititems = PyUnicode_InternFromString("visititems")))
        return -1;
    return PyModule_AddFunctions(module, merge_functions);
}

}  // namespace quorlin
