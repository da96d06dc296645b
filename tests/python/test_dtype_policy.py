import pytest
import torch

import tarnwick
from helpers import tensor_bytes


def stored_dtypes(manager, snap_id):
    return {t["name"]: (t["dtype"], t["stored_dtype"]) for t in manager.describe(snap_id)["tensors"]}


def restored(manager, snap_id, name, dtype):
    return torch.frombuffer(manager.load(snap_id)[name], dtype=dtype)


@pytest.mark.parametrize("save_dtype", ["bf16", "BF16", "bfloat16", {"*": "bf16"}])
def test_bf16_narrowing_restores_the_rounded_values_in_the_original_dtype(store, save_dtype):
    manager = tarnwick.TarnwickManager(str(store), save_dtype=save_dtype, async_save=False)
    weights = torch.randn(4096, dtype=torch.float32)
    snap_id = manager.save_tensors(1, {"w": weights})
    assert stored_dtypes(manager, snap_id) == {"w": ("float32", "bfloat16")}
    back = restored(manager, snap_id, "w", torch.float32)
    assert torch.equal(back, weights.to(torch.bfloat16).to(torch.float32))


@pytest.mark.parametrize("save_dtype, stored, relative_error", [("fp8", "float8_e4m3fn", 2**-4),
                                                                ("fp8_e5m2", "float8_e5m2", 2**-3)])
def test_fp8_narrowing_with_scale(store, save_dtype, stored, relative_error):
    manager = tarnwick.TarnwickManager(str(store), save_dtype=save_dtype, async_save=False)
    # Magnitudes far outside the 8-bit range, which only a per-tensor scale brings back.
    weights = torch.linspace(-3000.0, 3000.0, 1001, dtype=torch.float32)
    snap_id = manager.save_tensors(1, {"w": weights})
    assert stored_dtypes(manager, snap_id) == {"w": ("float32", stored)}
    assert manager.describe(snap_id)["tensors"][0]["compressed_size"] <= weights.numel() + 64
    back = restored(manager, snap_id, "w", torch.float32)
    assert back.shape == weights.shape
    large = weights.abs() > 10
    assert torch.all((back[large] - weights[large]).abs() <= relative_error * weights[large].abs())
    assert back.abs().max() == pytest.approx(3000.0, rel=relative_error)


def test_rules_apply_in_order_and_none_exempts(store):
    policy = {"optimizer/*": "bf16", "*": "none"}
    manager = tarnwick.TarnwickManager(str(store), save_dtype=policy, async_save=False)
    tensors = {"optimizer/exp_avg": torch.randn(64), "model/w": torch.randn(64), "step": torch.tensor([7])}
    snap_id = manager.save_tensors(1, tensors)
    assert stored_dtypes(manager, snap_id) == {
        "optimizer/exp_avg": ("float32", "bfloat16"),
        "model/w": ("float32", "float32"),
        "step": ("int64", "int64"),
    }
    loaded = manager.load(snap_id)
    assert loaded["model/w"] == bytearray(tensor_bytes(tensors["model/w"]))
    assert loaded["step"] == bytearray(tensor_bytes(tensors["step"]))


@pytest.mark.parametrize("save_dtype", [None, "none", "", {}])
def test_empty_policies_store_every_tensor_unchanged(store, save_dtype):
    manager = tarnwick.TarnwickManager(str(store), save_dtype=save_dtype, async_save=False)
    weights = torch.randn(128, dtype=torch.float64)
    snap_id = manager.save_tensors(1, {"w": weights})
    assert stored_dtypes(manager, snap_id) == {"w": ("float64", "float64")}
    assert manager.load(snap_id)["w"] == bytearray(tensor_bytes(weights))


def test_integer_and_bool_tensors_are_never_narrowed(store):
    manager = tarnwick.TarnwickManager(str(store), save_dtype="fp8", async_save=False)
    tensors = {"ids": torch.arange(50), "mask": torch.rand(50) > 0.5}
    snap_id = manager.save_tensors(1, tensors)
    assert stored_dtypes(manager, snap_id) == {"ids": ("int64", "int64"), "mask": ("bool", "bool")}
    loaded = manager.load(snap_id)
    assert loaded == {name: bytearray(tensor_bytes(t)) for name, t in tensors.items()}


def test_narrowed_snapshots_restore_from_a_reopened_store(store):
    weights = torch.randn(256)
    manager = tarnwick.TarnwickManager(str(store), save_dtype="fp16", async_save=False)
    first = manager.save_tensors(1, {"w": weights})
    second = manager.save_tensors(2, {"w": weights + 1})
    del manager
    reopened = tarnwick.TarnwickManager(str(store), async_save=False)
    assert torch.equal(restored(reopened, first, "w", torch.float32), weights.half().float())
    assert torch.equal(restored(reopened, second, "w", torch.float32), (weights + 1).half().float())
