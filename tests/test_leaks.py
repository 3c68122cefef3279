"""Reference and memory leaks: every method, on its success paths and on each of
its error paths, called CALLS times.

After the calls (and a warm-up of WARMUP calls before the baseline):

- ``sys.getrefcount`` is unchanged for every input and everything it holds,
  the instance, ``None``, ``True``/``False``, the dtype objects, and the values
  of the module's names (``numpy``, ``Real``, the four record dtypes,
  ``Ellipsoid``) and the method objects. (``None``, the booleans and interned
  names are immortal in CPython 3.13, so for them the check holds trivially.)
- over the last TRACED_CALLS of them, memory traced by tracemalloc (the
  interpreter's allocators and NumPy's array data) has grown by less than
  TRACED_TOLERANCE bytes: a leak of any object per call (8 bytes and up), let
  alone of a result array, exceeds it;
- over all CALLS, the resident set size (from /proc/self/statm) has grown by
  less than RSS_TOLERANCE: this catches native allocations tracemalloc does
  not see (buffers, C++ objects) of some 400 bytes per call and more.

Sanitizer runs check the reference counts only. AddressSanitizer's quarantine
holds freed memory back on purpose (so the resident set grows), and because its
allocator does not hand freed addresses out again soon, caches inside NumPy
and the interpreter take tens of thousands of calls to settle (NumPy alone,
converting a structured buffer to an array, grows by some 50 KiB there before
it levels off).
"""

import gc
import os
import sys
import tracemalloc
from dataclasses import dataclass, field

import numpy as np
import pytest
from helpers import EARTH, METHODS, SANITIZED, slow

import quorvane.mathtools.ellipsoid.ellipsoid as mod

CALLS = 10_000
WARMUP = 1000
TRACED_CALLS = 2000  # the last of the CALLS, under tracemalloc (which slows calls down 5x)
TRACED_TOLERANCE = 16 * 1024
RSS_TOLERANCE = 4 * 2**20

N = 8  # rows of the array inputs: a leaked result would be a few hundred bytes
rng = np.random.default_rng(7)
LAT = rng.uniform(-1.5, 1.5, N)
LON = rng.uniform(-3, 3, N)
ALT = rng.uniform(-1e3, 1e5, N)
R = np.column_stack([rng.uniform(-7e6, 7e6, N) for _ in range(3)])
R1 = R[0].copy()


def slow_rows(a):
    """The first three rows, read through interpreter indexing number by number."""
    return slow(a[:3])


class Boom(Exception):
    pass


class RaisingItems(np.ndarray):
    """Raises Boom when its third element (or row) is read."""

    def __getitem__(self, i):
        if isinstance(i, int) and i == 2:
            raise Boom()
        return super().__getitem__(i)


class Growing(np.ndarray):
    """Its Python-level shape reports more rows than the array has."""

    @property
    def shape(self):
        real = super().shape
        return (real[0] + 5,) + real[1:]


def raising(a):
    return a.view(RaisingItems)


def growing(a):
    return a[:3].view(Growing)


def objects(a, bad):
    out = a.astype(object)
    out.reshape(-1)[4] = bad
    return out


@dataclass
class Case:
    method: str
    label: str
    args: tuple
    error: type | None = None
    kwargs: dict = field(default_factory=dict)
    target: str = "e"  # "e", "failing" (a compiled subclass whose kernels raise), "replaced"
    tamper: tuple | None = None  # (module name, value or DELETE) for the duration
    unbound: object = None  # call the class's function on this object instead

    @property
    def id(self):
        return f"{self.method}-{self.label}"


DELETE = object()

ANGLE_METHODS = {name: len(m.params) for name, m in METHODS.items()
                 if set(m.roles) == {"angle"}}
VECTOR_METHODS = [name for name, m in METHODS.items() if m.roles == ("vec",)]


def angle_args(name, make=lambda a: a):
    return tuple(make(a.copy()) for a in (LAT, LON, ALT)[:ANGLE_METHODS[name]])


def cases():
    out = []
    for name, count in ANGLE_METHODS.items():
        scalars = (0.3, 0.2, 10.0)[:count]
        out += [
            Case(name, "scalars", scalars),
            Case(name, "arrays", angle_args(name)),
            Case(name, "slow-arrays", angle_args(name, slow_rows)),
            Case(name, "huge-int", (2**1100,) + scalars[1:], OverflowError),
            Case(name, "Real-removed", scalars, NameError, tamper=("Real", DELETE)),
            Case(name, "numpy-removed", angle_args(name), NameError, tamper=("numpy", DELETE)),
            Case(name, "item-raises", angle_args(name, raising), Boom),
            Case(name, "element-None", angle_args(name, lambda a: objects(a, None)),
                 ValueError if count == 1 else TypeError),
        ]
        if count == 1:
            out += [
                Case(name, "int-array", (np.arange(N),), ValueError),
                Case(name, "list", (LAT.tolist(),), AttributeError),
                Case(name, "two-d", (R,), ValueError),
                Case(name, "shape-lies", (growing(LAT.copy()),), IndexError),
            ]
        else:
            out += [
                Case(name, "unequal-lengths", (LAT,) + angle_args(name)[1:-1] + (LAT[:-1],),
                     AssertionError),
                Case(name, "number-with-array", (0.5,) + angle_args(name)[1:], AttributeError),
                Case(name, "lists", tuple(a.tolist() for a in angle_args(name)),
                     AttributeError),
                Case(name, "shape-lies", tuple(growing(a) for a in angle_args(name)),
                     IndexError),
                Case(name, "kernel-fails", angle_args(name), RuntimeError, target="failing"),
                Case(name, "replaced-kernels", angle_args(name), target="replaced"),
            ]
    for name in VECTOR_METHODS + ["aer_coords"]:
        extra = (0.1, 0.2, 30.0) if name == "aer_coords" else ()
        out += [
            Case(name, "one-point", (R1,) + extra),
            Case(name, "rows", (R,) + extra),
            Case(name, "slow-rows", (slow_rows(R.copy()),) + extra),
            Case(name, "list", (R.tolist(),) + extra, AttributeError),
            Case(name, "wrong-length", (np.zeros(4),) + extra, AssertionError),
            Case(name, "rows-of-two", (np.zeros((N, 2)),) + extra, AssertionError),
            Case(name, "numpy-removed", (R,) + extra, NameError, tamper=("numpy", DELETE)),
            Case(name, "item-raises", (raising(R.copy()),) + extra, Boom),
            Case(name, "element-None", (objects(R, None),) + extra, TypeError),
            Case(name, "element-huge", (objects(R, 2**1100),) + extra, OverflowError),
            Case(name, "shape-lies", (growing(R.copy()),) + extra, IndexError),
            Case(name, "kernel-fails", (R,) + extra, RuntimeError, target="failing"),
            Case(name, "replaced-kernels", (R,) + extra, target="replaced"),
        ]
        if METHODS[name].record:
            out += [
                Case(name, "dtype-removed", (R,) + extra, NameError,
                     tamper=(METHODS[name].record, DELETE)),
                Case(name, "dtype-mismatch", (R,) + extra, ValueError,
                     tamper=(METHODS[name].record, np.dtype([("a", "f8"), ("b", "f4")]))),
            ]
        if name == "aer_coords":
            out.append(Case(name, "observer-not-a-number", (R, "0.1", 0.2, 3.0), TypeError))
    ray = "surf_pos_of_ray_first_intersection"
    out += [
        Case(ray, "one-ray", (R1, -R1)),
        Case(ray, "rays", (R1, R)),
        Case(ray, "slow-rays", (slow_rows(R1.copy()), slow_rows(R.copy()))),
        Case(ray, "source-list", (R1.tolist(), R), AttributeError),
        Case(ray, "source-two-d", (R, R), AssertionError),
        Case(ray, "rays-of-four", (R1, np.zeros((N, 4))), AssertionError),
        Case(ray, "numpy-removed", (R1, R), NameError, tamper=("numpy", DELETE)),
        Case(ray, "item-raises", (R1, raising(R.copy())), Boom),
        Case(ray, "element-None", (R1, objects(R, None)), TypeError),
        Case(ray, "shape-lies", (R1, growing(R.copy())), IndexError),
        Case(ray, "kernel-fails", (R1, R), RuntimeError, target="failing"),
    ]
    # Argument errors, the same machinery for all: one case each per method.
    for name in list(ANGLE_METHODS) + VECTOR_METHODS + [ray, "aer_coords"]:
        good = next(c for c in out if c.method == name and c.error is None)
        first = METHODS[name].params[0]
        out += [
            Case(name, "too-many", good.args + (0,), TypeError),
            Case(name, "missing", (), TypeError),
            Case(name, "unexpected-keyword", good.args, TypeError, kwargs={"x": 1}),
            Case(name, "repeated-keyword", good.args, TypeError, kwargs={first: 1}),
            Case(name, "unbound-on-other-object", good.args, TypeError, unbound=R1),
        ]
    return out


CASES = cases()


def attempt(function, *args, **kwargs):
    """function(*args, **kwargs), or the exception it raised."""
    try:
        return function(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - error paths are what is called
        return error


def contents(x):
    """x and the objects it holds, whose reference counts must not move."""
    out = [x]
    if isinstance(x, np.ndarray) and x.dtype.hasobject:
        out += list(x.reshape(-1))
    elif isinstance(x, list):
        for item in x:
            out += contents(item)
    return out


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="module", autouse=True)
def warm_interpreter():
    """Every failing call appends a traceback entry, a new code object and
    frame. CPython 3.13 makes a one-off allocation of some 400 KiB after the
    first few thousand code objects a process creates (bounded: it does not
    grow after that); let it happen before any baseline is taken."""
    e = mod.Ellipsoid(2.0, 0.25)
    for _ in range(5000):
        try:
            e.lla_from_pos(None)
        except AttributeError:
            pass


@pytest.fixture(scope="module")
def targets(probe):
    return {"e": mod.Ellipsoid(*EARTH), "failing": probe.Failing(*EARTH),
            "replaced": probe.Replaced(*EARTH)}


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_no_leak(case, targets, probe):
    target = targets[case.target]
    if case.unbound is not None:
        function = getattr(mod.Ellipsoid, case.method)
        self_arg = (case.unbound,)
    else:
        function = getattr(target, case.method)
        self_arg = ()
    args, kwargs = self_arg + case.args, case.kwargs

    def calls(n):
        for _ in range(n):
            attempt(function, *args, **kwargs)

    watched = [target, None, True, False, function, getattr(mod.Ellipsoid, case.method),
               np.dtype(np.float64), np.float64, np.ndarray, mod.Ellipsoid]
    watched += [getattr(mod, name) for name in
                ("numpy", "Real", "SurfCoord_dtype", "LLA_dtype", "ENU_dtype", "AER_dtype")]
    for x in args + tuple(kwargs.values()):
        watched += contents(x)
    saved = {}
    if case.tamper:
        name, value = case.tamper
        saved[name] = getattr(mod, name)
        if value is DELETE:
            delattr(mod, name)
        else:
            setattr(mod, name, value)
    probe.set_failing(METHODS[case.method].kernel if case.target == "failing" else "")
    try:
        outcome = attempt(function, *args, **kwargs)
        if case.error is None:
            assert not isinstance(outcome, Exception), repr(outcome)
        else:
            assert type(outcome) is case.error, repr(outcome)
        del outcome
        calls(WARMUP)
        gc.collect()
        counts = [sys.getrefcount(x) for x in watched]
        rss_before = resident_bytes()
        calls(CALLS - TRACED_CALLS)
        if not SANITIZED:
            tracemalloc.start()
        try:
            traced_before = tracemalloc.get_traced_memory()[0]
            calls(TRACED_CALLS)
            gc.collect()
            traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        finally:
            tracemalloc.stop()  # (does nothing when not tracing)
        rss_growth = resident_bytes() - rss_before
        assert [sys.getrefcount(x) for x in watched] == counts
        if not SANITIZED:
            assert traced_growth < TRACED_TOLERANCE, traced_growth
            assert rss_growth < RSS_TOLERANCE, rss_growth
    finally:
        probe.set_failing("")
        for name, value in saved.items():
            setattr(mod, name, value)
