"""Checkpointing a real training run with Tarnwick and with other checkpoint writers.

A GPT-like model (4 layers, width 256, vocabulary 4096, causal attention, about 5.3 M parameters)
learns a fixed random Markov chain with AdamW. Every ``--every`` steps the model and optimizer state
(``model/<name>``, ``optim/<i>/<key>``) is written by every writer in turn, in the same process:

- Tarnwick lossless, bf16, and bf16 weights with 8-bit (e4m3) Adam moments, all with
  ``async_save=True`` and default retention;
- ``torch.save``, ``safetensors.torch.save_file``, ``torch.distributed.checkpoint`` ``save`` and
  ``async_save``, and zipnn's lossless per-tensor compression written to one file;
- ``t.clone()`` of every tensor, the reference for blocking time.

Bytes are counted as written at each checkpoint (the new files' sizes; for Tarnwick the new pack
plus the rewritten ``manifest.json``), so retention never changes the count. At the end the newest
checkpoint of each writer is loaded in full, checked against the final training state, and timed.

Run by hand, not in CI::

    pip install safetensors zipnn   # zipnn is optional: its row says so when it is missing
    TARNWICK_FSYNC=0 python bench/training_bench.py

``TARNWICK_FSYNC=0`` is the default this script sets, because none of the other writers flushes
files to the device either; pass ``--fsync`` to keep Tarnwick's flushes (the comparison is then
not like for like).

Timing protocol. A writer's blocking time is how long its call kept the training loop waiting.
Asynchronous writers are awaited right after their call (the wait is reported as background
time) so that their background work never runs beside another writer's measurement, with one
exception: the lossless Tarnwick save is issued last and left running while training continues,
as a training loop would. Its blocking time at a checkpoint is the call itself plus the wait for
the previous save to finish, which the loop would have paid inside the call.
"""

from __future__ import annotations

import argparse
import collections
import json
import math
import os
import shutil
import statistics
import struct
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from concurrent.futures import Future
from dataclasses import dataclass, field
from pathlib import Path

if "--fsync" not in sys.argv:
    # Read once per process, at the first save: set before the module does any work.
    os.environ["TARNWICK_FSYNC"] = "0"

import torch
import torch.distributed.checkpoint as dcp
import torch.nn.functional as F
from torch import nn

import tarnwick

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from restore import to_torch  # noqa: E402

try:
    from safetensors.torch import load_file as safetensors_load
    from safetensors.torch import save_file as safetensors_save
except ImportError:
    sys.exit("safetensors is missing: pip install safetensors")

try:
    import zipnn
except ImportError as missing:
    zipnn = None
    ZIPNN_MISSING = f"zipnn is not installed ({missing}); pip install zipnn"
else:
    ZIPNN_MISSING = ""

# Single-process dcp warns on every call that no process group exists; that is the setting wanted.
warnings.filterwarnings("ignore", message="torch.distributed is disabled")

Tensors = dict[str, torch.Tensor]


# ---- The model and its data ------------------------------------------------------------------


class CausalSelfAttention(nn.Module):
    def __init__(self, width: int, heads: int) -> None:
        super().__init__()
        self.heads = heads
        self.qkv = nn.Linear(width, 3 * width)
        self.proj = nn.Linear(width, width)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        batch, length, width = x.shape
        q, k, v = self.qkv(x).view(batch, length, 3, self.heads, width // self.heads).permute(2, 0, 3, 1, 4)
        y = F.scaled_dot_product_attention(q, k, v, is_causal=True)
        return self.proj(y.transpose(1, 2).reshape(batch, length, width))


class Block(nn.Module):
    def __init__(self, width: int, heads: int) -> None:
        super().__init__()
        self.ln1 = nn.LayerNorm(width)
        self.attn = CausalSelfAttention(width, heads)
        self.ln2 = nn.LayerNorm(width)
        self.mlp = nn.Sequential(nn.Linear(width, 4 * width), nn.GELU(), nn.Linear(4 * width, width))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = x + self.attn(self.ln1(x))
        return x + self.mlp(self.ln2(x))


class GPT(nn.Module):
    def __init__(self, vocab: int, width: int, layers: int, heads: int, length: int) -> None:
        super().__init__()
        self.embed = nn.Embedding(vocab, width)
        self.position = nn.Parameter(torch.randn(length, width) * 0.02)
        self.blocks = nn.ModuleList(Block(width, heads) for _ in range(layers))
        self.ln = nn.LayerNorm(width)
        self.head = nn.Linear(width, vocab, bias=False)

    def forward(self, tokens: torch.Tensor) -> torch.Tensor:
        x = self.embed(tokens) + self.position[: tokens.shape[1]]
        for block in self.blocks:
            x = block(x)
        return self.head(self.ln(x))


class MarkovChain:
    """A fixed random chain: every token has four successors with probabilities 0.5/0.25/0.15/0.1.

    The best achievable loss is the chain's entropy, about 1.21 nats, against ln(vocab) for guessing.
    """

    PROBABILITIES = (0.5, 0.25, 0.15, 0.1)

    def __init__(self, vocab: int, generator: torch.Generator) -> None:
        self.vocab = vocab
        self.successors = torch.randint(0, vocab, (vocab, len(self.PROBABILITIES)), generator=generator)
        self.probabilities = torch.tensor(self.PROBABILITIES)
        self.generator = generator

    def batch(self, batch: int, length: int) -> torch.Tensor:
        tokens = torch.empty(batch, length, dtype=torch.long)
        tokens[:, 0] = torch.randint(0, self.vocab, (batch,), generator=self.generator)
        for position in range(1, length):
            choice = torch.multinomial(self.probabilities, batch, replacement=True, generator=self.generator)
            tokens[:, position] = self.successors[tokens[:, position - 1], choice]
        return tokens


def state_tensors(model: nn.Module, optimizer: torch.optim.Optimizer) -> Tensors:
    """Model parameters and AdamW state under flat names; the tensors are the live ones, not copies."""
    tensors = {f"model/{name}": value for name, value in model.state_dict().items()}
    for index, state in optimizer.state_dict()["state"].items():
        for key, value in state.items():
            tensors[f"optim/{index}/{key}"] = value
    return tensors


# ---- Writers ---------------------------------------------------------------------------------


def tree_bytes(path: Path) -> int:
    if path.is_file():
        return path.stat().st_size
    return sum(f.stat().st_size for f in path.rglob("*") if f.is_file())


@dataclass
class Writer:
    """One way of writing a checkpoint, with its figures over the run."""

    name: str
    blocking: list[float] = field(default_factory=list)
    background: list[float] = field(default_factory=list)
    written: list[int] = field(default_factory=list)
    load_seconds: float | None = None
    load_check: str = ""
    note: str = ""

    def save(self, step: int, tensors: Tensors) -> None:
        raise NotImplementedError

    def settle(self) -> None:
        """Finish whatever the last save left running, before another writer is measured."""

    def load(self) -> Tensors:
        raise NotImplementedError

    def timed_load(self) -> tuple[float, Tensors]:
        """Seconds to load the newest checkpoint in full, and what was loaded."""
        started = time.perf_counter()
        loaded = self.load()
        return time.perf_counter() - started, loaded


class FileWriter(Writer):
    """A synchronous writer of one file or directory per checkpoint; only the newest is kept."""

    def __init__(self, name: str, root: Path, suffix: str,
                 write: Callable[[Tensors, Path], None], read: Callable[[Path], Tensors]) -> None:
        super().__init__(name)
        self.root, self.suffix, self.write, self.read = root, suffix, write, read
        self.root.mkdir(parents=True)
        self.newest: Path | None = None

    def save(self, step: int, tensors: Tensors) -> None:
        target = self.root / f"step_{step}{self.suffix}"
        started = time.perf_counter()
        self.write(tensors, target)
        self.blocking.append(time.perf_counter() - started)
        self.background.append(0.0)
        self.written.append(tree_bytes(target))
        self.replace_newest(target)

    def replace_newest(self, target: Path) -> None:
        if self.newest is not None:
            shutil.rmtree(self.newest) if self.newest.is_dir() else self.newest.unlink()
        self.newest = target

    def load(self) -> Tensors:
        assert self.newest is not None
        return self.read(self.newest)


class DcpWriter(FileWriter):
    """``torch.distributed.checkpoint`` in one process, without a process group.

    ``dcp.async_save`` stages (copies) the state during the call and writes on a thread, which is
    awaited right away. ``dcp.load`` fills tensors in place: their allocation is not timed.
    """

    def __init__(self, name: str, root: Path, template: Callable[[], Tensors], asynchronous: bool) -> None:
        super().__init__(name, root, "", self.write_sync, self.read_unused)
        self.template, self.asynchronous = template, asynchronous

    def save(self, step: int, tensors: Tensors) -> None:
        if not self.asynchronous:
            return super().save(step, tensors)
        target = self.root / f"step_{step}"
        started = time.perf_counter()
        future = dcp.async_save(tensors, checkpoint_id=str(target))
        returned = time.perf_counter()
        assert isinstance(future, Future), "a plain Future is what async_save returns without a stager"
        future.result()
        self.blocking.append(returned - started)
        self.background.append(time.perf_counter() - returned)
        self.written.append(tree_bytes(target))
        self.replace_newest(target)

    @staticmethod
    def write_sync(tensors: Tensors, target: Path) -> None:
        dcp.save(tensors, checkpoint_id=str(target))

    @staticmethod
    def read_unused(source: Path) -> Tensors:
        raise AssertionError("DcpWriter loads through timed_load")

    def timed_load(self) -> tuple[float, Tensors]:
        state = {name: torch.empty_like(t) for name, t in self.template().items()}
        started = time.perf_counter()
        dcp.load(state, checkpoint_id=str(self.newest))
        return time.perf_counter() - started, state


class TarnwickWriter(Writer):
    def __init__(self, name: str, root: Path, save_dtype: str | dict[str, str] | None,
                 overlap_training: bool) -> None:
        super().__init__(name)
        self.root = root
        self.manager = tarnwick.TarnwickManager(str(root), save_dtype=save_dtype, async_save=True)
        self.overlap_training = overlap_training
        self.in_flight: str | None = None  # id of the snapshot being written
        self.queue_waits: list[float] = []
        self.calls: list[float] = []
        self.waits: list[float] = []
        self.raw: list[int] = []
        self.manifest_bytes: list[int] = []
        self.stored: list[int] = []
        self.kinds: list[str] = []
        self.stored_dtypes: collections.Counter[str] = collections.Counter()

    def save(self, step: int, tensors: Tensors) -> None:
        started = time.perf_counter()
        snap_id = self.manager.save_tensors(step, tensors, {"step": str(step)})
        self.calls.append(time.perf_counter() - started)
        self.queue_waits.append(self.manager.last_queue_wait())
        self.in_flight = snap_id
        if not self.overlap_training:
            self.settle()

    def settle(self) -> None:
        if self.in_flight is None:
            return
        snap_id, called = self.in_flight, self.calls[-1]
        started = time.perf_counter()
        self.manager.flush()
        waited = time.perf_counter() - started
        self.waits.append(waited)
        self.in_flight = None
        if self.overlap_training:
            # The loop would have waited this long inside its next save_tensors call.
            self.blocking.append(called + waited)
            self.background.append(0.0)
        else:
            self.blocking.append(called)
            self.background.append(waited)
        # Bytes written by this save: its pack, and the manifest, rewritten whole by every save.
        pack = self.root / "snapshots" / snap_id / "rank_0.pack"
        self.manifest_bytes.append((self.root / "manifest.json").stat().st_size)
        self.written.append(pack.stat().st_size + self.manifest_bytes[-1])
        info = next(s for s in self.manager.list_snapshots() if s["id"] == snap_id)
        self.raw.append(info["total_raw"])
        self.stored.append(info["total_compressed"])
        self.kinds.append("delta" if info["is_delta"] else "full")

    def load(self) -> Tensors:
        snap_id, loaded = self.manager.load_latest()
        return to_torch(loaded, self.manager.describe(snap_id))


class ZipnnWriter(FileWriter):
    """zipnn's lossless compression of every tensor, the blobs written to one file behind an index.

    zipnn reorders the bytes of the buffer it is given in place, so it is handed a copy of each
    tensor; a training loop would have to do the same, so the copy is part of its time.
    """

    def __init__(self, root: Path) -> None:
        super().__init__("zipnn (lossless, per tensor)", root, ".znn", self.write_file, self.read_file)
        self.codec = zipnn.ZipNN(input_format="torch")

    def write_file(self, tensors: Tensors, target: Path) -> None:
        blobs = [(name, self.codec.compress(tensor.clone())) for name, tensor in tensors.items()]
        index = json.dumps([[name, len(blob)] for name, blob in blobs]).encode()
        with open(target, "wb") as out:
            out.write(struct.pack("<Q", len(index)))
            out.write(index)
            for _, blob in blobs:
                out.write(blob)

    def read_file(self, source: Path) -> Tensors:
        data = source.read_bytes()
        (index_length,) = struct.unpack_from("<Q", data)
        position = 8 + index_length
        tensors = {}
        for name, length in json.loads(data[8:position]):
            tensors[name] = self.codec.decompress(data[position:position + length])
            position += length
        return tensors


def torch_save(tensors: Tensors, target: Path) -> None:
    torch.save(tensors, target)


def torch_load(source: Path) -> Tensors:
    return torch.load(source)


def safetensors_write(tensors: Tensors, target: Path) -> None:
    safetensors_save(tensors, str(target))


def safetensors_read(source: Path) -> Tensors:
    return safetensors_load(str(source))


# ---- Checks and the report -------------------------------------------------------------------


def compare(loaded: Tensors, expected: Tensors) -> str:
    """'exact' when every tensor matches bit for bit, else the worst error seen.

    Each tensor's error is relative to its own largest magnitude.
    """
    if loaded.keys() != expected.keys():
        return f"names differ: {sorted(set(loaded) ^ set(expected))[:3]}"
    worst = 0.0
    for name, want in expected.items():
        got = loaded[name].reshape(want.shape)
        if got.dtype != want.dtype:
            return f"{name}: dtype {got.dtype} != {want.dtype}"
        if torch.equal(got, want):
            continue
        scale = want.abs().max().item() or 1.0
        worst = max(worst, (got.double() - want.double()).abs().max().item() / scale)
    return "exact" if worst == 0.0 else f"max error {worst:.1e} x largest magnitude"


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:.1f}"


def report(writers: list[Writer], clone: list[float], checkpoints: int, notes: list[str]) -> str:
    reference = next(w for w in writers if w.name == "torch.save")
    reference_bytes = sum(reference.written)
    clone_mean = statistics.mean(clone)
    lines = [
        f"| writer | bytes written ({checkpoints} ckpts) | vs torch.save | blocking ms mean | blocking ms worst "
        "| blocking mean / clone | background ms mean | load ms | loaded state |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---|",
        f"| `t.clone()` of every tensor (reference) | | | {ms(clone_mean)} | {ms(max(clone))} | 1.00 | | | |",
    ]
    for w in writers:
        if not w.blocking:
            lines.append(f"| {w.name} | {w.note} | | | | | | | |")
            continue
        total = sum(w.written)
        load = ms(w.load_seconds) if w.load_seconds is not None else ""
        lines.append(
            f"| {w.name} | {total:,} | {total / reference_bytes:.3f} | {ms(statistics.mean(w.blocking))} "
            f"| {ms(max(w.blocking))} | {statistics.mean(w.blocking) / clone_mean:.2f} "
            f"| {ms(statistics.mean(w.background))} | {load} | {w.load_check} |")
    return "\n".join(lines + [""] + [f"- {note}" for note in notes])


# ---- The run ---------------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workdir", default=None, help="where checkpoints go (default: a new temp dir, removed after)")
    parser.add_argument("--checkpoints", type=int, default=20)
    parser.add_argument("--every", type=int, default=10, help="training steps between checkpoints")
    parser.add_argument("--threads", type=int, default=2, help="torch.set_num_threads")
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--length", type=int, default=64, help="sequence length")
    parser.add_argument("--fsync", action="store_true", help="leave Tarnwick's fsync on")
    args = parser.parse_args()

    torch.set_num_threads(args.threads)
    torch.manual_seed(0)
    workdir = Path(args.workdir or tempfile.mkdtemp(prefix="tarnwick-training-bench-"))
    workdir.mkdir(parents=True, exist_ok=True)
    if any(workdir.iterdir()):
        sys.exit(f"{workdir} is not empty")

    vocab = 4096
    model = GPT(vocab=vocab, width=256, layers=4, heads=4, length=args.length)
    optimizer = torch.optim.AdamW(model.parameters(), lr=1e-3, weight_decay=0.1)
    chain = MarkovChain(vocab, torch.Generator().manual_seed(1))
    parameters = sum(p.numel() for p in model.parameters())

    lossless = TarnwickWriter("tarnwick lossless", workdir / "tarnwick-lossless", None, overlap_training=True)
    writers: list[Writer] = [
        lossless,
        TarnwickWriter('tarnwick `{"*": "bf16"}`', workdir / "tarnwick-bf16", {"*": "bf16"}, overlap_training=False),
        TarnwickWriter('tarnwick `{"optim/*/exp_avg*": "fp8", "*": "bf16"}`', workdir / "tarnwick-bf16-fp8",
                       {"optim/*/exp_avg*": "fp8", "*": "bf16"}, overlap_training=False),
        FileWriter("torch.save", workdir / "torch-save", ".pt", torch_save, torch_load),
        FileWriter("safetensors save_file", workdir / "safetensors", ".safetensors", safetensors_write,
                   safetensors_read),
    ]
    live_state = lambda: state_tensors(model, optimizer)  # noqa: E731
    writers.append(DcpWriter("dcp.save", workdir / "dcp-save", live_state, asynchronous=False))
    writers.append(DcpWriter("dcp.async_save", workdir / "dcp-async", live_state, asynchronous=True))
    if zipnn is not None:
        writers.append(ZipnnWriter(workdir / "zipnn"))
    else:
        missing = Writer("zipnn")
        missing.note = ZIPNN_MISSING
        writers.append(missing)
    rotating = [w for w in writers[1:] if w.note == ""]

    print(f"model: {parameters:,} parameters; batch {args.batch} x {args.length} tokens; "
          f"torch threads {args.threads}; TARNWICK_FSYNC={os.environ.get('TARNWICK_FSYNC', '(unset: fsync on)')}; "
          f"workdir {workdir}", flush=True)
    print("Blocking ms per writer; for lossless Tarnwick the call, then the wait for the previous save.")
    print(f"{'ckpt':>4} {'step':>5} {'loss':>6} {'train s':>8} {'lossless':>8} {'wait':>6}  " + "  ".join(
        f"{w.name[:12]:>12}" for w in rotating), flush=True)

    def train_step() -> torch.Tensor:
        tokens = chain.batch(args.batch, args.length + 1)
        logits = model(tokens[:, :-1])
        loss = F.cross_entropy(logits.reshape(-1, vocab), tokens[:, 1:].reshape(-1))
        optimizer.zero_grad(set_to_none=True)
        loss.backward()
        optimizer.step()
        return loss.detach()

    clone_times: list[float] = []
    train_seconds: list[float] = []
    state_bytes = 0
    step = 0
    loss = torch.tensor(math.nan)
    try:
        for checkpoint in range(args.checkpoints):
            started = time.perf_counter()
            for _ in range(args.every):
                step += 1
                loss = train_step()
            train_seconds.append(time.perf_counter() - started)

            # The lossless save left running during training is finished first (its wait is
            # charged to it), so no writer below is measured beside it.
            lossless.settle()
            tensors = state_tensors(model, optimizer)
            state_bytes = sum(t.numel() * t.element_size() for t in tensors.values())

            started = time.perf_counter()
            copies = {name: t.clone() for name, t in tensors.items()}
            clone_times.append(time.perf_counter() - started)
            del copies

            # Rotate the order so that no writer always runs first or last after training.
            shift = checkpoint % len(rotating)
            for writer in rotating[shift:] + rotating[:shift]:
                writer.save(step, tensors)
            lossless.save(step, tensors)
            previous_wait = ms(lossless.waits[-1]) if lossless.waits else "-"
            print(f"{checkpoint + 1:>4} {step:>5} {loss.item():>6.3f} {train_seconds[-1]:>8.2f} "
                  f"{ms(lossless.calls[-1]):>8} {previous_wait:>6}  "
                  + "  ".join(f"{ms(w.blocking[-1]):>12}" for w in rotating), flush=True)
        final = {name: t.clone() for name, t in state_tensors(model, optimizer).items()}
        # The last lossless save also runs beside training, as every earlier one did; these steps
        # are not checkpointed, so the loads below are checked against the state at the last save.
        for _ in range(args.every):
            train_step()
        lossless.settle()

        for writer in writers:
            if writer.note or not writer.blocking:
                continue
            writer.load_seconds, loaded = writer.timed_load()
            writer.load_check = compare(loaded, final)
            del loaded
        for writer in writers:
            if isinstance(writer, TarnwickWriter):
                writer.stored_dtypes = collections.Counter(
                    t["stored_dtype"] for t in writer.manager.describe_latest()["tensors"])
    finally:
        if args.workdir is None:
            shutil.rmtree(workdir, ignore_errors=True)

    tarnwick_writers = [w for w in writers if isinstance(w, TarnwickWriter)]
    notes = [
        f"{args.checkpoints} checkpoints every {args.every} steps of a {parameters:,}-parameter GPT with AdamW; "
        f"{state_bytes / 1e6:.1f} MB of state per checkpoint; final loss {loss.item():.3f} "
        f"(chain entropy 1.21, ln {vocab} = {math.log(vocab):.2f}).",
        f"Training: {statistics.mean(train_seconds):.2f} s mean per {args.every} steps "
        f"(torch threads {args.threads}).",
        "Tarnwick with TARNWICK_FSYNC=" + os.environ.get("TARNWICK_FSYNC", "unset (fsync on)") +
        "; no other writer fsyncs. Bytes for Tarnwick = new pack + rewritten manifest.json per checkpoint.",
        "Lossless Tarnwick's save ran beside the next training steps; its blocking time is the call "
        f"(mean {ms(statistics.mean(lossless.calls))} ms) plus the wait for that save to finish at the "
        f"next checkpoint (mean {ms(statistics.mean(lossless.blocking) - statistics.mean(lossless.calls))} ms).",
        "The other asynchronous writers (Tarnwick bf16 variants, dcp.async_save) were awaited right after "
        "their call (background column), so their blocking column holds no wait for a previous save.",
        "Writers other than lossless Tarnwick ran in an order rotated at every checkpoint.",
        "dcp.async_save worked without a process group; its blocking part stages a copy of the state.",
        "zipnn rewrites the buffer it compresses, so it gets a copy of each tensor (timed with it).",
        "Loads: Tarnwick load_latest + to_torch; dcp.load into preallocated tensors (allocation not timed); "
        "safetensors load_file maps the file, so its pages are read when first touched (after the timing). "
        "Files were just written, so every load reads from the page cache.",
    ]
    for w in tarnwick_writers:
        manifests = sum(w.manifest_bytes)
        framing = sum(w.written) - sum(w.stored) - manifests
        notes.append(f"{w.name}: snapshots {''.join(k[0].upper() for k in w.kinds)} (F full, D delta); "
                     f"tensor bytes stored {sum(w.stored):,} of {sum(w.raw):,} raw after casting "
                     f"({sum(w.stored) / sum(w.raw):.3f}); manifest.json rewrites {manifests:,} "
                     f"(last {w.manifest_bytes[-1]:,}); pack headers, descriptors and padding {framing:,}; "
                     f"stored dtypes of the last snapshot {dict(w.stored_dtypes)}; "
                     f"last_queue_wait() max {ms(max(w.queue_waits))} ms.")
    if ZIPNN_MISSING:
        notes.append(ZIPNN_MISSING)
    print()
    print(report(writers, clone_times, args.checkpoints, notes))


if __name__ == "__main__":
    main()
