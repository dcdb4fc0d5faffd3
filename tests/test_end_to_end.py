"""Embedding-model activations, converted to NumPy, recorded and searched through a store."""
import pytest
import torch

import cquorlin
from test_models import make_image_model, make_text_model


def self_match_rate(store_path, preprocessor, model, inputs, batch=32):
    embed = cquorlin.get_embedding_model(model)
    with torch.no_grad():
        batches = [cquorlin.to_numpy(embed(x), len(x)) for x in inputs.split(batch)]
    for acts in batches:
        acts.pop(".pred", None)
    with cquorlin.DB(store_path, "w", preprocessor=preprocessor) as db:
        for start, acts in zip(range(0, len(inputs), batch), batches):
            db.add(acts, start)
    with cquorlin.DB(store_path, "r") as db:
        hits = 0
        for start, acts in zip(range(0, len(inputs), batch), batches):
            for offset, scores in enumerate(db.search(acts, k=5)):
                hits += max(scores, key=scores.get) == start + offset
    return hits / len(inputs), batches[0]


@pytest.mark.parametrize(
    "preprocessor, model, inputs",
    [
        ("image", make_image_model(), torch.randn(256, 3, 16, 16, generator=torch.Generator().manual_seed(1))),
        ("text", make_text_model(), torch.randint(0, 50, (256, 12), generator=torch.Generator().manual_seed(2))),
    ],
)
def test_stored_inputs_find_themselves(store_path, preprocessor, model, inputs):
    rate, acts = self_match_rate(store_path, preprocessor, model, inputs)
    assert any(a.ndim > 2 for a in acts.values())  # the preprocessor had work to do
    assert rate >= 0.9
