import threading

import numpy as np
import pytest

import tarnwick


def tensors_for(thread: int, step: int) -> dict:
    rng = np.random.default_rng(thread * 1000 + step)
    return {
        f"t{thread}/w": ((4096,), "float32", rng.bytes(4096 * 4)),
        "shared": ((16,), "uint8", bytes(16)),
    }


@pytest.mark.parametrize("async_save", [False, True], ids=["sync", "async"])
def test_threads_save_and_load_on_one_manager(store, async_save):
    manager = tarnwick.TarnwickManager(str(store), async_save=async_save, max_deltas_per_full=1000)
    threads, saves_per_thread = 4, 6
    saved: dict[str, dict] = {}
    errors: list[BaseException] = []
    start = threading.Barrier(threads)

    def work(thread: int) -> None:
        try:
            start.wait()
            for i in range(saves_per_thread):
                step = thread * 100 + i
                tensors = tensors_for(thread, step)
                snap_id = manager.save_tensors(step, tensors)
                saved[snap_id] = tensors
                loaded = manager.load(snap_id)
                assert loaded == {name: bytearray(value[2]) for name, value in tensors.items()}
                assert manager.describe(snap_id)["step"] == step
                manager.list_snapshots()
                manager.pinned_steps()
        except BaseException as error:  # reported on the main thread
            errors.append(error)

    workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert errors == []
    listed = {info["id"] for info in manager.list_snapshots()}
    assert listed == set(saved)
    for snap_id, tensors in saved.items():
        assert manager.load(snap_id) == {name: bytearray(value[2]) for name, value in tensors.items()}
