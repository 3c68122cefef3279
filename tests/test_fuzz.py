"""Fuzzing: every method, construction, the typed views and their record
converters called with generated arguments.

Whatever it is given, a call either returns a result of the documented type,
shape and dtype or raises an ordinary exception; it never crashes, never
changes the instance or its inputs, and never returns a wrong result: when
every argument is a plain real number or a real-valued NumPy array, the result
is the one the same call gives for float64 copies of the arrays, bit for bit,
and it fails exactly when that call fails.

Arguments are built from a catalogue of input kinds (KINDS): numbers of every
sort, arrays of every dtype and layout, containers, and hostile objects whose
``shape``, ``ndim``, items, ``__float__`` or ``__index__`` misbehave, or that
delete or rebind module names (restored after every call). Every kind is tried
in every argument position of every method (a fixed sweep), then Hypothesis
mixes them.

Example counts come from the Hypothesis profile "fuzz-ci" (the default: some
30,000 calls, half a minute for this file, a minute and a quarter under the
sanitizers) or "fuzz-long" (QUORVANE_FUZZ=long, or `make fuzz-long`: ten times
as many). Format strings at the limits of the format reader and exporters
with unusual strides are checked explicitly at the end, in a child interpreter,
so that a crash or a hang fails one test instead of ending the run.
"""

import array
import ctypes
import decimal
import fractions
import gc
import math
import os
import random
import types
from collections import Counter

import numpy as np
import pytest
from helpers import EARTH, METHODS, SubArray, run_python, same
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvane.mathtools.ellipsoid.ellipsoid as mod

# Complex and float-subclass conversions warn; the fuzz makes them on purpose.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning",
                                        "ignore::numpy.exceptions.ComplexWarning")

settings.register_profile(
    "fuzz-ci", max_examples=250, deadline=None, database=None,
    suppress_health_check=list(HealthCheck), print_blob=True)
settings.register_profile(
    "fuzz-long", max_examples=2500, deadline=None,
    suppress_health_check=list(HealthCheck), print_blob=True)
FUZZ = settings.get_profile("fuzz-long" if os.environ.get("QUORVANE_FUZZ") == "long"
                            else "fuzz-ci")


def scaled(factor):
    """The profile with `factor` times its example count."""
    return settings(FUZZ, max_examples=max(1, int(FUZZ.max_examples * factor)))


# -- What each method takes and returns ----------------------------------------------

ROLES = {name: m.roles for name, m in METHODS.items()}
LATITUDE = {"reduced_lat_from_geodetic_lat", "geodetic_lat_from_reduced_lat"}
RECORD_RESULT = {name: m.record for name, m in METHODS.items() if m.record}
FLOAT_OR_VECTOR = {name for name, m in METHODS.items() if m.result == "float-or-vector"}
ROWS_OF_THREE = {name for name, m in METHODS.items() if m.result == "rows-of-three"}

MODULE_NAMES = ["numpy", "Real", "SurfCoord_dtype", "LLA_dtype", "ENU_dtype", "AER_dtype"]
ORIGINAL_NAMES = {name: getattr(mod, name) for name in MODULE_NAMES}

E = mod.Ellipsoid(*EARTH)
SMALL = mod.Ellipsoid(2.0, 0.25)  # what re-entrant inputs call


def check_result(name, result):
    """The documented type, dtype and shape of a successful call."""
    if name in FLOAT_OR_VECTOR and type(result) is float:
        return
    assert type(result) is np.ndarray, (name, type(result))
    assert result.flags.writeable and result.flags.c_contiguous
    if name in RECORD_RESULT:
        assert result.dtype == ORIGINAL_NAMES[RECORD_RESULT[name]], result.dtype
        assert result.ndim == 1, result.shape
    elif name in ROWS_OF_THREE:
        assert result.dtype == np.float64
        assert result.shape == (3,) or (result.ndim == 2 and result.shape[1] == 3), result.shape
    else:
        assert result.dtype == np.float64
        assert result.ndim == 1, result.shape


# -- Input kinds -------------------------------------------------------------------

REAL_DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32,
               np.int64, np.uint64, np.float16, np.float32, np.float64, np.longdouble]
FLOAT_SAMPLES = [0.0, -0.0, 1.0, -1.0, 0.5, 3.0, math.pi / 2, -math.pi / 2, 1e-310, 1e308,
                 -1e308, 6.4e6, -6.4e6, 7e6, 2e7, math.nan, math.inf, -math.inf, 123.25]
INT_SAMPLES = [0, 1, -1, 3, 7, 127, -128, 255, 65535, 2**31 - 1, -(2**31), 2**53 + 1,
               2**63 - 1, -(2**63), 2**64 - 1, 6_400_000]


def sample_array(rng, dtype, shape):
    """An array of `dtype` and `shape` with values worth trying for that dtype."""
    dtype = np.dtype(dtype)
    size = int(np.prod(shape))
    if dtype.kind == "b":
        values = [rng.random() < 0.5 for _ in range(size)]
        return np.array(values, dtype=dtype).reshape(shape)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        pool = [v for v in INT_SAMPLES if info.min <= v <= info.max]
        return np.array([rng.choice(pool) for _ in range(size)], dtype=dtype).reshape(shape)
    if dtype.kind == "c":
        values = [complex(rng.choice(FLOAT_SAMPLES), rng.choice(FLOAT_SAMPLES))
                  for _ in range(size)]
        with np.errstate(all="ignore"):
            return np.array(values, dtype=dtype).reshape(shape)
    with np.errstate(all="ignore"):
        return np.array([rng.choice(FLOAT_SAMPLES) for _ in range(size)],
                        dtype=np.float64).astype(dtype).reshape(shape)


def role_shape(rng, role, n):
    if role == "vec":
        return (3,) if rng.random() < 0.3 else (n, 3)
    return (n,)


def real_array(dtype):
    def make(rng, role, n):
        return sample_array(rng, dtype, role_shape(rng, role, n))
    return make


def layout(transform):
    """A float64 (or random real dtype) array of the role's shape, transformed."""
    def make(rng, role, n):
        dtype = rng.choice([np.float64, np.float64, rng.choice(REAL_DTYPES)])
        return transform(sample_array(rng, dtype, role_shape(rng, role, n)), rng)
    return make


def fortran(a, rng):
    return np.asfortranarray(a)


def reversed_(a, rng):
    return a[::-1, ::-1] if a.ndim == 2 else a[::-1]


def stepped(a, rng):
    big = np.repeat(a, 2, axis=0)
    return big[::2]


def column_of_wider(a, rng):
    if a.ndim == 1:
        wide = np.zeros((a.shape[0], 3), dtype=a.dtype)
        wide[:, 1] = a
        return wide[:, 1]
    wide = np.zeros((a.shape[0], 5), dtype=a.dtype)
    wide[:, 1:4] = a
    return wide[:, 1:4]


def broadcast(a, rng):
    if a.shape[0] == 0:
        return np.broadcast_to(a, a.shape)
    return np.broadcast_to(a[:1], a.shape)  # zero stride along axis 0


def readonly(a, rng):
    a = a.copy()
    a.flags.writeable = False
    return a


def subclass(a, rng):
    return a.view(SubArray)


def byteswapped(a, rng):
    return a.astype(a.dtype.newbyteorder())


def unaligned(a, rng):
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    b = raw[1:].view(a.dtype).reshape(a.shape)
    b[...] = a
    return b


def container(convert):
    def make(rng, role, n):
        return convert(sample_array(rng, np.float64, role_shape(rng, role, n)))
    return make


def shaped(shape):
    def make(rng, role, n):
        return sample_array(rng, np.float64, shape)
    return make


def number(value):
    return lambda rng, role, n: value


def numpy_scalar(dtype):
    def make(rng, role, n):
        return sample_array(rng, dtype, (1,))[0]
    return make


# Hostile objects.

class Boom(Exception):
    """What hostile objects raise."""


class BadFloat:
    """An element whose float conversion raises or gives the wrong type."""

    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, type) and issubclass(self.result, BaseException):
            raise self.result("__float__")
        return self.result


class FloatSub(float):
    pass


class BadIndex:
    """A shape entry whose index conversion raises or gives the wrong type."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, type) and issubclass(self.result, BaseException):
            raise self.result("__index__")
        return self.result


class BadTruth:
    """A comparison result whose truth value raises."""

    def __bool__(self):
        raise Boom("__bool__")


class BadEq:
    """An attribute value whose comparisons raise or give a bad truth value."""

    def __init__(self, mode):
        self.mode = mode

    def __eq__(self, other):
        if self.mode == "raise":
            raise Boom("__eq__")
        return BadTruth()

    __ne__ = __eq__
    __hash__ = None


TAMPERED = [False]


class Tamper:
    """Deletes or rebinds a module name; every call restores them."""

    def __init__(self, name, value):
        self.name, self.value = name, value

    def __call__(self):
        TAMPERED[0] = True
        if self.value is Tamper:
            mod.__dict__.pop(self.name, None)
        else:
            setattr(mod, self.name, self.value)


def attempt(function, *args, **kwargs):
    """function(*args, **kwargs), or the ordinary exception it raised: here
    either is an allowed outcome (anything else, a crash, ends the run)."""
    try:
        return function(*args, **kwargs)
    except Exception as error:  # noqa: BLE001
        return error


REENTRY_DEPTH = [0]


def reenter():
    """Calls every method of another Ellipsoid from inside a read."""
    if REENTRY_DEPTH[0] >= 2:
        return
    REENTRY_DEPTH[0] += 1
    try:
        r = np.array([[7e6, 0.0, 1.0], [0.0, 7e6, 2.0]])
        for name, args in good_args(r).items():
            attempt(getattr(SMALL, name), *args)
    finally:
        REENTRY_DEPTH[0] -= 1


def good_args(r):
    lat = r[:, 0] * 1e-7
    return {
        "reduced_lat_from_geodetic_lat": (lat,),
        "enu": (lat, lat),
        "lla_from_pos": (r,),
        "pos_from_lla": (lat, lat, lat),
        "aer_coords": (r, 0.1, 0.2, 3.0),
        "surf_pos_of_ray_first_intersection": (r[0], r),
    }


class Hostile:
    """An array-like over a clean array whose `shape`, `ndim` and items
    misbehave as told. Each misbehaviour is a function of the read count."""

    def __init__(self, base, shape=None, ndim=None, item=None):
        self.base = base
        self._shape, self._ndim, self._item = shape, ndim, item
        self.reads = Counter()

    @property
    def shape(self):
        self.reads["shape"] += 1
        if self._shape is None:
            return self.base.shape
        return self._shape(self, self.reads["shape"])

    @property
    def ndim(self):
        self.reads["ndim"] += 1
        if self._ndim is None:
            return self.base.ndim
        return self._ndim(self, self.reads["ndim"])

    def __getitem__(self, i):
        self.reads["item"] += 1
        if self._item is None:
            return self.base[i]
        return self._item(self, i, self.reads["item"])


def hostile(**behaviour):
    def make(rng, role, n):
        base = sample_array(rng, np.float64, role_shape(rng, role, max(n, 1)))
        return Hostile(base, **behaviour)
    return make


def raise_at(k, exc=Boom):
    def behave(self, *args):
        count = args[-1]
        if count >= k:
            raise exc("misbehaving read")
        return self.base.shape if len(args) == 1 else self.base[args[0]]
    return behave


def shape_then(values):
    """shape: the k-th read gives values[k - 1] (the last one from then on)."""
    def behave(self, count):
        return values[min(count, len(values)) - 1]
    return behave


def grow(step):
    def behave(self, count):
        shape = list(self.base.shape)
        shape[0] = max(0, shape[0] + step * count)
        return tuple(shape)
    return behave


def flip_ndim(self, count):
    return 1 if count % 2 else 2


def item_returns(value):
    def behave(self, i, count):
        return value() if callable(value) else value
    return behave


def item_side_effect(effect, at=2):
    def behave(self, i, count):
        if count == at:
            effect()
        return self.base[i]
    return behave


def nested_hostile_rows(self, i, count):
    row = self.base[i]
    if np.ndim(row) == 0:
        return BadFloat(Boom) if count % 3 == 0 else row
    return Hostile(row, item=lambda s, j, c: BadFloat("x") if c == 3 else s.base[j])


class HostileArray(np.ndarray):
    """An ndarray subclass whose Python-level shape lies (0, 1 or 2 extra rows, by read)."""

    @property
    def shape(self):
        HostileArray.reads = getattr(HostileArray, "reads", 0) + 1
        real = super().shape
        return (real[0] + HostileArray.reads % 3,) + real[1:]


def object_array(values):
    def make(rng, role, n):
        shape = role_shape(rng, role, n)
        a = np.empty(shape, dtype=object)
        flat = a.reshape(-1)
        for k in range(flat.size):
            flat[k] = rng.choice(values)
        return a
    return make


HUGE = [2**62, 2**63 - 1, 2**64, 10**30, -1, -(2**63)]

KINDS = {
    # numbers
    "int": number(3),
    "int_zero": number(0),
    "int_huge": number(2**1100),
    "int_negative_huge": number(-(2**70)),
    "bool": number(True),
    "float": number(0.7),
    "float_nan": number(math.nan),
    "float_inf": number(-math.inf),
    "float_negative_zero": number(-0.0),
    "float_subclass": number(FloatSub(0.25)),
    "complex": number(1 + 2j),
    "fraction": number(fractions.Fraction(1, 3)),
    "decimal": number(decimal.Decimal("0.1")),
    **{f"np_{np.dtype(t).name}": numpy_scalar(t) for t in REAL_DTYPES},
    "np_complex64": numpy_scalar(np.complex64),
    "np_complex128": numpy_scalar(np.complex128),
    "np_clongdouble": numpy_scalar(np.clongdouble),
    "np_datetime64": number(np.datetime64("2020-01-01")),
    "np_timedelta64": number(np.timedelta64(5, "s")),
    "np_str": number(np.str_("1.0")),
    "zero_dim": shaped(()),
    # arrays of every dtype
    **{f"array_{np.dtype(t).name}": real_array(t) for t in REAL_DTYPES},
    "array_complex128": real_array(np.complex128),
    "array_complex64": real_array(np.complex64),
    "array_object_numbers": object_array([1, 2.5, True, np.float32(3), fractions.Fraction(1, 2)]),
    "array_object_hostile": object_array([1.0, BadFloat(Boom), BadFloat("s"), None, "x",
                                          BadFloat(FloatSub(1.0))]),
    "array_str": lambda rng, role, n: np.full(role_shape(rng, role, n), "1.5"),
    "array_bytes": lambda rng, role, n: np.full(role_shape(rng, role, n), b"2"),
    "array_datetime": lambda rng, role, n: np.full(role_shape(rng, role, n),
                                                   np.datetime64("2020-01-01")),
    "array_timedelta": lambda rng, role, n: np.full(role_shape(rng, role, n),
                                                    np.timedelta64(3, "s")),
    "array_structured": lambda rng, role, n: np.zeros(role_shape(rng, role, n),
                                                      dtype=[("a", "f8"), ("b", "i4")]),
    "array_void": lambda rng, role, n: np.zeros(role_shape(rng, role, n), dtype="V8"),
    # layouts
    "fortran": layout(fortran),
    "negative_stride": layout(reversed_),
    "stepped": layout(stepped),
    "column_of_wider": layout(column_of_wider),
    "zero_stride": layout(broadcast),
    "readonly": layout(readonly),
    "subclass": layout(subclass),
    "byteswapped": layout(byteswapped),
    "unaligned": layout(unaligned),
    "empty": lambda rng, role, n: sample_array(rng, np.float64, role_shape(rng, role, 0)),
    "one_d_wrong_length": shaped((4,)),
    "rows_of_two": shaped((2, 2)),
    "rows_of_four": shaped((2, 4)),
    "three_d": shaped((2, 3, 3)),
    "two_d_angles": shaped((2, 1)),
    # containers and other objects
    "list": container(lambda a: a.tolist()),
    "tuple": container(lambda a: tuple(map(tuple, a)) if a.ndim == 2 else tuple(a)),
    "list_of_ints": lambda rng, role, n: [1] * 3 if role == "vec" else [1] * n,
    "dict": number({0: 1.0, 1: 2.0, 2: 3.0, "shape": (3,)}),
    "set": number({1.0, 2.0, 3.0}),
    "none": number(None),
    "str": number("abc"),
    "bytes": number(b"\x00" * 24),
    "bytearray": number(bytearray(24)),
    "memoryview": lambda rng, role, n: memoryview(sample_array(rng, np.float64,
                                                              role_shape(rng, role, n))),
    "range": lambda rng, role, n: range(n),
    "object": number(object()),
    "ellipsoid": number(SMALL),
    # hostile shape
    "shape_grows": hostile(shape=grow(1)),
    "shape_grows_fast": hostile(shape=grow(1000)),
    "shape_shrinks": hostile(shape=grow(-1)),
    "shape_flips_to_vector": hostile(shape=shape_then([(4, 3), (3,), (4, 3)])),
    "shape_flips_to_rows": hostile(shape=shape_then([(3,), (2, 3), (50, 3), (0, 3)])),
    "shape_raises_first": hostile(shape=raise_at(1)),
    "shape_raises_later": hostile(shape=raise_at(3)),
    "shape_raises_index_error": hostile(shape=raise_at(2, IndexError)),
    **{f"shape_huge_{k}": hostile(shape=shape_then([(h, 3)] * 2 + [(h,)]))
       for k, h in enumerate(HUGE)},
    "shape_huge_only_later": hostile(shape=shape_then([(2, 3), (2, 3), (2**62, 3)])),
    "shape_is_list": hostile(shape=shape_then([[2, 3]])),
    "shape_is_str": hostile(shape=shape_then(["abc"])),
    "shape_is_none": hostile(shape=shape_then([None])),
    "shape_is_int": hostile(shape=shape_then([3])),
    "shape_of_floats": hostile(shape=shape_then([(2.0, 3.0)])),
    "shape_index_raises": hostile(shape=shape_then([(BadIndex(Boom), 3)])),
    "shape_index_wrong_type": hostile(shape=shape_then([(BadIndex(2.5), 3)])),
    "shape_index_huge": hostile(shape=shape_then([(BadIndex(2**80), 3)])),
    "shape_eq_raises": hostile(shape=shape_then([BadEq("raise")])),
    "shape_eq_bad_truth": hostile(shape=shape_then([(BadEq("truth"), BadEq("truth"))])),
    # hostile ndim
    "ndim_flips": hostile(ndim=flip_ndim),
    "ndim_raises": hostile(ndim=raise_at(1)),
    "ndim_raises_later": hostile(ndim=raise_at(2)),
    "ndim_is_float": hostile(ndim=shape_then([1.0, 2.0])),
    "ndim_is_str": hostile(ndim=shape_then(["1"])),
    "ndim_eq_raises": hostile(ndim=shape_then([BadEq("raise")])),
    "ndim_eq_bad_truth": hostile(ndim=shape_then([BadEq("truth")])),
    # hostile items
    "item_raises_first": hostile(item=raise_at(1)),
    "item_raises_later": hostile(item=raise_at(4)),
    "item_raises_index_error": hostile(item=raise_at(2, IndexError)),
    "item_none": hostile(item=item_returns(None)),
    "item_str": hostile(item=item_returns("1.0")),
    "item_list": hostile(item=item_returns(lambda: [1.0, 2.0, 3.0])),
    "item_object": hostile(item=item_returns(object)),
    "item_complex": hostile(item=item_returns(1j)),
    "item_float_raises": hostile(item=item_returns(BadFloat(Boom))),
    "item_float_returns_str": hostile(item=item_returns(BadFloat("1.0"))),
    "item_float_returns_int": hostile(item=item_returns(BadFloat(1))),
    "item_float_returns_subclass": hostile(item=item_returns(BadFloat(FloatSub(1.0)))),
    "item_index_object": hostile(item=item_returns(BadIndex(1))),
    "item_nested_hostile": hostile(item=nested_hostile_rows),
    "item_gc": hostile(item=item_side_effect(gc.collect)),
    "item_reenters": hostile(item=item_side_effect(reenter, at=1)),
    **{f"item_deletes_{name}": hostile(item=item_side_effect(Tamper(name, Tamper)))
       for name in MODULE_NAMES},
    "item_rebinds_numpy": hostile(item=item_side_effect(Tamper("numpy", types.SimpleNamespace(
        zeros=np.zeros, double=np.float32, asarray=list, zeros_like=np.ones_like)))),
    "item_rebinds_Real": hostile(item=item_side_effect(Tamper("Real", int))),
    "item_rebinds_LLA_dtype": hostile(item=item_side_effect(Tamper("LLA_dtype", np.float64))),
    "item_rebinds_ENU_dtype": hostile(item=item_side_effect(
        Tamper("ENU_dtype", np.dtype([("a", "f8", (9,))])))),
    "hostile_subclass": lambda rng, role, n: sample_array(
        rng, np.float64, role_shape(rng, role, max(n, 1))).view(HostileArray),
}
KIND_NAMES = sorted(KINDS)
KINDS_USED = Counter()
CALLS = Counter()


def make_input(kind, rng, role, n):
    KINDS_USED[kind] += 1
    return KINDS[kind](rng, role, n)


# -- Calling, with the invariants around every call -----------------------------------

CLEAN_NUMBERS = (int, float, np.bool_, np.integer, np.floating)


def clean(x):
    """A plain real number, or a NumPy array of a real dtype."""
    if isinstance(x, np.ndarray):
        return type(x) in (np.ndarray, SubArray) and x.dtype.type in REAL_DTYPES
    return type(x) in (int, bool, float) or (isinstance(x, CLEAN_NUMBERS)
                                              and type(x) in REAL_DTYPES)


def as_float64(x):
    return np.array(x, dtype=np.float64) if isinstance(x, np.ndarray) else x


def snapshot(args):
    return [x.copy() if isinstance(x, np.ndarray) else None for x in args]


def call(target, name, args, kwargs=None):
    """target.name(*args): the outcome, with module names restored, the
    instance and the array inputs checked unchanged."""
    CALLS[name] += 1
    before = snapshot(args)
    params = (target.Re, target.f, target.Rp) if isinstance(target, mod.Ellipsoid) else None
    TAMPERED[0] = False
    try:
        result = attempt(getattr(target, name), *args, **(kwargs or {}))
    finally:
        for key, value in ORIGINAL_NAMES.items():
            setattr(mod, key, value)
    if params is not None:
        assert (target.Re, target.f, target.Rp) == params
    for x, copy in zip(args, before):
        if copy is not None and not x.dtype.hasobject:
            assert same(x, copy), "an input changed"
    if not isinstance(result, Exception) and not TAMPERED[0]:
        # (a rebound numpy or dtype makes whatever result it makes)
        check_result(name, result)
        for x in args:
            if isinstance(x, np.ndarray) and isinstance(result, np.ndarray):
                assert not np.may_share_memory(result, x)
    return result


def outcome(result):
    return type(result) if isinstance(result, Exception) else "ok"


def check_against_float64(name, args, result, target):
    """Clean arguments: the result of float64 copies, bit for bit."""
    if TAMPERED[0] or not all(clean(x) for x in args):
        return
    if name in LATITUDE and isinstance(args[0], np.ndarray) and args[0].dtype != np.float64:
        assert isinstance(result, ValueError), (args[0].dtype, result)
        return
    expected = call(target, name, [as_float64(x) for x in args])
    assert outcome(result) == outcome(expected), (result, expected)
    if outcome(result) == "ok":
        assert same(result, expected)
        if __debug__:  # (python -O reads what it can of other shapes)
            shape = expected_shape(name, args)
            assert type(result) is float if shape is None else result.shape == shape


def expected_shape(name, args):
    """The shape of the result of a successful call with clean arguments
    (None for a float): one record or value per point."""
    if name == "surf_pos_of_ray_first_intersection":
        rays = args[1]
        return (3,) if rays.ndim == 1 else (rays.shape[0], 3)
    if ROLES[name][0] == "vec":
        if args[0].shape == (3,):
            return None if name == "solve_reduced_lat_equation" else (1,)
        return (args[0].shape[0],)
    if not isinstance(args[0], np.ndarray):  # the numbers of one point
        return {"enu": (1,), "surf_pos_from_surf_coord": (3,), "pos_from_lla": (3,)}.get(name)
    n = args[0].shape[0]
    return (n, 3) if name in ROWS_OF_THREE else (n,)


def run_case(name, kinds, seed, n, target=E):
    rng = random.Random(seed)
    roles = ROLES[name]
    args = [make_input(kind, rng, role, n) for kind, role in zip(kinds, roles)]
    result = call(target, name, args)
    check_against_float64(name, args, result, target)
    return result


def good_kind(role):
    return "float" if role == "number" else "array_float64"


# -- The fixed sweep: every kind in every position ----------------------------------------

@pytest.mark.parametrize("name", METHODS)
def test_every_kind_in_every_position(name):
    """With assertions on, and (test_the_sweep_without_assertions) off."""
    roles = ROLES[name]
    for position in range(len(roles)):
        for seed, kind in enumerate(KIND_NAMES):
            kinds = [good_kind(role) for role in roles]
            kinds[position] = kind
            for n in (0, 1, 3):
                run_case(name, kinds, seed, n)


def test_the_sweep_without_assertions():
    """Under python -O no shape is checked: every kind then reaches the element
    reads and the result views."""
    code = f"""
        import sys
        import pytest
        sys.exit(pytest.main([{__file__!r}, "-q", "-p", "no:cacheprovider",
                              "-k", "every_kind_in_every_position"]))
    """
    rc, out, err = run_python(code, "-O")
    assert rc == 0, out + err


# -- Random mixtures -------------------------------------------------------------------

kind_choice = st.sampled_from(KIND_NAMES)
mostly_good = st.one_of(st.sampled_from(["array_float64", "float", "array_int64", "int",
                                         "subclass", "zero_stride"]), kind_choice)


class PySub(mod.Ellipsoid):
    """A Python subclass: the module's own kernels."""


KERNEL_NAMES = ["surf_normal_vector", "surf_tangent_vector", "c_enu",
                "c_surf_pos_from_surf_coord", "c_surf_coord_from_surf_pos",
                "c_solve_reduced_lat_equation", "c_lla_from_pos", "c_pos_from_lla",
                "c_surf_pos_of_ray_first_intersection", "c_aer_coords", ""]


@pytest.fixture(scope="module")
def targets(probe):
    """Instances that compute through the module's kernels directly, through a
    compiled subclass's own table, and through a table whose kernels fail."""
    earth = (E.Re, E.f)
    return {"e": E, "python-subclass": PySub(*earth), "replaced": probe.Replaced(*earth),
            "failing": probe.Failing(*earth)}


@pytest.mark.parametrize("name", METHODS)
@scaled(4)
@given(data=st.data(), seed=st.integers(0, 2**32 - 1), n=st.integers(0, 6),
       target=st.sampled_from(["e", "e", "e", "python-subclass", "replaced", "failing"]),
       failing=st.sampled_from(KERNEL_NAMES))
def test_random_arguments(name, data, seed, n, target, failing, targets, probe):
    kinds = [data.draw(mostly_good if data.draw(st.booleans()) else kind_choice)
             for _ in ROLES[name]]
    probe.set_failing(failing if target == "failing" else "")
    try:
        run_case(name, kinds, seed, n, targets[target])
    finally:
        probe.set_failing("")


@FUZZ
@given(name=st.sampled_from(list(METHODS)), args=st.lists(st.sampled_from(
    [0.5, np.zeros(3), np.zeros((2, 3)), None]), max_size=6),
    kwargs=st.dictionaries(st.sampled_from(["r", "lat", "lon", "alt", "r_source", "u_ray",
                                             "r_target", "lat_obs", "lon_obs", "alt_obs",
                                             "geodetic_lat", "reduced_lat", "r_surf", "x", ""]),
                           st.sampled_from([0.5, np.zeros(3)]), max_size=4))
def test_random_argument_lists(name, args, kwargs):
    result = call(E, name, args, kwargs)
    if len(args) + len(kwargs) != len(ROLES[name]):
        assert isinstance(result, TypeError)


def test_calls_through_the_class_and_on_other_objects():
    for name in METHODS:
        function = getattr(mod.Ellipsoid, name)
        for target in [None, 1.0, object(), np.zeros(3)]:
            with pytest.raises(TypeError):
                function(target, *([0.5] * len(ROLES[name])))
        with pytest.raises(TypeError):
            function()


# -- Construction -----------------------------------------------------------------------

construction_numbers = st.one_of(
    st.floats(), st.integers(-(2**1100), 2**1100), st.booleans(), st.complex_numbers(),
    st.fractions(), st.decimals(), st.none(), st.text(max_size=3),
    st.sampled_from([BadFloat(Boom), BadFloat("1"), BadFloat(FloatSub(0.5)), np.float32(0.5),
                     np.float16(6e4), np.int64(7), np.array(2.0), np.array([2.0]), 1e-320,
                     np.longdouble(3)]))


def as_double(x):
    """The interpreter's float conversion of C code (no parsing of strings)."""
    if isinstance(x, (str, bytes, bytearray)):
        raise TypeError("must be real number")
    return float(x)


@FUZZ
@given(Re=construction_numbers, f=construction_numbers, keywords=st.booleans())
def test_construction(Re, f, keywords):
    CALLS["Ellipsoid"] += 1
    e = attempt(mod.Ellipsoid, Re=Re, f=f) if keywords else attempt(mod.Ellipsoid, Re, f)
    expected = attempt(lambda: (as_double(Re), as_double(f)))
    if isinstance(expected, Exception):
        assert isinstance(e, Exception)  # the same conversion failed
        return
    Re_, f_ = expected
    if __debug__ and not (Re_ > 0 and 0 <= f_ < 1):  # (unchecked under python -O)
        assert type(e) is AssertionError
        return
    assert isinstance(e, mod.Ellipsoid), e
    assert same(e.Re, Re_) and same(e.f, f_) and same(e.Rp, (1 - f_) * Re_)


# -- Typed views and record converters --------------------------------------------------

def typed_views():
    """(result, view) pairs for every result that keeps its typed view."""
    r = np.array([[7e6, 1e5, 2e5], [1e5, 7e6, -3e5], [0.0, 0.0, 6.4e6]])
    lat = np.array([0.1, -0.4, 1.2])
    results = [E.lla_from_pos(r), E.aer_coords(r, 0.1, 0.2, 3.0), E.enu(lat, lat),
               E.surf_coord_from_surf_pos(r), E.solve_reduced_lat_equation(r),
               E.pos_from_lla(lat, lat, lat), E.surf_pos_of_ray_first_intersection(r[0], r),
               E.reduced_lat_from_geodetic_lat(lat)]
    pairs = []
    for result in results:
        view = result.base
        while view is not None and type(view).__name__ != "_TypedView":
            view = getattr(view, "obj", None) if isinstance(view, memoryview) else view.base
        if view is not None:
            pairs.append((result, view))
    return pairs


class Mapping:
    """A mapping that is not a dict, with a hostile lookup."""

    def __init__(self, values, fail_on=None):
        self.values, self.fail_on = values, fail_on

    def __getitem__(self, key):
        if key == self.fail_on:
            raise Boom(key)
        return self.values[key]

    def keys(self):
        return self.values.keys()


class LyingLength:
    """Claims three values, yields another count."""

    def __init__(self, count):
        self.count = count

    def __len__(self):
        return 3

    def __iter__(self):
        return iter([1.0] * self.count)


class RaisingIterator:
    def __iter__(self):
        yield 1.0
        raise Boom("iteration")


FIELD_VALUES = st.one_of(
    st.floats(), st.integers(-(2**1100), 2**1100), st.sampled_from(
        [None, "1", [1.0, 2.0, 3.0], (1, 2, 3), [1.0] * 4, [1.0] * 2, np.ones(3), np.ones(9),
         iter([1.0, 2.0, 3.0]), iter([1.0] * 5), LyingLength(2), LyingLength(5),
         RaisingIterator(), BadFloat(Boom), BadFloat("x"), [BadFloat(Boom)] * 3, 1j,
         np.float32(2), {"a": 1}]))
FIELD_NAMES = ["lat", "lon", "alt", "azimuth", "elevation", "range", "u_east", "u_north",
               "u_up", "x"]
VIEW_KEYS = st.one_of(st.integers(-6, 6), st.integers(-(2**70), 2**70),
                      st.tuples(st.integers(-4, 4), st.integers(-4, 4)),
                      st.sampled_from([(0,), (0, 0, 0), 1.5, None, "0", BadIndex(Boom),
                                       BadIndex(1.0), BadIndex(2**80), np.int8(1),
                                       slice(None), (BadIndex(0), 0)]))


@FUZZ
@given(data=st.data())
def test_view_items(data):
    for result, view in typed_views():
        key = data.draw(VIEW_KEYS)
        raw = np.frombuffer(result.tobytes(), dtype=np.uint8).copy()
        CALLS["view[key]"] += 1
        item = attempt(view.__getitem__, key)
        if not isinstance(item, Exception):
            assert type(item) in (float, dict)
        fields = data.draw(st.dictionaries(st.sampled_from(FIELD_NAMES), FIELD_VALUES,
                                           max_size=10))
        value = data.draw(st.one_of(
            st.just(fields), st.just(Mapping(fields, data.draw(st.sampled_from(FIELD_NAMES)))),
            FIELD_VALUES))
        CALLS["view[key] = value"] += 1
        changed = not isinstance(attempt(view.__setitem__, key, value), Exception)
        after = np.frombuffer(result.tobytes(), dtype=np.uint8)
        if not changed:
            assert np.array_equal(raw, after), "a failed assignment wrote"
        else:
            # Only one element may have changed.
            per_item = result.itemsize * (3 if result.ndim == 2 else 1)
            rows = np.nonzero((raw != after).reshape(-1, per_item).any(axis=1))[0]
            assert len(rows) <= 1


def test_view_protocols():
    for result, view in typed_views():
        assert len(view) == result.shape[0]
        memoryview(view).tobytes()
        for flags in ("C", "A"):
            np.asarray(memoryview(view)).copy(order=flags)
        bytes(view)  # a contiguous simple buffer
        with pytest.raises(TypeError):
            del view[0]


# -- Format strings of raw exporters --------------------------------------------------

FORMAT_TARGETS = {
    "solve_reduced_lat_equation": (8, lambda: (np.zeros((2, 3)),)),
    "lla_from_pos": (24, lambda: (np.zeros((2, 3)),)),
    "aer_coords": (24, lambda: (np.zeros((2, 3)), 0.1, 0.2, 0.3)),
    "surf_coord_from_surf_pos": (16, lambda: (np.zeros((2, 3)),)),
    "enu": (72, lambda: (np.zeros(2), np.zeros(2))),
}


@st.composite
def format_strings(draw):
    """PEP 3118 format strings: mostly well-formed, some mangled."""
    leaf = st.one_of(
        st.sampled_from(list("dfgbBhHiIlLqQ?cOPx") + ["Zd", "Zf", "3d", "(3)d", "2x", "0d",
                                                       "(3,3)d", "(0)d", "s", "8s", "p"]),
        st.builds(lambda n, t: f"{n}{t}", st.sampled_from(
            [0, 1, 2, 3, 9, 10**6, 10**18, 10**30]), st.sampled_from(list("dx"))),
        st.builds(lambda dims, t: "(" + ",".join(map(str, dims)) + ")" + t,
                  st.lists(st.sampled_from([0, 1, 3, 10**9, 10**18]), min_size=1, max_size=40),
                  st.sampled_from(["d", "x", "T{d}"])))
    name = st.one_of(st.just(""), st.sampled_from([":a:", ":lat:", ":", "::"]))
    prefix = st.sampled_from(["", "", "@", "=", "<", "^", ">", "!"])

    def struct(inner):
        count = st.sampled_from(["", "", "2", "3", "0", "(2)", "(3)", "10000000000"])
        return st.builds(lambda c, items: c + "T{" + "".join(items) + "}", count,
                         st.lists(inner, max_size=4))

    item = st.recursive(st.builds(lambda p, t, nm: p + t + nm, prefix, leaf, name), struct,
                        max_leaves=12)
    deep = st.builds(lambda k, inner: "T{" * k + inner + "}" * k,
                     st.sampled_from([1, 63, 64, 65, 1000, 100_000]), item)
    text = "".join(draw(st.lists(st.one_of(item, item, item, deep), max_size=5)))
    if draw(st.integers(0, 9)) == 0 and text:  # cut or corrupt it
        cut = draw(st.integers(0, len(text)))
        text = text[:cut] + draw(st.sampled_from(["", "}", "{", ")", "(", ",", "T", "Z", "\x7f"]))
    return text


def fake_numpy(probe, fmt, itemsize):
    def zeros(shape, dtype):
        n = shape if isinstance(shape, int) else shape[0]
        return probe.FormatBuffer(fmt, itemsize, (n,))
    return types.SimpleNamespace(zeros=zeros, double=np.double, asarray=np.asarray)


@FUZZ
@given(fmt=format_strings(), target=st.sampled_from(sorted(FORMAT_TARGETS)),
       itemsize_delta=st.sampled_from([0, 0, 0, 8, -8]))
def test_format_strings_of_raw_exporters(probe, fmt, target, itemsize_delta):
    itemsize, args = FORMAT_TARGETS[target]
    fake = fake_numpy(probe, fmt, max(1, itemsize + itemsize_delta))
    CALLS["format:" + target] += 1
    try:
        mod.numpy = fake
        attempt(getattr(E, target), *args())
    finally:
        mod.numpy = ORIGINAL_NAMES["numpy"]


# -- Result memory from other exporters ---------------------------------------------------

class Exporter:
    """A Python-level buffer exporter (PEP 688) over a memoryview."""

    def __init__(self, view):
        self.view = view

    def __buffer__(self, flags):
        return self.view

    def __release_buffer__(self, view):
        pass


def exporters(n, columns):
    """zeros(...) replacements: objects of every sort that export writable
    double buffers of n items (n rows of `columns`), and some that do not."""
    count = n * (columns or 1)
    shape = [n, columns] if columns else [n]
    double_rows = (ctypes.c_double * columns) * n if columns else ctypes.c_double * n
    return {
        "array.array": lambda: array.array("d", [0.0] * count),
        "ctypes": lambda: double_rows(),
        "memoryview": lambda: memoryview(bytearray(8 * count)).cast("d", shape),
        "exporter": lambda: Exporter(memoryview(bytearray(8 * count)).cast("d", shape)),
        "negative-strides": lambda: np.zeros((count * 2,))[::-2].reshape(shape)
        if not columns else np.zeros((n, columns))[::-1],
        "too-short": lambda: array.array("d", [0.0] * max(0, count - 1)),
        "read-only": lambda: memoryview(bytes(8 * count)).cast("d", shape),
        "bytes-format": lambda: bytearray(8 * count),
        "exporter-of-bytes": lambda: Exporter(memoryview(bytes(8))),
        "not-an-exporter": lambda: None,
    }


EXPORTER_CALLS = {
    "solve_reduced_lat_equation": (None, lambda r, lat: (r,)),
    "pos_from_lla": (3, lambda r, lat: (lat, lat, lat * 1e5)),
    "surf_pos_of_ray_first_intersection": (3, lambda r, lat: (np.array([2e7, 1e6, 3e6]), -r)),
}


@pytest.mark.parametrize("name", sorted(EXPORTER_CALLS))
@pytest.mark.parametrize("kind", sorted(exporters(1, None)))
def test_result_memory_from_any_exporter(name, kind):
    """numpy.zeros rebound to make other buffers: written through when they
    are writable double buffers of the right size and layout, refused (never
    overrun) otherwise."""
    columns, make_args = EXPORTER_CALLS[name]
    for n in (0, 1, 4):
        lat = np.linspace(-1.2, 1.2, n)
        r = E.pos_from_lla(lat, lat, lat * 1e5).reshape(n, 3)
        args = make_args(r, lat)
        expected = getattr(E, name)(*args)
        make = exporters(n, columns)[kind]
        mod.numpy = types.SimpleNamespace(zeros=lambda shape, dtype, make=make: make(),
                                          double=np.double, asarray=np.asarray)
        CALLS["exporter:" + name] += 1
        try:
            result = attempt(getattr(E, name), *args)
        finally:
            mod.numpy = ORIGINAL_NAMES["numpy"]
        if isinstance(result, Exception):
            continue
        assert same(np.asarray(result, dtype=np.float64).reshape(expected.shape), expected)


# -- Limits of the format reader, unusual exporters, failed stores ----------------------
#
# Format strings run in a child interpreter: a crash or a hang there must fail
# the test rather than end the run.

# (the format string, as an expression; the ValueError message, or None: accepted)
FORMAT_LIMITS = [
    # Nesting is bounded: 100,000 nested structs are refused without exhausting the stack.
    ('"T{" * 100_000 + "d" + "}" * 100_000', "unparsable format string"),
    ('"T{" * 64 + "d" + "}" * 64', None),  # as deep as is accepted
    ('"T{" * 65 + "d" + "}" * 65', "unparsable format string"),
    # Repeated structs that match no field are refused at once, whatever the repeat count.
    ('"1000000000000T{}"', "Buffer dtype mismatch, expected 'double' but got end"),
    ('"2T{" * 60 + "x" + "}" * 60', "Buffer dtype mismatch, expected 'double' but got end"),
    ('"1000000000000T{=x}d"',
     "Buffer dtype mismatch; next field is at offset 1000000000000 but 0 expected"),
    # Products and sums of huge counts are refused without integer overflow.
    ('"(1000000000000000000,1000000000000000000)T{d}"',
     "Buffer dtype mismatch, expected end but got 'double'"),
    ('"(1000000000000000000,1000000000000000000)d"', "Expected 0 dimension(s), got 2"),
    ('"100000000000000000x" * 100 + "d"',
     f"Buffer dtype mismatch; next field is at offset {2**63 - 1} but 0 expected"),
]


def test_format_strings_at_the_reader_limits_end_cleanly(probe):
    code = f"""
        import importlib.util, types
        import numpy as np
        location = importlib.util.spec_from_file_location("_kernelprobe", {probe.__file__!r})
        probe = importlib.util.module_from_spec(location)
        location.loader.exec_module(probe)
        import quorvane.mathtools.ellipsoid.ellipsoid as mod
        e = mod.Ellipsoid(2.0, 0.25)
        for expression in {[expression for expression, _ in FORMAT_LIMITS]!r}:
            fmt = eval(expression)
            mod.numpy = types.SimpleNamespace(
                zeros=lambda shape, dtype: probe.FormatBuffer(fmt, 8, (shape,)),
                double=np.double, asarray=np.asarray)
            try:
                e.solve_reduced_lat_equation(np.zeros((2, 3)))
                print(None)
            except ValueError as error:
                print(repr(str(error)))
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.splitlines() == [repr(message) for _, message in FORMAT_LIMITS]


def test_buffers_whose_strides_point_into_the_request():
    # array.array points the strides of the buffer it exports at the item size
    # inside the caller's Py_buffer, and ctypes gives no strides at all: the
    # results are written through either, to the right elements, or refused.
    code = """
        import array, ctypes, types
        import numpy as np
        import quorvane.mathtools.ellipsoid.ellipsoid as mod
        e = mod.Ellipsoid(2.0, 0.25)
        r = np.array([[3.0, 0.0, 0.0], [0.0, 0.0, 3.0]])
        for make in (lambda n: array.array("d", [0.0] * n), lambda n: (ctypes.c_double * n)(),
                     lambda n: ((ctypes.c_double * 3) * n)()):
            mod.numpy = types.SimpleNamespace(
                zeros=lambda shape, dtype: make(shape if isinstance(shape, int) else shape[0]),
                double=np.double, asarray=np.asarray)
            for call in (lambda: e.solve_reduced_lat_equation(r),
                         lambda: e.pos_from_lla(np.zeros(2), np.zeros(2), np.zeros(2))):
                try:
                    print(np.asarray(call()).tolist())
                except ValueError as error:
                    print(str(error))
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    dims = "Buffer has wrong number of dimensions (expected {}, got {})"
    assert out.splitlines() == [
        "[0.0, 1.5707963267948966]", dims.format(2, 1),
        "[0.0, 1.5707963267948966]", dims.format(2, 1),
        dims.format(1, 2), "[[2.0, 0.0, 0.0], [2.0, 0.0, 0.0]]",
    ]


def test_a_failed_assignment_to_a_double_view_leaves_the_element():
    # view[i] = value converts the value before it stores it: a failed
    # conversion leaves the element as it was.
    result, view = next((r, v) for r, v in typed_views() if r.dtype == np.float64
                        and r.ndim == 1)
    before = result.copy()
    for value in ({}, None, "1.0", BadFloat(Boom), BadFloat("x"), 1j):
        with pytest.raises((TypeError, Boom)):
            view[0] = value
        assert same(result, before)
    view[1] = 2.5
    assert result[1] == 2.5 and same(result[0], before[0])


# -- Counts -------------------------------------------------------------------------

@pytest.fixture(scope="module", autouse=True)
def report_counts(request):
    yield
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    if reporter is not None and capture is not None and CALLS:
        with capture.global_and_fixture_disabled():
            reporter.write_line(
                f"\nfuzz: {sum(CALLS.values())} calls ({len(CALLS)} entry points), "
                f"{len(KINDS_USED)} of {len(KINDS)} input kinds used")


def test_every_kind_can_be_made():
    rng = random.Random(0)
    for kind in KIND_NAMES:
        for role in ("angle", "vec", "number"):
            KINDS[kind](rng, role, 2)
