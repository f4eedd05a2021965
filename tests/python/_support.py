"""Scaffolding shared by the Python tests."""

import ctypes

import numpy as np

from tarvex import gist_select

REGISTRY = "_RUST_NUMPY_BORROW_CHECKING_API"


def mutably_borrowed(name):
    return f"{name} is mutably borrowed by another native extension call; retry once it has returned"


class CallerError(Exception):
    """Raised by the tests' own objects."""


# PYFUNCTYPE keeps the interpreter attached, as an extension's own call would.
_Acquire = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
_Release = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class _BorrowApi(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("flags", ctypes.c_void_p),
        ("acquire", _Acquire),
        ("acquire_mut", _Acquire),
        ("release", _Release),
        ("release_mut", _Release),
    ]


class Registry:
    """The cross-extension array borrow registry, driven through its capsule
    the way another native extension would."""

    def __init__(self):
        # The first array use joins the registry or publishes it.
        gist_select(np.ones((1, 1), np.float32), k=1)
        home = np._core.multiarray if hasattr(np, "_core") else np.core.multiarray
        self.capsule = getattr(home, REGISTRY)  # keeps the table alive
        get = ctypes.pythonapi.PyCapsule_GetPointer
        get.restype = ctypes.c_void_p
        get.argtypes = [ctypes.py_object, ctypes.c_char_p]
        self.api = _BorrowApi.from_address(get(self.capsule, REGISTRY.encode()))

    def acquire(self, a):
        return self.api.acquire(self.api.flags, a)

    def acquire_mut(self, a):
        return self.api.acquire_mut(self.api.flags, a)

    def release(self, a):
        self.api.release(self.api.flags, a)

    def release_mut(self, a):
        self.api.release_mut(self.api.flags, a)

    def writable_borrow_possible(self, a):
        """True when no read borrow of `a` is left behind."""
        if self.acquire_mut(a) != 0:
            return False
        self.release_mut(a)
        return True
