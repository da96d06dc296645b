import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

GOOD = """
    import tarnwick

    manager = tarnwick.TarnwickManager("/tmp/unused", save_dtype={"optimizer/*": "bf16"}, async_save=False)
    snap_id: str = manager.save_tensors(1, {"w": ((2,), "uint8", b"ab")}, {"epoch": "1"})
    loaded: dict[str, bytearray] = manager.load(snap_id)
    latest_id, latest = manager.load_latest()
    some = manager.load_tensors(snap_id, ["w"])
    description = manager.describe(snap_id)
    shapes: list[list[int]] = [tensor["shape"] for tensor in description["tensors"]]
    steps: list[int] = [info["step"] for info in manager.list_snapshots()]
    pinned: bool = manager.pin(1)
    wait: float = manager.last_queue_wait()
    manager.flush()
    version: str = tarnwick.__version__
"""

BAD = """
    import tarnwick

    manager = tarnwick.TarnwickManager(compression_level="high")
    manager.save_tensors("1", {"w": ((2,), "uint8", b"ab")})
    manager.load(5)
    manager.describe_latest()["no_such_key"]
    count: str = manager.list_snapshots()[0]["step"]
"""


def run_mypy(tmp_path, source: str) -> subprocess.CompletedProcess:
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         str(script)],
        capture_output=True, text=True, cwd=tmp_path,
    )


def test_stub_accepts_correct_use(tmp_path):
    result = run_mypy(tmp_path, GOOD)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_flags_wrong_calls(tmp_path):
    result = run_mypy(tmp_path, BAD)
    assert result.returncode == 1, result.stdout + result.stderr
    flagged_lines = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    assert flagged_lines == {4, 5, 6, 7, 8}, result.stdout


TORCH = """
    import torch
    import tarnwick

    manager = tarnwick.TarnwickManager("/tmp/unused")
    state: dict[str, torch.Tensor] = {"w": torch.zeros(3)}
    manager.save_tensors(1, state)
    manager.save_tensors(2, {"w": torch.zeros(3), "b": torch.ones(2)})
    mixed: dict[str, tarnwick.TensorValue] = {"w": torch.zeros(3), "raw": ((1,), "uint8", b"x")}
    manager.save_tensors(3, mixed)
    manager.save_tensors(4, {"w": [1.0, 2.0]})
"""


def test_torch_tensors_fit_the_tensor_protocol(tmp_path):
    result = run_mypy(tmp_path, TORCH)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    # Only the list of floats, which is neither a tensor nor a (shape, dtype, data) tuple.
    assert [int(line.split(":")[1]) for line in errors] == [11], result.stdout
