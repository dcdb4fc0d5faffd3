"""Real architectures through the documented path: the embedding model, to_numpy, DB.add, DB.search.

The transformers models are built from their configuration classes with tiny sizes and random
weights (nothing is downloaded). The batch size differs from every other axis length, so a value
that is not per input (a position table, an attention bias, a weight) cannot pass for one.
"""
import ast
import math
import os
import subprocess
import sys

import h5py
import pytest
import torch
import transformers
from torch import nn
from transformers.models.whisper.modeling_whisper import WhisperEncoder

import cquorlin
from cquorlin import DB, Table

N, T, VOCAB = 6, 9, 64


def token_batch(seed):
    """Distinct token ids of shape (N, T) and an attention mask whose rows hold T, T - 1, ... real tokens."""
    g = torch.Generator().manual_seed(seed)
    ids = torch.randint(1, VOCAB, (N, T), generator=g)
    mask = (torch.arange(T) < T - torch.arange(N)[:, None] % 4).long()
    return ids, mask


def text_case(cls, config, dtype=torch.float32, **extra):
    def make():
        ids, mask = token_batch(1)
        return cls(config).to(dtype), dict(input_ids=ids, attention_mask=mask, **extra), mask, "text"

    return make


def input_case(cls, config, name, shape):
    def make():
        value = torch.randn(N, *shape, generator=torch.Generator().manual_seed(2))
        return cls(config), {name: value}, None, "image"

    return make


TRANSFORMERS = {
    "bert": text_case(
        transformers.BertModel,
        transformers.BertConfig(
            vocab_size=VOCAB, hidden_size=32, num_hidden_layers=2, num_attention_heads=2, intermediate_size=64,
            max_position_embeddings=32,
        ),
    ),
    "gpt2": text_case(
        transformers.GPT2Model,
        transformers.GPT2Config(
            vocab_size=VOCAB, n_embd=32, n_layer=2, n_head=2, n_positions=32, bos_token_id=0, eos_token_id=0
        ),
    ),
    "t5": text_case(
        transformers.T5Model,
        transformers.T5Config(
            vocab_size=VOCAB, d_model=32, d_kv=16, d_ff=64, num_layers=2, num_heads=2, relative_attention_num_buckets=8
        ),
        decoder_input_ids=torch.randint(1, VOCAB, (N, 5), generator=torch.Generator().manual_seed(3)),
    ),
    "bart": text_case(
        transformers.BartModel,
        transformers.BartConfig(
            vocab_size=VOCAB, d_model=32, encoder_layers=2, decoder_layers=2, encoder_attention_heads=2,
            decoder_attention_heads=2, encoder_ffn_dim=64, decoder_ffn_dim=64, max_position_embeddings=32,
        ),
    ),
    **{
        f"llama-{name}": text_case(
            transformers.LlamaForCausalLM,
            transformers.LlamaConfig(
                vocab_size=VOCAB, hidden_size=32, intermediate_size=64, num_hidden_layers=2, num_attention_heads=2,
                num_key_value_heads=1, max_position_embeddings=32,
            ),
            dtype,
        )
        for name, dtype in [("float32", torch.float32), ("bfloat16", torch.bfloat16)]
    },
    "vit": input_case(
        transformers.ViTModel,
        transformers.ViTConfig(
            image_size=16, patch_size=4, hidden_size=32, num_hidden_layers=2, num_attention_heads=2,
            intermediate_size=64,
        ),
        "pixel_values",
        (3, 16, 16),
    ),
    "resnet": input_case(
        transformers.ResNetModel,
        transformers.ResNetConfig(embedding_size=8, hidden_sizes=[8, 16], depths=[1, 1], layer_type="basic"),
        "pixel_values",
        (3, 32, 32),
    ),
    "whisper-encoder": input_case(
        WhisperEncoder,
        transformers.WhisperConfig(
            num_mel_bins=8, d_model=32, encoder_layers=2, encoder_attention_heads=2, encoder_ffn_dim=64,
            max_source_positions=16,
        ),
        "input_features",
        (8, 32),
    ),
    "wav2vec2": input_case(
        transformers.Wav2Vec2Model,
        transformers.Wav2Vec2Config(
            hidden_size=32, num_hidden_layers=2, num_attention_heads=2, intermediate_size=64, conv_dim=(16, 16),
            conv_stride=(5, 2), conv_kernel=(10, 3), num_conv_pos_embeddings=8, num_conv_pos_embedding_groups=4,
        ),
        "input_values",
        (800,),
    ),
}

# The outputs that are no per-input values, which DB.add used to record alone under indices
# 0..len-1 (or that made DB.search return None).
NOT_PER_INPUT = {
    "bert": ["BertModel.embeddings.position_embeddings"],
    "gpt2": ["GPT2Model.wpe"],
    "t5": [
        "T5Model.encoder.block.0.layer.0.SelfAttention.relative_attention_bias",
        "T5Model.decoder.block.0.layer.0.SelfAttention.relative_attention_bias",
    ],
    "bart": ["BartModel.decoder.embed_positions"],
    "whisper-encoder": ["WhisperEncoder.embed_positions"],
    "wav2vec2": ["Wav2Vec2Model.encoder.pos_conv_embed.conv.parametrizations.weight"],
}


def recorded(path):
    """Every stored input index, by layer, read back from the file with plain h5py."""
    layers = {}
    with h5py.File(path, "r") as f:
        for key in f.keys():
            layer = key.removeprefix("table_").rsplit("_", 1)[0]
            layers.setdefault(layer, []).extend(Table.frombytes(f[key][()]).idxs.tolist())
    return layers


def documented_path(path, model, inputs, mask, preprocessor, grad=torch.no_grad):
    """Records a batch as a user would and searches it again; checks what was stored and found."""
    embed = cquorlin.get_embedding_model(model)
    with grad():
        out = embed(**inputs) if isinstance(inputs, dict) else embed(inputs)
    acts = cquorlin.to_numpy(out, N, mask)
    with DB(path, "w", preprocessor=preprocessor) as db:
        db.add(acts, 0)
        results = db.search(acts, k=N)
    assert results is not None and len(results) == N
    for i, scores in enumerate(results):
        assert not any(math.isnan(score) for score in scores.values())
        assert scores[i] == max(scores.values())  # a tie at the top is allowed
    layers = recorded(path)
    assert list(layers) and set(layers) == set(acts)
    for indices in layers.values():
        assert sorted(indices) == list(range(N))  # one entry per input, nothing outside the batch
    return acts


@pytest.mark.parametrize("name", list(TRANSFORMERS))
def test_transformers_models(store_path, name):
    torch.manual_seed(0)
    model, inputs, mask, preprocessor = TRANSFORMERS[name]()
    acts = documented_path(store_path, model, inputs, mask, preprocessor)
    assert set(NOT_PER_INPUT.get(name, [])) <= set(acts.skipped)
    assert all("not the batch size" in reason or "rank 0" in reason for reason in acts.skipped.values())


class Recurrent(nn.Module):
    """An embedding, a recurrent layer (its output is a tuple: not recorded) and a head on the last step."""

    def __init__(self, cell, batch_first):
        super().__init__()
        self.batch_first = batch_first
        self.embed = nn.Embedding(VOCAB, 16)
        self.rnn = cell(16, 16, batch_first=batch_first)
        self.head = nn.Linear(16, 4)

    def forward(self, ids):
        out, _ = self.rnn(self.embed(ids))
        return self.head(out[:, -1] if self.batch_first else out[-1])


class Encoder(nn.Module):
    def __init__(self, nested):
        super().__init__()
        self.embed = nn.Embedding(VOCAB, 16)
        layer = nn.TransformerEncoderLayer(16, nhead=2, dim_feedforward=32, dropout=0.0, batch_first=True)
        self.encoder = nn.TransformerEncoder(layer, num_layers=2, enable_nested_tensor=nested)
        self.head = nn.Linear(16, 4)

    def forward(self, ids, padding=None):
        return self.head(self.encoder(self.embed(ids), src_key_padding_mask=padding)[:, 0])


class ResidualCNN(nn.Module):
    """Residual blocks with batch normalisation and a zero-initialised head, whose outputs are exact zeros."""

    def __init__(self):
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 3, padding=1)
        self.blocks = nn.ModuleList(
            nn.Sequential(nn.Conv2d(8, 8, 3, padding=1), nn.BatchNorm2d(8), nn.ReLU(), nn.Conv2d(8, 8, 3, padding=1))
            for _ in range(2)
        )
        self.norm = nn.BatchNorm2d(8)
        self.head = nn.Linear(8, 4)
        nn.init.zeros_(self.head.weight)
        nn.init.zeros_(self.head.bias)

    def forward(self, x):
        x = self.stem(x)
        for block in self.blocks:
            x = torch.relu(x + block(x))
        return self.head(self.norm(x).mean((2, 3)))


class Tied(nn.Module):
    """A head sharing the embedding's weight, and one block called twice and registered under two parents."""

    def __init__(self):
        super().__init__()
        self.embed = nn.Embedding(VOCAB, 16)
        self.block = nn.Linear(16, 16)
        self.pair = nn.ModuleList([self.block])
        self.head = nn.Linear(16, VOCAB, bias=False)
        self.head.weight = self.embed.weight

    def forward(self, ids):
        return self.head(torch.tanh(self.block(torch.tanh(self.block(self.embed(ids))))))


class Branching(nn.Module):
    """Data-dependent control flow: which branch runs depends on the batch's mean."""

    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(8, 8)
        self.up = nn.Linear(8, 8)
        self.down = nn.Linear(8, 8)

    def forward(self, x):
        h = self.fc(x)
        return self.up(h) if x.mean() > 0 else self.down(h)


def plain(model, inputs, preprocessor):
    return lambda: (model(), inputs(), None, preprocessor)


def token_ids():
    return token_batch(4)[0]


PLAIN = {
    "lstm-batch-first": plain(lambda: Recurrent(nn.LSTM, True), token_ids, "text"),
    "gru-batch-first": plain(lambda: Recurrent(nn.GRU, True), token_ids, "text"),
    "lstm-sequence-first": plain(lambda: Recurrent(nn.LSTM, False), lambda: token_ids().T.contiguous(), "text"),
    "residual-cnn": plain(ResidualCNN, lambda: torch.randn(N, 3, 8, 8, generator=torch.Generator().manual_seed(5)), "image"),
    "tied": plain(Tied, token_ids, "text"),
    "branching": plain(Branching, lambda: torch.randn(N, 8, generator=torch.Generator().manual_seed(6)), "image"),
}

EXPECTED_KEYS = {
    "lstm-batch-first": ["Recurrent.embed", "Recurrent.head", ".pred"],
    "lstm-sequence-first": ["Recurrent.head", ".pred"],
    "tied": ["Tied.embed", "Tied.block", "Tied.pair.0", "Tied.head", ".pred"],
}


@pytest.mark.parametrize("name", list(PLAIN))
def test_plain_torch_models(store_path, name):
    torch.manual_seed(0)
    model, inputs, mask, preprocessor = PLAIN[name]()
    acts = documented_path(store_path, model, inputs, mask, preprocessor)
    if name in EXPECTED_KEYS:
        assert sorted(acts) == sorted(EXPECTED_KEYS[name])
    if name == "lstm-sequence-first":  # the embedding's output has the tokens first
        assert acts.skipped == {"Recurrent.embed": f"first axis has length {T}, not the batch size {N}"}


def test_branching_batches_record_only_their_own_layers(store_path):
    """A layer that one pass skips has no entry from that pass, not the value of an earlier one."""
    torch.manual_seed(0)
    embed = cquorlin.get_embedding_model(Branching())
    g = torch.Generator().manual_seed(8)
    with DB(store_path, "w") as db:
        for start, shift in [(0, 5.0), (N, -5.0)]:
            with torch.no_grad():
                out = embed(torch.randn(N, 8, generator=g) + shift)
            db.add(cquorlin.to_numpy(out, N), start)
    layers = recorded(store_path)
    assert sorted(layers["Branching.up"]) == list(range(N))
    assert sorted(layers["Branching.down"]) == list(range(N, 2 * N))
    assert sorted(layers["Branching.fc"]) == list(range(2 * N))


def encoder_keys(layers=2):
    per_layer = ["norm1", "linear1", "linear2", "norm2"]
    layer_keys = [f"Encoder.encoder.layers.{i}.{name}" for i in range(layers) for name in per_layer]
    return ["Encoder.embed", *layer_keys, "Encoder.head", ".pred"]


@pytest.mark.parametrize("grad", [torch.no_grad, torch.inference_mode, torch.enable_grad])
@pytest.mark.parametrize("nested", [False, True])
def test_transformer_encoder_layers_seen_in_every_gradient_mode(store_path, grad, nested):
    """The encoder layer's fused inference path stands aside while hooks are attached, so every
    layer is seen in evaluation mode whether or not gradients are tracked."""
    torch.manual_seed(0)
    acts = documented_path(store_path, Encoder(nested), token_ids(), None, "text", grad)
    assert list(acts) == encoder_keys() and acts.skipped == {}


@pytest.mark.filterwarnings("ignore:The PyTorch API of nested tensors:UserWarning")
@pytest.mark.parametrize("grad", [torch.no_grad, torch.enable_grad])
def test_transformer_encoder_with_padding_mask(store_path, grad):
    """A padding mask with the default nested-tensor conversion: without gradients the encoder hands
    its layers nested tensors, which have no batch-by-token shape and are left out with a reason."""
    torch.manual_seed(0)
    ids, mask = token_batch(7)
    model = Encoder(True)
    embed = cquorlin.get_embedding_model(model)
    with grad():
        out = embed(ids, padding=mask == 0)
    acts = cquorlin.to_numpy(out, N, mask)
    layer_keys = encoder_keys()[1:-2]
    if grad is torch.enable_grad:
        assert list(acts) == encoder_keys() and acts.skipped == {}
    else:
        assert list(acts) == ["Encoder.embed", "Encoder.head", ".pred"]
        assert list(acts.skipped) == layer_keys and all("nested" in r for r in acts.skipped.values())
    with DB(store_path, "w", preprocessor="text") as db:
        db.add(acts, 0)
        assert db.search(acts, k=N) is not None


# ---------------------------------------------------------------------------------------------
# Capture on the live model


ZOO = {**TRANSFORMERS, **PLAIN}


def run(model, inputs):
    return model(**inputs) if isinstance(inputs, dict) else model(inputs)


def no_hooks_left(model):
    return all(not m._forward_hooks and not m._forward_pre_hooks for m in model.modules())


@pytest.mark.parametrize("name", list(ZOO))
def test_capture_equals_the_embedding_model(name):
    """The same keys in the same order and equal tensors, from the model itself instead of a copy."""
    torch.manual_seed(0)
    model, inputs, _, _ = ZOO[name]()
    model.eval()
    with torch.no_grad():
        expected = run(cquorlin.get_embedding_model(model), inputs)
        with cquorlin.capture(model) as out:
            run(model, inputs)
    expected.pop(".pred", None)
    assert list(out) == list(expected)
    assert all(torch.equal(out[key], expected[key]) for key in out)
    assert no_hooks_left(model)


def gelu_of_dense(out, emb, model):
    keys = [f"BertModel.encoder.layer.{i}.intermediate" for i in range(2)]
    assert list(out) == [f"{key}.intermediate_act_fn" for key in keys]
    return [(out[f"{key}.intermediate_act_fn"], torch.nn.functional.gelu(emb[f"{key}.dense"])) for key in keys]


def silu_of_gate(out, emb, model):
    key = "LlamaForCausalLM.model.layers.0.mlp"
    assert list(out) == [f"{key}.act_fn"]
    return [(out[f"{key}.act_fn"], torch.nn.functional.silu(emb[f"{key}.gate_proj"]))]


def every_relu(out, emb, model):
    relus = [f"ResNetModel.{name}" for name, module in model.named_modules() if isinstance(module, nn.ReLU)]
    assert sorted(out) == sorted(relus) and len(relus) == 5
    return [(value, value.clamp(min=0)) for value in out.values()]


def block_outputs(out, emb, model):
    blocks = [f"ResNetModel.encoder.stages.{i}.layers.0" for i in range(2)]
    assert list(out) == [name for block in blocks for name in (f"{block}.activation", block)]
    return [(out[block], out[f"{block}.activation"]) for block in blocks]


def gpt2_act(out, emb, model):
    keys = [f"GPT2Model.h.{i}.mlp" for i in range(2)]
    assert list(out) == [f"{key}.act" for key in keys]
    return [(out[f"{key}.act"], model.h[0].mlp.act(emb[f"{key}.c_fc"])) for key in keys]


@pytest.mark.parametrize(
    "name, layers, pairs",
    [
        ("bert", ["*.intermediate_act_fn"], gelu_of_dense),
        ("llama-float32", ["LlamaForCausalLM.model.layers.0.mlp.act_fn"], silu_of_gate),
        ("resnet", [nn.ReLU], every_relu),
        ("resnet", ["ResNetModel.encoder.stages.?.layers.0", "*.layers.0.activation"], block_outputs),
        ("gpt2", [lambda name, module: name.endswith(".mlp.act")], gpt2_act),
    ],
)
def test_capture_chooses_parameter_free_modules(name, layers, pairs):
    """Activations, pooling and residual blocks own no parameter: chosen by name, pattern, class or callable."""
    torch.manual_seed(0)
    model, inputs, _, _ = TRANSFORMERS[name]()
    model.eval()
    with torch.no_grad():
        emb = run(cquorlin.get_embedding_model(model), inputs)
        with cquorlin.capture(model, layers) as out:
            run(model, inputs)
        for got, expected in pairs(out, emb, model):
            torch.testing.assert_close(got, expected, rtol=0, atol=1e-6)
    assert no_hooks_left(model)


def test_capture_names_the_closest_modules_of_a_real_model():
    model = TRANSFORMERS["bert"]()[0]
    with pytest.raises(ValueError) as excinfo:
        cquorlin.capture(model, ["BertModel.encoder.layer.0.intermediate.act_fn"])
    assert str(excinfo.value) == (
        "'BertModel.encoder.layer.0.intermediate.act_fn' matches no module of BertModel; closest names: "
        "['BertModel.encoder.layer.0.intermediate', 'BertModel.encoder.layer.0.intermediate.dense', "
        "'BertModel.encoder.layer.1.intermediate']"
    )


def test_capture_lstm_output_through_outputs():
    """A tuple gives no entry; `outputs` picks its per-step output."""
    model, ids, _, _ = PLAIN["lstm-batch-first"]()

    def steps(name, output):
        return output[0] if isinstance(output, tuple) else output

    with torch.no_grad():
        with cquorlin.capture(model, nn.LSTM, outputs=steps) as out:
            run(model, ids)
        assert torch.equal(out["Recurrent.rnn"], model.rnn(model.embed(ids))[0])
    assert list(out) == ["Recurrent.rnn"] and out["Recurrent.rnn"].shape == (N, T, 16)


def capture_inside_ddp(rendezvous):
    """Records a training pass of a DistributedDataParallel model (gloo, one process) through
    `capture` on `ddp.module`; returns the keys captured and whether the model trained as usual."""
    import torch.distributed as dist

    dist.init_process_group("gloo", init_method=f"file://{rendezvous}", rank=0, world_size=1)
    try:
        model = ResidualCNN()
        ddp = nn.parallel.DistributedDataParallel(model)
        x = torch.randn(N, 3, 8, 8, generator=torch.Generator().manual_seed(5))
        with cquorlin.capture(ddp.module, ["*.blocks.?", nn.Linear]) as out:
            ddp(x).sum().backward()
    finally:
        dist.destroy_process_group()
    return list(out), model.training and model.stem.weight.grad is not None and no_hooks_left(ddp)


def test_capture_inside_distributed_data_parallel(tmp_path):
    """Hooks on `ddp.module` see the passes that DistributedDataParallel runs, training included.
    The process group runs in a child process with a time limit: gloo's threads outlive a failed
    test, and a stuck group must fail the test rather than hold the suite."""
    # gloo on the loopback interface, not on the address the host name resolves to. A child stuck
    # past 120 s prints every thread's Python stack and exits; a group stuck once is given a second
    # child, so that one stall of a loaded machine does not fail the suite, and a second fails it.
    env = {**os.environ, "GLOO_SOCKET_IFNAME": "lo"}
    for attempt in range(2):
        script = (f"import faulthandler, sys; faulthandler.dump_traceback_later(120, exit=True); "
                  f"sys.path.insert(0, {os.path.dirname(__file__)!r}); import test_real_models as t; "
                  f"print(repr(t.capture_inside_ddp({str(tmp_path / f'rendezvous{attempt}')!r})))")
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=180, env=env)
        if run.returncode == 0 or "Timeout (0:02:00)!" not in run.stderr:
            break
    assert run.returncode == 0, run.stderr[-3000:]
    keys, trained = ast.literal_eval(run.stdout.strip().splitlines()[-1])
    assert keys == ["ResidualCNN.blocks.0", "ResidualCNN.blocks.1", "ResidualCNN.head"]
    assert trained
