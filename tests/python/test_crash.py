import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import tarnwick
from crash_child import payload

CHILD = Path(__file__).with_name("crash_child.py")


@pytest.mark.parametrize("delay", [0.0, 0.01, 0.03, 0.07, 0.15, 0.3])
def test_kill_during_async_save_leaves_a_loadable_store(tmp_path, delay):
    root = tmp_path / "store"
    child = subprocess.Popen([sys.executable, str(CHILD), str(root)], stdout=subprocess.PIPE, text=True)
    try:
        seen = []
        for line in child.stdout:
            seen.append(line.strip())
            if seen[-1] == "queued 4":
                break
        assert "flushed" in seen, seen
        time.sleep(delay)  # the saver is writing step 4 or a later one
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    assert child.returncode == -signal.SIGKILL

    reopened = tarnwick.TarnwickManager(str(root), async_save=False)
    listed = reopened.list_snapshots()
    steps = [info["step"] for info in listed]
    assert steps == list(range(1, len(steps) + 1)) and len(steps) >= 2, steps
    for info in listed:
        assert reopened.load(info["id"]) == payload(info["step"]), info["step"]
    # The store goes on taking saves, deltas included.
    next_step = len(steps) + 1
    tensors = payload(next_step)
    snap_id = reopened.save_tensors(next_step, {name: ((len(d),), "uint8", bytes(d)) for name, d in tensors.items()})
    assert reopened.load(snap_id) == tensors
