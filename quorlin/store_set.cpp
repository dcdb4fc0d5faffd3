// Stores searched as one. The shards of a recording (the stores a recorder rolled over to, the
// stores of the ranks of a distributed job) open together, read-only: each table's nearest
// entries are taken over every shard that has the table, and the per-layer answers are merged as
// `DB.search` merges them, so that the answers are those of the store merged from the shards.
// `query` is `DB.query` over the shards, as on the store merged from them.
#include "store_set.hpp"

#include "py/numpy.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "columns.hpp"
#include "db.hpp"
#include "db_file.hpp"
#include "kernels/index_type.hpp"
#include "kernels/rank.hpp"
#include "merge.hpp"
#include "py/args.hpp"
#include "py/func.hpp"
#include "query.hpp"
#include "reduce.hpp"
#include "state.hpp"

namespace quorlin {

using py::Ref;

namespace {

/// Objects of this unit; made once in the execute step, never released.
struct SetState {
    PyObject* type;  // the class StoreSet
    PyObject* fspath;
    PyObject* isdir;
    PyObject* join;
    PyObject* glob;
    PyObject* has_magic;
    PyObject* pattern;  // "*.h5": the stores of a directory
};
SetState S{};

struct StoreSet {
    PyObject_HEAD
    PyObject* stores;        // tuple of DB, opened read-only
    PyObject* paths;         // tuple of their paths
    PyObject* preprocessor;  // the one they share, "" for none
};

StoreSet* as_set(PyObject* self) { return reinterpret_cast<StoreSet*>(self); }

// ---------------------------------------------------------------------------------------------
// Which files

/// The files of a glob pattern, sorted.
Ref globbed(PyObject* pattern) {
    Ref found = py::call(S.glob, pattern);
    Ref list = found ? Ref::steal(PySequence_List(found.get())) : Ref{};
    return list && PyList_Sort(list.get()) == 0 ? std::move(list) : Ref{};
}

/// The paths `spec` names: a directory (its "*.h5" files), a glob pattern, one path, or an
/// iterable of paths.
Ref set_paths(PyObject* spec) {
    bool one = PyUnicode_Check(spec) || PyBytes_Check(spec) || PyObject_HasAttrString(spec, "__fspath__");
    if (!one) {
        Ref given = Ref::steal(PySequence_List(spec));
        if (!given) return {};
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(given.get()); ++j) {
            Ref path = py::call(S.fspath, PyList_GET_ITEM(given.get(), j));
            if (!path || PyList_SetItem(given.get(), j, path.release()) < 0) return {};
        }
        return given;
    }
    Ref path = py::call(S.fspath, spec);
    Ref dir = path ? py::call(S.isdir, path.get()) : Ref{};
    int is_dir = dir ? PyObject_IsTrue(dir.get()) : -1;
    if (is_dir < 0) return {};
    if (is_dir) {
        Ref pattern = PyBytes_Check(path.get()) ? Ref::steal(PyUnicode_EncodeFSDefault(S.pattern)) : Ref::borrow(S.pattern);
        Ref joined = pattern ? py::call(S.join, path.get(), pattern.get()) : Ref{};
        return joined ? globbed(joined.get()) : Ref{};
    }
    Ref magic = py::call(S.has_magic, path.get());
    int is_pattern = magic ? PyObject_IsTrue(magic.get()) : -1;
    if (is_pattern < 0) return {};
    if (is_pattern) return globbed(path.get());
    Ref list = Ref::steal(PyList_New(0));
    return list && PyList_Append(list.get(), path.get()) == 0 ? std::move(list) : Ref{};
}

constexpr char open_set_name[] = "cquorlin.open_set";
QUORLIN_SIGNATURE(open_set_sig, "open_set", 1, false, true, "paths");

Ref open_set(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* spec;
    if (py::parse(open_set_sig, args, nargs, kwnames, &spec) < 0) return {};
    Ref paths = set_paths(spec);
    if (!paths) return {};
    if (PyList_GET_SIZE(paths.get()) == 0) {
        PyErr_Format(PyExc_ValueError, "no store found at %R", spec);
        return {};
    }
    std::vector<Ref> stores;
    auto close_all = [&] {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        for (auto& db : stores)
            if (!py::call_method(db.get(), G.names.close)) PyErr_Clear();
        PyErr_Restore(type, value, tb);
    };
    Ref read = Ref::steal(PyUnicode_FromString("r"));
    if (!read) return {};
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(paths.get()); ++j) {
        Ref db = py::call(G.db_type, PyList_GET_ITEM(paths.get(), j), read.get());
        if (!db) {
            close_all();
            return {};
        }
        stores.push_back(std::move(db));
    }
    Ref chosen;
    if (agree_on_stores(stores, paths.get(), chosen) < 0) {
        close_all();
        return {};
    }
    Ref p = chosen.get() == Py_None ? Ref::steal(PyUnicode_FromString("")) : std::move(chosen);
    Ref tuple = p ? Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(stores.size()))) : Ref{};
    Ref path_tuple = tuple ? Ref::steal(PyList_AsTuple(paths.get())) : Ref{};
    auto* type = reinterpret_cast<PyTypeObject*>(S.type);
    Ref obj = path_tuple ? Ref::steal(type->tp_alloc(type, 0)) : Ref{};
    if (!obj) {
        close_all();
        return {};
    }
    for (std::size_t s = 0; s < stores.size(); ++s)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(s), Py_NewRef(stores[s].get()));
    as_set(obj.get())->stores = tuple.release();
    as_set(obj.get())->paths = path_tuple.release();
    as_set(obj.get())->preprocessor = p.release();
    return obj;
}

// ---------------------------------------------------------------------------------------------
// StoreSet.search

/// The nearest entries of the table `key` over every shard, as `Table.search(q, k=K)` on the table
/// merged from them answers: at most K (index, score) pairs, nearest first, the index type the
/// widest of the shards' tables. `K` is converted from `per_table_k` when the first table is found,
/// as `Table.search` converts it. None in `answer` means that no shard has the table.
int nearest_over(PyObject* stores, const std::vector<Ref>& files, PyObject* key, float q, PyObject* per_table_k, int& K,
                 bool& have_k, Ref& answer) {
    std::vector<Ref> held;  // the shards' tables and columns, for the call
    std::vector<kern::Run> runs;
    std::vector<kern::Strided<float>> columns;
    int code = -1;
    std::size_t total = 0;
    for (Py_ssize_t s = 0; s < PyTuple_GET_SIZE(stores); ++s) {
        // Straight from the shard's file (through its read cache): a shard opened read-only never
        // holds tables of its own in its cache.
        Ref table = load_table(PyTuple_GET_ITEM(stores, s), files[static_cast<std::size_t>(s)].get(), key);
        if (!table) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
            PyErr_Clear();
            continue;
        }
        if (!have_k && py::as_int(per_table_k, &K) < 0) return -1;
        have_k = true;
        Ref idxs, vals;
        Columns c;
        if (read_columns(table.get(), idxs, vals, c) < 0) return -1;
        code = std::max(code, c.code);
        total += c.run.vals.size;
        runs.push_back(c.run);
        columns.push_back(c.run.vals);
        held.push_back(std::move(table));
        held.push_back(std::move(idxs));
        held.push_back(std::move(vals));
    }
    if (code < 0) {
        answer = Ref::borrow(Py_None);
        return 0;
    }
    std::size_t m = std::min(total, static_cast<std::size_t>(std::max(K, 0)));
    Ref idxs, scores;
    if (new_columns(static_cast<npy_intp>(m), code, idxs, scores) < 0) return -1;
    float* out_score = data_of<float>(scores);
    kern::with_index_type(code, [&](auto type) {
        using I = decltype(type);
        I* out_idx = data_of<I>(idxs);
        std::size_t j = 0;
        kern::nearest_runs(columns, q, kern::Asking{m, false, false}, [&](std::size_t c, std::size_t pos, float score) {
            out_idx[j] = static_cast<I>(runs[c].index(pos));
            out_score[j++] = score;
        });
    });
    answer = Ref::steal(PyTuple_Pack(2, idxs.get(), scores.get()));
    return answer ? 0 : -1;
}

constexpr char set_search_name[] = "cquorlin.StoreSet.search";
QUORLIN_SIGNATURE(set_search_sig, "search", 1, true, true, "acts", "k", "_postprocess");

Ref set_search(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (py::parse(set_search_sig, args, nargs, kwnames, a) < 0) return {};
    StoreSet* self = as_set(self_obj);
    Ref default_k = Ref::steal(PyLong_FromLong(10));
    PyObject* k = a[1] ? a[1] : default_k.get();
    int merge = a[2] ? PyObject_IsTrue(a[2]) : 1;
    Py_ssize_t bsize;
    Ref items = merge >= 0 && default_k && warn_no_candidates("StoreSet.search", k) == 0 ? batch_items(a[0], bsize) : Ref{};
    if (!items) return {};
    Py_ssize_t n_layers = PyList_GET_SIZE(items.get());
    Ref layer_count = py::from_size(n_layers);
    Ref per_table_k = layer_count ? (merge ? Ref::steal(PyNumber_Multiply(k, layer_count.get())) : Ref::borrow(k)) : Ref{};
    Ref ret = per_table_k ? Ref::steal(PyDict_New()) : Ref{};
    if (!ret) return {};
    std::vector<Ref> files;
    for (Py_ssize_t s = 0; s < PyTuple_GET_SIZE(self->stores); ++s)
        if (files.push_back(py::getattr(PyTuple_GET_ITEM(self->stores, s), G.names.file)); !files.back()) return {};
    int K = 0;
    bool have_k = false;
    Ref empty_pair;  // the answer where no shard has the table; made when first needed
    for (Py_ssize_t j = 0; j < n_layers; ++j) {
        PyObject* item = PyList_GET_ITEM(items.get(), j);
        PyObject* array = PyTuple_GET_ITEM(item, 1);
        Py_ssize_t len = PyObject_Length(array);
        if (len < 0) return {};
        if (len != bsize)  // no result, as DB.search gives none
            return warn_no_result("StoreSet.search", PyTuple_GET_ITEM(item, 0), len, bsize) < 0 ? Ref{} : Ref::borrow(Py_None);
        RowNeurons layer;
        Ref text = Ref::steal(PyObject_Str(PyTuple_GET_ITEM(item, 0)));
        Ref res = text ? Ref::steal(PyList_New(0)) : Ref{};
        if (!res || reduce_layer(PyTuple_GET_ITEM(item, 0), array, self->preprocessor, 1, layer) < 0) return {};
        for (Py_ssize_t r = 0; r < layer.rows; ++r) {
            Ref key = Ref::steal(PyUnicode_FromFormat("table_%U_%zd", text.get(), layer.neurons[r]));
            Ref answer;
            auto q = static_cast<float>(layer.values[r]);
            if (!key || nearest_over(self->stores, files, key.get(), q, per_table_k.get(), K, have_k, answer) < 0) return {};
            if (answer.get() == Py_None) {
                if (!empty_pair) {
                    Ref idx, score;
                    if (new_columns(0, 0, idx, score) < 0) return {};
                    if (!(empty_pair = Ref::steal(PyTuple_Pack(2, idx.get(), score.get())))) return {};
                }
                answer = Ref::borrow(empty_pair.get());
            }
            if (PyList_Append(res.get(), answer.get()) < 0) return {};
        }
        if (PyDict_SetItem(ret.get(), PyTuple_GET_ITEM(item, 0), res.get()) < 0) return {};
    }
    if (!merge) return ret;
    int kk;
    if (py::as_int(k, &kk) < 0) return {};
    return merge_answers(ret.get(), kk);
}

constexpr char set_query_name[] = "cquorlin.StoreSet.query";

/// `DB.query` over the shards, answered as the store merged from them in their order answers it.
Ref set_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* stores = as_set(self)->stores;
    std::vector<PyObject*> shards(static_cast<std::size_t>(PyTuple_GET_SIZE(stores)));
    for (std::size_t s = 0; s < shards.size(); ++s) shards[s] = PyTuple_GET_ITEM(stores, static_cast<Py_ssize_t>(s));
    return query_stores(shards, "StoreSet.query", args, nargs, kwnames);
}

// ---------------------------------------------------------------------------------------------
// The rest of the type

/// Closes every shard; the set answers no more searches.
int close_stores(StoreSet* self) {
    int status = 0;
    for (Py_ssize_t s = 0; s < PyTuple_GET_SIZE(self->stores); ++s)
        if (!py::call_method(PyTuple_GET_ITEM(self->stores, s), G.names.close)) status = -1;
    return status;
}

constexpr char set_close_name[] = "cquorlin.StoreSet.close";
constexpr char set_enter_name[] = "cquorlin.StoreSet.__enter__";
constexpr char set_exit_name[] = "cquorlin.StoreSet.__exit__";

Ref set_close(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("close", true, nargs, kwnames) < 0 || close_stores(as_set(self)) < 0) return {};
    return Ref::borrow(Py_None);
}

Ref set_enter(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("__enter__", true, nargs, kwnames) < 0) return {};
    return Ref::borrow(self);
}

Ref set_exit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
    if (py::no_keywords("__exit__", kwnames) < 0 || close_stores(as_set(self)) < 0) return {};
    return Ref::borrow(Py_False);
}

PyObject* set_stores(PyObject* self, void*) { return Py_NewRef(as_set(self)->stores); }
PyObject* set_paths_get(PyObject* self, void*) { return Py_NewRef(as_set(self)->paths); }

int set_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_set(self)->stores);
    return 0;
}

int set_clear(PyObject* self) {
    Py_CLEAR(as_set(self)->stores);
    return 0;
}

void set_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    set_clear(self);
    Py_CLEAR(as_set(self)->paths);
    Py_CLEAR(as_set(self)->preprocessor);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef set_methods[] = {
    py::method_def<set_search, set_search_name>("search"),
    py::method_def<set_query, set_query_name>("query"),
    py::method_def<set_close, set_close_name>("close"),
    py::method_def<set_enter, set_enter_name>("__enter__"),
    py::method_def<set_exit, set_exit_name>("__exit__"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef set_getset[] = {
    {"stores", set_stores, nullptr, "the shards, each a store opened read-only", nullptr},
    {"paths", set_paths_get, nullptr, "the shards' paths", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot set_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&set_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&set_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&set_clear)},
    {Py_tp_methods, set_methods},
    {Py_tp_getset, set_getset},
    {0, nullptr},
};

PyType_Spec set_spec = {"cquorlin.StoreSet", sizeof(StoreSet), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, set_slots};

PyMethodDef set_functions[] = {
    py::method_def<open_set, open_set_name>("open_set"),
    {nullptr, nullptr, 0, nullptr},
};

/// `module.name`, a new reference.
PyObject* attr_of(const char* module, const char* name) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return m ? PyObject_GetAttrString(m.get(), name) : nullptr;
}

}  // namespace

int store_set_exec(PyObject* module) {
    if (!(S.fspath = attr_of("os", "fspath")) || !(S.isdir = attr_of("os.path", "isdir")) ||
        !(S.join = attr_of("os.path", "join")) || !(S.glob = attr_of("glob", "glob")) ||
        !(S.has_magic = attr_of("glob", "has_magic")) || !(S.pattern = PyUnicode_InternFromString("*.h5")))
        return -1;
    if (!(S.type = PyType_FromModuleAndSpec(module, &set_spec, nullptr)) ||
        PyObject_SetAttrString(module, "StoreSet", S.type) < 0)
        return -1;
    return PyModule_AddFunctions(module, set_functions);
}

}  // namespace quorlin
