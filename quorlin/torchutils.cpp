// Layer introspection and the embedding model: layer discovery, addressing, ordering and output hooks.
#include "torchutils.hpp"

#include <new>
#include <utility>
#include <vector>

#include "py/args.hpp"
#include "py/func.hpp"
#include "py/ref.hpp"
#include "state.hpp"

namespace quorlin {

using py::Ref;

namespace {

/// Strings of this unit beyond the shared names; made once in the execute step, never released.
struct TorchNames {
    PyObject* split;
    PyObject* dot;               // "."
    PyObject* pred;              // ".pred"
    PyObject* wrapper_name;      // "_wrapper"
    PyObject* wrapper_qualname;  // "_wrap.<locals>._wrapper"
    PyObject* module_name;       // "cquorlin", the `__module__` of the functions made at run time
    PyObject* recurse_kwnames;   // ("recurse",)
    PyObject* register_forward_pre_hook;
    PyObject* fnmatchcase;        // fnmatch.fnmatchcase
    PyObject* get_close_matches;  // difflib.get_close_matches
    PyObject* capture_type;       // the class Capture
};
TorchNames T{};

// Qualified names, as the traceback frames show them.
constexpr char q_get_layer_names[] = "cquorlin.get_layer_names";
constexpr char q_get_layer[] = "cquorlin.get_layer";
constexpr char q_get_layers_sorted_by_depth[] = "cquorlin.get_layers_sorted_by_depth";
constexpr char q_get_embedding_model[] = "cquorlin.get_embedding_model";
constexpr char q_get_hook[] = "cquorlin._get_hook";
constexpr char q_get_hook_factory[] = "cquorlin._get_hook.lambda";
constexpr char q_get_hook_hook[] = "cquorlin._get_hook.lambda.lambda";
constexpr char q_output_hook[] = "cquorlin._add_hooks.get_output_hook.hook";
constexpr char q_wrapper_init[] = "cquorlin._wrap._wrapper.__init__";
constexpr char q_wrapper_forward[] = "cquorlin._wrap._wrapper.forward";
constexpr char q_capture[] = "cquorlin.capture";
constexpr char q_capture_hook[] = "cquorlin.capture.hook";
constexpr char q_capture_pass_hook[] = "cquorlin.capture.pass_hook";
constexpr char q_capture_enter[] = "cquorlin.Capture.__enter__";
constexpr char q_capture_exit[] = "cquorlin.Capture.__exit__";
constexpr char q_capture_layers[] = "cquorlin.Capture.layers.__get__";

// ---------------------------------------------------------------------------------------------
// Traversal

/// `_is_empty`: advances `it` once, as the built-in `next` does. 1: exhausted at once, 0: it yielded
/// an item (discarded), -1: error.
int is_empty(PyObject* it) {
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(it)->tp_name);
        return -1;
    }
    Ref item = Ref::steal((*Py_TYPE(it)->tp_iternext)(it));
    if (item) return 0;
    if (!PyErr_Occurred()) return 1;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return -1;
    PyErr_Clear();
    return 1;
}

/// 1 if `module` owns a parameter directly (`named_parameters(recurse=False)` yields), 0 if not.
int is_layer(PyObject* module) {
    PyObject* argv[] = {module, Py_False};
    Ref params = Ref::steal(PyObject_VectorcallMethod(G.names.named_parameters, argv, 1, T.recurse_kwnames));
    if (!params) return -1;
    int empty = is_empty(params.get());
    return empty < 0 ? -1 : !empty;
}

/// Unpacks a pair as `a, b = item` does, with the interpreter's messages.
int unpack2(PyObject* item, Ref& a, Ref& b) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        a = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        b = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return -1;
    }
    Ref* slots[] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

/// `str(prefix) + "." + str(part)`: a layer name one level down, or an output key.
Ref join_name(PyObject* prefix, PyObject* part) {
    Ref head = Ref::steal(PyObject_Str(prefix));
    if (!head) return {};
    Ref tail = Ref::steal(PyObject_Str(part));
    if (!tail) return {};
    Ref head_dot = Ref::steal(PyUnicode_Concat(head.get(), T.dot));
    if (!head_dot) return {};
    return Ref::steal(PyUnicode_Concat(head_dot.get(), tail.get()));
}

/// `model.__class__.__name__` as text: the first component of every layer name.
Ref root_name(PyObject* model) {
    Ref cls = py::getattr(model, G.names.__class__);
    if (!cls) return {};
    Ref name = py::getattr(cls.get(), G.names.__name__);
    if (!name) return {};
    return Ref::steal(PyObject_Str(name.get()));
}

/// Calls `on_layer(name, module)` for every layer of `model` (with `every_module`, for every module),
/// in traversal order.
/// An explicit stack of (name, module) pairs: children are pushed in the order `named_children`
/// yields them and popped from the end, so the last child is explored first. No visited set: a
/// module reachable under two parents is visited once per path. Never throws, so callers that must
/// clean up after a failure (remove hooks) see every failure as -1.
template <class F>
int traverse(PyObject* model, F&& on_layer, bool every_module = false) noexcept {
    try {
        std::vector<std::pair<Ref, Ref>> stack;
        Ref name = root_name(model);
        if (!name) return -1;
        stack.emplace_back(std::move(name), Ref::borrow(model));
        while (!stack.empty()) {
            auto [prefix, module] = std::move(stack.back());
            stack.pop_back();
            int layer = every_module ? 1 : is_layer(module.get());
            if (layer < 0 || (layer && on_layer(prefix.get(), module.get()) < 0)) return -1;
            Ref children = py::call_method(module.get(), G.names.named_children);
            if (!children) return -1;
            Ref it = Ref::steal(PyObject_GetIter(children.get()));
            if (!it) return -1;
            while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
                Ref child_name, child;
                if (unpack2(item.get(), child_name, child) < 0) return -1;
                Ref full = join_name(prefix.get(), child_name.get());
                if (!full) return -1;
                stack.emplace_back(std::move(full), std::move(child));
            }
            if (PyErr_Occurred()) return -1;
        }
        return 0;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Layer introspection

QUORLIN_SIGNATURE(get_layer_names_sig, "get_layer_names", 1, false, false, "model");

/// `get_layer_names(model)`: the names of all layers, in traversal order.
Ref get_layer_names(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (py::parse(get_layer_names_sig, args, nargs, kwnames, a) < 0) return {};
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return {};
    if (traverse(a[0], [&](PyObject* name, PyObject*) { return PyList_Append(names.get(), name); }) < 0) return {};
    return names;
}

QUORLIN_SIGNATURE(get_layer_sig, "get_layer", 2, false, true, "model", "name");

/// `get_layer(model, name)`: resolves the components after the first by attribute lookup.
Ref get_layer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (py::parse(get_layer_sig, args, nargs, kwnames, a) < 0) return {};
    Ref parts = py::call_method(a[1], T.split, T.dot);
    if (!parts) return {};
    Ref it = Ref::steal(PyObject_GetIter(parts.get()));
    if (!it) return {};
    Ref current = Ref::borrow(a[0]);
    // The first component names the root class and is not checked against anything.
    Ref part = Ref::steal(PyIter_Next(it.get()));
    while (part) {
        part = Ref::steal(PyIter_Next(it.get()));
        if (!part) break;
        current = py::getattr(current.get(), part.get());
        if (!current) return {};
    }
    if (PyErr_Occurred()) return {};
    return current;
}

QUORLIN_SIGNATURE(get_hook_factory_sig, "lambda", 1, false, true, "name");

/// A hook of `_get_hook`'s factory: appends its layer name to the list; `self` is (list, name).
Ref get_hook_hook(PyObject* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
    if (py::no_keywords("lambda", kwnames) < 0) return {};
    if (PyList_Append(PyTuple_GET_ITEM(self, 0), PyTuple_GET_ITEM(self, 1)) < 0) return {};
    return Ref::borrow(Py_None);
}

PyMethodDef get_hook_hook_def = py::method_def<get_hook_hook, q_get_hook_hook>("lambda");

/// A new hook that appends `name` to `lst` on every call.
Ref make_name_hook(PyObject* lst, PyObject* name) {
    Ref state = Ref::steal(PyTuple_Pack(2, lst, name));
    if (!state) return {};
    return Ref::steal(PyCFunction_NewEx(&get_hook_hook_def, state.get(), T.module_name));
}

/// `_get_hook()`'s factory, bound to the list (`self`): a new hook for one layer name.
Ref get_hook_factory(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (py::parse(get_hook_factory_sig, args, nargs, kwnames, a) < 0) return {};
    return make_name_hook(self, a[0]);
}

PyMethodDef get_hook_factory_def = py::method_def<get_hook_factory, q_get_hook_factory>("lambda");

/// `_get_hook()`: a new empty list and a factory of hooks that append layer names to it.
Ref get_hook(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("_get_hook", false, nargs, kwnames) < 0) return {};
    Ref lst = Ref::steal(PyList_New(0));
    if (!lst) return {};
    Ref factory = Ref::steal(PyCFunction_NewEx(&get_hook_factory_def, lst.get(), T.module_name));
    if (!factory) return {};
    return Ref::steal(PyTuple_Pack(2, lst.get(), factory.get()));
}

/// Calls `remove()` on every handle, in registration order. When the pass failed, its error is set
/// aside meanwhile. A failing `remove` does not stop the others: no hook may stay behind. The
/// error raised last wins, with the earlier ones as its context, as nested `finally` blocks chain them.
int remove_hooks(PyObject* handles, bool failed) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    if (failed) PyErr_Fetch(&type, &value, &tb);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handles); ++i) {
        Ref handle = Ref::borrow(PyList_GET_ITEM(handles, i));
        if (!py::call_method(handle.get(), G.names.remove)) {
            _PyErr_ChainExceptions(type, value, tb);
            PyErr_Fetch(&type, &value, &tb);
            failed = true;
        }
    }
    if (!failed) return 0;
    PyErr_Restore(type, value, tb);
    return -1;
}

QUORLIN_SIGNATURE(get_layers_sorted_by_depth_sig, "get_layers_sorted_by_depth", 2, false, true, "model",
                  "sample_input");

/// `get_layers_sorted_by_depth(model, sample_input)`: layer names in the order their forward passes
/// completed during one pass over `sample_input`. The hooks are removed again, also when the
/// registration or the pass fails.
Ref get_layers_sorted_by_depth(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (py::parse(get_layers_sorted_by_depth_sig, args, nargs, kwnames, a) < 0) return {};
    Ref lst = Ref::steal(PyList_New(0));
    if (!lst) return {};
    Ref handles = Ref::steal(PyList_New(0));
    if (!handles) return {};
    int status = traverse(a[0], [&](PyObject* name, PyObject* module) {
        Ref hook = make_name_hook(lst.get(), name);
        if (!hook) return -1;
        Ref handle = py::call_method(module, G.names.register_forward_hook, hook.get());
        return handle ? PyList_Append(handles.get(), handle.get()) : -1;
    });
    if (status == 0) {
        Ref out = py::call(a[0], a[1]);
        if (!out) status = -1;
    }
    if (remove_hooks(handles.get(), status < 0) < 0) return {};
    return lst;
}

// ---------------------------------------------------------------------------------------------
// Embedding model

/// Stores `output` under `key` when it is a tensor; walks dicts (`items()`) and lists, keying each
/// value by its full path below the layer, so values of different branches never collide. Anything
/// else, tuples included, is skipped.
int store_output(PyObject* acts, PyObject* key, PyObject* output) {
    int is_tensor = PyObject_IsInstance(output, G.tensor);
    if (is_tensor < 0) return -1;
    if (is_tensor) return PyDict_SetItem(acts, key, output);
    bool is_dict = PyDict_Check(output);
    if (!is_dict && !PyList_Check(output)) return 0;
    // A self-containing list would otherwise recurse without end.
    if (Py_EnterRecursiveCall(" in an output hook")) return -1;
    int status = -1;
    Ref entries = is_dict ? py::call_method(output, G.names.items) : Ref::borrow(output);
    Ref it = entries ? Ref::steal(PyObject_GetIter(entries.get())) : Ref{};
    if (it) {
        status = 0;
        for (Py_ssize_t pos = 0; status == 0; ++pos) {
            Ref item = Ref::steal(PyIter_Next(it.get()));
            if (!item) {
                if (PyErr_Occurred()) status = -1;
                break;
            }
            Ref sub, value;
            if (is_dict) {
                if (unpack2(item.get(), sub, value) < 0) {
                    status = -1;
                    break;
                }
            } else {
                sub = py::from_size(pos);
                value = std::move(item);
            }
            Ref sub_key = sub ? join_name(key, sub.get()) : Ref{};
            status = sub_key ? store_output(acts, sub_key.get(), value.get()) : -1;
        }
    }
    Py_LeaveRecursiveCall();
    return status;
}

QUORLIN_SIGNATURE(output_hook_sig, "hook", 3, false, true, "model", "input", "output", "_index");

/// The output hook of one layer; `self` is (activation dict, layer name). A truthy `_index`
/// replaces the layer name as the key.
Ref output_hook(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (py::parse(output_hook_sig, args, nargs, kwnames, a) < 0) return {};
    PyObject* key = PyTuple_GET_ITEM(self, 1);
    if (a[3]) {
        int truthy = PyObject_IsTrue(a[3]);
        if (truthy < 0) return {};
        if (truthy) key = a[3];
    }
    if (store_output(PyTuple_GET_ITEM(self, 0), key, a[2]) < 0) return {};
    return Ref::borrow(Py_None);
}

PyMethodDef output_hook_def = py::method_def<output_hook, q_output_hook>("hook");

/// `_wrapper.__init__(self)`; `state` is the private model copy.
Ref wrapper_init(PyObject* state, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) {
        py::raise_arg_count("__init__", true, 1, 0, false);
        return {};
    }
    if (py::no_args("__init__", true, nargs - 1, kwnames) < 0) return {};
    Ref base_init = py::getattr(G.nn_module, G.names.__init__);
    if (!base_init || !py::call(base_init.get(), args[0])) return {};
    // Through the module's attribute assignment, which registers the copy as a submodule.
    if (PyObject_SetAttr(args[0], G.names._inner, state) < 0) return {};
    return Ref::borrow(Py_None);
}

/// `_wrapper.forward(self, *args, **kwargs)`; `state` is (model copy, activation dict).
Ref wrapper_forward(PyObject* state, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) {
        py::raise_arg_count("forward", false, 1, 0, true);
        return {};
    }
    PyObject* inner = PyTuple_GET_ITEM(state, 0);
    PyObject* acts = PyTuple_GET_ITEM(state, 1);
    // Each pass starts empty: an entry left from an earlier pass (a layer this pass skipped, a
    // prediction that is no tensor now) would pair another batch's activations with these inputs.
    PyDict_Clear(acts);
    Ref out = Ref::steal(PyObject_Vectorcall(inner, args + 1, static_cast<size_t>(nargs - 1), kwnames));
    if (!out) return {};
    int is_tensor = PyObject_IsInstance(out.get(), G.tensor);
    if (is_tensor < 0 || (is_tensor && PyDict_SetItem(acts, T.pred, out.get()) < 0)) return {};
    return Ref::steal(PyDict_Copy(acts));
}

PyMethodDef wrapper_init_def = py::method_def<wrapper_init, q_wrapper_init>("__init__");
PyMethodDef wrapper_forward_def = py::method_def<wrapper_forward, q_wrapper_forward>("forward");

/// A function of the wrapper class: a C function over `state`, made to bind `self` like a method.
Ref wrapper_method(PyMethodDef* def, PyObject* state) {
    Ref fn = Ref::steal(PyCFunction_NewEx(def, state, T.module_name));
    if (!fn) return {};
    return Ref::steal(PyInstanceMethod_New(fn.get()));
}

/// A new `_wrapper` class (a subclass of `torch.nn.Module`) around `inner` and `acts`, and one
/// instance of it.
Ref wrap(PyObject* inner, PyObject* acts) {
    Ref forward_state = Ref::steal(PyTuple_Pack(2, inner, acts));
    if (!forward_state) return {};
    Ref init = wrapper_method(&wrapper_init_def, inner);
    if (!init) return {};
    Ref forward = wrapper_method(&wrapper_forward_def, forward_state.get());
    if (!forward) return {};
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), G.names.__module__, T.module_name) < 0 ||
        PyDict_SetItem(ns.get(), G.names.__qualname__, T.wrapper_qualname) < 0 ||
        PyDict_SetItem(ns.get(), G.names.__init__, init.get()) < 0 ||
        PyDict_SetItem(ns.get(), G.names.forward, forward.get()) < 0)
        return {};
    Ref bases = Ref::steal(PyTuple_Pack(1, G.nn_module));
    if (!bases) return {};
    PyObject* metatype = reinterpret_cast<PyObject*>(Py_TYPE(G.nn_module));
    Ref cls = py::call(metatype, T.wrapper_name, bases.get(), ns.get());
    if (!cls) return {};
    return py::call(cls.get());
}

QUORLIN_SIGNATURE(get_embedding_model_sig, "get_embedding_model", 1, false, false, "model");

/// `get_embedding_model(model)`: a wrapper, in evaluation mode, around a hooked private deep copy.
Ref get_embedding_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (py::parse(get_embedding_model_sig, args, nargs, kwnames, a) < 0) return {};
    Ref inner = py::call(G.deepcopy, a[0]);
    if (!inner) return {};
    Ref acts = Ref::steal(PyDict_New());
    if (!acts) return {};
    // The handles are dropped: the hooks stay for the life of the copy.
    int status = traverse(inner.get(), [&](PyObject* name, PyObject* module) {
        Ref state = Ref::steal(PyTuple_Pack(2, acts.get(), name));
        if (!state) return -1;
        Ref hook = Ref::steal(PyCFunction_NewEx(&output_hook_def, state.get(), T.module_name));
        if (!hook) return -1;
        return py::call_method(module, G.names.register_forward_hook, hook.get()) ? 0 : -1;
    });
    if (status < 0) return {};
    Ref wrapper = wrap(inner.get(), acts.get());
    if (!wrapper) return {};
    return py::call_method(wrapper.get(), G.names.eval);
}

// ---------------------------------------------------------------------------------------------
// Capture on the live model

/// A `with` block's hooks on the caller's own model. `chosen` is fixed when the capture is made;
/// the hooks exist only between `__enter__` and `__exit__`.
struct Capture {
    PyObject_HEAD
    PyObject* model;
    PyObject* chosen;   // list of (name, module), in traversal order
    PyObject* convert;  // the `outputs` callable, or None
    PyObject* outputs;  // dict: the outputs of the model's last forward pass
    PyObject* handles;  // list of hook handles while in a with block, else null
};

Capture* as_capture(PyObject* self) { return reinterpret_cast<Capture*>(self); }

/// One item of `layers` tried on one module: 1 (chosen), 0 (not chosen) or -1.
int item_matches(PyObject* item, PyObject* name, PyObject* module) {
    if (PyUnicode_Check(item)) {
        int equal = PyUnicode_Compare(name, item);
        if (equal == -1 && PyErr_Occurred()) return -1;
        if (equal == 0) return 1;
        Ref hit = py::call(T.fnmatchcase, name, item);
        return hit ? PyObject_IsTrue(hit.get()) : -1;
    }
    if (PyType_Check(item)) return PyObject_IsInstance(module, item);
    Ref answer = py::call(item, name, module);
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

/// The ValueError of an item that chose no module: a name or pattern also gets the closest names.
void raise_unmatched(PyObject* item, PyObject* model, PyObject* names) {
    Ref root = root_name(model);
    if (!root) return;
    if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_ValueError, "%R matches no module of %U", item, root.get());
        return;
    }
    Ref three = py::from_size(3);
    Ref cutoff = three ? Ref::steal(PyFloat_FromDouble(0.0)) : Ref{};
    Ref close = cutoff ? py::call(T.get_close_matches, item, names, three.get(), cutoff.get()) : Ref{};
    if (close) PyErr_Format(PyExc_ValueError, "%R matches no module of %U; closest names: %R", item, root.get(), close.get());
}

/// The modules `layers` chooses, as a list of (name, module) in traversal order. None chooses the
/// layers. A module chosen by several items is chosen once. A name, pattern or class that chooses
/// nothing is an error.
Ref choose(PyObject* model, PyObject* layers) {
    Ref chosen = Ref::steal(PyList_New(0));
    if (!chosen) return {};
    if (layers == Py_None) {
        int status = traverse(model, [&](PyObject* name, PyObject* module) {
            Ref entry = Ref::steal(PyTuple_Pack(2, name, module));
            return entry ? PyList_Append(chosen.get(), entry.get()) : -1;
        });
        return status < 0 ? Ref{} : std::move(chosen);
    }
    // A lone name, class or callable stands for a list of one.
    bool lone = PyUnicode_Check(layers) || PyType_Check(layers) || PyCallable_Check(layers);
    Ref items = Ref::steal(lone ? PyList_New(1) : PySequence_List(layers));
    if (!items) return {};
    if (lone) PyList_SET_ITEM(items.get(), 0, Py_NewRef(layers));
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* item = PyList_GET_ITEM(items.get(), j);
        if (!PyUnicode_Check(item) && !PyType_Check(item) && !PyCallable_Check(item)) {
            PyErr_Format(PyExc_TypeError, "layers must hold layer names, patterns, module classes or callables, not %.200s",
                         Py_TYPE(item)->tp_name);
            return {};
        }
    }
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return {};
    std::vector<bool> used(static_cast<std::size_t>(n), false);
    int status = traverse(
        model,
        [&](PyObject* name, PyObject* module) {
            if (PyList_Append(names.get(), name) < 0) return -1;
            bool chosen_here = false;
            // Every item is tried, so that each one that matches counts as used.
            for (Py_ssize_t j = 0; j < n; ++j) {
                int hit = item_matches(PyList_GET_ITEM(items.get(), j), name, module);
                if (hit < 0) return -1;
                if (hit) used[static_cast<std::size_t>(j)] = chosen_here = true;
            }
            if (!chosen_here) return 0;
            Ref entry = Ref::steal(PyTuple_Pack(2, name, module));
            return entry ? PyList_Append(chosen.get(), entry.get()) : -1;
        },
        true);
    if (status < 0) return {};
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* item = PyList_GET_ITEM(items.get(), j);
        if (!used[static_cast<std::size_t>(j)] && (PyUnicode_Check(item) || PyType_Check(item))) {
            raise_unmatched(item, model, names.get());
            return {};
        }
    }
    return chosen;
}

QUORLIN_SIGNATURE(capture_hook_sig, "hook", 3, false, false, "module", "input", "output");

/// The forward hook of one chosen module; `self` is (outputs, name, convert or None). What `convert`
/// returns is kept in place of the output.
Ref capture_hook(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (py::parse(capture_hook_sig, args, nargs, kwnames, a) < 0) return {};
    PyObject* name = PyTuple_GET_ITEM(self, 1);
    PyObject* convert = PyTuple_GET_ITEM(self, 2);
    if (convert == Py_None) return store_output(PyTuple_GET_ITEM(self, 0), name, a[2]) < 0 ? Ref{} : Ref::borrow(Py_None);
    Ref output = py::call(convert, name, a[2]);
    if (!output) return {};
    // What `convert` returns is kept as it is (an array too); its tensors, dicts and lists as outputs are.
    int is_output = output.get() == Py_None ? 1 : PyObject_IsInstance(output.get(), G.tensor);
    if (is_output < 0) return {};
    bool walked = is_output || PyDict_Check(output.get()) || PyList_Check(output.get());
    int status = walked ? store_output(PyTuple_GET_ITEM(self, 0), name, output.get())
                        : PyDict_SetItem(PyTuple_GET_ITEM(self, 0), name, output.get());
    return status < 0 ? Ref{} : Ref::borrow(Py_None);
}

QUORLIN_SIGNATURE(capture_pass_hook_sig, "pass_hook", 2, false, false, "module", "input");

/// The forward pre-hook of the model itself; `self` is the outputs dict. Each pass starts empty, so
/// the capture holds one pass, and a module that this pass skips leaves no entry of an earlier one.
Ref capture_pass_hook(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (py::parse(capture_pass_hook_sig, args, nargs, kwnames, a) < 0) return {};
    PyDict_Clear(self);
    return Ref::borrow(Py_None);
}

PyMethodDef capture_hook_def = py::method_def<capture_hook, q_capture_hook>("hook");
PyMethodDef capture_pass_hook_def = py::method_def<capture_pass_hook, q_capture_pass_hook>("pass_hook");

/// Registers `hook` (a C function over `state`) with `module.<how>` and keeps its handle.
int add_hook(PyObject* handles, PyObject* module, PyObject* how, PyMethodDef* hook_def, PyObject* state) {
    Ref hook = Ref::steal(PyCFunction_NewEx(hook_def, state, T.module_name));
    if (!hook) return -1;
    Ref handle = py::call_method(module, how, hook.get());
    return handle ? PyList_Append(handles, handle.get()) : -1;
}

/// `Capture.__enter__()`: hooks the chosen modules and the model's own pass; returns the outputs dict.
Ref capture_enter(PyObject* self_obj, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("__enter__", true, nargs, kwnames) < 0) return {};
    Capture* self = as_capture(self_obj);
    if (self->handles) {
        PyErr_SetString(PyExc_RuntimeError, "this capture is already in a with block");
        return {};
    }
    Ref handles = Ref::steal(PyList_New(0));
    if (!handles) return {};
    int status = add_hook(handles.get(), self->model, T.register_forward_pre_hook, &capture_pass_hook_def, self->outputs);
    for (Py_ssize_t i = 0; status == 0 && i < PyList_GET_SIZE(self->chosen); ++i) {
        PyObject* entry = PyList_GET_ITEM(self->chosen, i);
        Ref state = Ref::steal(PyTuple_Pack(3, self->outputs, PyTuple_GET_ITEM(entry, 0), self->convert));
        status = state ? add_hook(handles.get(), PyTuple_GET_ITEM(entry, 1), G.names.register_forward_hook,
                                  &capture_hook_def, state.get())
                       : -1;
    }
    if (status < 0) {
        remove_hooks(handles.get(), true);
        return {};
    }
    self->handles = handles.release();
    return Ref::borrow(self->outputs);
}

/// `Capture.__exit__(*exc)`: removes every hook the block added, also when it raised; the outputs
/// of the last pass stay. An exception from the block passes on.
Ref capture_exit(PyObject* self_obj, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
    if (py::no_keywords("__exit__", kwnames) < 0) return {};
    Capture* self = as_capture(self_obj);
    Ref handles = Ref::steal(std::exchange(self->handles, nullptr));
    if (handles && remove_hooks(handles.get(), false) < 0) return {};
    return Ref::borrow(Py_False);
}

/// `Capture.layers`: the names of the chosen modules, in traversal order.
PyObject* capture_layers(PyObject* self, void*) {
    return py::guard(q_capture_layers, [&] {
        PyObject* chosen = as_capture(self)->chosen;
        Ref names = Ref::steal(PyList_New(PyList_GET_SIZE(chosen)));
        if (!names) return Ref{};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chosen); ++i)
            PyList_SET_ITEM(names.get(), i, Py_NewRef(PyTuple_GET_ITEM(PyList_GET_ITEM(chosen, i), 0)));
        return names;
    });
}

int capture_traverse(PyObject* self, visitproc visit, void* arg) {
    Capture* c = as_capture(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->model);
    Py_VISIT(c->chosen);
    Py_VISIT(c->convert);
    Py_VISIT(c->outputs);
    Py_VISIT(c->handles);
    return 0;
}

int capture_clear(PyObject* self) {
    Capture* c = as_capture(self);
    Py_CLEAR(c->model);
    Py_CLEAR(c->chosen);
    Py_CLEAR(c->convert);
    Py_CLEAR(c->outputs);
    Py_CLEAR(c->handles);
    return 0;
}

/// A capture dropped inside its block (never exited) leaves its hooks: removing them here would
/// call into the model from a destructor.
void capture_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    capture_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef capture_methods[] = {
    py::method_def<capture_enter, q_capture_enter>("__enter__"),
    py::method_def<capture_exit, q_capture_exit>("__exit__"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef capture_getset[] = {
    {"layers", capture_layers, nullptr, "names of the chosen modules", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot capture_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&capture_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&capture_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&capture_clear)},
    {Py_tp_methods, capture_methods},
    {Py_tp_getset, capture_getset},
    {0, nullptr},
};

PyType_Spec capture_spec = {"cquorlin.Capture", sizeof(Capture), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            capture_slots};

QUORLIN_SIGNATURE(capture_sig, "capture", 1, false, true, "model", "layers", "outputs");

/// `capture(model, layers=None, outputs=None)`: a context manager that keeps the chosen modules'
/// outputs of each forward pass of `model` itself, without a copy. The choice is resolved here, so
/// a name that matches nothing fails before any hook exists.
Ref capture(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (py::parse(capture_sig, args, nargs, kwnames, a) < 0) return {};
    int is_module = PyObject_IsInstance(a[0], G.nn_module);
    if (is_module < 0) return {};
    if (!is_module) {
        PyErr_Format(PyExc_TypeError, "capture() argument 'model' must be a torch.nn.Module, not %.200s",
                     Py_TYPE(a[0])->tp_name);
        return {};
    }
    PyObject* convert = a[2] ? a[2] : Py_None;
    if (convert != Py_None && !PyCallable_Check(convert)) {
        PyErr_Format(PyExc_TypeError, "capture() argument 'outputs' must be callable or None, not %.200s",
                     Py_TYPE(convert)->tp_name);
        return {};
    }
    Ref chosen = choose(a[0], a[1] ? a[1] : Py_None);
    if (!chosen) return {};
    Ref outputs = Ref::steal(PyDict_New());
    if (!outputs) return {};
    auto* type = reinterpret_cast<PyTypeObject*>(T.capture_type);
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return {};
    Capture* c = as_capture(obj.get());
    c->model = Py_NewRef(a[0]);
    c->chosen = chosen.release();
    c->convert = Py_NewRef(convert);
    c->outputs = outputs.release();
    return obj;
}

PyMethodDef get_hook_defs[] = {
    py::method_def<get_hook, q_get_hook>("_get_hook"),
    {nullptr, nullptr, 0, nullptr},
};

/// Interns this unit's own strings.
int intern_torch_names() {
    if (!(T.split = PyUnicode_InternFromString("split")) || !(T.dot = PyUnicode_InternFromString(".")) ||
        !(T.pred = PyUnicode_InternFromString(".pred")) ||
        !(T.wrapper_name = PyUnicode_InternFromString("_wrapper")) ||
        !(T.wrapper_qualname = PyUnicode_InternFromString("_wrap.<locals>._wrapper")) ||
        !(T.module_name = PyUnicode_InternFromString("cquorlin")))
        return -1;
    if (!(T.register_forward_pre_hook = PyUnicode_InternFromString("register_forward_pre_hook"))) return -1;
    return (T.recurse_kwnames = PyTuple_Pack(1, G.names.recurse)) ? 0 : -1;
}

/// `name` of the standard module `module_name`, kept for the life of the process.
PyObject* import_attr(const char* module_name, const char* name) {
    Ref source = Ref::steal(PyImport_ImportModule(module_name));
    return source ? PyObject_GetAttrString(source.get(), name) : nullptr;
}

}  // namespace

PyMethodDef torchutils_functions[] = {
    py::method_def<get_layer_names, q_get_layer_names>("get_layer_names"),
    py::method_def<get_layer, q_get_layer>("get_layer"),
    py::method_def<get_layers_sorted_by_depth, q_get_layers_sorted_by_depth>("get_layers_sorted_by_depth"),
    py::method_def<get_embedding_model, q_get_embedding_model>("get_embedding_model"),
    py::method_def<capture, q_capture>("capture"),
    {nullptr, nullptr, 0, nullptr},
};

int torchutils_exec(PyObject* module) {
    Ref torch = Ref::steal(import_as(module, "torch", "torch"));
    if (!torch) return -1;
    G.torch = torch.release();
    if (!(G.tensor = PyObject_GetAttrString(G.torch, "Tensor"))) return -1;
    Ref nn = Ref::steal(PyObject_GetAttrString(G.torch, "nn"));
    if (!nn || !(G.nn_module = PyObject_GetAttrString(nn.get(), "Module"))) return -1;
    if (import_from(module, "typing", {"List", "Tuple", "Optional", "Dict"}) < 0) return -1;
    if (import_from(module, "collections", {"defaultdict"}) < 0) return -1;
    Ref copy = Ref::steal(import_as(module, "copy", "copy"));
    if (!copy || !(G.deepcopy = PyObject_GetAttrString(copy.get(), "deepcopy"))) return -1;
    if (intern_torch_names() < 0) return -1;
    if (!(T.fnmatchcase = import_attr("fnmatch", "fnmatchcase")) ||
        !(T.get_close_matches = import_attr("difflib", "get_close_matches")))
        return -1;
    if (!(T.capture_type = PyType_FromModuleAndSpec(module, &capture_spec, nullptr)) ||
        PyObject_SetAttrString(module, "Capture", T.capture_type) < 0)
        return -1;
    return PyModule_AddFunctions(module, get_hook_defs);
}

}  // namespace quorlin
