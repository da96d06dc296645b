"""Small helpers shared by the Python tests."""

import ctypes

import torch


def tensor_bytes(tensor: torch.Tensor) -> bytes:
    """The bytes a contiguous CPU tensor holds, whatever its dtype."""
    return ctypes.string_at(tensor.data_ptr(), tensor.numel() * tensor.element_size())


class FakeDevice:
    def __init__(self, kind: str) -> None:
        self.type = kind


class FakeTensor:
    """A duck-typed framework tensor over a ctypes buffer, with every attribute overridable."""

    def __init__(self, data: bytes, shape=None, dtype="torch.uint8", device="cpu", contiguous=True, numel=None):
        self.buffer = ctypes.create_string_buffer(data, len(data))
        self.shape = shape if shape is not None else (len(data),)
        self.dtype = dtype
        self.device = FakeDevice(device)
        self.contiguous = contiguous
        self.count = numel if numel is not None else len(data)

    def is_contiguous(self):
        return self.contiguous

    def numel(self):
        return self.count

    def data_ptr(self):
        return ctypes.addressof(self.buffer)
