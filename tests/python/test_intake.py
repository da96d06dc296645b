import numpy as np
import pytest
import torch

from helpers import FakeTensor, tensor_bytes


class NoDataPtr:
    pass


class BrokenDataPtr:
    @property
    def data_ptr(self):
        raise KeyError("lookup failed")


class NotBoolContiguous(FakeTensor):
    def is_contiguous(self):
        return 1


NOT_SUPPORTED = "Value for '{}' is not a supported type (must be tuple or torch.Tensor)"
ON_DEVICE = (
    "tensor '{}' is on device '{}'; move it to CPU first (t.detach().cpu()) — Tarnwick reads host memory directly"
)
NOT_CONTIGUOUS = (
    "tensor '{}' is not contiguous; call .contiguous() first — Tarnwick reads the bytes that follow data_ptr()"
)
OUT_OF_RANGE = "out of range integral type conversion attempted"

# (tensors argument, exception, exact message or None for "the binding's own wording")
REJECTED = {
    "key not a string": ({1: ((1,), "uint8", b"x")}, TypeError, None),
    "int value": ({"w": 5}, TypeError, NOT_SUPPORTED.format("w")),
    "array without data_ptr": (
        {"w": np.zeros(3)},
        TypeError,
        NOT_SUPPORTED.format("w"),
    ),
    "plain object": ({"w": NoDataPtr()}, TypeError, NOT_SUPPORTED.format("w")),
    "tensor on another device": (
        {"w": torch.empty(2, device="meta")},
        ValueError,
        ON_DEVICE.format("w", "meta"),
    ),
    "duck tensor on cuda": (
        {"g": FakeTensor(b"ab", device="cuda")},
        ValueError,
        ON_DEVICE.format("g", "cuda"),
    ),
    "transposed tensor": (
        {"w": torch.zeros(2, 3).t()},
        ValueError,
        NOT_CONTIGUOUS.format("w"),
    ),
    "quantized tensor": (
        {"q": torch.quantize_per_tensor(torch.ones(4), 0.1, 0, torch.quint8)},
        ValueError,
        "unsupported dtype quint8",
    ),
    "unknown duck dtype": ({"w": FakeTensor(b"ab", dtype="torch.float4")}, ValueError, "unsupported dtype float4"),
    "is_contiguous not a bool": ({"w": NotBoolContiguous(b"ab")}, TypeError, None),
    "data_ptr lookup raising": ({"w": BrokenDataPtr()}, KeyError, None),
    "byte count above 64 bits": ({"w": FakeTensor(b"ab", dtype="torch.complex128", numel=2**61)}, OverflowError, None),
    "two-item tuple": ({"w": ((1,), "uint8")}, IndexError, None),
    "shape as a string": ({"w": ("12", "uint8", b"x")}, TypeError, None),
    "shape not a sequence": ({"w": (3, "uint8", b"x")}, TypeError, None),
    "negative shape item": ({"w": ((2, -1), "uint8", b"x")}, OverflowError, None),
    "shape item above 64 bits": ({"w": ((2**64,), "uint8", b"x")}, OverflowError, None),
    "dtype not a string": ({"w": ((1,), torch.uint8, b"x")}, TypeError, None),
    "data as a string": ({"w": ((1,), "uint8", "x")}, TypeError, None),
    "data not a sequence": ({"w": ((1,), "uint8", 7)}, TypeError, None),
    "data item above 255": ({"w": ((2,), "uint8", [1, 256])}, OverflowError, OUT_OF_RANGE),
    "negative data item": ({"w": ((2,), "uint8", [-1, 0])}, OverflowError, OUT_OF_RANGE),
    "data item not an int": ({"w": ((2,), "uint8", [1, "2"])}, TypeError, None),
    "bad entry after good ones": ({"a": ((1,), "uint8", b"x"), "b": 5}, TypeError, NOT_SUPPORTED.format("b")),
}


@pytest.mark.parametrize("tensors, exception, message", REJECTED.values(), ids=REJECTED.keys())
def test_intake_rejects_and_saves_nothing(manager, tensors, exception, message):
    with pytest.raises(exception) as raised:
        manager.save_tensors(1, tensors)
    if message is not None:
        assert str(raised.value) == message
    assert manager.list_snapshots() == []


def test_null_data_ptr_is_refused(manager):
    tensor = FakeTensor(b"ab")
    tensor.data_ptr = lambda: 0
    with pytest.raises(ValueError, match="data_ptr"):
        manager.save_tensors(1, {"w": tensor})
    # With no elements there is nothing to read, and a null address is fine.
    empty = FakeTensor(b"", shape=(0,))
    empty.data_ptr = lambda: 0
    snap_id = manager.save_tensors(2, {"w": empty})
    assert manager.load(snap_id) == {"w": bytearray()}


@pytest.mark.parametrize(
    "tensors, metadata, exception",
    [
        pytest.param([("w", ((1,), "uint8", b"x"))], None, TypeError, id="tensors as a list"),
        pytest.param({"w": ((1,), "uint8", b"x")}, {"lr": 0.1}, TypeError, id="metadata value a float"),
        pytest.param({"w": ((1,), "uint8", b"x")}, {1: "x"}, TypeError, id="metadata key an int"),
        pytest.param({"w": ((1,), "uint8", b"x")}, [("a", "b")], TypeError, id="metadata as a list"),
    ],
)
def test_save_arguments_rejected_before_anything_is_saved(manager, tensors, metadata, exception):
    with pytest.raises(exception):
        manager.save_tensors(1, tensors, metadata)
    assert manager.list_snapshots() == []


@pytest.mark.parametrize(
    "step, exception",
    [pytest.param(-1, OverflowError, id="negative"), pytest.param(2**64, OverflowError, id="above 64 bits"),
     pytest.param("1", TypeError, id="string"), pytest.param(1.0, TypeError, id="float")],
)
def test_step_conversion(manager, step, exception):
    with pytest.raises(exception, match="step"):
        manager.save_tensors(step, {})


def test_step_accepts_the_whole_unsigned_range(manager):
    snap_id = manager.save_tensors(2**64 - 1, {}, None)
    assert manager.describe(snap_id)["step"] == 2**64 - 1


def test_every_tuple_data_form_round_trips(manager):
    tensors = {
        "from_bytes": ((2, 2), "uint8", b"\x01\x02\x03\x04"),
        "from_bytearray": ((3,), "uint8", bytearray(b"abc")),
        "from_list": ((3,), "int8", [0, 127, 255]),
        "from_range": ((4,), "uint8", range(4)),
        "from_numpy_ints": ((2,), "uint8", np.array([9, 200])),
        "four_items": ((1,), "uint8", b"z", "ignored"),
        "size_disagrees_with_shape": ((100,), "float32", b"\x01\x02\x03"),
        "empty": ((0,), "float32", b""),
    }
    snap_id = manager.save_tensors(1, tensors)
    assert manager.load(snap_id) == {
        "from_bytes": bytearray(b"\x01\x02\x03\x04"),
        "from_bytearray": bytearray(b"abc"),
        "from_list": bytearray([0, 127, 255]),
        "from_range": bytearray([0, 1, 2, 3]),
        "from_numpy_ints": bytearray([9, 200]),
        "four_items": bytearray(b"z"),
        "size_disagrees_with_shape": bytearray(b"\x01\x02\x03"),
        "empty": bytearray(),
    }
    described = {t["name"]: t for t in manager.describe(snap_id)["tensors"]}
    assert described["size_disagrees_with_shape"]["shape"] == [100]
    assert described["from_list"]["dtype"] == "int8"


def test_tuple_dtype_is_taken_as_given(manager):
    snap_id = manager.save_tensors(1, {"w": ((1,), "My Own Type", b"q")})
    assert manager.describe(snap_id)["tensors"][0]["dtype"] == "My Own Type"
    assert manager.load(snap_id)["w"] == bytearray(b"q")


@pytest.mark.parametrize("dtype, element_size", [("torch.float8_e4m3b11fnuz", 1), ("torch.complex32", 4),
                                                 ("torch.uint16", 2), ("float64", 8)])
def test_any_object_with_data_ptr_is_read_as_a_tensor(manager, dtype, element_size):
    data = bytes(range(2 * element_size))
    fake = FakeTensor(data, shape=(2,), dtype=dtype, numel=2)
    snap_id = manager.save_tensors(1, {"w": fake})
    assert manager.load(snap_id)["w"] == bytearray(data)
    assert manager.describe(snap_id)["tensors"][0]["dtype"] == dtype.removeprefix("torch.")


def test_framework_tensor_shapes(manager):
    tensors = {
        "matrix": torch.arange(6, dtype=torch.float32).reshape(2, 3),
        "scalar": torch.tensor(2.5, dtype=torch.float64),
        "no_elements": torch.zeros(0, 4),
    }
    snap_id = manager.save_tensors(1, tensors)
    loaded = manager.load(snap_id)
    described = {t["name"]: t for t in manager.describe(snap_id)["tensors"]}
    assert described["matrix"]["shape"] == [2, 3] and described["matrix"]["dtype"] == "float32"
    assert loaded["matrix"] == bytearray(tensor_bytes(tensors["matrix"])) and len(loaded["matrix"]) == 24
    assert described["scalar"]["shape"] == [] and loaded["scalar"] == bytearray(tensor_bytes(tensors["scalar"]))
    assert described["no_elements"]["shape"] == [0, 4] and loaded["no_elements"] == bytearray()


def test_tensors_are_described_in_dictionary_order(manager):
    names = ["zeta", "alpha", "mid", "beta"]
    snap_id = manager.save_tensors(1, {name: ((1,), "uint8", bytes([i])) for i, name in enumerate(names)})
    assert [t["name"] for t in manager.describe(snap_id)["tensors"]] == names


def test_metadata_round_trips(manager):
    snap_id = manager.save_tensors(1, {}, {"lr": "0.1", "note": "ünïcode"})
    assert manager.describe(snap_id)["metadata"] == {"lr": "0.1", "note": "ünïcode"}
    assert manager.list_snapshots()[0]["metadata"] == {"lr": "0.1", "note": "ünïcode"}


def test_large_tensor_is_copied_whole(manager):
    # Larger than one copy piece, so the copy is split across workers.
    tensor = torch.randint(0, 255, (40 << 20,), dtype=torch.uint8)
    snap_id = manager.save_tensors(1, {"big": tensor})
    assert manager.load(snap_id)["big"] == bytearray(tensor_bytes(tensor))


def test_caller_may_change_tensors_once_an_async_save_returned(async_manager):
    tensor = torch.arange(1 << 16, dtype=torch.int32)
    expected = tensor_bytes(tensor)
    snap_id = async_manager.save_tensors(1, {"w": tensor})
    tensor.fill_(-1)
    assert async_manager.load(snap_id)["w"] == bytearray(expected)
