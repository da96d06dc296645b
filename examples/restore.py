"""Turning a load result back into torch tensors.

``load`` hands back raw bytes per tensor; ``describe`` knows each tensor's shape and the dtype it
was handed over in. Together they give the tensors back::

    import tarnwick
    from restore import load_as_torch

    manager = tarnwick.TarnwickManager("./checkpoints")
    snap_id = manager.save_tensors(100, {"w": torch.randn(3, 4)})
    tensors = load_as_torch(manager, snap_id)
    assert tensors["w"].shape == (3, 4)
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import torch

if TYPE_CHECKING:
    from tarnwick import SnapshotDescription, TarnwickManager


def to_torch(loaded: dict[str, bytearray], description: SnapshotDescription) -> dict[str, torch.Tensor]:
    """Tensors with the shapes and dtypes that ``description`` records for ``loaded``'s names.

    Each tensor shares memory with its bytearray, so no bytes are copied.
    """
    tensors_by_name = {tensor["name"]: tensor for tensor in description["tensors"]}
    restored: dict[str, torch.Tensor] = {}
    for name, data in loaded.items():
        described = tensors_by_name[name]
        dtype = getattr(torch, described["dtype"], None)
        if not isinstance(dtype, torch.dtype):
            raise ValueError(f"tensor {name!r} has dtype {described['dtype']!r}, which torch does not know")
        shape = described["shape"]
        if len(data) == 0:
            restored[name] = torch.empty(shape, dtype=dtype)
        else:
            restored[name] = torch.frombuffer(data, dtype=dtype).reshape(shape)
    return restored


def load_as_torch(manager: TarnwickManager, snap_id: str) -> dict[str, torch.Tensor]:
    """Every tensor of a snapshot, as torch tensors."""
    return to_torch(manager.load(snap_id), manager.describe(snap_id))
