"""Model instrumentation: layer names, addressing, execution order and the embedding model.

Every case runs against real torch.nn modules. The builders `make_image_model` and `make_text_model`
are shared with the end-to-end store tests.
"""

import gc
import sys
import traceback
import weakref

import h5py
import numpy as np
import pytest
import torch
from torch import nn

import cquorlin
from conftest import memory_growth


# ---------------------------------------------------------------------------------------------
# Models


class Net(nn.Module):
    """conv1, conv2, fc registered in this order, all used in order; the root owns no parameters."""

    def __init__(self):
        super().__init__()
        self.conv1 = nn.Linear(4, 4)
        self.conv2 = nn.Linear(4, 4)
        self.fc = nn.Linear(4, 2)
        self.act = nn.ReLU()

    def forward(self, x):
        return self.fc(self.act(self.conv2(self.conv1(x))))


class TwoFC(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc1 = nn.Linear(4, 3)
        self.fc2 = nn.Linear(3, 2)

    def forward(self, x):
        return self.fc2(self.fc1(x))


class OwnAndChildren(nn.Module):
    """Owns a parameter directly and has two child layers."""

    def __init__(self):
        super().__init__()
        self.scale = nn.Parameter(torch.ones(4))
        self.a = nn.Linear(4, 4)
        self.b = nn.Linear(4, 4)

    def forward(self, x):
        return self.b(self.a(x)) * self.scale


class BufferOnly(nn.Module):
    def __init__(self):
        super().__init__()
        self.register_buffer("offset", torch.zeros(4))

    def forward(self, x):
        return x + self.offset


class NoneParam(nn.Module):
    """A registered parameter slot that holds None: `named_parameters` skips it."""

    def __init__(self):
        super().__init__()
        self.register_parameter("weight", None)

    def forward(self, x):
        return x


class Stack(nn.Sequential):
    pass


class IntNames(nn.Module):
    """Reports its children under integer names."""

    def __init__(self):
        super().__init__()
        self.first = nn.Linear(4, 4)
        self.second = nn.Linear(4, 4)

    def named_children(self):
        return iter(list(enumerate(self._modules.values())))


class CountingParams(nn.Linear):
    """Records how `named_parameters` is called and how far its iterator is advanced."""

    def __init__(self):
        super().__init__(4, 4)
        self.calls = []
        self.advanced = 0

    def named_parameters(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        owner = self

        class Counting:
            def __iter__(self):
                return self

            def __next__(self):
                owner.advanced += 1
                return ("p", None)

        return Counting()


class ListParams(nn.Linear):
    def named_parameters(self, *args, **kwargs):
        return [("weight", self.weight)]


class BadChildren(nn.Module):
    def __init__(self, items):
        super().__init__()
        self.items = items

    def named_children(self):
        return iter(self.items)


class RaisingChildren(nn.Module):
    error = LookupError("no children today")

    def named_children(self):
        raise self.error


class Shared(nn.Module):
    """One linear layer called twice, one never called."""

    def __init__(self):
        super().__init__()
        self.lin = nn.Linear(4, 4)
        self.unused = nn.Linear(4, 4)

    def forward(self, x):
        return self.lin(torch.relu(self.lin(x)))


class Scaled(nn.Module):
    """Owns a parameter and calls a child layer: it completes after the child."""

    def __init__(self):
        super().__init__()
        self.weight = nn.Parameter(torch.ones(4))
        self.lin = nn.Linear(4, 4)

    def forward(self, x):
        return self.lin(x) * self.weight


class Reversed(nn.Module):
    """Children registered as a, b but called b, then a."""

    def __init__(self):
        super().__init__()
        self.a = nn.Linear(4, 4)
        self.b = nn.Linear(4, 4)

    def forward(self, x):
        return self.a(self.b(x))


class Failing(nn.Module):
    error = ArithmeticError("forward failed")

    def __init__(self):
        super().__init__()
        self.lin = nn.Linear(4, 4)

    def forward(self, x):
        self.lin(x)
        raise self.error


class RefusesHooks(nn.Linear):
    def register_forward_hook(self, *args, **kwargs):
        raise PermissionError("no hooks here")


class FailingRemove(nn.Linear):
    """Registers real hooks, but its handles fail to remove them."""

    class Handle:
        def __init__(self, handle):
            self.handle = handle

        def remove(self):
            self.handle.remove()
            raise OSError("cannot remove")

    def register_forward_hook(self, *args, **kwargs):
        return self.Handle(super().register_forward_hook(*args, **kwargs))


class Structured(nn.Module):
    """A layer whose output is built by `build` from its linear map of the input."""

    def __init__(self, build):
        super().__init__()
        self.weight = nn.Parameter(torch.randn(4, 4))
        self.build = build

    def forward(self, x):
        return self.build(x @ self.weight)


class Holder(nn.Module):
    def __init__(self, build):
        super().__init__()
        self.out = Structured(build)

    def forward(self, x):
        return self.out(x)


class Branchy(nn.Module):
    """Data-dependent control flow: which layers run, and in which order, depends on `path`."""

    def __init__(self):
        super().__init__()
        self.a = nn.Linear(4, 4)
        self.b = nn.Linear(4, 4)

    def forward(self, x, path="ab", as_tuple=False):
        for name in path:
            x = getattr(self, name)(x)
        return (x,) if as_tuple else x


class Keywords(nn.Module):
    def __init__(self):
        super().__init__()
        self.lin = nn.Linear(4, 4)

    def forward(self, x, y, *, scale=1.0, shift=None):
        out = self.lin(x + y) * scale
        return out if shift is None else out + shift


class Uncopyable(nn.Linear):
    def __deepcopy__(self, memo):
        raise RuntimeError("not copyable")


class ImageNet(nn.Module):
    def __init__(self, classes=10):
        super().__init__()
        self.features = nn.Sequential(
            nn.Conv2d(3, 8, 3, padding=1),
            nn.BatchNorm2d(8),
            nn.ReLU(),
            nn.MaxPool2d(2),
            nn.Conv2d(8, 16, 3, padding=1),
            nn.BatchNorm2d(16),
            nn.ReLU(),
            nn.AdaptiveAvgPool2d(2),
        )
        self.head = nn.Linear(16 * 2 * 2, classes)

    def forward(self, x):
        return self.head(self.features(x).flatten(1))


class TextNet(nn.Module):
    def __init__(self, vocab=50, width=16, classes=4, depth=2):
        super().__init__()
        self.embed = nn.Embedding(vocab, width)
        layer = nn.TransformerEncoderLayer(width, nhead=2, dim_feedforward=32, dropout=0.0, batch_first=True)
        # No nested-tensor conversion: the encoder then runs its layers through their ordinary forward.
        self.encoder = nn.TransformerEncoder(layer, num_layers=depth, enable_nested_tensor=False)
        self.head = nn.Linear(width, classes)

    def forward(self, tokens):
        return self.head(self.encoder(self.embed(tokens)).mean(1))


def make_image_model(seed=0):
    """A small CNN (Conv2d, BatchNorm2d, Linear) for 3x16x16 images, in evaluation mode."""
    torch.manual_seed(seed)
    return ImageNet().eval()


def make_text_model(seed=0):
    """A small TransformerEncoder classifier over token ids of shape (batch, 12), in evaluation mode."""
    torch.manual_seed(seed)
    return TextNet().eval()


def frames(excinfo):
    return [entry.name for entry in traceback.extract_tb(excinfo.value.__traceback__)]


def all_hooks(model):
    return [hook for module in model.modules() for hook in module._forward_hooks.values()]


x4 = torch.randn(3, 4)


# ---------------------------------------------------------------------------------------------
# Calling forms


@pytest.mark.parametrize(
    "call, message, frame",
    [
        (lambda m: cquorlin.get_layer_names(), "get_layer_names() takes exactly 1 positional argument (0 given)",
         "cquorlin.get_layer_names"),
        (lambda m: cquorlin.get_layer_names(m, m), "get_layer_names() takes exactly 1 positional argument (2 given)",
         "cquorlin.get_layer_names"),
        (lambda m: cquorlin.get_layer_names(model=m), "get_layer_names() takes no keyword arguments",
         "cquorlin.get_layer_names"),
        (lambda m: cquorlin.get_embedding_model(),
         "get_embedding_model() takes exactly 1 positional argument (0 given)", "cquorlin.get_embedding_model"),
        (lambda m: cquorlin.get_embedding_model(m, m),
         "get_embedding_model() takes exactly 1 positional argument (2 given)", "cquorlin.get_embedding_model"),
        (lambda m: cquorlin.get_embedding_model(model=m), "get_embedding_model() takes no keyword arguments",
         "cquorlin.get_embedding_model"),
        (lambda m: cquorlin.get_layer(m), "get_layer() takes exactly 2 positional arguments (1 given)",
         "cquorlin.get_layer"),
        (lambda m: cquorlin.get_layer(m, "Net", "x"), "get_layer() takes exactly 2 positional arguments (3 given)",
         "cquorlin.get_layer"),
        (lambda m: cquorlin.get_layer(m, "Net", model=m),
         "get_layer() got multiple values for keyword argument 'model'", "cquorlin.get_layer"),
        (lambda m: cquorlin.get_layer(m, nam="Net"), "get_layer() got an unexpected keyword argument 'nam'",
         "cquorlin.get_layer"),
        (lambda m: cquorlin.get_layers_sorted_by_depth(m),
         "get_layers_sorted_by_depth() takes exactly 2 positional arguments (1 given)",
         "cquorlin.get_layers_sorted_by_depth"),
        (lambda m: cquorlin.get_layers_sorted_by_depth(model=m, sample=x4),
         "get_layers_sorted_by_depth() got an unexpected keyword argument 'sample'",
         "cquorlin.get_layers_sorted_by_depth"),
        (lambda m: cquorlin._get_hook(m), "_get_hook() takes exactly 0 positional arguments (1 given)",
         "cquorlin._get_hook"),
        (lambda m: cquorlin._get_hook(x=m), "_get_hook() got an unexpected keyword argument 'x'",
         "cquorlin._get_hook"),
    ],
)
def test_calling_form_errors(call, message, frame):
    with pytest.raises(TypeError) as excinfo:
        call(Net())
    assert str(excinfo.value) == message
    assert frames(excinfo)[-1] == frame


def test_keywords_accepted_where_allowed():
    model = Net()
    assert cquorlin.get_layer(name="Net.fc", model=model) is model.fc
    assert cquorlin.get_layer(model, name="Net.fc") is model.fc
    assert cquorlin.get_layers_sorted_by_depth(sample_input=x4, model=model) == ["Net.conv1", "Net.conv2", "Net.fc"]


def test_module_attributes():
    for name in ("get_layer_names", "get_layer", "get_layers_sorted_by_depth", "get_embedding_model", "_get_hook"):
        assert type(getattr(cquorlin, name)).__name__ == "builtin_function_or_method"
        assert getattr(cquorlin, name).__name__ == name
    assert not hasattr(cquorlin, "_is_empty")
    assert cquorlin.torch is torch
    assert cquorlin.copy is __import__("copy")


# ---------------------------------------------------------------------------------------------
# get_layer_names


def shared_under_two_parents():
    shared = nn.Linear(4, 4)
    return nn.Sequential(nn.Sequential(shared), nn.Sequential(nn.ReLU(), shared))


@pytest.mark.parametrize(
    "build, expected",
    [
        (lambda: nn.Linear(4, 4), ["Linear"]),
        (lambda: nn.Sequential(nn.Linear(4, 4), nn.Linear(4, 4)), ["Sequential.1", "Sequential.0"]),
        (Net, ["Net.fc", "Net.conv2", "Net.conv1"]),
        # Depth first, last sibling first.
        (lambda: nn.Sequential(nn.Sequential(nn.Linear(4, 4), nn.ReLU(), nn.Linear(4, 4)), nn.Linear(4, 4)),
         ["Sequential.1", "Sequential.0.2", "Sequential.0.0"]),
        (OwnAndChildren, ["OwnAndChildren", "OwnAndChildren.b", "OwnAndChildren.a"]),
        (lambda: nn.Sequential(nn.ReLU(), nn.MaxPool2d(2), BufferOnly(), NoneParam(), nn.Identity()), []),
        (shared_under_two_parents, ["Sequential.1.1", "Sequential.0.0"]),
        # Within one parent a module is reported once.
        (lambda: (lambda lin: nn.Sequential(lin, lin))(nn.Linear(4, 4)), ["Sequential.0"]),
        (lambda: Stack(nn.Linear(4, 4)), ["Stack.0"]),
        (IntNames, ["IntNames.1", "IntNames.0"]),
        (make_image_model, ["ImageNet.head", "ImageNet.features.5", "ImageNet.features.4",
                            "ImageNet.features.1", "ImageNet.features.0"]),
    ],
)
def test_get_layer_names(build, expected):
    model = build()
    assert cquorlin.get_layer_names(model) == expected
    assert all(type(name) is str for name in cquorlin.get_layer_names(model))


def test_get_layer_names_deep_and_wide():
    # The traversal keeps its own stack: nesting far beyond the recursion limit is fine.
    deep = leaf = nn.Sequential()
    for _ in range(3 * sys.getrecursionlimit()):
        inner = nn.Sequential()
        leaf.append(inner)
        leaf = inner
    leaf.append(nn.Linear(4, 4))
    (name,) = cquorlin.get_layer_names(deep)
    assert name == "Sequential" + ".0" * (3 * sys.getrecursionlimit() + 1)
    names = cquorlin.get_layer_names(nn.Sequential(*(nn.Linear(4, 4) for _ in range(2_000))))
    assert names == [f"Sequential.{i}" for i in range(1_999, -1, -1)]


def test_parameters_probed_once_without_recursion():
    model = nn.Sequential(CountingParams())
    assert cquorlin.get_layer_names(model) == ["Sequential.0"]
    layer = model[0]
    assert layer.calls == [((), {"recurse": False})]
    assert layer.advanced == 1


@pytest.mark.parametrize(
    "model, error, message",
    [
        (nn.Sequential(ListParams(4, 4)), TypeError, "'list' object is not an iterator"),
        (BadChildren([("a", nn.Linear(4, 4), "extra")]), ValueError, "too many values to unpack (expected 2)"),
        (BadChildren([("a",)]), ValueError, "not enough values to unpack (expected 2, got 1)"),
        (BadChildren([7]), TypeError, "cannot unpack non-iterable int object"),
        (BadChildren([("a", 5)]), AttributeError, "'int' object has no attribute 'named_parameters'"),
    ],
)
def test_traversal_faults(model, error, message):
    with pytest.raises(error) as excinfo:
        cquorlin.get_layer_names(model)
    assert str(excinfo.value) == message
    assert frames(excinfo)[-1] == "cquorlin.get_layer_names"


def test_traversal_error_passes_unchanged():
    with pytest.raises(LookupError) as excinfo:
        cquorlin.get_layer_names(nn.Sequential(RaisingChildren()))
    assert excinfo.value is RaisingChildren.error
    assert "cquorlin.get_layer_names" in frames(excinfo)


# ---------------------------------------------------------------------------------------------
# get_layer


class Deep(nn.Module):
    def __init__(self):
        super().__init__()
        self.features = nn.Sequential(nn.Linear(4, 4), nn.ReLU())
        self.fc = nn.Linear(4, 2)


@pytest.mark.parametrize(
    "name, expected",
    [
        ("Deep.fc", lambda m: m.fc),
        ("Other.fc", lambda m: m.fc),
        ("Deep", lambda m: m),
        ("", lambda m: m),
        ("Deep.features.0", lambda m: m.features[0]),
        ("Deep.features.1", lambda m: m.features[1]),
        ("Deep.fc.weight", lambda m: m.fc.weight),
    ],
)
def test_get_layer(name, expected):
    model = Deep()
    assert cquorlin.get_layer(model, name) is expected(model)


def test_get_layer_round_trips_layer_names():
    model = make_image_model()
    for name in cquorlin.get_layer_names(model):
        layer = cquorlin.get_layer(model, name)
        assert next(layer.named_parameters(recurse=False), None) is not None


@pytest.mark.parametrize(
    "name, message",
    [
        ("Deep.nope", "'Deep' object has no attribute 'nope'"),
        ("Deep.features.7", "'Sequential' object has no attribute '7'"),
        (3, "'int' object has no attribute 'split'"),
    ],
)
def test_get_layer_missing(name, message):
    with pytest.raises(AttributeError) as excinfo:
        cquorlin.get_layer(Deep(), name)
    assert str(excinfo.value) == message
    assert "cquorlin.get_layer" in frames(excinfo)


# ---------------------------------------------------------------------------------------------
# _get_hook


def test_get_hook():
    lst, factory = cquorlin._get_hook()
    assert lst == []
    other, _ = cquorlin._get_hook()
    assert other is not lst
    first, second = factory("first"), factory(name="second")
    assert first(1, 2, 3) is None
    assert second() is None
    assert first(None) is None
    assert lst == ["first", "second", "first"]
    assert other == []


def test_get_hook_as_forward_hook():
    lst, factory = cquorlin._get_hook()
    layer = nn.Linear(4, 4)
    handle = layer.register_forward_hook(factory("Linear"))
    layer(x4)
    layer(x4)
    handle.remove()
    layer(x4)
    assert lst == ["Linear", "Linear"]


@pytest.mark.parametrize(
    "call, message, frame",
    [
        (lambda f: f("n")(1, x=2), "lambda() got an unexpected keyword argument 'x'",
         "cquorlin._get_hook.lambda.lambda"),
        (lambda f: f(), "lambda() takes exactly 1 positional argument (0 given)", "cquorlin._get_hook.lambda"),
        (lambda f: f("a", "b"), "lambda() takes exactly 1 positional argument (2 given)",
         "cquorlin._get_hook.lambda"),
    ],
)
def test_get_hook_errors(call, message, frame):
    lst, factory = cquorlin._get_hook()
    with pytest.raises(TypeError) as excinfo:
        call(factory)
    assert str(excinfo.value) == message
    assert frames(excinfo)[-1] == frame
    assert lst == []


# ---------------------------------------------------------------------------------------------
# get_layers_sorted_by_depth


@pytest.mark.parametrize(
    "build, expected",
    [
        (lambda: nn.Sequential(nn.Linear(4, 4), nn.Linear(4, 4)), ["Sequential.0", "Sequential.1"]),
        (Net, ["Net.conv1", "Net.conv2", "Net.fc"]),
        (Reversed, ["Reversed.b", "Reversed.a"]),
        (Shared, ["Shared.lin", "Shared.lin"]),
        (Scaled, ["Scaled.lin", "Scaled"]),
        (lambda: nn.Sequential(nn.ReLU(), BufferOnly(), nn.Linear(4, 4), nn.Tanh()), ["Sequential.2"]),
        (lambda: Holder(lambda t: [t, t]), ["Holder.out"]),
    ],
)
def test_get_layers_sorted_by_depth(build, expected):
    model = build()
    assert cquorlin.get_layers_sorted_by_depth(model, x4) == expected
    assert all_hooks(model) == []
    assert cquorlin.get_layers_sorted_by_depth(model, x4) == expected


def test_sorted_by_depth_image_model():
    model = make_image_model()
    order = cquorlin.get_layers_sorted_by_depth(model, torch.randn(2, 3, 16, 16))
    assert order == ["ImageNet.features.0", "ImageNet.features.1", "ImageNet.features.4", "ImageNet.features.5",
                     "ImageNet.head"]
    assert sorted(order) == sorted(cquorlin.get_layer_names(model))


@pytest.mark.parametrize("training", [True, False])
def test_sorted_by_depth_keeps_mode_and_own_hooks(training):
    model = Net().train(training)
    seen = []
    own = model.fc.register_forward_hook(lambda *args: seen.append("own"))
    with torch.no_grad():
        cquorlin.get_layers_sorted_by_depth(model, x4)
        assert not torch.is_grad_enabled()
    assert all(module.training == training for module in model.modules())
    assert list(model.fc._forward_hooks) == [own.id]
    assert len(all_hooks(model)) == 1
    assert seen == ["own"]


def test_sorted_by_depth_removes_hooks_when_forward_raises():
    model = Failing()
    with pytest.raises(ArithmeticError) as excinfo:
        cquorlin.get_layers_sorted_by_depth(model, x4)
    assert excinfo.value is Failing.error
    assert "cquorlin.get_layers_sorted_by_depth" in frames(excinfo)
    assert all_hooks(model) == []


def test_sorted_by_depth_removes_hooks_when_registration_fails():
    # Traversal visits index 1 first, so its hook is in place when index 0 refuses.
    model = nn.Sequential(RefusesHooks(4, 4), nn.Linear(4, 4))
    with pytest.raises(PermissionError, match="no hooks here"):
        cquorlin.get_layers_sorted_by_depth(model, x4)
    assert all_hooks(model) == []


def test_sorted_by_depth_failed_removal_keeps_pass_error_as_context():
    # Index 1 is registered first; its failing removal must not leave index 0's hook behind.
    model = nn.Sequential(nn.Linear(4, 4), FailingRemove(4, 4))
    with pytest.raises(OSError, match="cannot remove") as excinfo:
        cquorlin.get_layers_sorted_by_depth(model, "not a tensor")
    assert isinstance(excinfo.value.__context__, TypeError)
    assert all_hooks(model) == []


def test_sorted_by_depth_failed_removals_chain():
    model = nn.Sequential(FailingRemove(4, 4), FailingRemove(4, 4))
    with pytest.raises(OSError, match="cannot remove") as excinfo:
        cquorlin.get_layers_sorted_by_depth(model, x4)
    assert isinstance(excinfo.value.__context__, OSError)
    assert excinfo.value.__context__.__context__ is None
    assert all_hooks(model) == []


# ---------------------------------------------------------------------------------------------
# Embedding model


def test_embedding_model_keys_and_values():
    model = TwoFC()
    embedding = cquorlin.get_embedding_model(model)
    x = torch.randn(5, 4)
    with torch.no_grad():
        out = embedding(x)
        assert list(out) == ["TwoFC.fc1", "TwoFC.fc2", ".pred"]
        assert torch.equal(out[".pred"], model(x))
        assert torch.equal(out["TwoFC.fc1"], model.fc1(x))
    # The prediction is the very tensor fc2 returned.
    assert out[".pred"] is out["TwoFC.fc2"]


@pytest.mark.parametrize(
    "build, keys",
    [
        (lambda t: [t, t * 2], ["Holder.out.0", "Holder.out.1"]),
        (lambda t: {"a": t}, ["Holder.out.a"]),
        (lambda t: {1: t, "b": t}, ["Holder.out.1", "Holder.out.b"]),
        (lambda t: (t, t), []),
        (lambda t: {"a": (t,), "b": [t, (t,)]}, ["Holder.out.b.0"]),
        (lambda t: 3.5, []),
        # Two levels or more keep the whole path, so branches cannot overwrite each other.
        (lambda t: {"a": [t, t], "b": [t]}, ["Holder.out.a.0", "Holder.out.a.1", "Holder.out.b.0"]),
        (lambda t: [{"x": t}, [[t]]], ["Holder.out.0.x", "Holder.out.1.0.0"]),
        (lambda t: {"t": t, "n": {"t": t}}, ["Holder.out.t", "Holder.out.n.t"]),
    ],
)
def test_output_structures(build, keys):
    model = Holder(build)
    out = cquorlin.get_embedding_model(model)(x4)
    assert list(out) == keys
    assert all(isinstance(value, torch.Tensor) for value in out.values())


def test_output_structure_values_by_position():
    out = cquorlin.get_embedding_model(Holder(lambda t: {"a": [t, t * 2], "b": t * 3}))(x4)
    assert torch.equal(out["Holder.out.a.1"], out["Holder.out.a.0"] * 2)
    assert torch.equal(out["Holder.out.b"], out["Holder.out.a.0"] * 3)


def test_self_containing_output_fails_cleanly():
    def build(t):
        loop = [t]
        loop.append(loop)
        return loop

    embedding = cquorlin.get_embedding_model(Holder(build))
    with pytest.raises(RecursionError) as excinfo:
        embedding(x4)
    names = frames(excinfo)
    assert "cquorlin._add_hooks.get_output_hook.hook" in names
    assert "cquorlin._wrap._wrapper.forward" in names


@pytest.mark.parametrize("as_tuple", [True, False])
def test_prediction_key_only_for_tensor_output(as_tuple):
    out = cquorlin.get_embedding_model(Branchy())(x4, "ab", as_tuple)
    assert list(out) == ["Branchy.a", "Branchy.b"] + ([] if as_tuple else [".pred"])


def test_parameterless_modules_contribute_nothing():
    model = nn.Sequential(nn.ReLU(), nn.Linear(4, 4), nn.Tanh(), BufferOnly(), NoneParam())
    assert list(cquorlin.get_embedding_model(model)(x4)) == ["Sequential.1", ".pred"]


def test_each_pass_returns_only_its_own_outputs():
    embedding = cquorlin.get_embedding_model(Branchy())
    assert list(embedding(x4, "ab")) == ["Branchy.a", "Branchy.b", ".pred"]
    assert list(embedding(x4, "ba")) == ["Branchy.b", "Branchy.a", ".pred"]
    assert list(embedding(x4, "a")) == ["Branchy.a", ".pred"]
    assert list(embedding(x4, "b", True)) == ["Branchy.b"]
    out = embedding(x4, "aa")
    assert list(out) == ["Branchy.a", ".pred"]
    assert out["Branchy.a"] is out[".pred"]


def test_layer_called_twice_keeps_its_last_output():
    out = cquorlin.get_embedding_model(Shared())(x4)
    assert list(out) == ["Shared.lin", ".pred"]
    assert out["Shared.lin"] is out[".pred"]


def test_returned_dict_is_a_fresh_shallow_copy():
    model = TwoFC()
    embedding = cquorlin.get_embedding_model(model)
    captured = []
    embedding._inner.fc1.register_forward_hook(lambda module, args, output: captured.append(output))
    first = embedding(x4)
    assert first["TwoFC.fc1"] is captured[-1]
    first.clear()
    first["junk"] = x4
    second = embedding(x4)
    assert second is not first
    assert list(second) == ["TwoFC.fc1", "TwoFC.fc2", ".pred"]
    assert second["TwoFC.fc1"] is captured[-1]


def test_activations_stay_on_the_autograd_graph():
    embedding = cquorlin.get_embedding_model(TwoFC())
    out = embedding(x4)
    assert out["TwoFC.fc1"].requires_grad and out["TwoFC.fc1"].grad_fn is not None
    out[".pred"].sum().backward()
    assert embedding._inner.fc1.weight.grad is not None


def test_arguments_pass_through():
    model = Keywords()
    embedding = cquorlin.get_embedding_model(model)
    y = torch.randn(3, 4)
    with torch.no_grad():
        out = embedding(x4, y, scale=2.0, shift=torch.ones(4))
        assert torch.equal(out[".pred"], model(x4, y, scale=2.0, shift=torch.ones(4)))
        assert torch.equal(out["Keywords.lin"], model.lin(x4 + y))


@pytest.mark.parametrize("training", [True, False])
def test_caller_model_untouched(training):
    model = nn.Sequential(nn.Linear(4, 4), nn.Dropout(0.5), nn.Linear(4, 4)).train(training)
    embedding = cquorlin.get_embedding_model(model)
    assert all_hooks(model) == []
    assert all(module.training == training for module in model.modules())
    assert not embedding.training and not embedding._inner.training
    assert not any(module.training for module in embedding.modules())
    assert embedding._inner is not model
    for mine, theirs in zip(embedding.parameters(), model.parameters()):
        assert mine is not theirs and torch.equal(mine, theirs)
    # Evaluation mode: dropout is off, so passes agree.
    assert torch.equal(embedding(x4)[".pred"], embedding(x4)[".pred"])
    with torch.no_grad():
        embedding._inner[0].weight.zero_()
    assert not torch.equal(model[0].weight, embedding._inner[0].weight)


def test_wrapper_class():
    model = Net()
    first, second = cquorlin.get_embedding_model(model), cquorlin.get_embedding_model(model)
    cls = type(first)
    assert cls.__name__ == "_wrapper"
    assert cls.__qualname__ == "_wrap.<locals>._wrapper"
    assert cls.__module__ == "cquorlin"
    assert cls.__bases__ == (nn.Module,)
    assert type(second) is not cls
    assert list(first._modules) == ["_inner"]
    assert type(first._inner) is Net
    assert dict(first._parameters) == {}
    assert [name for name, _ in first.named_parameters()] == ["_inner." + n for n, _ in model.named_parameters()]
    assert len(all_hooks(first)) == len(cquorlin.get_layer_names(model)) == 3
    assert first.forward(x4).keys() == first(x4).keys()


def test_wrapper_init_takes_no_arguments():
    cls = type(cquorlin.get_embedding_model(Net()))
    with pytest.raises(TypeError) as excinfo:
        cls(1)
    assert str(excinfo.value) == "__init__() takes exactly 1 positional argument (2 given)"
    assert frames(excinfo)[-1] == "cquorlin._wrap._wrapper.__init__"


def test_embedding_models_are_independent():
    model = TwoFC()
    first, second = cquorlin.get_embedding_model(model), cquorlin.get_embedding_model(model)
    assert first._inner is not second._inner
    with torch.no_grad():
        before = second(x4)[".pred"].clone()
        first._inner.fc2.bias.add_(1.0)
        kept = second(x4)
        first(torch.randn(7, 4))
        assert torch.equal(kept[".pred"], before)
        assert kept[".pred"].shape == (3, 2)
        assert torch.equal(second(x4)[".pred"], before)
    assert len(all_hooks(first)) == len(all_hooks(second)) == 2


def test_output_hook_index_argument():
    embedding = cquorlin.get_embedding_model(TwoFC())
    (hook,) = embedding._inner.fc1._forward_hooks.values()
    embedding(x4)
    assert hook(None, (), x4, "custom") is None
    assert hook(None, (), x4, "") is None  # falsy: the layer name
    assert hook(None, (), [x4], _index="listed") is None
    # The dictionary is the embedding model's own: the next pass starts it afresh.
    assert list(embedding(x4)) == ["TwoFC.fc1", "TwoFC.fc2", ".pred"]
    with pytest.raises(TypeError) as excinfo:
        hook(None, ())
    assert str(excinfo.value) == "hook() takes at least 3 positional arguments (2 given)"
    assert frames(excinfo)[-1] == "cquorlin._add_hooks.get_output_hook.hook"


def test_output_hook_index_keys_in_pass():
    class Indexing(nn.Module):
        def __init__(self):
            super().__init__()
            self.lin = nn.Linear(4, 4)

        def forward(self, x):
            out = self.lin(x)
            (hook,) = self.lin._forward_hooks.values()
            hook(self.lin, (x,), out, "custom")
            hook(self.lin, (x,), {"k": out}, "")
            hook(self.lin, (x,), [out], "deep")
            return out

    out = cquorlin.get_embedding_model(Indexing())(x4)
    assert list(out) == ["Indexing.lin", "custom", "Indexing.lin.k", "deep.0", ".pred"]


def test_forward_error_propagates_and_model_recovers():
    embedding = cquorlin.get_embedding_model(Branchy())
    with pytest.raises(AttributeError) as excinfo:
        embedding(x4, "az")
    assert "cquorlin._wrap._wrapper.forward" in frames(excinfo)
    assert list(embedding(x4, "b")) == ["Branchy.b", ".pred"]


def test_deepcopy_error_propagates():
    model = nn.Sequential(Uncopyable(4, 4))
    with pytest.raises(RuntimeError, match="not copyable") as excinfo:
        cquorlin.get_embedding_model(model)
    assert "cquorlin.get_embedding_model" in frames(excinfo)
    assert all_hooks(model) == []


# ---------------------------------------------------------------------------------------------
# Real architectures


def test_image_model_activations():
    model = make_image_model()
    embedding = cquorlin.get_embedding_model(model)
    images = torch.randn(5, 3, 16, 16)
    with torch.no_grad():
        out = embedding(images)
        expected = model(images)
    shapes = {key: tuple(value.shape) for key, value in out.items()}
    assert shapes == {
        "ImageNet.features.0": (5, 8, 16, 16),
        "ImageNet.features.1": (5, 8, 16, 16),
        "ImageNet.features.4": (5, 16, 8, 8),
        "ImageNet.features.5": (5, 16, 8, 8),
        "ImageNet.head": (5, 10),
        ".pred": (5, 10),
    }
    assert list(out) == list(shapes)
    assert out[".pred"] is out["ImageNet.head"]
    assert torch.allclose(out[".pred"], expected)
    arrays = cquorlin.to_numpy(out, 5)
    assert arrays["ImageNet.features.4"].shape == (5, 16, 8, 8)
    assert str(arrays[".pred"].dtype) == "float32"


def test_text_model_activations():
    model = make_text_model()
    embedding = cquorlin.get_embedding_model(model)
    tokens = torch.randint(0, 50, (6, 12))
    # Without gradients too, each TransformerEncoderLayer runs its submodules (and their hooks):
    # its fused inference kernel stands aside while hooks are attached.
    with torch.no_grad():
        out = embedding(tokens)
    per_layer = ["norm1", "linear1", "linear2", "norm2"]
    layers = [f"TextNet.encoder.layers.{i}.{name}" for i in range(2) for name in per_layer]
    # self_attn returns a tuple and its out_proj runs inside the attention function: neither has a key.
    assert list(out) == ["TextNet.embed", *layers, "TextNet.head", ".pred"]
    assert out["TextNet.embed"].shape == (6, 12, 16)
    assert out["TextNet.encoder.layers.1.linear1"].shape == (6, 12, 32)
    assert out["TextNet.encoder.layers.1.norm2"].shape == (6, 12, 16)
    assert out[".pred"].shape == (6, 4)
    with torch.no_grad():
        assert torch.allclose(out[".pred"], model(tokens), atol=1e-5)
    assert "TextNet.encoder.layers.0.self_attn" in cquorlin.get_layer_names(model)
    assert cquorlin.to_numpy(out, 6)["TextNet.head"].shape == (6, 4)


# ---------------------------------------------------------------------------------------------
# Capture on the live model


def all_pre_hooks(model):
    return [hook for module in model.modules() for hook in module._forward_pre_hooks.values()]


def captured(model, *args, layers=None, outputs=None):
    with cquorlin.capture(model, layers, outputs) as out:
        model(*args)
    return out


@pytest.mark.parametrize("build, x", [(make_image_model, torch.randn(2, 3, 16, 16)),
                                      (make_text_model, torch.randint(0, 50, (2, 12))),
                                      (lambda: Holder(lambda t: {"a": [t, t * 2], "b": (t,)}), x4),
                                      (Shared, x4), (Scaled, x4)])
def test_capture_equals_embedding_model(build, x):
    model = build()
    expected = cquorlin.get_embedding_model(model)(x)
    expected.pop(".pred", None)
    out = captured(model, x)
    assert list(out) == list(expected)
    assert all(torch.equal(out[name], expected[name]) for name in out)
    assert all_hooks(model) == [] and all_pre_hooks(model) == []


@pytest.mark.parametrize("training", [True, False])
def test_capture_leaves_mode_gradients_and_own_hooks(training):
    model = nn.Sequential(nn.Linear(4, 4), nn.Dropout(0.5), nn.Linear(4, 4)).train(training)
    model[0].weight.requires_grad_(False)
    own = model[2].register_forward_hook(lambda *args: None)
    out = captured(model, x4)
    assert all(module.training == training for module in model.modules())
    assert [p.requires_grad for p in model.parameters()] == [False, True, True, True]
    assert all_hooks(model) == [own.hooks_dict_ref()[own.id]]
    # On the autograd graph, unless the caller turns gradients off.
    assert out["Sequential.2"].grad_fn is not None
    for mode in (torch.no_grad, torch.inference_mode):
        with mode():
            assert captured(model, x4)["Sequential.2"].grad_fn is None


def test_capture_follows_the_live_model():
    model = TwoFC()
    with cquorlin.capture(model) as out:
        model(x4)
        with torch.no_grad():
            model.fc1.weight.zero_()
            model.fc1.bias.zero_()
        model(x4)
    assert not out["TwoFC.fc1"].any()


def test_capture_keeps_only_the_last_pass():
    model = Branchy()
    with cquorlin.capture(model) as out:
        assert out == {}
        model(x4, "ab")
        assert list(out) == ["Branchy.a", "Branchy.b"]
        model(x4, "ba")
        assert list(out) == ["Branchy.b", "Branchy.a"]
        model(x4, "b")
        assert list(out) == ["Branchy.b"]
        model(x4, "aa")
    # A module called twice keeps its last output, at the place where it first finished.
    assert torch.equal(out["Branchy.a"], model.a(model.a(x4)))
    model(x4, "ab")  # after the block: no hooks, the last pass stays
    assert list(out) == ["Branchy.a"]


@pytest.mark.parametrize(
    "layers, keys",
    [
        ("Net.act", ["Net.act"]),
        (["Net.act", "Net.fc"], ["Net.act", "Net.fc"]),
        (["Net.conv?"], ["Net.conv1", "Net.conv2"]),
        (["*.act", "Net.*"], ["Net.conv1", "Net.conv2", "Net.act", "Net.fc"]),
        (nn.ReLU, ["Net.act"]),
        ([nn.ReLU, "Net.fc", nn.Linear], ["Net.conv1", "Net.conv2", "Net.act", "Net.fc"]),
        (["Net"], ["Net"]),
        (lambda name, module: not list(module.parameters(recurse=False)), ["Net.act", "Net"]),
        (lambda name, module: name.endswith("2"), ["Net.conv2"]),
        ([lambda name, module: False], []),
        ([], []),
    ],
)
def test_capture_chooses_modules(layers, keys):
    model = Net()
    capture = cquorlin.capture(model, layers)
    assert sorted(capture.layers) == sorted(keys)
    with capture as out:
        model(x4)
    assert list(out) == keys  # the order in which the modules finished
    assert torch.equal(out.get("Net.act", torch.relu(model.conv2(model.conv1(x4)))),
                       torch.relu(model.conv2(model.conv1(x4))))


def test_capture_names_a_module_once_per_path():
    model = shared_under_two_parents()
    names = cquorlin.get_layer_names(model)
    assert cquorlin.capture(model).layers == names
    assert sorted(cquorlin.capture(model, nn.Linear).layers) == sorted(names)


@pytest.mark.parametrize(
    "layers, error, message",
    [
        (["Net.fc", "Net.fc3"], ValueError,
         "'Net.fc3' matches no module of Net; closest names: ['Net.fc', 'Net.act', 'Net.conv2']"),
        ("Net.act.*", ValueError, "'Net.act.*' matches no module of Net; closest names: ['Net.act', 'Net.fc', 'Net.conv2']"),
        ("conv1", ValueError, "'conv1' matches no module of Net; closest names: ['Net.conv1', 'Net.conv2', 'Net.fc']"),
        ([nn.GELU], ValueError, "<class 'torch.nn.modules.activation.GELU'> matches no module of Net"),
        ([3], TypeError, "layers must hold layer names, patterns, module classes or callables, not int"),
        (4, TypeError, "'int' object is not iterable"),
    ],
)
def test_capture_refuses_a_choice(layers, error, message):
    model = Net()
    with pytest.raises(error) as excinfo:
        cquorlin.capture(model, layers)
    assert str(excinfo.value) == message
    assert frames(excinfo)[-1] == "cquorlin.capture"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cquorlin.capture(x4), "capture() argument 'model' must be a torch.nn.Module, not Tensor"),
        (lambda: cquorlin.capture(Net(), None, 3), "capture() argument 'outputs' must be callable or None, not int"),
        (lambda: cquorlin.capture(), "capture() takes at least 1 positional argument (0 given)"),
        (lambda: cquorlin.capture(Net(), layer="Net"), "capture() got an unexpected keyword argument 'layer'"),
        (lambda: cquorlin.Capture(), "cannot create 'cquorlin.Capture' instances"),
    ],
)
def test_capture_calling_form_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


def test_capture_outputs_picks_from_tuples():
    model = Holder(lambda t: (t, t * 2))
    assert captured(model, x4) == {}
    out = captured(model, x4, outputs=lambda name, output: output[1] if isinstance(output, tuple) else output)
    assert list(out) == ["Holder.out"]
    assert torch.equal(out["Holder.out"], 2 * (x4 @ model.out.weight))
    # What it returns is keyed as an output is; None leaves the output out.
    assert list(captured(model, x4, outputs=lambda name, output: {"first": output[0]})) == ["Holder.out.first"]
    assert captured(model, x4, outputs=lambda name, output: None) == {}
    # Anything else it returns, a reduced array say, is kept as it is.
    kept = captured(model, x4, outputs=lambda name, output: output[0].detach().numpy().max(axis=1))
    assert list(kept) == ["Holder.out"] and isinstance(kept["Holder.out"], np.ndarray)


@pytest.mark.parametrize("nesting", ["nested", "two at once"])
def test_captures_on_one_model_are_independent(nesting):
    model = Net()
    outer = cquorlin.capture(model, nn.Linear)
    inner = cquorlin.capture(model, "Net.act")
    with outer as a:
        if nesting == "nested":
            with inner as b:
                model(x4)
            assert len(all_hooks(model)) == 3
        else:
            b = inner.__enter__()
            model(x4)
            inner.__exit__(None, None, None)
        model(x4 * 2)
    assert all_hooks(model) == [] and all_pre_hooks(model) == []
    assert list(a) == ["Net.conv1", "Net.conv2", "Net.fc"] and list(b) == ["Net.act"]
    assert torch.equal(a["Net.fc"], model(x4 * 2)) and torch.equal(b["Net.act"], torch.relu(model.conv2(model.conv1(x4))))


def test_capture_removes_hooks_when_the_block_raises():
    model = Failing()
    with pytest.raises(ArithmeticError):
        with cquorlin.capture(model) as out:
            model(x4)
    assert list(out) == ["Failing.lin"]
    assert all_hooks(model) == [] and all_pre_hooks(model) == []


def test_capture_hook_error_propagates():
    model = Net()
    error = LookupError("cannot convert")

    def convert(name, output):
        raise error

    with pytest.raises(LookupError) as excinfo:
        captured(model, x4, outputs=convert)
    assert excinfo.value is error and "cquorlin.capture.hook" in frames(excinfo)
    assert all_hooks(model) == []


def test_capture_registration_failure_leaves_no_hook():
    model = nn.Sequential(nn.Linear(4, 4), RefusesHooks(4, 4))
    capture = cquorlin.capture(model)
    with pytest.raises(PermissionError):
        capture.__enter__()
    assert all_hooks(model) == [] and all_pre_hooks(model) == []


def test_capture_failed_removal_removes_the_others():
    model = nn.Sequential(FailingRemove(4, 4), nn.Linear(4, 4))
    with pytest.raises(OSError, match="cannot remove") as excinfo:
        with cquorlin.capture(model):
            model(x4)
    assert "cquorlin.Capture.__exit__" in frames(excinfo)
    assert all_hooks(model) == [] and all_pre_hooks(model) == []


def test_capture_is_entered_once_at_a_time_and_reused():
    model = TwoFC()
    capture = cquorlin.capture(model)
    with capture as first:
        with pytest.raises(RuntimeError, match="already in a with block"):
            capture.__enter__()
    with capture as second:
        model(x4)
    assert first is second and list(second) == ["TwoFC.fc1", "TwoFC.fc2"]
    assert all_hooks(model) == []


def test_capture_feeds_to_numpy_and_the_recorder(tmp_path):
    model = make_image_model()
    x = torch.randn(5, 3, 16, 16)
    with torch.no_grad(), cquorlin.capture(model) as out:
        model(x)
    with cquorlin.DB(str(tmp_path / "a.h5"), "w", preprocessor="image") as db:
        db.add(cquorlin.to_numpy(out, len(x)), 0)
    with cquorlin.DB(str(tmp_path / "b.h5"), "w", preprocessor="image") as db, db.recorder() as rec:
        rec.add(out, 0, batch_size=len(x))
    with h5py.File(tmp_path / "a.h5", "r") as a, h5py.File(tmp_path / "b.h5", "r") as b:
        assert sorted(a) == sorted(b) and len(a) >= len(out)
        assert all(bytes(a[key][()]) == bytes(b[key][()]) for key in a)


# ---------------------------------------------------------------------------------------------
# Reference counts and leaks


def fails(fn, *args):
    try:
        fn(*args)
    except Exception:
        pass


@pytest.mark.parametrize(
    "call",
    [
        lambda m, x: cquorlin.get_layer_names(m),
        lambda m, x: cquorlin.get_layer(m, "Net.fc"),
        lambda m, x: fails(cquorlin.get_layer, m, "Net.missing"),
        lambda m, x: cquorlin.get_layers_sorted_by_depth(m, x),
        lambda m, x: fails(cquorlin.get_layers_sorted_by_depth, m, "bad input"),
        lambda m, x: fails(cquorlin.get_layer_names, m, m),
    ],
)
def test_refcounts_stable(call):
    model, x = Net(), torch.randn(2, 4)
    call(model, x)
    gc.collect()
    before = sys.getrefcount(model), sys.getrefcount(x), sys.getrefcount(model.fc)
    for _ in range(200):
        call(model, x)
    gc.collect()
    assert (sys.getrefcount(model), sys.getrefcount(x), sys.getrefcount(model.fc)) == before


def test_embedding_refcounts_stable():
    model = Net()
    embedding = cquorlin.get_embedding_model(model)
    x = torch.randn(2, 4)
    embedding(x)
    fails(embedding, "bad input")
    gc.collect()
    before = sys.getrefcount(model), sys.getrefcount(x), sys.getrefcount(embedding), sys.getrefcount(embedding._inner)
    for _ in range(200):
        out = embedding(x)
        fails(embedding, "bad input")
    del out
    gc.collect()
    after = sys.getrefcount(model), sys.getrefcount(x), sys.getrefcount(embedding), sys.getrefcount(embedding._inner)
    assert after == before


def test_embedding_model_is_released():
    model = Net()
    embedding = cquorlin.get_embedding_model(model)
    out = embedding(x4)
    refs = [weakref.ref(obj) for obj in (embedding, embedding._inner, type(embedding), out["Net.fc"])]
    del embedding, out
    gc.collect()
    assert [ref() for ref in refs] == [None] * len(refs)
    assert sys.getrefcount(model) == 2


def test_no_memory_growth():
    model = Net()
    x = torch.randn(2, 4)

    def round_trip():
        cquorlin.get_layer_names(model)
        cquorlin.get_layer(model, "Net.conv2")
        cquorlin.get_layers_sorted_by_depth(model, x)
        fails(cquorlin.get_layers_sorted_by_depth, model, "bad input")
        lst, factory = cquorlin._get_hook()
        factory("a")(1, 2)
        embedding = cquorlin.get_embedding_model(model)
        embedding(x)
        fails(embedding, "bad input")
        with cquorlin.capture(model, ["Net.act", nn.Linear]):
            model(x)
        fails(cquorlin.capture, model, "Net.missing")

    growth = memory_growth(round_trip, 150)
    # A leak of one small object per round would add over 5 kB to each window.
    assert min(growth) < 4_000
