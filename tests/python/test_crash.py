import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import tarnwick

# Saves asynchronously forever, announcing each queued step; steps 1 and 2 are flushed first.
CHILD = textwrap.dedent(
    """
    import sys
    import numpy as np
    import tarnwick

    def payload(step):
        rng = np.random.default_rng(step)
        base = np.random.default_rng(0).bytes(4 << 20)
        noisy = bytes(np.frombuffer(base, np.uint8) ^ (rng.random(4 << 20) < 0.01).astype(np.uint8))
        return {"w": ((1 << 20,), "float32", noisy), "b": ((1024,), "uint8", rng.bytes(1024))}

    manager = tarnwick.TarnwickManager(sys.argv[1], async_save=True, max_deltas_per_full=10_000,
                                       max_full_snapshots=10_000)
    for step in range(1, 10_000):
        manager.save_tensors(step, payload(step))
        print(f"queued {step}", flush=True)
        if step == 2:
            manager.flush()
            print("flushed", flush=True)
    """
)


def payload(step: int) -> dict:
    rng = np.random.default_rng(step)
    base = np.random.default_rng(0).bytes(4 << 20)
    noisy = bytes(np.frombuffer(base, np.uint8) ^ (rng.random(4 << 20) < 0.01).astype(np.uint8))
    return {"w": bytearray(noisy), "b": bytearray(rng.bytes(1024))}


@pytest.mark.parametrize("delay", [0.0, 0.02, 0.1, 0.3])
def test_kill_during_async_save_leaves_a_loadable_store(tmp_path, delay):
    root = tmp_path / "store"
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(root)], stdout=subprocess.PIPE, text=True)
    try:
        seen = []
        for line in child.stdout:
            seen.append(line.strip())
            if line.strip() == "queued 4":
                break
        assert "flushed" in seen, seen
        time.sleep(delay)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    assert child.returncode == -signal.SIGKILL

    reopened = tarnwick.TarnwickManager(str(root), async_save=False)
    listed = reopened.list_snapshots()
    steps = [info["step"] for info in listed]
    assert steps[:2] == [1, 2], steps
    for info in listed:
        assert reopened.load(info["id"]) == payload(info["step"]), info["step"]
    # The store also goes on taking saves.
    snap_id = reopened.save_tensors(10_000, {"x": ((1,), "uint8", b"x")})
    assert reopened.load(snap_id) == {"x": bytearray(b"x")}
