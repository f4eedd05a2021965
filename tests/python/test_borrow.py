"""The cross-extension array borrow registry, driven through its capsule the
way another native extension would."""

import threading

import numpy as np
import pytest

from _support import Registry, mutably_borrowed
from tarvex import gist_select

VECTORS_BORROWED = mutably_borrowed("vectors")
WEIGHTS_BORROWED = mutably_borrowed("utilities")


@pytest.fixture(scope="module")
def registry():
    return Registry()


@pytest.fixture
def x():
    return np.random.default_rng(3).standard_normal((12, 3)).astype(np.float32)


def test_capsule_is_version_1(registry):
    assert registry.api.version >= 1


def test_writable_borrow_blocks_a_call(registry, x):
    assert registry.acquire_mut(x) == 0
    try:
        with pytest.raises(ValueError) as info:
            gist_select(x, k=3)
        assert str(info.value) == VECTORS_BORROWED
        # A view of the same memory is refused too; memory it does not share is not.
        with pytest.raises(ValueError, match="vectors is mutably borrowed"):
            gist_select(x[4:], k=3)
    finally:
        registry.release_mut(x)
    assert gist_select(x, k=3) == gist_select(x.copy(), k=3)


def test_writable_borrow_of_disjoint_rows(registry, x):
    head, tail = x[:6], x[6:]
    assert registry.acquire_mut(head) == 0
    try:
        assert gist_select(tail, k=2) == gist_select(tail.copy(), k=2)
    finally:
        registry.release_mut(head)


def test_read_borrows_share(registry, x):
    assert registry.acquire(x) == 0
    try:
        gist_select(x, k=3)
        assert registry.acquire_mut(x) == -1  # our own read borrow is still held
    finally:
        registry.release(x)
    assert registry.acquire_mut(x) == 0
    registry.release_mut(x)


def test_borrowed_weights(registry, x):
    weights = np.ones(12)
    assert registry.acquire_mut(weights) == 0
    try:
        with pytest.raises(ValueError) as info:
            gist_select(x, weights, k=3)
        assert str(info.value) == WEIGHTS_BORROWED
        # The vectors' borrow was given back on the way out.
        assert registry.acquire_mut(x) == 0
        registry.release_mut(x)
    finally:
        registry.release_mut(weights)
    # The weights' borrow lasts only for their copy.
    gist_select(x, weights, k=3)
    assert registry.acquire_mut(weights) == 0
    registry.release_mut(weights)


def unaligned(_x):
    return np.zeros(4 * 6 + 1, np.uint8)[1:].view(np.float32).reshape(3, 2)


def huge(_x):  # its exhaustive threshold set cannot fit in memory
    return np.arange(10**6, dtype=np.float32).reshape(-1, 1)


@pytest.mark.parametrize(
    "array, args, kwargs, exc",
    [
        (None, (), dict(k=3), None),
        (None, (np.ones(3),), dict(k=3), ValueError),  # weight count, from the core
        (None, ([1.0] * 12,), dict(k=3), TypeError),  # weights type
        (None, ([[0]] * 11 + [["a"]],), dict(k=3, utility="coverage"), TypeError),
        (None, ([[0]] * 12,), dict(k=3, utility="facility_location"), ValueError),
        (None, (), dict(k=3, eps=0), ValueError),  # driver
        (unaligned, (), dict(k=2), TypeError),
        (huge, (), dict(k=2, metric="euclidean", diameter="approx", exhaustive_thresholds=True),
         MemoryError),
    ],
)
def test_borrow_released_after_every_call(registry, x, array, args, kwargs, exc):
    if array is not None:
        x = array(x)
    if exc is None:
        gist_select(x, *args, **kwargs)
    else:
        with pytest.raises(exc):
            gist_select(x, *args, **kwargs)
    assert registry.acquire_mut(x) == 0
    registry.release_mut(x)


def test_borrow_held_while_the_core_runs(registry):
    # The call runs detached, so this thread can probe the registry meanwhile.
    big = np.random.default_rng(0).standard_normal((3000, 64)).astype(np.float32)
    done = threading.Event()
    failures = []

    def call():
        try:
            while True:
                try:
                    gist_select(big, k=20)
                    return
                except ValueError as e:  # lost a race with a probe below
                    if "mutably borrowed" not in str(e):
                        raise
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)
        finally:
            done.set()

    worker = threading.Thread(target=call)
    worker.start()
    refused = 0
    while not done.is_set():
        if registry.acquire_mut(big) == 0:
            registry.release_mut(big)
        else:
            refused += 1
    worker.join()
    assert not failures
    assert refused > 0
    assert registry.acquire_mut(big) == 0
    registry.release_mut(big)


def test_registry_rules(registry):
    a = np.zeros(16, np.float32)
    ro = a.copy()
    ro.setflags(write=False)
    assert registry.acquire_mut(ro) == -2

    evens, odds = a[::2], a[1::2]
    assert registry.acquire_mut(evens) == 0
    try:
        assert registry.acquire(odds) == 0  # interleaved, never the same element
        registry.release(odds)
        assert registry.acquire(a[2::2]) == -1  # same lattice, overlapping range
        assert registry.acquire(evens) == -1
        assert registry.acquire_mut(evens) == -1
        assert registry.acquire(a.copy()) == 0  # other memory
    finally:
        registry.release_mut(evens)
    assert registry.acquire(a[::-1]) == 0
    assert registry.acquire(a[::-1]) == 0
    assert registry.acquire_mut(a[3:5]) == -1
    registry.release(a[::-1])
    assert registry.acquire_mut(a) == -1  # one reader left
    registry.release(a[::-1])
    assert registry.acquire_mut(a) == 0
    registry.release_mut(a)
