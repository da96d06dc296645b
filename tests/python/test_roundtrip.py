import pytest
import torch

from helpers import tensor_bytes

# Every dtype of the intake table that torch has.
DTYPES = [
    torch.bool, torch.int8, torch.uint8, torch.float8_e5m2, torch.float8_e4m3fn, torch.float8_e8m0fnu,
    torch.float8_e4m3fnuz, torch.float8_e5m2fnuz, torch.int16, torch.uint16, torch.float16, torch.bfloat16,
    torch.int32, torch.uint32, torch.float32, torch.complex32, torch.int64, torch.uint64, torch.float64,
    torch.complex64, torch.complex128,
]


def sample(dtype: torch.dtype, shape=(3, 5), seed: int = 0) -> torch.Tensor:
    """A tensor of `dtype` whose bytes are random (every bit pattern, NaNs included)."""
    generator = torch.Generator().manual_seed(seed)
    count = torch.Size(shape).numel()
    element_size = torch.empty(0, dtype=dtype).element_size()
    raw = torch.randint(0, 256, (count * element_size,), dtype=torch.uint8, generator=generator)
    if dtype == torch.bool:
        raw = raw % 2
    return raw.view(dtype).reshape(shape)


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: str(d).removeprefix("torch."))
def test_every_intake_dtype_round_trips_bit_exact(manager, dtype):
    name = str(dtype).removeprefix("torch.")
    base, changed, scalar = sample(dtype, seed=1), sample(dtype, seed=2), sample(dtype, shape=(), seed=3)
    first = manager.save_tensors(1, {"t": base, "scalar": scalar})
    second = manager.save_tensors(2, {"t": changed, "scalar": scalar})  # a delta against the first
    for snap_id, tensor in ((first, base), (second, changed)):
        loaded = manager.load(snap_id)
        assert loaded["t"] == bytearray(tensor_bytes(tensor))
        assert loaded["scalar"] == bytearray(tensor_bytes(scalar))
        described = {t["name"]: t for t in manager.describe(snap_id)["tensors"]}
        assert described["t"]["dtype"] == name and described["t"]["shape"] == [3, 5]
        assert described["t"]["raw_size"] == tensor.numel() * tensor.element_size()
        assert described["scalar"]["shape"] == []


def test_tensor_views_read_only_their_own_elements(manager):
    storage = torch.arange(100, dtype=torch.float32)
    window = storage[10:20]  # contiguous, data_ptr past the storage start
    snap_id = manager.save_tensors(1, {"window": window})
    assert manager.load(snap_id)["window"] == bytearray(tensor_bytes(window.clone()))


def test_alias_of_a_duplicate_tensor(manager):
    shared = torch.randn(64, 64)
    tensors = {"encoder.weight": shared, "decoder.weight": shared.clone(), "other": torch.randn(8)}
    snap_id = manager.save_tensors(1, tensors)
    described = {t["name"]: t for t in manager.describe(snap_id)["tensors"]}
    assert described["decoder.weight"]["storage"] == "alias"
    assert described["decoder.weight"]["alias_of"] == "encoder.weight"
    assert described["decoder.weight"]["compressed_size"] == 0
    assert described["encoder.weight"]["storage"] == "full" and described["encoder.weight"]["alias_of"] is None
    loaded = manager.load(snap_id)
    assert loaded["decoder.weight"] == loaded["encoder.weight"] == bytearray(tensor_bytes(shared))
    assert manager.load_tensors(snap_id, ["decoder.weight"]) == {"decoder.weight": loaded["encoder.weight"]}


def test_unchanged_tensor_is_skipped_and_changed_one_stays_exact(manager):
    frozen = torch.randn(1000)
    trained = torch.randn(1000)
    manager.save_tensors(1, {"frozen": frozen, "trained": trained})
    trained += 1e-3 * torch.randn(1000)
    snap_id = manager.save_tensors(2, {"frozen": frozen, "trained": trained})
    described = {t["name"]: t for t in manager.describe(snap_id)["tensors"]}
    assert described["frozen"]["storage"] == "skipped"
    assert described["trained"]["storage"] in ("delta", "full")
    loaded = manager.load(snap_id)
    assert loaded == {"frozen": bytearray(tensor_bytes(frozen)), "trained": bytearray(tensor_bytes(trained))}
