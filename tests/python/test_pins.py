import pytest

import tarnwick


def step_tensors(step: int) -> dict:
    return {"w": ((64,), "uint8", bytes([step % 256]) * 64)}


def test_pin_unknown_step(manager):
    manager.save_tensors(1, step_tensors(1))
    assert manager.pin(7) is False
    assert manager.unpin(7) is False
    assert manager.pinned_steps() == []


def test_pin_and_unpin(manager, store):
    for step in (3, 1, 2):
        manager.save_tensors(step, step_tensors(step))
    assert manager.pin(3) is True
    assert manager.pin(1) is True
    assert manager.pin(1) is True  # pinning again still finds the snapshot
    assert manager.pinned_steps() == [1, 3]
    assert (store / "pins.json").exists()
    assert manager.unpin(3) is True
    assert manager.pinned_steps() == [1]
    reopened = tarnwick.TarnwickManager(str(store), async_save=False)
    assert reopened.pinned_steps() == [1]


def test_pinned_snapshot_survives_retention(store):
    manager = tarnwick.TarnwickManager(str(store), max_full_snapshots=1, max_deltas_per_full=1,
                                       full_every_steps=1, rollback_interval_steps=0, max_rollback_snapshots=0,
                                       async_save=False)
    pinned_id = manager.save_tensors(1, step_tensors(1))
    assert manager.pin(1) is True
    for step in range(2, 8):
        manager.save_tensors(step, step_tensors(step))
    steps = [info["step"] for info in manager.list_snapshots()]
    assert 1 in steps and len(steps) < 7
    assert manager.load(pinned_id) == {"w": bytearray(step_tensors(1)["w"][2])}


@pytest.mark.parametrize("step, exception", [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError)])
def test_pin_step_conversion(manager, step, exception):
    for operation in (manager.pin, manager.unpin):
        with pytest.raises(exception, match="step"):
            operation(step)
