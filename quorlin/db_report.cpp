// What a store holds, read from its tables without decoding more than each answer needs: a table's
// entries from its dataset's size and its five-byte header, a layer's inputs from the index sections
// of its tables, distinct values from the value section of one table. Every report describes the
// tables as the file holds them.
#include "db_report.hpp"

#include "py/numpy.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <span>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db.hpp"
#include "db_file.hpp"
#include "hdf5.hpp"
#include "kernels/codec.hpp"
#include "kernels/distinct.hpp"
#include "py/args.hpp"
#include "py/func.hpp"
#include "state.hpp"

namespace quorlin {

const char db_layers_name[] = "cquorlin.DB.layers";
const char db_entries_name[] = "cquorlin.DB.entries";
const char db_neuron_name[] = "cquorlin.DB.neuron";
const char db_plot_layers_name[] = "cquorlin.DB.plot_layers";

namespace {

using py::Ref;

struct ReportState {
    PyObject* phil;          // h5py's lock around calls into HDF5
    PyObject* layer_type;    // the record type `Layer`
    PyObject* layers_type;   // the list type `Layers`
};
ReportState S{};

/// A layer's degenerate threshold when none is given: one table holds at least this share of its inputs.
constexpr double default_threshold = 0.9;

/// One table of a layer: its dataset's name and neuron, and what its header says.
struct TableInfo {
    std::string name;
    std::uint64_t neuron = 0;
    std::uint64_t entries = 0;
    std::uint64_t index_bytes = 0;  // the index section's length
    int code = 0;                   // the index type code
    std::size_t first = 0;          // where its indices start among those read of its layer
};

/// A layer: it has a table at least, as layers are found through their tables.
struct LayerInfo {
    std::string name;
    std::vector<TableInfo> tables;
    std::uint64_t entries = 0;
};

/// Splits a dataset name "table_<layer>_<neuron>" into its layer and neuron; false for any other name.
bool parse_key(std::string_view key, std::string_view& layer, std::uint64_t& neuron) {
    constexpr std::string_view prefix = "table_";
    if (!key.starts_with(prefix)) return false;
    std::size_t cut = key.rfind('_');
    if (cut < prefix.size() || cut + 1 == key.size() || key.size() - cut - 1 > 19) return false;
    neuron = 0;
    for (char c : key.substr(cut + 1)) {
        if (c < '0' || c > '9') return false;
        neuron = neuron * 10 + static_cast<std::uint64_t>(c - '0');
    }
    layer = key.substr(prefix.size(), cut - prefix.size());
    return true;
}

/// The store's layers and their tables, by name only, in the order the file lists its datasets.
int list_layers(PyObject* file, std::vector<LayerInfo>& layers) {
    std::unordered_map<std::string, std::size_t> seen;
    Ref iter = Ref::steal(PyObject_GetIter(file));
    if (!iter) return -1;
    while (Ref name = Ref::steal(PyIter_Next(iter.get()))) {
        Py_ssize_t size;
        const char* text = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
        if (!text) {
            if (PyErr_Occurred()) return -1;
            continue;
        }
        std::string_view key(text, static_cast<std::size_t>(size)), layer;
        std::uint64_t neuron;
        if (!parse_key(key, layer, neuron)) continue;
        auto [at, added] = seen.try_emplace(std::string(layer), layers.size());
        if (added) layers.push_back(LayerInfo{at->first, {}, 0});
        layers[at->second].tables.push_back(TableInfo{std::string(key), neuron});
    }
    return PyErr_Occurred() ? -1 : 0;
}

/// Reads the header of the table `t`, open as `dataset`, and checks it against the dataset's size.
int read_header(hdf5::hid_t dataset, TableInfo& t) {
    hdf5::hsize_t size;
    std::uint8_t header[5];
    if (hdf5::byte_count(dataset, size) < 0) return -1;
    if (size < sizeof header) {
        PyErr_Format(PyExc_ValueError, "the dataset '%s' is too short to hold a table (%llu bytes)", t.name.c_str(),
                     static_cast<unsigned long long>(size));
        return -1;
    }
    if (hdf5::read_part(dataset, 0, sizeof header, header) < 0) return -1;
    t.code = header[0];
    t.index_bytes = kern::load_le(header + 1, 4);
    std::uint64_t width = t.code < 3 ? std::uint64_t{2} << t.code : 0;
    t.entries = width ? t.index_bytes / width : 0;
    if (!width || t.index_bytes % width != 0 || size != 5 + t.entries * (width + 2)) {
        PyErr_Format(PyExc_ValueError, "the dataset '%s' holds no table: its header does not match its %llu bytes",
                     t.name.c_str(), static_cast<unsigned long long>(size));
        return -1;
    }
    return 0;
}

/// The HDF5 identifier of the store's open file.
hdf5::hid_t store_file(PyObject* self, Ref& file) {
    file = py::getattr(self, G.names.file);
    Ref id = file ? py::getattr(file.get(), G.names.id) : Ref{};  // h5py's FileID
    return id ? hdf5::id_of(id.get()) : -1;
}

/// Reads the header of every table of `layer` and, given `indices`, appends its index column there
/// (each dataset is opened once: HDF5 keeps the start of a table it read in a buffer of its own).
int read_tables(hdf5::hid_t fid, LayerInfo& layer, std::vector<std::uint64_t>* indices) {
    std::vector<std::uint8_t> bytes;
    for (auto& t : layer.tables) {
        hdf5::Id dataset;
        if (hdf5::open_dataset(fid, t.name.c_str(), dataset) < 0 || read_header(dataset.get(), t) < 0) return -1;
        layer.entries += t.entries;
        if (!indices) continue;
        std::size_t width = std::size_t{2} << t.code;
        t.first = indices->size();
        bytes.resize(t.index_bytes);
        if (hdf5::read_part(dataset.get(), 5, bytes.size(), bytes.data()) < 0) return -1;
        for (std::size_t e = 0; e < t.entries; ++e) indices->push_back(kern::load_le(bytes.data() + e * width, width));
    }
    return 0;
}

/// The number of distinct values in the table `t`, from its value section alone.
int read_distinct_values(hdf5::hid_t fid, const TableInfo& t, std::size_t& values) {
    hdf5::Id dataset;
    std::vector<std::uint8_t> bytes(2 * t.entries);
    if (hdf5::open_dataset(fid, t.name.c_str(), dataset) < 0 ||
        hdf5::read_part(dataset.get(), 5 + t.index_bytes, bytes.size(), bytes.data()) < 0)
        return -1;
    values = kern::count_distinct_values(bytes.data(), t.entries);
    return 0;
}

/// Lists the layers and reads every table's header.
int scan_layers(PyObject* self, std::vector<LayerInfo>& layers) {
    Ref file;
    hdf5::hid_t fid = store_file(self, file);
    if (fid < 0 || list_layers(file.get(), layers) < 0) return -1;
    hdf5::Lock lock(S.phil);
    if (!lock.ok()) return -1;
    for (auto& layer : layers)
        if (read_tables(fid, layer, nullptr) < 0) return -1;
    return 0;
}

/// The threshold argument: a number in (0, 1].
int read_threshold(PyObject* arg, double& threshold) {
    threshold = arg ? PyFloat_AsDouble(arg) : default_threshold;
    if (threshold == -1.0 && PyErr_Occurred()) return -1;
    if (!(threshold > 0.0 && threshold <= 1.0)) {
        PyErr_Format(PyExc_ValueError, "threshold must be a share in (0, 1], not %R", arg);
        return -1;
    }
    return 0;
}

/// The index of the table with the most entries (the first of equals).
std::size_t largest_table(const LayerInfo& layer) {
    auto at = std::max_element(layer.tables.begin(), layer.tables.end(),
                               [](const TableInfo& a, const TableInfo& b) { return a.entries < b.entries; });
    return static_cast<std::size_t>(at - layer.tables.begin());
}

/// What a layer's columns say: its distinct inputs, and those of its largest table with its
/// distinct values.
struct LayerFacts {
    std::size_t largest = 0;  // the table with the most entries
    std::size_t inputs = 0, largest_inputs = 0, largest_values = 0;

    /// The share of the layer's inputs that have an entry in the largest table. With one entry per
    /// input, it is that table's share of the entries; it also holds where an input has several.
    double share() const { return inputs ? static_cast<double>(largest_inputs) / static_cast<double>(inputs) : 0.0; }
    bool degenerate(double threshold) const { return inputs > 0 && share() >= threshold; }
};

/// Reads every table's header and index column, and the largest table's values, layer by layer.
int survey_layers(PyObject* self, std::vector<LayerInfo>& layers, std::vector<LayerFacts>& facts) {
    Ref file;
    hdf5::hid_t fid = store_file(self, file);
    if (fid < 0 || list_layers(file.get(), layers) < 0) return -1;
    facts.resize(layers.size());
    hdf5::Lock lock(S.phil);
    if (!lock.ok()) return -1;
    std::vector<std::uint64_t> indices;
    for (std::size_t l = 0; l < layers.size(); ++l) {
        indices.clear();
        LayerFacts& f = facts[l];
        if (read_tables(fid, layers[l], &indices) < 0) return -1;
        f.largest = largest_table(layers[l]);
        const TableInfo& top = layers[l].tables[f.largest];
        if (read_distinct_values(fid, top, f.largest_values) < 0) return -1;
        // Counting reorders: the largest table's range first, then all (whose order does not matter).
        f.largest_inputs = kern::count_distinct(std::span(indices).subspan(top.first, top.entries));
        f.inputs = kern::count_distinct(indices);
    }
    return 0;
}

/// The text of a layer argument, as table keys spell it.
Ref layer_text(PyObject* layer) { return Ref::steal(PyObject_Str(layer)); }

/// The layer named `text` among `layers`, or null with KeyError.
const LayerInfo* find_layer(const std::vector<LayerInfo>& layers, PyObject* text) {
    const char* name = PyUnicode_AsUTF8(text);
    if (!name) return nullptr;
    for (const auto& layer : layers)
        if (layer.name == name) return &layer;
    Ref message = Ref::steal(PyUnicode_FromFormat("the store has no layer %R", text));
    if (message) PyErr_SetObject(PyExc_KeyError, message.get());
    return nullptr;
}

Ref from_u64(std::uint64_t v) { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }

// ---------------------------------------------------------------------------------------------
// Layer and Layers

PyStructSequence_Field layer_fields[] = {
    {"name", "the layer's name, as its table keys spell it"},
    {"tables", "how many neurons have a table"},
    {"entries", "entries in all its tables"},
    {"inputs", "distinct input indices among them"},
    {"largest", "the neuron with the largest table"},
    {"largest_share", "the share of the layer's inputs with an entry in that table"},
    {"largest_values", "distinct values stored in that table"},
    {"degenerate", "whether that share reaches the threshold: one neuron wins for nearly every input"},
    {nullptr, nullptr},
};

PyStructSequence_Desc layer_desc = {
    "cquorlin.Layer", "What one layer of a store holds (made by DB.layers()).", layer_fields, 8,
};

/// One record's row of the text table: its name, and the other fields as text.
int format_row(PyObject* rec, Ref& name, std::string& cells) {
    if (!PyObject_TypeCheck(rec, reinterpret_cast<PyTypeObject*>(S.layer_type))) {
        PyErr_Format(PyExc_TypeError, "Layers holds a %.200s, not a Layer", Py_TYPE(rec)->tp_name);
        return -1;
    }
    unsigned long long counts[5];  // tables, entries, inputs, largest, largest_values
    const int count_fields[] = {1, 2, 3, 4, 6};
    for (int j = 0; j < 5; ++j) {
        counts[j] = PyLong_AsUnsignedLongLong(PyStructSequence_GET_ITEM(rec, count_fields[j]));
        if (PyErr_Occurred()) return -1;
    }
    double share = PyFloat_AsDouble(PyStructSequence_GET_ITEM(rec, 5));
    int degenerate = PyObject_IsTrue(PyStructSequence_GET_ITEM(rec, 7));
    name = Ref::steal(PyObject_Str(PyStructSequence_GET_ITEM(rec, 0)));
    if ((share == -1.0 && PyErr_Occurred()) || degenerate < 0 || !name) return -1;
    char text[160];
    std::snprintf(text, sizeof text, " %7llu %10llu %10llu %8llu %7.3f %7llu%s", counts[0], counts[1], counts[2],
                  counts[3], share, counts[4], degenerate ? "  yes" : "");
    cells = text;
    return 0;
}

/// Formats the records of a `Layers` list as a text table, one row per layer.
PyObject* layers_str(PyObject*, PyObject* list) {
    return py::guard("cquorlin.Layers.__str__", [&]() -> Ref {
        if (!PyList_Check(list)) {
            PyErr_SetString(PyExc_TypeError, "Layers.__str__ needs a list of Layer records");
            return {};
        }
        // A copy of the list: formatting a record runs Python code, which may change the list.
        Ref records = Ref::steal(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX));
        if (!records) return {};
        std::vector<std::pair<Ref, std::string>> rows(static_cast<std::size_t>(PyList_GET_SIZE(records.get())));
        Py_ssize_t width = 5;
        for (std::size_t j = 0; j < rows.size(); ++j) {
            if (format_row(PyList_GET_ITEM(records.get(), j), rows[j].first, rows[j].second) < 0) return {};
            width = std::max(width, PyUnicode_GET_LENGTH(rows[j].first.get()));
        }
        char header[160];
        std::snprintf(header, sizeof header, "%-*s %7s %10s %10s %8s %7s %7s  %s", static_cast<int>(width), "layer",
                      "tables", "entries", "inputs", "largest", "share", "values", "degenerate");
        std::string out = header;
        for (auto& [name, cells] : rows) {
            const char* text = PyUnicode_AsUTF8(name.get());
            if (!text) return {};
            // Padded by characters: a name may take more bytes than characters.
            (out += '\n') += text;
            out.append(static_cast<std::size_t>(width - PyUnicode_GET_LENGTH(name.get())), ' ');
            out += cells;
        }
        return Ref::steal(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
    });
}

PyMethodDef layers_str_def = {"__str__", layers_str, METH_O, "The layers as a text table, one row each."};

/// `class Layers(list)` with a `__str__` that prints its records as a table.
Ref make_layers_class() {
    Ref fn = Ref::steal(PyCFunction_New(&layers_str_def, nullptr));
    Ref method = fn ? Ref::steal(PyInstanceMethod_New(fn.get())) : Ref{};
    Ref bases = method ? Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyList_Type))) : Ref{};
    Ref ns = bases ? Ref::steal(Py_BuildValue("{s:s,s:s,s:s,s:O}", "__module__", "cquorlin", "__qualname__", "Layers",
                                              "__doc__", "The Layer records of DB.layers(); str() gives a table.",
                                              "__str__", method.get()))
                   : Ref{};
    Ref name = ns ? Ref::steal(PyUnicode_FromString("Layers")) : Ref{};
    return name ? py::call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns.get()) : Ref{};
}

/// One `Layer` record.
Ref make_record(const LayerInfo& layer, const LayerFacts& f, double threshold) {
    Ref rec = Ref::steal(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(S.layer_type)));
    if (!rec) return {};
    PyObject* items[] = {
        PyUnicode_FromStringAndSize(layer.name.data(), static_cast<Py_ssize_t>(layer.name.size())),
        PyLong_FromSize_t(layer.tables.size()),
        PyLong_FromUnsignedLongLong(layer.entries),
        PyLong_FromSize_t(f.inputs),
        PyLong_FromUnsignedLongLong(layer.tables[f.largest].neuron),
        PyFloat_FromDouble(f.share()),
        PyLong_FromSize_t(f.largest_values),
        PyBool_FromLong(f.degenerate(threshold)),
    };
    bool ok = true;
    for (Py_ssize_t j = 0; j < 8; ++j) {
        ok = ok && items[j];
        PyStructSequence_SET_ITEM(rec.get(), j, items[j]);  // a null item is left null, the record dropped
    }
    return ok ? std::move(rec) : Ref{};
}

// ---------------------------------------------------------------------------------------------
// The plot

/// Calls `obj.name(*args, **kw)`, with `args` and `kw` new references (`kw` may be left out); a failure
/// to build them (an error set) is returned as it is.
Ref invoke(PyObject* obj, const char* name, PyObject* args, PyObject* kw = nullptr) {
    Ref a = Ref::steal(args), k = Ref::steal(kw);
    Ref fn = a && !PyErr_Occurred() ? Ref::steal(PyObject_GetAttrString(obj, name)) : Ref{};
    return fn ? Ref::steal(PyObject_Call(fn.get(), a.get(), k.get())) : Ref{};
}

/// A new matplotlib figure with one set of axes, sized for `rows` layers; ImportError without matplotlib.
Ref new_axes(Py_ssize_t rows, Ref& figure) {
    Ref module = Ref::steal(PyImport_ImportModule("matplotlib.figure"));
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return {};
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyErr_SetString(PyExc_ImportError,
                        "DB.plot_layers draws with matplotlib, which is not installed: pip install matplotlib");
        PyObject *ntype, *nvalue, *ntb;
        PyErr_Fetch(&ntype, &nvalue, &ntb);
        PyErr_NormalizeException(&ntype, &nvalue, &ntb);
        PyException_SetCause(nvalue, value);  // steals `value`
        Py_XDECREF(type);
        Py_XDECREF(tb);
        PyErr_Restore(ntype, nvalue, ntb);
        return {};
    }
    figure = invoke(module.get(), "Figure", PyTuple_New(0),
                    Py_BuildValue("{s:(dd),s:s}", "figsize", 8.0, 1.2 + 0.25 * static_cast<double>(rows), "layout",
                                  "constrained"));
    return figure ? invoke(figure.get(), "add_subplot", PyTuple_New(0)) : Ref{};
}

/// Draws one bar per layer on `ax`: a segment per neuron, as wide as its share of the layer's entries,
/// largest first; degenerate layers in red.
int draw_layers(PyObject* ax, const std::vector<LayerInfo>& layers, const std::vector<LayerFacts>& facts,
                double threshold) {
    Ref labels = Ref::steal(PyList_New(0));
    Ref ticks = Ref::steal(PyList_New(0));
    if (!labels || !ticks) return -1;
    std::vector<bool> flagged;
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const LayerInfo& layer = layers[i];
        flagged.push_back(facts[i].degenerate(threshold));
        std::vector<std::uint64_t> counts;
        for (const auto& t : layer.tables) counts.push_back(t.entries);
        std::sort(counts.begin(), counts.end(), std::greater<>());
        Ref ranges = Ref::steal(PyList_New(0));
        Ref colours = Ref::steal(PyList_New(0));
        if (!ranges || !colours) return -1;
        double left = 0.0;
        const char* shades[2][2] = {{"tab:blue", "lightsteelblue"}, {"tab:red", "lightsalmon"}};
        for (std::size_t j = 0; j < counts.size() && counts[j] > 0; ++j) {
            double width = static_cast<double>(counts[j]) / static_cast<double>(layer.entries);
            Ref range = Ref::steal(Py_BuildValue("(dd)", left, width));
            Ref colour = Ref::steal(PyUnicode_FromString(shades[flagged[i]][j % 2]));
            if (!range || !colour || PyList_Append(ranges.get(), range.get()) < 0 ||
                PyList_Append(colours.get(), colour.get()) < 0)
                return -1;
            left += width;
        }
        double y = static_cast<double>(i);
        if (PyList_GET_SIZE(ranges.get()) > 0 &&
            !invoke(ax, "broken_barh", Py_BuildValue("(O(dd))", ranges.get(), y - 0.4, 0.8),
                    Py_BuildValue("{s:O}", "facecolors", colours.get())))
            return -1;
        Ref label = Ref::steal(PyUnicode_FromFormat("%s (%zu)", layer.name.c_str(), layer.tables.size()));
        Ref tick = from_u64(i);
        if (!label || !tick || PyList_Append(labels.get(), label.get()) < 0 || PyList_Append(ticks.get(), tick.get()) < 0)
            return -1;
    }
    double rows = static_cast<double>(layers.size());
    char title[200];
    std::snprintf(title, sizeof title, "%zu layers, %zu degenerate (red: one neuron holds %g%% or more of the inputs)",
                  layers.size(), static_cast<std::size_t>(std::count(flagged.begin(), flagged.end(), true)),
                  threshold * 100.0);
    if (!invoke(ax, "set_yticks", Py_BuildValue("(O)", ticks.get()), Py_BuildValue("{s:O}", "labels", labels.get())) ||
        !invoke(ax, "set_ylim", Py_BuildValue("(dd)", rows - 0.5, -0.5)) ||
        !invoke(ax, "set_xlim", Py_BuildValue("(dd)", 0.0, 1.0)) ||
        !invoke(ax, "set_xlabel", Py_BuildValue("(s)", "share of the layer's entries, one segment per neuron, largest first "
                                                        "(in brackets: neurons with a table)")) ||
        !invoke(ax, "set_title", Py_BuildValue("(s)", title)))
        return -1;
    Ref tick_labels = invoke(ax, "get_yticklabels", PyTuple_New(0));
    Ref seq = tick_labels ? Ref::steal(PySequence_List(tick_labels.get())) : Ref{};
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()) && static_cast<std::size_t>(i) < flagged.size(); ++i)
        if (flagged[static_cast<std::size_t>(i)] &&
            !invoke(PyList_GET_ITEM(seq.get(), i), "set_color", Py_BuildValue("(s)", "tab:red")))
            return -1;
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The methods

QUORLIN_SIGNATURE(db_layers_sig, "layers", 0, true, true, "threshold");

Ref db_layers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    double threshold;
    if (py::parse(db_layers_sig, args, nargs, kwnames, a) < 0 || check_open(self) < 0 ||
        read_threshold(a[0], threshold) < 0)
        return {};
    std::vector<LayerInfo> layers;
    std::vector<LayerFacts> facts;
    Ref records = Ref::steal(PyList_New(0));
    if (!records || survey_layers(self, layers, facts) < 0) return {};
    for (std::size_t l = 0; l < layers.size(); ++l) {
        Ref rec = make_record(layers[l], facts[l], threshold);
        if (!rec || PyList_Append(records.get(), rec.get()) < 0) return {};
    }
    return py::call(S.layers_type, records.get());
}

QUORLIN_SIGNATURE(db_entries_sig, "entries", 0, true, true, "layer");

Ref db_entries(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (py::parse(db_entries_sig, args, nargs, kwnames, a) < 0 || check_open(self) < 0) return {};
    std::vector<LayerInfo> layers;
    if (scan_layers(self, layers) < 0) return {};
    Ref counts = Ref::steal(PyDict_New());
    if (!counts) return {};
    if (!a[0] || a[0] == Py_None) {
        for (const auto& layer : layers) {
            Ref name = Ref::steal(PyUnicode_FromStringAndSize(layer.name.data(), static_cast<Py_ssize_t>(layer.name.size())));
            Ref n = name ? from_u64(layer.entries) : Ref{};
            if (!n || PyDict_SetItem(counts.get(), name.get(), n.get()) < 0) return {};
        }
        return counts;
    }
    Ref text = layer_text(a[0]);
    const LayerInfo* layer = text ? find_layer(layers, text.get()) : nullptr;
    if (!layer) return {};
    for (const auto& t : layer->tables) {
        Ref neuron = from_u64(t.neuron);
        Ref n = neuron ? from_u64(t.entries) : Ref{};
        if (!n || PyDict_SetItem(counts.get(), neuron.get(), n.get()) < 0) return {};
    }
    return counts;
}

QUORLIN_SIGNATURE(db_neuron_sig, "neuron", 2, true, true, "layer", "neuron", "k", "largest");

Ref db_neuron(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (py::parse(db_neuron_sig, args, nargs, kwnames, a) < 0 || check_open(self) < 0) return {};
    unsigned long long neuron;
    int k = 10;
    int largest = a[3] ? PyObject_IsTrue(a[3]) : 1;
    if (index_value(a[1], &neuron) < 0 || (a[2] && py::as_int(a[2], &k) < 0) || largest < 0) return {};
    if (k < 0) {
        PyErr_Format(PyExc_ValueError, "k must be non-negative, not %d", k);
        return {};
    }
    Ref text = layer_text(a[0]);
    Ref key = text ? Ref::steal(PyUnicode_FromFormat("table_%U_%llu", text.get(), neuron)) : Ref{};
    Ref file = key ? py::getattr(self, G.names.file) : Ref{};
    if (!file) return {};
    Ref table = load_table(self, file.get(), key.get());
    if (!table) {
        // No table: a neuron of a known layer that never won is answered with no inputs.
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
        PyErr_Clear();
        std::vector<LayerInfo> layers;
        if (list_layers(file.get(), layers) < 0 || !find_layer(layers, text.get())) return {};
        npy_intp zero = 0;
        Ref idxs = Ref::steal(PyArray_SimpleNew(1, &zero, NPY_UINT16));
        Ref vals = idxs ? Ref::steal(PyArray_SimpleNew(1, &zero, NPY_FLOAT32)) : Ref{};
        return vals ? Ref::steal(PyTuple_Pack(2, idxs.get(), vals.get())) : Ref{};
    }
    Ref idxs = py::getattr(table.get(), G.names.idxs);
    Ref vals = idxs ? py::getattr(table.get(), G.names.vals) : Ref{};
    if (!vals) return {};
    if (!PyArray_Check(vals.get()) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(vals.get())) != NPY_FLOAT32 ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(vals.get())) != 1) {
        PyErr_Format(PyExc_TypeError, "the table %R has no one-dimensional float32 value column", key.get());
        return {};
    }
    // Values ascend with NaN last: the numbers are the first `n`, the highest at their end.
    auto* v = reinterpret_cast<PyArrayObject*>(vals.get());
    npy_intp n = PyArray_DIM(v, 0);
    while (n > 0 && std::isnan(*static_cast<const float*>(PyArray_GETPTR1(v, n - 1)))) --n;
    npy_intp take = std::min<npy_intp>(k, n);
    if (take == 0) largest = 0;  // slice(0, 0): nothing asked, or no number stored (a column of NaN)
    Ref start = Ref::steal(PyLong_FromSsize_t(largest ? n - 1 : 0));
    Ref stop = Ref::steal(largest ? (n - 1 - take < 0 ? Py_NewRef(Py_None) : PyLong_FromSsize_t(n - 1 - take))
                                  : PyLong_FromSsize_t(take));
    Ref step = Ref::steal(PyLong_FromLong(largest ? -1 : 1));
    Ref slice = start && stop && step ? Ref::steal(PySlice_New(start.get(), stop.get(), step.get())) : Ref{};
    Ref out_idxs = slice ? Ref::steal(PyObject_GetItem(idxs.get(), slice.get())) : Ref{};
    Ref out_vals = out_idxs ? Ref::steal(PyObject_GetItem(vals.get(), slice.get())) : Ref{};
    if (!out_vals || !PyArray_Check(out_idxs.get())) {
        if (out_vals) PyErr_Format(PyExc_TypeError, "the table %R has no index column array", key.get());
        return {};
    }
    Ref copy_idxs = Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(out_idxs.get()), NPY_CORDER));
    Ref copy_vals = copy_idxs ? Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(out_vals.get()), NPY_CORDER))
                              : Ref{};
    return copy_vals ? Ref::steal(PyTuple_Pack(2, copy_idxs.get(), copy_vals.get())) : Ref{};
}

QUORLIN_SIGNATURE(db_plot_layers_sig, "plot_layers", 1, true, true, "path_or_axes", "threshold");

Ref db_plot_layers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    double threshold;
    if (py::parse(db_plot_layers_sig, args, nargs, kwnames, a) < 0 || check_open(self) < 0 ||
        read_threshold(a[1], threshold) < 0)
        return {};
    Ref path = Ref::steal(PyOS_FSPath(a[0]));
    if (!path) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return {};
        PyErr_Clear();
        if (!PyObject_HasAttrString(a[0], "broken_barh")) {
            PyErr_Format(PyExc_TypeError, "plot_layers takes a file path or matplotlib Axes, not %.200s",
                         Py_TYPE(a[0])->tp_name);
            return {};
        }
    }
    std::vector<LayerInfo> layers;
    std::vector<LayerFacts> facts;
    if (survey_layers(self, layers, facts) < 0) return {};
    Ref figure;
    Ref ax = path ? new_axes(static_cast<Py_ssize_t>(layers.size()), figure) : Ref::borrow(a[0]);
    if (!ax || draw_layers(ax.get(), layers, facts, threshold) < 0) return {};
    if (path && !invoke(figure.get(), "savefig", Py_BuildValue("(O)", path.get()), Py_BuildValue("{s:i,s:s}", "dpi", 120, "bbox_inches", "tight")))
        return {};
    return ax;
}

PyObject* db_repr(PyObject* self) {
    return py::guard("cquorlin.DB.__repr__", [&]() -> Ref {
        const char* type = Py_TYPE(self)->tp_name;
        if (store_of(self).closed) return Ref::steal(PyUnicode_FromFormat("<%s (closed)>", type));
        Ref file = py::getattr(self, G.names.file);
        Ref path = file ? py::getattr(file.get(), G.names.filename) : Ref{};
        Ref mode = path ? py::getattr(file.get(), G.names.mode) : Ref{};
        if (!mode) {  // a store never opened, or closed
            if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return {};
            PyErr_Clear();
            return Ref::steal(PyUnicode_FromFormat("<%s (closed)>", type));
        }
        Ref preprocessor = py::getattr(self, G.names.preprocessor);
        std::vector<LayerInfo> layers;
        if (!preprocessor || list_layers(file.get(), layers) < 0) return {};
        std::size_t tables = 0;
        for (const auto& layer : layers) tables += layer.tables.size();
        return Ref::steal(PyUnicode_FromFormat("<%s %R, mode %R, preprocessor %R: %zu layers, %zu tables>", type, path.get(),
                                               mode.get(), preprocessor.get(), layers.size(), tables));
    });
}

int report_exec(PyObject* module) {
    Ref objects = Ref::steal(PyImport_ImportModule("h5py._objects"));
    if (!objects || !(S.phil = PyObject_GetAttrString(objects.get(), "phil"))) return -1;
    if (!(S.layer_type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&layer_desc))) ||
        PyObject_SetAttrString(module, "Layer", S.layer_type) < 0)
        return -1;
    Ref layers = make_layers_class();
    if (!layers || PyObject_SetAttrString(module, "Layers", layers.get()) < 0) return -1;
    S.layers_type = layers.release();
    return 0;
}

}  // namespace quorlin
