// DB.query: for every query input, the k stored inputs with the best combined scores, as two
// arrays. Each query input is reduced to its strongest neurons per layer, as the store records
// them; each of those neurons' tables gives the entries nearest to the query's value, scored as a
// table search scores them; the scores are summed with the layer weights of the search (the layer
// at position l of `acts` weighs l*l, shared equally by its neurons) and the best k are kept. Every
// table is fetched once per call, through the store's cache; candidates are plain numbers. A set
// of stores (shards) is queried as the one store merged from them: a table's candidates are chosen
// over the columns of every store that has it at once.
#include "query.hpp"

#include "py/numpy.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "columns.hpp"
#include "db.hpp"
#include "db_file.hpp"
#include "kernels/rank.hpp"
#include "py/args.hpp"
#include "py/func.hpp"
#include "reduce.hpp"
#include "state.hpp"

namespace quorlin {

using py::Ref;

namespace {

/// The choices of a query.
struct Options {
    std::size_t k = 10;
    std::size_t neurons = 1;  // asked per input and layer
    bool exact = false;       // the search's own choices, for its answers
    std::size_t candidates_per_k = 0;  // entries asked of each table per k; 0: as many as layers
    bool ties = true;
    bool midpoint = true;
};

/// A table's columns in one store, held for the call.
struct TableColumns {
    Ref table, idxs, vals;
    Columns columns;
};

/// One queried table: its columns in every store that has it, in the stores' order.
using Shards = std::vector<kern::Run>;

/// One queried layer: its weight, its rows' neurons and the table of each (-1: no store has it).
struct QueriedLayer {
    long weight;
    RowNeurons rows;
    std::vector<int> table_of;
};

/// A non-negative count from `obj` through its integer conversion; `what` names it in the error.
int count_arg(PyObject* obj, const char* what, std::size_t least, std::size_t& out) {
    Py_ssize_t v = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < static_cast<Py_ssize_t>(least)) {
        PyErr_Format(PyExc_ValueError, "%s must be at least %zu, not %zd", what, least, v);
        return -1;
    }
    out = static_cast<std::size_t>(v);
    return 0;
}

/// Truth of an optional argument, `fallback` when it is missing.
int flag_arg(PyObject* obj, bool fallback, bool& out) {
    int v = obj ? PyObject_IsTrue(obj) : fallback;
    if (v < 0) return -1;
    out = v;
    return 0;
}

/// The positions in `items` of the layers named by `layers` (every layer when None), in the order of `items`.
int selected_layers(PyObject* items, PyObject* layers, std::vector<Py_ssize_t>& out) {
    Py_ssize_t n = PyList_GET_SIZE(items);
    if (!layers || layers == Py_None) {
        for (Py_ssize_t j = 0; j < n; ++j) out.push_back(j);
        return 0;
    }
    Ref names = Ref::steal(PySequence_List(layers));
    if (!names) return -1;
    std::vector<bool> chosen(n, false);
    for (Py_ssize_t s = 0; s < PyList_GET_SIZE(names.get()); ++s) {
        PyObject* name = PyList_GET_ITEM(names.get(), s);
        bool found = false;
        for (Py_ssize_t j = 0; j < n && !found; ++j) {
            int same = PyObject_RichCompareBool(PyTuple_GET_ITEM(PyList_GET_ITEM(items, j), 0), name, Py_EQ);
            if (same < 0) return -1;
            if (same) found = chosen[j] = true;
        }
        if (!found) {
            PyErr_Format(PyExc_KeyError, "the layer %R is not among the query's outputs", name);
            return -1;
        }
    }
    for (Py_ssize_t j = 0; j < n; ++j)
        if (chosen[j]) out.push_back(j);
    if (out.empty()) {
        PyErr_SetString(PyExc_ValueError, "layers names no layer to query");
        return -1;
    }
    return 0;
}

/// Fetches, once each, the tables of the neurons of `layer` from every store that has them (a
/// table with changes not yet merged merges them first, as its search would), noting for every
/// (row, neuron) which one it is.
int fetch_tables(const std::vector<PyObject*>& stores, PyObject* layer_key, QueriedLayer& layer,
                 std::vector<TableColumns>& held, std::vector<Shards>& tables) {
    Ref text = Ref::steal(PyObject_Str(layer_key));
    if (!text) return -1;
    std::vector<Py_ssize_t> distinct(layer.rows.neurons);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    std::vector<int> slot(distinct.size(), -1);
    for (std::size_t d = 0; d < distinct.size(); ++d) {
        Ref key = Ref::steal(PyUnicode_FromFormat("table_%U_%zd", text.get(), distinct[d]));
        if (!key) return -1;
        Shards shards;
        for (PyObject* store : stores) {
            Ref table = stored_table(store, key.get());
            if (!table) return -1;
            if (table.get() == Py_None) continue;
            Ref flushed = py::getattr(table.get(), G.names._flushed);
            int clean = flushed ? PyObject_IsTrue(flushed.get()) : -1;
            if (clean < 0 || (!clean && !py::call_method(table.get(), G.names._flush))) return -1;
            TableColumns& t = held.emplace_back();
            t.table = std::move(table);
            if (read_columns(t.table.get(), t.idxs, t.vals, t.columns) < 0) return -1;
            shards.push_back(t.columns.run);
        }
        if (shards.empty()) continue;
        tables.push_back(std::move(shards));
        slot[d] = static_cast<int>(tables.size() - 1);
    }
    layer.table_of.resize(layer.rows.neurons.size());
    for (std::size_t j = 0; j < layer.rows.neurons.size(); ++j) {
        auto at = std::lower_bound(distinct.begin(), distinct.end(), layer.rows.neurons[j]) - distinct.begin();
        layer.table_of[j] = slot[static_cast<std::size_t>(at)];
    }
    return 0;
}

/// Adds the candidates of one table for the query value `q`, each score times `weight`. Exact,
/// they are the table search's own: its nearest entries, none more for ties, values as stored.
void add_candidates(const Shards& shards, float q, double weight, const Options& o, std::size_t asked, kern::Sums& sums) {
    std::vector<kern::Strided<float>> columns;
    columns.reserve(shards.size());
    for (const auto& run : shards) columns.push_back(run.vals);
    kern::Asking ask{asked, o.ties && !o.exact, o.midpoint && !o.exact};
    kern::nearest_runs(columns, q, ask, [&](std::size_t c, std::size_t pos, float score) {
        sums.add(shards[c].index(pos), weight * static_cast<double>(score));
    });
}

constexpr char query_name[] = "query";
QUORLIN_SIGNATURE(db_query_sig, query_name, 1, true, true, "acts", "k", "neurons", "layers", "exact", "candidates",
                  "ties", "midpoint");

}  // namespace

const char db_query_name[] = "cquorlin.DB.query";

Ref query_stores(const std::vector<PyObject*>& stores, const char* method, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
    PyObject* a[8];
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "query() takes from 2 to 3 positional arguments but %zd were given", nargs + 1);
        return {};
    }
    if (py::parse(db_query_sig, args, nargs, kwnames, a) < 0) return {};
    for (PyObject* store : stores)
        if (check_open(store) < 0) return {};
    Options o;
    o.neurons = store_of(stores.front()).neurons;
    if ((a[1] && count_arg(a[1], "k", 0, o.k) < 0) || (a[2] && a[2] != Py_None && count_arg(a[2], "neurons", 1, o.neurons) < 0) ||
        flag_arg(a[4], false, o.exact) < 0 || (a[5] && a[5] != Py_None && count_arg(a[5], "candidates", 1, o.candidates_per_k) < 0) ||
        flag_arg(a[6], true, o.ties) < 0 || flag_arg(a[7], true, o.midpoint) < 0)
        return {};
    if (o.k == 0 && PyErr_WarnFormat(G.warning, 1,
                                     "%s with k=0 finds no stored input: its arrays have no columns. Pass k of 1 or "
                                     "more.",
                                     method) < 0)
        return {};
    if (o.exact) o.neurons = 1;
    Py_ssize_t bsize;
    Ref items = batch_items(a[0], bsize);
    Ref p = items ? store_preprocessor(stores.front()) : Ref{};
    std::vector<Py_ssize_t> chosen;
    if (!p || selected_layers(items.get(), a[3], chosen) < 0) return {};

    std::vector<QueriedLayer> layers(chosen.size());
    std::vector<TableColumns> held;
    std::vector<Shards> tables;
    Ref unfound;  // the layers none of whose neurons has a table
    Py_ssize_t queries = -1;
    for (std::size_t l = 0; l < chosen.size(); ++l) {
        PyObject* item = PyList_GET_ITEM(items.get(), chosen[l]);
        PyObject *key = PyTuple_GET_ITEM(item, 0), *array = PyTuple_GET_ITEM(item, 1);
        Py_ssize_t len = PyObject_Length(array);
        if (len < 0) return {};
        if (len != bsize) {
            PyErr_Format(PyExc_ValueError, "the first axis of layer %R has length %zd, not the batch's %zd", key, len, bsize);
            return {};
        }
        QueriedLayer& layer = layers[l];
        layer.weight = static_cast<long>((chosen[l] + 1) * (chosen[l] + 1));
        if (reduce_layer(key, array, p.get(), o.neurons, layer.rows) < 0) return {};
        if (queries >= 0 && layer.rows.rows != queries) {
            PyErr_Format(PyExc_ValueError, "layer %R reduces to %zd query inputs, not %zd", key, layer.rows.rows, queries);
            return {};
        }
        queries = layer.rows.rows;
        if (fetch_tables(stores, key, layer, held, tables) < 0) return {};
        bool found = std::any_of(layer.table_of.begin(), layer.table_of.end(), [](int t) { return t >= 0; });
        if (!found && queries > 0 && ((!unfound && !(unfound = Ref::steal(PyList_New(0)))) ||
                                      PyList_Append(unfound.get(), key) < 0))
            return {};
    }
    // Each table is asked for k entries per layer, as a search asks, unless told otherwise.
    std::size_t asked = o.k * (o.candidates_per_k && !o.exact ? o.candidates_per_k : chosen.size());

    npy_intp dims[2] = {queries, static_cast<npy_intp>(o.k)};
    Ref scores = Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
    Ref indices = scores ? Ref::steal(PyArray_SimpleNew(2, dims, NPY_INT64)) : Ref{};
    if (!indices) return {};
    float* out_score = data_of<float>(scores);
    std::int64_t* out_index = data_of<std::int64_t>(indices);
    std::fill(out_score, out_score + queries * o.k, -std::numeric_limits<float>::infinity());
    std::fill(out_index, out_index + queries * o.k, std::int64_t{-1});
    for (Py_ssize_t i = 0; i < queries; ++i) {
        kern::Sums sums;
        for (const auto& layer : layers) {
            Py_ssize_t per_row = layer.rows.per_row;
            // The search's products are its integer weight times the score; the neurons of a layer share it.
            double weight = o.exact ? static_cast<double>(layer.weight) : static_cast<double>(layer.weight) / per_row;
            for (Py_ssize_t c = 0; c < per_row; ++c) {
                std::size_t at = static_cast<std::size_t>(i * per_row + c);
                int t = layer.table_of[at];
                if (t >= 0) add_candidates(tables[t], static_cast<float>(layer.rows.values[at]), weight, o, asked, sums);
            }
        }
        std::vector<std::size_t> best =
            o.exact ? kern::best_first(sums, o.k, kern::keep_best(sums.scores, static_cast<long long>(o.k)))
                    : kern::best_first(sums, o.k);
        for (std::size_t r = 0; r < best.size(); ++r) {
            std::uint64_t index = sums.indices[best[r]];
            if (index > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                PyErr_Format(PyExc_OverflowError, "the stored index %llu does not fit the int64 result",
                             static_cast<unsigned long long>(index));
                return {};
            }
            out_index[i * o.k + r] = static_cast<std::int64_t>(index);
            out_score[i * o.k + r] = static_cast<float>(sums.scores[best[r]]);
        }
    }
    tables.clear();
    held.clear();
    for (PyObject* store : stores)
        if (!clear_cache(store)) return {};
    if (unfound && warn_unknown_layers(stores, unfound.get(), method, "Query") < 0) return {};
    return Ref::steal(PyTuple_Pack(2, scores.get(), indices.get()));
}

Ref db_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return query_stores({self}, "DB.query", args, nargs, kwnames);
}

}  // namespace quorlin
