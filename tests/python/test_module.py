import inspect

import tarnwick


def test_module_exports_manager_then_version():
    assert tarnwick.__all__ == ["TarnwickManager", "__version__"]
    assert tarnwick.__version__ == "0.1.3"
    assert tarnwick.TarnwickManager.__module__ == "tarnwick"


def test_constructor_signature_lists_every_parameter_with_its_default():
    signature = inspect.signature(tarnwick.TarnwickManager)
    defaults = {name: parameter.default for name, parameter in signature.parameters.items()}
    assert defaults == {
        "storage_root": "./checkpoints",
        "compression_level": 3,
        "max_full_snapshots": 5,
        "max_deltas_per_full": 10,
        "full_every_steps": 5000,
        "delta_max_ratio": 0.95,
        "world_size": 1,
        "rank": 0,
        "merge_stride": 0,
        "merge_max_chain": 10,
        "rollback_interval_steps": 10000,
        "max_rollback_snapshots": 3,
        "max_total_snapshots": None,
        "s3_bucket": None,
        "s3_region": "us-east-1",
        "s3_prefix": "",
        "s3_endpoint": None,
        "s3_access_key": None,
        "s3_secret_key": None,
        "s3_path_style": False,
        "sync_every_n_saves": 100,
        "save_dtype": None,
        "async_save": True,
        "keep_base_in_memory": True,
    }
    assert list(defaults) == list(signature.parameters)
    assert tarnwick.TarnwickManager.__doc__ == "High-performance checkpoint manager for ML training."


def test_method_signatures_and_docstrings():
    manager_type = tarnwick.TarnwickManager
    expected_parameters = {
        "save_tensors": ["step", "tensors", "metadata"],
        "last_queue_wait": [],
        "flush": [],
        "load": ["snap_id"],
        "load_latest": [],
        "load_tensors": ["snap_id", "names"],
        "describe": ["snap_id"],
        "describe_latest": [],
        "list_snapshots": [],
        "pin": ["step"],
        "unpin": ["step"],
        "pinned_steps": [],
    }
    for name, parameters in expected_parameters.items():
        signature = inspect.signature(getattr(manager_type, name))
        assert list(signature.parameters)[1:] == parameters, name
    assert inspect.signature(manager_type.save_tensors).parameters["metadata"].default is None
    assert manager_type.flush.__doc__ == (
        "Block until any in-flight background save completes.\nRaises if the background save failed."
    )
    assert manager_type.load.__doc__ == "Load a snapshot. Returns dict of tensor_name → bytearray."
    assert manager_type.save_tensors.__doc__.startswith("Save a checkpoint (single-rank mode).\n\nValues may be")
    assert "`tarnwick.pyi`" in manager_type.save_tensors.__doc__
    assert manager_type.last_queue_wait.__doc__.splitlines()[0] == (
        "Seconds the last `save_tensors` spent waiting for the previous save."
    )
    assert not manager_type.pin.__doc__


def test_manager_has_no_public_attributes_beyond_its_methods():
    public = {name for name in dir(tarnwick.TarnwickManager) if not name.startswith("_")}
    assert public == {
        "save_tensors", "last_queue_wait", "flush", "load", "load_latest", "load_tensors",
        "describe", "describe_latest", "list_snapshots", "pin", "unpin", "pinned_steps",
    }
