"""A small GPT-style model trained on a copy task, checkpointed with Tarnwick.

Every ``--every`` steps the model and AdamW state go to the store; a second run resumes from the
latest snapshot and trains ``--steps`` more. One table row per checkpoint shows what the store wrote:

    python examples/train.py --store ./tarnwick-demo-store --steps 200 --every 20
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

import torch
from torch import nn

import tarnwick

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from restore import to_torch  # noqa: E402


class Block(nn.Module):
    def __init__(self, width: int, heads: int) -> None:
        super().__init__()
        self.ln1 = nn.LayerNorm(width)
        self.attn = nn.MultiheadAttention(width, heads, batch_first=True)
        self.ln2 = nn.LayerNorm(width)
        self.mlp = nn.Sequential(nn.Linear(width, 4 * width), nn.GELU(), nn.Linear(4 * width, width))

    def forward(self, x: torch.Tensor, mask: torch.Tensor) -> torch.Tensor:
        h = self.ln1(x)
        x = x + self.attn(h, h, h, attn_mask=mask, need_weights=False)[0]
        return x + self.mlp(self.ln2(x))


class TinyGPT(nn.Module):
    def __init__(self, vocab: int, width: int, layers: int, heads: int, length: int) -> None:
        super().__init__()
        self.embed = nn.Embedding(vocab, width)
        self.position = nn.Parameter(torch.zeros(length, width))
        self.blocks = nn.ModuleList(Block(width, heads) for _ in range(layers))
        self.ln = nn.LayerNorm(width)
        self.head = nn.Linear(width, vocab, bias=False)
        self.register_buffer("mask", torch.triu(torch.full((length, length), float("-inf")), diagonal=1))

    def forward(self, tokens: torch.Tensor) -> torch.Tensor:
        length = tokens.shape[1]
        x = self.embed(tokens) + self.position[:length]
        for block in self.blocks:
            x = block(x, self.mask[:length, :length])
        return self.head(self.ln(x))


def copy_batch(generator: torch.Generator, batch: int, half: int, vocab: int) -> torch.Tensor:
    """Random tokens followed by the same tokens again: the second half is learnable."""
    first = torch.randint(1, vocab, (batch, half), generator=generator)
    return torch.cat([first, first], dim=1)


def state_tensors(model: nn.Module, optimizer: torch.optim.Optimizer) -> dict[str, torch.Tensor]:
    """The model's parameters and buffers and the optimizer's moments, under flat names."""
    tensors = {f"model/{name}": value for name, value in model.state_dict().items()}
    for index, state in optimizer.state_dict()["state"].items():
        for key, value in state.items():
            tensors[f"optim/{index}/{key}"] = value
    return tensors


def restore_state(model: nn.Module, optimizer: torch.optim.Optimizer, tensors: dict[str, torch.Tensor]) -> None:
    model.load_state_dict({name[len("model/"):]: t for name, t in tensors.items() if name.startswith("model/")})
    saved = optimizer.state_dict()
    state: dict[int, dict[str, torch.Tensor]] = {}
    for name, value in tensors.items():
        if name.startswith("optim/"):
            _, index, key = name.split("/", 2)
            state.setdefault(int(index), {})[key] = value.clone()
    saved["state"] = state
    optimizer.load_state_dict(saved)


def print_row(info: dict, blocking_ms: float) -> None:
    kind = "delta" if info["is_delta"] else "full"
    ratio = info["total_compressed"] / max(info["total_raw"], 1)
    print(f"{info['step']:>6}  {kind:<5}  {info['total_raw']:>12,}  {info['total_compressed']:>12,}  "
          f"{ratio:>6.3f}  {blocking_ms:>9.1f}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--store", default="./tarnwick-demo-store", help="store directory")
    parser.add_argument("--steps", type=int, default=200, help="steps to train in this run, after any resumed ones")
    parser.add_argument("--every", type=int, default=20, help="checkpoint every this many steps")
    parser.add_argument("--save-dtype", default=None, help="narrowing policy, e.g. bf16")
    args = parser.parse_args()

    torch.manual_seed(0)
    vocab, half = 64, 16
    model = TinyGPT(vocab=vocab, width=128, layers=2, heads=4, length=2 * half)
    optimizer = torch.optim.AdamW(model.parameters(), lr=3e-3)
    manager = tarnwick.TarnwickManager(args.store, save_dtype=args.save_dtype, full_every_steps=100)

    start_step = 0
    if manager.list_snapshots():
        snap_id, loaded = manager.load_latest()
        description = manager.describe(snap_id)
        restore_state(model, optimizer, to_torch(loaded, description))
        start_step = description["step"]
        print(f"resumed from snapshot {snap_id} at step {start_step}")

    generator = torch.Generator().manual_seed(start_step)
    print(f"{'step':>6}  {'kind':<5}  {'raw bytes':>12}  {'stored bytes':>12}  {'ratio':>6}  {'save ms':>9}")
    pending: tuple[int, float] | None = None
    loss = torch.tensor(math.nan)
    for step in range(start_step + 1, start_step + args.steps + 1):
        tokens = copy_batch(generator, batch=32, half=half, vocab=vocab)
        logits = model(tokens[:, :-1])
        # Only the copied half is predictable; the loss there falls towards zero as it learns.
        loss = nn.functional.cross_entropy(logits[:, half - 1:].reshape(-1, vocab), tokens[:, half:].reshape(-1))
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()

        if step % args.every == 0:
            if pending is not None:
                print_row(manager.list_snapshots()[-1], pending[1])
            started = time.perf_counter()
            manager.save_tensors(step, state_tensors(model, optimizer), {"loss": f"{loss.item():.4f}"})
            pending = (step, (time.perf_counter() - started) * 1e3)

    manager.flush()
    if pending is not None:
        print_row(manager.list_snapshots()[-1], pending[1])
    print(f"final loss {loss.item():.4f}; store at {os.path.abspath(args.store)}")


if __name__ == "__main__":
    main()
