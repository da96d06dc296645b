import re
import uuid

import pytest

import tarnwick

LISTING_KEYS = ["step", "id", "is_delta", "total_compressed", "total_raw", "skipped_tensors", "delta_tensors",
                "full_tensors", "ranks", "metadata"]
DESCRIPTION_KEYS = ["id", "step", "created_at", "is_delta", "base_snapshot_id", "rank", "ranks", "metadata", "tensors"]
TENSOR_KEYS = ["name", "shape", "dtype", "stored_dtype", "storage", "alias_of", "raw_size", "compressed_size",
               "hash_raw"]
CREATED_AT = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.(\d{3}|\d{6}|\d{9}))?\+00:00$")
ID_TEXT = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


def weights(fill: int) -> dict:
    return {"w": ((256,), "float32", bytes([fill]) * 1024), "b": ((4,), "int64", bytes(32))}


def test_listing_shape(manager):
    first = manager.save_tensors(10, weights(1), {"epoch": "1"})
    second = manager.save_tensors(20, weights(2))
    listing = manager.list_snapshots()
    assert [list(entry) for entry in listing] == [LISTING_KEYS, LISTING_KEYS]
    assert [entry["id"] for entry in listing] == [first, second]
    assert [entry["step"] for entry in listing] == [10, 20]
    assert listing[0]["is_delta"] is False and listing[1]["is_delta"] is True
    assert listing[0]["metadata"] == {"epoch": "1"} and listing[1]["metadata"] == {}
    assert listing[0]["ranks"] == 1
    assert listing[0]["total_raw"] == 1024 + 32
    assert listing[0]["full_tensors"] == 2
    # The second save's bias is unchanged: skipped against the first.
    assert listing[1]["skipped_tensors"] == 1
    assert listing[1]["skipped_tensors"] + listing[1]["delta_tensors"] + listing[1]["full_tensors"] == 2


def test_description_shape(manager):
    base = manager.save_tensors(10, weights(1))
    snap_id = manager.save_tensors(20, weights(2), {"k": "v"})
    described = manager.describe(snap_id)
    assert list(described) == DESCRIPTION_KEYS
    assert ID_TEXT.match(described["id"]) and described["id"] == snap_id
    assert described["step"] == 20
    assert CREATED_AT.match(described["created_at"]), described["created_at"]
    assert described["is_delta"] is True and described["base_snapshot_id"] == base
    assert described["rank"] == 0 and described["ranks"] == 1
    assert described["metadata"] == {"k": "v"}
    assert [list(tensor) for tensor in described["tensors"]] == [TENSOR_KEYS, TENSOR_KEYS]
    w, b = described["tensors"]
    assert (w["name"], w["shape"], w["dtype"], w["stored_dtype"], w["raw_size"]) == ("w", [256], "float32",
                                                                                    "float32", 1024)
    assert w["storage"] in ("full", "delta") and w["alias_of"] is None
    assert b["storage"] == "skipped"
    assert re.fullmatch(r"[0-9a-f]{32}", w["hash_raw"])
    first = manager.describe(base)
    assert first["is_delta"] is False and first["base_snapshot_id"] is None


def test_latest_is_the_last_saved(manager):
    manager.save_tensors(10, weights(1))
    last = manager.save_tensors(5, weights(2))
    assert manager.describe_latest()["id"] == last
    latest_id, tensors = manager.load_latest()
    assert latest_id == last
    assert tensors == manager.load(last)


def test_empty_store(manager):
    assert manager.list_snapshots() == []
    for operation in (manager.load_latest, manager.describe_latest):
        with pytest.raises(RuntimeError) as raised:
            operation()
        assert str(raised.value) == "Checkpoint not found: No finalized snapshots"


def test_save_without_tensors(manager):
    snap_id = manager.save_tensors(1, {})
    assert ID_TEXT.match(snap_id)
    assert manager.load(snap_id) == {}
    assert manager.describe(snap_id)["tensors"] == []


def test_unknown_id(manager):
    manager.save_tensors(1, weights(1))
    missing = str(uuid.uuid4())
    for operation in (manager.describe, manager.load, lambda i: manager.load_tensors(i, ["w"])):
        with pytest.raises(RuntimeError) as raised:
            operation(missing)
        assert str(raised.value) == f"Checkpoint not found: Snapshot {missing}"


ID_FORMS = {
    "hyphenated upper case": str.upper,
    "plain": lambda text: text.replace("-", ""),
    "urn prefix": lambda text: "urn:uuid:" + text,
}


@pytest.mark.parametrize("form", ID_FORMS.values(), ids=ID_FORMS.keys())
def test_id_text_forms(manager, form):
    snap_id = manager.save_tensors(1, weights(3))
    assert manager.describe(form(snap_id))["id"] == snap_id


BAD_IDS = {
    "short plain text": ("abc", "invalid length: expected length 32 for simple format, found 3"),
    "empty": ("", "invalid length: expected length 32 for simple format, found 0"),
    "plain text one digit long": ("0" * 33, "invalid length: expected length 32 for simple format, found 33"),
    "letter outside hex": (
        "0123456789abcdefg123456789abcdef",
        "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `g` at 17",
    ),
    "non-ASCII character": (
        "é" + "0" * 31,
        "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `é` at 1",
    ),
    "braces": (
        "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
        "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `{` at 1",
    ),
    "four groups": ("67e55044-10b1-426f-9247bb680e5fe0c8", "invalid group count: expected 5, found 4"),
    "six groups": ("67e55044-10b1-426f-9247-bb68-0e5fe0c8", "invalid group count: expected 5, found 6"),
    "short second group": (
        "67e55044-10b-426f-9247-bb680e5fe0c81",
        "invalid group length in group 2: expected 4, found 3",
    ),
    "long last group": (
        "67e55044-10b1-426f-9247-bb680e5fe0c80",
        "invalid group length in group 5: expected 12, found 13",
    ),
}


@pytest.mark.parametrize("text, message", BAD_IDS.values(), ids=BAD_IDS.keys())
def test_bad_id_text(manager, text, message):
    for operation in (manager.describe, manager.load, lambda i: manager.load_tensors(i, ["w"])):
        with pytest.raises(ValueError) as raised:
            operation(text)
        assert str(raised.value) == message


def test_id_must_be_a_string(manager):
    with pytest.raises(TypeError, match="snap_id"):
        manager.describe(uuid.uuid4())


def test_load_tensors_by_name(manager):
    tensors = {"a": ((2,), "uint8", b"ab"), "b": ((2,), "uint8", b"cd"), "c": ((1,), "uint8", b"e")}
    snap_id = manager.save_tensors(1, tensors)
    assert manager.load_tensors(snap_id, ["c", "a"]) == {"c": bytearray(b"e"), "a": bytearray(b"ab")}
    assert manager.load_tensors(snap_id, ("b",)) == {"b": bytearray(b"cd")}
    assert manager.load_tensors(snap_id=snap_id, names=[]) == {}
    with pytest.raises(TypeError, match="names"):
        manager.load_tensors(snap_id, "a")
    with pytest.raises(TypeError, match="names"):
        manager.load_tensors(snap_id, 5)
    with pytest.raises(TypeError, match="names"):
        manager.load_tensors(snap_id, ["a", 1])


def test_loaded_bytearrays_belong_to_the_caller(manager):
    snap_id = manager.save_tensors(1, {"w": ((3,), "uint8", b"abc")})
    first = manager.load(snap_id)
    assert type(first["w"]) is bytearray
    first["w"][0] = ord("z")
    first["w"].extend(b"more")
    assert manager.load(snap_id) == {"w": bytearray(b"abc")}


def test_multi_rank_manager_refuses_single_rank_save(store):
    manager = tarnwick.TarnwickManager(str(store), world_size=2)
    with pytest.raises(RuntimeError) as raised:
        manager.save_tensors(1, {"w": ((1,), "uint8", b"x")})
    assert str(raised.value) == (
        "Invalid configuration: Multi-rank save requires explicit create_snapshot/save_rank/finalize flow. "
        "Use save_rank() instead."
    )
    # Intake checks still come first.
    with pytest.raises(TypeError):
        manager.save_tensors(1, {"w": 5})
    assert manager.list_snapshots() == []


def test_keyword_arguments(manager):
    snap_id = manager.save_tensors(step=3, tensors={"w": ((1,), "uint8", b"x")}, metadata={"a": "b"})
    assert manager.describe(snap_id=snap_id)["step"] == 3
    assert manager.load(snap_id=snap_id) == {"w": bytearray(b"x")}
    assert manager.pin(step=3) is True
    assert manager.unpin(step=3) is True
    with pytest.raises(TypeError):
        manager.list_snapshots(1)
    with pytest.raises(TypeError):
        manager.describe(snap_id, snap_id=snap_id)
