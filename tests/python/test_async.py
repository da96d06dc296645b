import sys
import threading
import time

import numpy as np
import pytest

import tarnwick

BACKGROUND_FAILURE = "Storage backend error: Background save failed: "


def payload(step: int, size: int = 1 << 16) -> dict:
    data = np.random.default_rng(step).bytes(size)
    return {"w": ((size // 4,), "float32", data)}


class BrokenSnapshotsDir:
    """Replaces the store's `snapshots` directory by a regular file, so that writing any new
    snapshot fails whoever runs the process (permission bits would not stop root)."""

    def __init__(self, store):
        self.snapshots = store / "snapshots"
        self.kept = store / "snapshots.kept"

    def __enter__(self):
        self.snapshots.rename(self.kept)
        self.snapshots.write_bytes(b"")
        return self

    def __exit__(self, *exc):
        self.snapshots.unlink()
        self.kept.rename(self.snapshots)


@pytest.fixture
def saved_once(async_manager, store):
    first = async_manager.save_tensors(1, payload(1))
    async_manager.flush()
    assert (store / "snapshots" / first).is_dir()
    return first


REPORTERS = {
    "flush": lambda manager: manager.flush(),
    "next save": lambda manager: manager.save_tensors(3, payload(3)),
    "load": lambda manager: manager.load_latest(),
    "selective load": lambda manager: manager.load_tensors(manager.list_snapshots()[0]["id"], ["w"]),
}


@pytest.mark.parametrize("report", REPORTERS.values(), ids=REPORTERS.keys())
def test_failed_background_save_is_reported_once(async_manager, store, saved_once, report):
    with BrokenSnapshotsDir(store):
        failed = async_manager.save_tensors(2, payload(2))  # queued: the failure comes later
        with pytest.raises(RuntimeError) as raised:
            report(async_manager)
        assert str(raised.value).startswith(BACKGROUND_FAILURE)
    async_manager.flush()  # reported once: nothing left to report
    listed = [info["id"] for info in async_manager.list_snapshots()]
    assert failed not in listed and listed[0] == saved_once
    after = async_manager.save_tensors(4, payload(4))
    assert async_manager.load(after) == {"w": bytearray(payload(4)["w"][2])}


def test_inspection_waits_for_the_saver_but_does_not_report_its_failure(async_manager, store, saved_once):
    with BrokenSnapshotsDir(store):
        async_manager.save_tensors(2, payload(2))
        assert [info["id"] for info in async_manager.list_snapshots()] == [saved_once]
        assert async_manager.describe_latest()["id"] == saved_once
    with pytest.raises(RuntimeError, match=BACKGROUND_FAILURE):
        async_manager.flush()


def test_saved_id_is_listed_once_the_saver_is_done(async_manager):
    ids = [async_manager.save_tensors(step, payload(step, 1 << 20)) for step in range(1, 4)]
    assert [info["id"] for info in async_manager.list_snapshots()] == ids
    for step, snap_id in enumerate(ids, start=1):
        assert async_manager.load(snap_id)["w"] == bytearray(payload(step, 1 << 20)["w"][2])


def test_pin_right_after_an_async_save_finds_its_snapshot(async_manager):
    for step in (100, 200, 300):
        async_manager.save_tensors(step, payload(step, 8 << 20))
        assert async_manager.pin(step) is True
    assert async_manager.pinned_steps() == [100, 200, 300]


def test_unpin_and_pinned_steps_right_after_an_async_save(async_manager):
    async_manager.save_tensors(100, payload(100))
    async_manager.pin(100)
    async_manager.save_tensors(200, payload(200, 8 << 20))
    assert async_manager.unpin(200) is True  # the snapshot exists, although it was not pinned
    async_manager.save_tensors(300, payload(300, 8 << 20))
    assert async_manager.pinned_steps() == [100]


def test_last_queue_wait(async_manager, store):
    assert async_manager.last_queue_wait() == 0.0
    async_manager.save_tensors(1, payload(1))
    async_manager.flush()
    async_manager.save_tensors(2, payload(2))
    assert 0.0 <= async_manager.last_queue_wait() < 0.05  # nothing was queued before it
    # A large save followed at once by another: the second waits for the first.
    async_manager.save_tensors(3, payload(3, 64 << 20))
    async_manager.save_tensors(4, payload(4))
    assert async_manager.last_queue_wait() > 0.0
    assert isinstance(async_manager.last_queue_wait(), float)


def test_last_queue_wait_is_zero_without_the_async_saver(manager):
    for step in range(1, 4):
        manager.save_tensors(step, payload(step, 1 << 20))
        assert manager.last_queue_wait() == 0.0


def test_saving_releases_the_interpreter_lock(manager):
    """A Python thread keeps counting while another thread saves: had the save held the lock,
    the counter would only move within a switch interval or two."""
    ticks = 0
    stop = threading.Event()

    def count():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1

    data = np.random.default_rng(0).bytes(64 << 20)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = ticks
        time.sleep(0.1)
        rate = (ticks - before) / 0.1
        before, started = ticks, time.monotonic()
        manager.save_tensors(1, {"w": ((len(data),), "uint8", data)})
        elapsed = time.monotonic() - started
        during = ticks - before
    finally:
        stop.set()
        counter.join()
        sys.setswitchinterval(interval)
    assert elapsed > 0.05, elapsed
    assert during > 0.1 * rate * elapsed, (during, rate, elapsed)
