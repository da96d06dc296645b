"""Type hints for the ``tarnwick`` extension module.

The TypedDicts, protocols and aliases below exist for type checking only; import them under
``if typing.TYPE_CHECKING:``.
"""

from collections.abc import Sequence
from typing import Final, Literal, Protocol, TypedDict, TypeVar, Union

__all__ = ["TarnwickManager", "__version__"]

__version__: Final[str]

class _Device(Protocol):
    @property
    def type(self) -> str: ...

class TensorLike(Protocol):
    """What ``save_tensors`` reads from a framework tensor; ``torch.Tensor`` fits it.

    The tensor must be on the CPU and contiguous. Its bytes are read straight from
    ``data_ptr()`` with the interpreter lock released.
    """

    @property
    def shape(self) -> Sequence[int]: ...
    @property
    def dtype(self) -> object: ...
    @property
    def device(self) -> _Device: ...
    def is_contiguous(self) -> bool: ...
    def numel(self) -> int: ...
    def data_ptr(self) -> int: ...

# (shape, dtype name, packed little-endian element bytes). The byte count is not checked against
# the shape. A bytearray or a sequence of ints from 0 to 255 is copied while the call holds the
# interpreter lock; bytes are read later without it.
RawTensor = tuple[Sequence[int], str, Union[bytes, bytearray, Sequence[int]]]
TensorValue = Union[TensorLike, RawTensor]
_Value = TypeVar("_Value", bound=TensorValue)

# None, one dtype for every tensor ("bf16", "fp16", "fp32", "fp64", "fp8" = "fp8_e4m3",
# "fp8_e5m2", "none"), or glob patterns to dtypes, the first matching pattern deciding.
SaveDType = Union[None, str, dict[str, str]]

class SnapshotInfo(TypedDict):
    step: int
    id: str
    is_delta: bool
    total_compressed: int
    total_raw: int
    skipped_tensors: int
    delta_tensors: int
    full_tensors: int
    ranks: int
    metadata: dict[str, str]

class TensorDescription(TypedDict):
    name: str
    shape: list[int]
    dtype: str
    stored_dtype: str
    storage: Literal["full", "delta", "skipped", "alias"]
    alias_of: str | None
    raw_size: int
    compressed_size: int
    hash_raw: str

class SnapshotDescription(TypedDict):
    id: str
    step: int
    created_at: str
    is_delta: bool
    base_snapshot_id: str | None
    rank: int
    ranks: int
    metadata: dict[str, str]
    tensors: list[TensorDescription]

class TarnwickManager:
    """High-performance checkpoint manager for ML training.

    Every error of the store is raised as ``RuntimeError`` with the store's message.
    """

    def __init__(
        self,
        storage_root: str = "./checkpoints",
        compression_level: int = 3,
        max_full_snapshots: int = 5,
        max_deltas_per_full: int = 10,
        full_every_steps: int = 5000,
        delta_max_ratio: float = 0.95,
        world_size: int = 1,
        rank: int = 0,
        merge_stride: int = 0,
        merge_max_chain: int = 10,
        rollback_interval_steps: int = 10000,
        max_rollback_snapshots: int = 3,
        max_total_snapshots: int | None = None,
        s3_bucket: str | None = None,
        s3_region: str = "us-east-1",
        s3_prefix: str = "",
        s3_endpoint: str | None = None,
        s3_access_key: str | None = None,
        s3_secret_key: str | None = None,
        s3_path_style: bool = False,
        sync_every_n_saves: int = 100,
        save_dtype: SaveDType = None,
        async_save: bool = True,
        keep_base_in_memory: bool = True,
    ) -> None: ...
    def save_tensors(
        self, step: int, tensors: dict[str, _Value], metadata: dict[str, str] | None = None
    ) -> str:
        """Save a checkpoint (single-rank mode) and return the new snapshot's id.

        The contract: a framework tensor's storage is read through ``data_ptr()`` with the
        interpreter lock released, until the call has made its own copy. For the duration of the
        call, no other thread may write to, resize or free any tensor passed in (the calling
        thread is blocked inside the call, so only another thread could). Once the call
        returns, the tensors may be changed freely, even while an asynchronous save is still
        being written.

        With ``async_save=True`` the snapshot exists once the background save has finished;
        ``flush``, the loads and the listings wait for it. A background failure is raised by
        the next ``save_tensors``, ``flush`` or load, once.
        """
    def last_queue_wait(self) -> float:
        """Seconds the last ``save_tensors`` spent waiting for the previous background save."""
    def flush(self) -> None:
        """Block until any in-flight background save completes; raise if it failed."""
    def load(self, snap_id: str) -> dict[str, bytearray]:
        """Every tensor of a snapshot, as new bytearrays in the dtype it was handed over in."""
    def load_latest(self) -> tuple[str, dict[str, bytearray]]:
        """The newest finalized snapshot's id and tensors."""
    def load_tensors(self, snap_id: str, names: Sequence[str]) -> dict[str, bytearray]:
        """Only the named tensors; ``names`` is a list of names, never a single ``str``."""
    def describe(self, snap_id: str) -> SnapshotDescription:
        """What a snapshot holds, without reading any of it."""
    def describe_latest(self) -> SnapshotDescription:
        """The newest finalized snapshot, described rather than loaded."""
    def list_snapshots(self) -> list[SnapshotInfo]:
        """All finalized snapshots, in the order the store keeps them."""
    def pin(self, step: int) -> bool:
        """Keep the snapshot of ``step`` from retention; False when there is none."""
    def unpin(self, step: int) -> bool:
        """Let retention remove the snapshot of ``step`` again; False when there is none."""
    def pinned_steps(self) -> list[int]:
        """The pinned steps, ascending."""
