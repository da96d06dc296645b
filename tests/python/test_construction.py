import os
from pathlib import Path

import numpy as np
import pytest

import tarnwick
from tarnwick import TarnwickManager


class Index:
    """An object with integer conversion only."""

    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 0.5


# (keyword arguments besides the store root, exception, text the message must contain)
REJECTED = {
    "unknown keyword": ({"no_such_parameter": 1}, TypeError, "no_such_parameter"),
    "storage_root as a path object": ({"storage_root": Path("x")}, TypeError, "storage_root"),
    "storage_root as bytes": ({"storage_root": b"x"}, TypeError, "storage_root"),
    "compression_level above 32 bits": ({"compression_level": 2**31}, OverflowError, "compression_level"),
    "compression_level below 32 bits": ({"compression_level": -(2**31) - 1}, OverflowError, "compression_level"),
    "compression_level as a float": ({"compression_level": 3.0}, TypeError, "compression_level"),
    "max_full_snapshots negative": ({"max_full_snapshots": -1}, OverflowError, "max_full_snapshots"),
    "full_every_steps above 64 bits": ({"full_every_steps": 2**64}, OverflowError, "full_every_steps"),
    "world_size above 32 bits": ({"world_size": 2**32}, OverflowError, "world_size"),
    "rank negative": ({"rank": -1}, OverflowError, "rank"),
    "merge_stride as a string": ({"merge_stride": "5"}, TypeError, "merge_stride"),
    "max_total_snapshots negative": ({"max_total_snapshots": -3}, OverflowError, "max_total_snapshots"),
    "delta_max_ratio as a string": ({"delta_max_ratio": "0.5"}, TypeError, "delta_max_ratio"),
    "s3_region as None": ({"s3_region": None}, TypeError, "s3_region"),
    "s3_prefix as None": ({"s3_prefix": None}, TypeError, "s3_prefix"),
    "s3_bucket as an int": ({"s3_bucket": 5}, TypeError, "s3_bucket"),
    "async_save as 1": ({"async_save": 1}, TypeError, "async_save"),
    "s3_path_style as None": ({"s3_path_style": None}, TypeError, "s3_path_style"),
    "keep_base_in_memory as a string": ({"keep_base_in_memory": "yes"}, TypeError, "keep_base_in_memory"),
    "save_dtype as an int": (
        {"save_dtype": 3},
        TypeError,
        "save_dtype must be a string ('bf16') or a dict of glob pattern to dtype ({'optimizer/*': 'bf16'}), not int",
    ),
    "save_dtype key not a string": (
        {"save_dtype": {1: "bf16"}},
        TypeError,
        "save_dtype keys must be strings: they are glob patterns matched against tensor names, e.g. 'optimizer/*'",
    ),
    "save_dtype value not a string": (
        {"save_dtype": {"w": 16}},
        TypeError,
        "save_dtype['w'] must be a string such as 'bf16' or 'none', not a torch.dtype",
    ),
    "save_dtype empty pattern": (
        {"save_dtype": {"": "bf16"}},
        RuntimeError,
        'Invalid configuration: save_dtype has an empty pattern; use "*" to mean every tensor',
    ),
    "save_dtype unknown name": ({"save_dtype": "int4"}, RuntimeError, "Invalid configuration: unknown save_dtype"),
    "save_dtype unknown name in a dict": (
        {"save_dtype": {"*": "fp4"}},
        RuntimeError,
        "Invalid configuration: unknown save_dtype",
    ),
    "bucket without either key": (
        {"s3_bucket": "b"},
        ValueError,
        "s3_access_key required when s3_bucket is set",
    ),
    "bucket without secret key": (
        {"s3_bucket": "b", "s3_access_key": "a"},
        ValueError,
        "s3_secret_key required when s3_bucket is set",
    ),
    "empty bucket name without keys": ({"s3_bucket": ""}, ValueError, "s3_access_key required"),
    "bucket with keys in a build without remote": (
        {"s3_bucket": "b", "s3_access_key": "a", "s3_secret_key": "s", "s3_endpoint": "http://127.0.0.1:1"},
        RuntimeError,
        "remote storage is not available in this build",
    ),
}


@pytest.mark.parametrize("kwargs, exception, text", REJECTED.values(), ids=REJECTED.keys())
def test_construction_rejects(tmp_path, kwargs, exception, text):
    root = tmp_path / "store"
    with pytest.raises(exception) as raised:
        TarnwickManager(**{"storage_root": str(root), **kwargs})
    assert text in str(raised.value)
    # Every check comes before the store root is created.
    assert not root.exists()


def test_binding_of_arguments(tmp_path):
    root = str(tmp_path / "store")
    with pytest.raises(TypeError):
        TarnwickManager(root, *([1] * 24))
    with pytest.raises(TypeError, match="storage_root"):
        TarnwickManager(root, storage_root=root)
    manager = TarnwickManager(root, 0, 5, 10, 5000, 0.95, 1, 0, 0, 10, 10000, 3, None, None, "us-east-1", "", None,
                              None, None, False, 100, None, False, True)
    assert manager.list_snapshots() == []


def test_first_failing_argument_in_parameter_order_is_reported(tmp_path):
    with pytest.raises(TypeError, match="compression_level"):
        TarnwickManager(str(tmp_path), "3", -1, async_save=1, save_dtype=3)
    with pytest.raises(TypeError, match="async_save"):
        TarnwickManager(str(tmp_path), async_save=1, save_dtype=3)


ACCEPTED = {
    "integers through __index__": {"max_full_snapshots": Index(), "rank": np.int64(3), "world_size": True},
    "ratio from an int": {"delta_max_ratio": 1},
    "ratio from a float conversion": {"delta_max_ratio": Floaty()},
    "NumPy booleans": {"async_save": np.bool_(False), "keep_base_in_memory": np.bool_(True)},
    "negative and extreme compression levels": {"compression_level": -(2**31)},
    "unchecked combinations": {"world_size": 0, "rank": 9, "delta_max_ratio": -5.0, "max_total_snapshots": 2**64 - 1},
    "S3 options without a bucket": {"s3_endpoint": "http://x", "s3_access_key": "a", "sync_every_n_saves": 0},
    "save_dtype names in any case": {"save_dtype": "BF16"},
    "save_dtype none": {"save_dtype": "none"},
    "save_dtype empty dict": {"save_dtype": {}},
    "save_dtype rules": {"save_dtype": {"optimizer/*": "bf16", "*": "none"}},
}


@pytest.mark.parametrize("kwargs", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_construction_accepts(tmp_path, kwargs):
    root = tmp_path / "store"
    TarnwickManager(str(root), **kwargs)
    assert root.is_dir()


def test_defaults_open_checkpoints_under_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    manager = TarnwickManager()
    assert (tmp_path / "checkpoints").is_dir()
    snap_id = manager.save_tensors(1, {"w": ((4,), "uint8", b"\x00" * 4096)})
    described = manager.describe(snap_id)  # waits for the asynchronous saver
    assert (tmp_path / "checkpoints" / "snapshots" / snap_id).is_dir()
    # zstd level 3: a page of zeros shrinks.
    assert described["tensors"][0]["compressed_size"] < 4096


def test_compression_level_zero_stores_bytes_as_they_are(tmp_path):
    manager = TarnwickManager(str(tmp_path / "store"), compression_level=0, async_save=False)
    snap_id = manager.save_tensors(1, {"w": ((4096,), "uint8", b"\x00" * 4096)})
    tensor = manager.describe(snap_id)["tensors"][0]
    assert tensor["compressed_size"] == tensor["raw_size"] == 4096


def test_missing_parents_of_the_root_are_created(tmp_path):
    root = tmp_path / "a" / "b" / "c"
    TarnwickManager(str(root))
    assert root.is_dir()


def test_root_that_is_a_regular_file_is_an_io_error(tmp_path):
    root = tmp_path / "file"
    root.write_bytes(b"")
    with pytest.raises(RuntimeError, match="^IO error: "):
        TarnwickManager(str(root))


def test_root_below_a_regular_file_is_an_io_error(tmp_path):
    (tmp_path / "file").write_bytes(b"")
    with pytest.raises(RuntimeError, match="^IO error: "):
        TarnwickManager(str(tmp_path / "file" / "store"))


def test_unreadable_manifest_fails_the_construction_with_the_store_error(tmp_path):
    root = tmp_path / "store"
    root.mkdir()
    (root / "manifest.json").write_text("{not json")
    with pytest.raises(RuntimeError, match="^Serialization error: "):
        TarnwickManager(str(root))


def test_subclass_constructs_and_works(tmp_path):
    class Manager(TarnwickManager):
        pass

    manager = Manager(str(tmp_path / "store"), async_save=False)
    assert isinstance(manager, TarnwickManager)
    assert manager.list_snapshots() == []


def test_destroying_a_manager_waits_for_its_background_save(tmp_path):
    root = tmp_path / "store"
    manager = TarnwickManager(str(root))
    snap_id = manager.save_tensors(1, {"w": ((1 << 20,), "uint8", os.urandom(1 << 20))})
    del manager
    reopened = TarnwickManager(str(root), async_save=False)
    assert [info["id"] for info in reopened.list_snapshots()] == [snap_id]
