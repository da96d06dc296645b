import pytest
import torch

from helpers import tensor_bytes
from restore import load_as_torch, to_torch


def test_load_result_becomes_torch_tensors_again(manager):
    tensors = {
        "embedding": torch.randn(10, 4),
        "head": torch.randn(4, 3).to(torch.bfloat16),
        "mask": torch.rand(2, 2, 2) > 0.5,
        "step": torch.tensor(41),
        "spectrum": torch.randn(5, dtype=torch.complex64),
        "fp8": torch.randn(6).to(torch.float8_e4m3fn),
        "empty": torch.zeros(0, 3, dtype=torch.float16),
    }
    snap_id = manager.save_tensors(1, tensors)
    restored = load_as_torch(manager, snap_id)
    assert set(restored) == set(tensors)
    for name, original in tensors.items():
        back = restored[name]
        assert back.dtype == original.dtype and back.shape == original.shape, name
        assert tensor_bytes(back) == tensor_bytes(original), name


def test_narrowed_tensor_comes_back_in_its_original_dtype(store):
    import tarnwick

    manager = tarnwick.TarnwickManager(str(store), save_dtype="bf16", async_save=False)
    weights = torch.randn(3, 7)
    snap_id = manager.save_tensors(1, {"w": weights})
    back = load_as_torch(manager, snap_id)["w"]
    assert back.dtype == torch.float32 and back.shape == (3, 7)
    assert torch.equal(back, weights.to(torch.bfloat16).float())


def test_selective_load_restores_only_what_was_loaded(manager):
    snap_id = manager.save_tensors(1, {"a": torch.ones(2), "b": torch.zeros(3)})
    restored = to_torch(manager.load_tensors(snap_id, ["b"]), manager.describe(snap_id))
    assert list(restored) == ["b"] and torch.equal(restored["b"], torch.zeros(3))


def test_dtype_torch_does_not_know_is_refused(manager):
    snap_id = manager.save_tensors(1, {"raw": ((2,), "my_dtype", b"ab")})
    with pytest.raises(ValueError, match="my_dtype"):
        load_as_torch(manager, snap_id)
