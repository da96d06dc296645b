"""The process that test_crash.py kills: it saves asynchronously without pause, so that the
saver is always busy, and announces every queued step. Steps 1 and 2 are flushed first."""

import sys

import numpy as np

SIZE = 16 << 20
_base = np.random.default_rng(0).bytes(SIZE)


def payload(step: int) -> dict[str, bytearray]:
    """The tensors of `step`: a large buffer that differs a little from step to step (so saves
    are deltas) and one of fresh random bytes, so that every pack takes a while to write."""
    rng = np.random.default_rng(step)
    weights = bytearray(_base)
    start = (step * 7919 * 4096) % (SIZE - 65536)
    weights[start:start + 65536] = rng.bytes(65536)
    return {"w": weights, "b": bytearray(rng.bytes(8 << 20))}


def main(root: str) -> None:
    import tarnwick

    manager = tarnwick.TarnwickManager(root, async_save=True, max_full_snapshots=10_000,
                                       max_deltas_per_full=10_000)
    for step in range(1, 10_000):
        tensors = payload(step)
        manager.save_tensors(step, {name: ((len(data),), "uint8", data) for name, data in tensors.items()})
        print(f"queued {step}", flush=True)
        if step == 2:
            manager.flush()
            print("flushed", flush=True)


if __name__ == "__main__":
    main(sys.argv[1])
