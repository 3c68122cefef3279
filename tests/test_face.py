"""The one face of the companion modules, over every entry of the operation registry: the
ellipsoid in any of its forms, one point against arrays, degrees, latitudes beyond the poles,
observation azimuths, and the stubs and modules matching the registry."""

import importlib
import math
import re
import warnings

import numpy as np
import pytest
from helpers import assert_calls_leak_nothing, run_python, same

from quorvane.mathtools.ellipsoid import catalogue, fast, frames, geodesic, latitudes, rhumb
from quorvane.mathtools.ellipsoid._engine import public
from quorvane.mathtools.ellipsoid._registry import (
    GEOMETRIES,
    OPERATIONS,
    GeometryEntry,
    by_module,
    stubs,
)
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

WGS84 = catalogue.get("WGS84")
RNG = np.random.default_rng(31)
# Each registry entry through its exact function, and through its vectorised one.
FACES = [pytest.param(op, False, id=op.qualname) for op in OPERATIONS] + [
    pytest.param(op, True, id=f"fast.{op.name}") for op in OPERATIONS if op.fast
]


def geometry_faces(skipped=None):
    """The geometry entries, exact and with ``fast=True``: one argument of geometries (lon,
    lat in degrees), the flags rhumb and fast, no degrees, no broadcasting, no one-point path.
    Where a contract does not apply to them, the same skipped, saying why."""
    marks = [pytest.mark.skip(reason=f"geometry entries: {skipped}")] if skipped else []
    return [
        pytest.param(g, fast, id=f"{g.qualname}{'-fast' if fast else ''}", marks=marks)
        for g in GEOMETRIES
        for fast in (False, True)
    ]


def function(op, vectorised):
    if isinstance(op, GeometryEntry):  # coordinates in degrees, whatever ``degrees`` says
        measure = getattr(geodesic, op.name)
        return lambda ell, geoms, degrees=True: measure(ell, geoms, fast=vectorised)
    if op.module == "ellipsoid":  # an Ellipsoid method that Dask offers: the engine's face
        return public(op, fast=vectorised)
    if op.kernel_degrees:  # the grid functions of utm take the ellipsoid by keyword
        return public(op)
    if op.module == "utm":  # utm.tm_forward/tm_reverse add k0: the engine's face of the entry
        return public(op)
    if ":" in op.exact:  # a loop with bound constants (latitudes.convert): its face of one pair
        return public(op, fast=vectorised)
    modules = {"frames": frames, "geodesic": geodesic, "latitudes": latitudes, "rhumb": rhumb}
    if vectorised:  # fast's function of the entry's name, else of its vectorised kernel's
        return getattr(fast, op.name, None) or getattr(fast, op.fast.split(".")[1])
    return getattr(modules[op.module], op.name)


# Inputs that are no real numbers: one value, and n of them.
CODES = np.array(["32TMT6546748348", "31UDQ48251119", "ZAH1234567890", "33XVG", ""])
TYPED = {
    "integer": (32, lambda n: RNG.integers(31, 34, n)),
    "bool": (True, lambda n: RNG.integers(0, 2, n) == 1),
    "text": (str(CODES[0]), lambda n: CODES[RNG.integers(0, len(CODES), n)]),
}


def polygons(n=None):
    """Triangles and quadrilaterals of some degrees about random centres (lon, lat in
    degrees); n of them, or one with a hole."""
    shapely = pytest.importorskip("shapely")
    if n is None:
        return shapely.Polygon([(0, 0), (2, 0), (2, 2), (0, 2)], [[(1, 1), (1, 1.5), (1.5, 1)]])
    centre = RNG.uniform([-180, -80], [180, 80], (n, 1, 2))
    corners = centre + RNG.uniform(0.1, 3, (n, 1, 1)) * np.array([[0, 0], [1, 0], [1, 1], [0, 0]])
    return shapely.polygons(corners)


TYPED["geometry"] = (polygons, polygons)  # made when asked for


def missing(out):
    """Per row of a result: whether all its values are missing, and whether any is (NaN
    numbers; an empty string; the typed fields of a record do not count)."""
    out = np.asarray(out)
    if out.dtype.kind == "U":
        return out == "", out == ""
    names = out.dtype.names or ()
    if [n for n in names if out.dtype[n].base != np.float64]:
        nan = np.stack([np.isnan(out[n]) for n in names if out.dtype[n] == np.float64], axis=-1)
    else:
        nan = np.isnan(out.view(np.float64).reshape(len(out), -1))
    return nan.all(axis=-1), nan.any(axis=-1)


def arguments(op, n=None, degrees=False):
    """Plausible arguments of ``op``: numbers (and one 3-vector), or ``n`` rows of them."""
    scale = 180 / math.pi if degrees else 1.0
    values = {
        "latitude": 0.6 * scale,
        "angle": 0.4 * scale,
        "unbounded": 0.5 * scale,
        "length": 2e4,
    }
    out = []
    for i in op.inputs:
        if i.unit == "vector":
            v = np.array([4.2e6, 0.9e6, 4.7e6])
            out.append(v if n is None else v + RNG.normal(0, 1e4, (n, 3)))
        elif i.unit in TYPED:
            one, many = TYPED[i.unit]
            one = one() if callable(one) else one
            out.append(one if n is None else many(n))
        else:
            v = values[i.unit]
            out.append(v if n is None else v * (1 + RNG.uniform(-0.2, 0.2, n)))
    return out


@pytest.mark.parametrize("degrees", [False, True])
@pytest.mark.parametrize(
    ("op", "vectorised"),
    FACES + geometry_faces("no degrees and no one-point path (test_geometries: shapes)"),
)
def test_one_point_is_one_row_of_the_arrays(op, vectorised, degrees):
    """Plain numbers (and one 3-vector, as a list or an array) take the one-point path; its
    result is the array path's row bit for bit."""
    f = function(op, vectorised)
    many = arguments(op, 5, degrees)
    rows = f(WGS84, *many, degrees=degrees)
    for k in (0, 3):
        one = [a[k].tolist() if a.ndim == 2 else a[k].item() for a in many]
        one = f(WGS84, *one, degrees=degrees)
        if op.output.dtype is None:
            assert one.shape == (3,)
        elif len(op.output.dtype.names) == 1:  # one value per point
            assert type(one) is op.output.dtype[0].type
        else:
            assert isinstance(one, np.void) and one.dtype == op.output.dtype
        assert same(one, rows[k])


@pytest.mark.parametrize(("op", "vectorised"), FACES + geometry_faces())
@pytest.mark.parametrize("ell", ["WGS84", (6378137.0, 1 / 298.257223563)], ids=["name", "pair"])
def test_the_ellipsoid_by_name_or_pair(op, vectorised, ell):
    f = function(op, vectorised)
    args = arguments(op, 3)
    assert same(f(ell, *args), f(WGS84, *args))


@pytest.mark.parametrize(
    ("op", "vectorised"), FACES + geometry_faces("coordinates are degrees, results no angles")
)
def test_degrees_in_and_out(op, vectorised):
    f = function(op, vectorised)
    radians = f(WGS84, *arguments(op))
    degrees = f(WGS84, *arguments(op, degrees=True), degrees=True)
    if op.output.dtype is None:
        np.testing.assert_allclose(degrees, radians, rtol=1e-12, atol=1e-6)
        return
    if len(op.output.dtype.names) == 1:  # one value per point
        radians = np.array([radians]).view(op.output.dtype)[0]
        degrees = np.array([degrees]).view(op.output.dtype)[0]
    for name in op.output.dtype.names:
        expected = np.degrees(radians[name]) if name in op.output.angles else radians[name]
        if op.output.dtype[name].kind == "U":
            assert degrees[name] == expected
        else:
            np.testing.assert_allclose(degrees[name], expected, rtol=1e-12, atol=1e-6)


@pytest.mark.parametrize(
    ("op", "vectorised"),
    [f for f in FACES if f.values[0].latitudes]
    + geometry_faces("no latitude arguments: the coordinates are inside the geometries"),
)
@pytest.mark.parametrize("degrees", [False, True])
def test_latitudes_beyond_the_poles_warn_and_give_nan_rows(op, vectorised, degrees):
    f = function(op, vectorised)
    args = arguments(op, 3, degrees)
    k = next(n for n, i in enumerate(op.inputs) if i.unit == "latitude")
    args[k] = args[k].copy()
    args[k][1] = 91.0 if degrees else math.pi / 2 + 1e-9
    with pytest.warns(RuntimeWarning, match=f"^{op.inputs[k].name}: latitudes beyond") as seen:
        out = np.asarray(f(WGS84, *args, degrees=degrees))
    assert len(seen) == 1
    every, some = missing(out)
    assert every[1] and not some[[0, 2]].any()
    with pytest.warns(RuntimeWarning, match=op.inputs[k].name):  # one point too
        f(WGS84, *(a[1] for a in args), degrees=degrees)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        args[k][1] = 90.0 if degrees else math.pi / 2  # the pole itself is fine
        f(WGS84, *args, degrees=degrees)


def _bad_arguments():
    """Per face, each input in turn given a bad value of each kind."""
    kinds = [
        ("text", lambda good: "x", TypeError, "{} must be real numbers"),
        ("complex", lambda good: np.asarray(good) * 1j, TypeError, "{} must be real numbers"),
        ("objects", lambda good: [object()] * 3, TypeError, "{} must be real numbers"),
        ("huge int", lambda good: 2**64, TypeError, "{} must be real numbers"),
        ("ragged", lambda good: [[1.0], [1.0, 2.0]], ValueError, "{}: not convertible"),
        (
            "masked",
            lambda good: np.ma.masked_equal([0.1, 9.0], 9.0),
            TypeError,
            r"{0} is a masked array.*{0}.filled\(np.nan\)",
        ),
    ]
    text = [  # an input of strings
        ("numbers", lambda good: [1.0, 2.0], TypeError, "{} must be strings"),
        ("ragged", lambda good: [["a"], ["a", "b"]], ValueError, "{}: not convertible"),
        ("masked", lambda good: np.ma.masked_equal(["a", "b"], "b"), TypeError, "{} is a masked"),
    ]
    for face in FACES[::2] + [f for f in FACES[1::2] if f.values[0].kernel_degrees]:
        op = face.values[0]
        for k, i in enumerate(op.inputs):
            for kind, make, error, match in text if i.unit == "text" else kinds:
                if i.unit == "vector" and kind == "huge int":
                    continue
                yield pytest.param(
                    *face.values,
                    k,
                    make,
                    error,
                    match.format(i.name),
                    id=f"{face.id}-{i.name}-{kind}",
                )
            if i.unit == "integer":
                yield pytest.param(
                    *face.values,
                    k,
                    lambda good: [good, good + 0.5],
                    ValueError,
                    re.escape(f"{i.name} must be {i.domain}, got 32.5"),
                    id=f"{face.id}-{i.name}-fraction",
                )
            if i.unit == "vector":
                yield pytest.param(
                    *face.values,
                    k,
                    lambda good: np.zeros((4, 2)),
                    ValueError,
                    rf"{i.name} must have shape \(3,\) or \(..., 3\), got \(4, 2\)",
                    id=f"{face.id}-{i.name}-shape",
                )


@pytest.mark.parametrize(
    ("op", "vectorised", "k", "make", "error", "match"),
    list(_bad_arguments())
    + [
        pytest.param(*face.values, 0, None, None, None, id=face.id, marks=face.marks)
        for face in geometry_faces("what is no geometry: test_geometries.test_bad_input")
    ],
)
def test_bad_arguments_are_named(op, vectorised, k, make, error, match):
    args = arguments(op)
    args[k] = make(args[k])
    with pytest.raises(error, match=match):
        function(op, vectorised)(WGS84, *args)


@pytest.mark.parametrize(
    ("op", "vectorised"),
    [f for f in FACES if len(f.values[0].inputs) > 1]
    + geometry_faces("one argument, nothing to broadcast"),
)
def test_shapes_that_do_not_broadcast_are_named(op, vectorised):
    args = arguments(op, 4)
    args[-1] = args[-1][:3]
    names = " .*".join(i.name for i in op.inputs)
    with pytest.raises(ValueError, match=f"shapes do not broadcast: {names}"):
        function(op, vectorised)(WGS84, *args)


@pytest.mark.parametrize(
    "ell, error, match",
    [
        ("Mars", ValueError, "ell: unknown ellipsoid 'Mars'"),
        ((6378137.0, 1.0), ValueError, r"ell: the flattening f must be in \[0, 1\)"),
        ((-1.0, 0.0), ValueError, "ell: the equatorial radius"),
        ((math.inf, 0.0), ValueError, "ell: the equatorial radius"),
        (Ellipsoid(math.inf, 0.0), ValueError, "ell: the equatorial radius"),
        ([6378137.0, 0.0], TypeError, "ell must be an Ellipsoid, a catalogue name or a pair"),
        ((6378137.0, "0"), TypeError, r"ell: \(Re, f\) must be two real numbers"),
    ],
)
@pytest.mark.parametrize(("op", "vectorised"), FACES[::4] + geometry_faces()[::2])
def test_bad_ellipsoids_are_named(op, vectorised, ell, error, match):
    with pytest.raises(error, match=match):
        function(op, vectorised)(ell, *arguments(op))


def test_an_invalid_ellipsoid_is_refused_under_python_O():
    """The constructor's assertions are gone under -O; the companion functions still check."""
    code = """
        import math
        from quorvane.mathtools.ellipsoid import dask, fast, frames, geodesic
        from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
        for Re, f in ((6378137.0, 1.5), (-1.0, 0.0), (math.inf, 0.0), (math.nan, 0.1)):
            bad = Ellipsoid(Re, f)
            for call in (lambda: frames.pos_from_lla(bad, 0.1, 0.2, 0.0),
                         lambda: fast.lla_from_pos(bad, [7e6, 0, 0]),
                         lambda: geodesic.inverse(bad, 0.1, 0.2, 0.3, 0.4),
                         lambda: geodesic.polygon_area(bad, [0, 0, 1], [0, 1, 1]),
                         lambda: dask.parameters(bad)):
                try:
                    call()
                except ValueError as exc:
                    print(exc)
    """
    out = run_python(code, "-O")[1].splitlines()
    assert out.count("ell: the flattening f must be in [0, 1), got 1.5") == 5, out
    radii = "ell: the equatorial radius Re must be finite and positive, got "
    for Re in ("-1.0", "inf", "nan"):
        assert out.count(radii + Re) == 5, out


@pytest.mark.parametrize("vectorised", [False, True])
def test_observation_azimuths_are_in_0_360(vectorised):
    aer_from_pos = fast.aer_from_pos if vectorised else frames.aer_from_pos
    east, north = WGS84.enu(0.0, 0.0)[0]["u_east"], WGS84.enu(0.0, 0.0)[0]["u_north"]
    origin = WGS84.pos_from_lla(0.0, 0.0, 0.0)
    targets = origin + 1e3 * np.array([north, east, -north, -east, north - 1e-17 * east])
    for degrees, turn in ((False, 2 * math.pi), (True, 360.0)):
        az = aer_from_pos(WGS84, targets, 0.0, 0.0, 0.0, degrees=degrees)["azimuth"]
        np.testing.assert_allclose(az[:4], np.array([0, 0.25, 0.5, 0.75]) * turn, atol=1e-9)
        assert ((az >= 0) & (az < turn)).all()
    assert fast.aer_coords is not fast.aer_from_pos
    assert same(
        fast.aer_coords(WGS84, targets, 0.0, 0.0, 0.0),
        fast.aer_from_pos(WGS84, targets, 0.0, 0.0, 0.0),
    )


@pytest.mark.parametrize(("op", "vectorised"), FACES + geometry_faces())
def test_threads_give_the_bits_of_one_thread(op, vectorised, monkeypatch):
    """Long enough to be split over threads (in blocks taken in turn), NaN rows mixed in."""
    f = function(op, vectorised)
    args = arguments(op, 60_001)
    k = next((k for k, i in enumerate(op.inputs) if i.unit not in TYPED), 0)
    args[k] = args[k].copy()
    args[k][::997] = {"text": "", "geometry": None}.get(op.inputs[k].unit, np.nan)
    shared = np.asarray(f(WGS84, *args)).tobytes()
    for threads in ("1", "3"):
        monkeypatch.setenv("QUORVANE_NUM_THREADS", threads)
        assert np.asarray(f(WGS84, *args)).tobytes() == shared


@pytest.mark.parametrize(("op", "vectorised"), FACES + geometry_faces())
def test_calls_leak_nothing_on_success_and_error_paths(op, vectorised):
    """One point, arrays (strided integers for vectors), and a refused call, 2000 times."""
    f = function(op, vectorised)
    one, many = arguments(op), arguments(op, 8)
    many = [np.full((8, 6), 7e6, np.int64)[:, ::2] if a.ndim == 2 else a for a in many]
    # A last argument of the wrong shape: a vector of two, a column that does not broadcast,
    # or (the only argument) a ragged list.
    bad = [*many[:-1], np.zeros(2 if op.inputs[-1].unit == "vector" else 3)]
    if len(many) == 1 and op.inputs[0].unit not in ("vector", "geometry"):
        bad = [[[0.0], [0.0, 0.0]]]
    error = TypeError if isinstance(op, GeometryEntry) else ValueError  # numbers, no geometries

    def calls(n):
        for _ in range(n):
            f(WGS84, *one)
            f("WGS84", *many, degrees=True)
            with pytest.raises(error):
                f(WGS84, *bad)

    calls(2000)  # NumPy's caches of small allocations fill over the first few thousand calls
    watched = [WGS84, *many] + ([op.output.dtype] if op.output.dtype is not None else [])
    assert_calls_leak_nothing(calls, watched)


def test_polygon_area_is_a_record():
    square = geodesic.polygon_area("WGS84", [0, 0, 1, 1], [0, 1, 1, 0], degrees=True)
    area, perimeter = square
    assert (square["area"], square["perimeter"]) == (area, perimeter)
    assert area == pytest.approx(12308778361.47) and perimeter == pytest.approx(443770.917)


@pytest.mark.parametrize("module", ["frames", "geodesic", "latitudes", "rhumb", "fast"])
def test_modules_and_stubs_follow_the_registry(module):
    """Every entry is a public function of its module with its signature (a loop with bound
    constants takes them after its inputs), and the committed stub is the one the registry
    generates."""
    mod = importlib.import_module(f"quorvane.mathtools.ellipsoid.{module}")
    for op in by_module(module):
        name = op.fast.split(".")[1] if module == "fast" else op.name
        assert name in mod.__all__
        parameters = list(__import__("inspect").signature(getattr(mod, name)).parameters)
        constants = ["source", "target"] if ":" in op.exact else []
        flags = op.flags if module == op.module else ()  # fast's functions take none
        keywords = [i.name for i in op.keywords]
        options = [o.name for o in op.options]
        expected = ["ell", *(i.name for i in op.inputs), *constants, *keywords, "degrees"]
        expected += [*options, *flags]
        assert parameters == expected
    for g in GEOMETRIES if module == "geodesic" else ():  # the flags instead of degrees
        parameters = list(__import__("inspect").signature(getattr(mod, g.name)).parameters)
        assert g.name in mod.__all__ and parameters == ["ell", "geoms", *g.flags]
    stub = importlib.resources.files("quorvane.mathtools.ellipsoid") / f"{module}.pyi"
    generated = stubs(module)

    # The committed stub is the generated one as ruff formats it: compare the signatures.
    def squash(text):
        text = "".join(text.split()).replace("'", '"')
        return text.replace(",)", ")").replace(",]", "]")

    assert squash(stub.read_text()) == squash(generated)


def test_pickled_calls_with_the_ellipsoid_by_name():
    import pickle
    from functools import partial

    call = pickle.loads(pickle.dumps(partial(frames.pos_from_lla, "GRS80")))
    assert same(
        call(0.1, 0.2, 3.0),
        frames.pos_from_lla(Ellipsoid(6378137.0, 1 / 298.257222101), 0.1, 0.2, 3.0),
    )


def unaligned(a):
    """A copy of ``a`` one byte past an aligned address: every float64 in it is misaligned."""
    out = np.frombuffer(b"\0" + np.ascontiguousarray(a).tobytes(), a.dtype, offset=1)
    return out.reshape(a.shape)


@pytest.mark.parametrize(
    ("op", "vectorised"),
    FACES + geometry_faces("no arrays of numbers (test_geometries: GeoArrow buffers at any byte)"),
)
def test_unaligned_inputs_give_the_bits_of_aligned_ones(op, vectorised):
    """Chunks of byte buffers reach the loops in place (``numpy.ascontiguousarray`` keeps
    them unaligned), and so do strided float64 columns (the fields of records); byte-swapped
    ones are converted: columns and (N, 3) rows, and the one (3,) vector of a point. Under the
    sanitizers a misaligned read is a failure."""
    f = function(op, vectorised)
    args = arguments(op, 5)
    moved = [unaligned(a) for a in args]
    assert not any(m.flags.aligned for m in moved if m.dtype.alignment > 1)
    assert same(f(WGS84, *moved), f(WGS84, *args))
    strided = [np.stack([a, a], axis=1)[:, 0] for a in args]
    swapped = [a.astype(a.dtype.newbyteorder()) for a in args]
    assert same(f(WGS84, *strided), f(WGS84, *args))
    assert same(f(WGS84, *swapped), f(WGS84, *args))
    if any(i.unit == "vector" for i in op.inputs):
        one = [unaligned(a[1]) if a.ndim == 2 else float(a[1]) for a in args]
        assert same(f(WGS84, *one), f(WGS84, *args)[1])


def private_loop_calls():
    """Calls of the private loops with an ``out`` or input that is no float64 buffer."""
    from quorvane.mathtools.ellipsoid import _fast, _frames, _geodesic

    c, rows, out = np.zeros(2), np.zeros((2, 3)), np.zeros(2)
    frozen = np.zeros((2, 3))
    frozen.flags.writeable = False
    return {
        "inverse-read-only": (lambda: _geodesic.inverse(WGS84, c, c, c, c, frozen)),
        "direct-number": (lambda: _geodesic.direct(WGS84, c, c, c, c, 1.0)),
        "path-number": (lambda: _geodesic.path(WGS84, 1.0, c)),
        "fast-read-only": (lambda: _fast.lla_from_pos(WGS84, rows, frozen)),
        "fast-none": (lambda: _fast.pos_from_lla(WGS84, c, c, c, None)),
        "fast-bytes": (lambda: _fast.enu_from_pos(WGS84, rows, c, c, c, bytes(48))),
        "frames-bytes": (lambda: _frames.enu_from_pos(WGS84, rows, rows, bytes(48))),
        "elementary-number": (lambda: _fast.elementary(0, 1.0, c, out)),
        "elementary-huge": (lambda: _fast.elementary(10**30, c, c, out)),
    }


@pytest.mark.parametrize(
    "name, error, match",
    [
        ("inverse-read-only", ValueError, r"^out must be a writable \(N, 3\) float64 array$"),
        ("direct-number", TypeError, r"^out must be an \(N, 3\) float64 array, got float$"),
        ("path-number", TypeError, r"^lat must be an \(N,\) float64 array, got float$"),
        ("fast-read-only", ValueError, r"^out must be a writable \(N, 3\)"),
        ("fast-none", TypeError, r"^out must be an \(N, 3\) float64 array, got NoneType$"),
        ("fast-bytes", ValueError, r"^out must be a writable \(N, 3\)"),
        ("frames-bytes", ValueError, r"^out must be a writable \(N, 3\)"),
        ("elementary-number", TypeError, r"^x must be an \(N,\) float64 array, got float$"),
        ("elementary-huge", ValueError, r"^which must be 0 \(sin\), 1 \(cos\) or 2 \(atan2\)$"),
    ],
)
def test_private_loops_refuse_what_is_no_float64_buffer(name, error, match):
    """TypeError for what has no buffer, ValueError for a read-only ``out`` or a selector out
    of range (however large), as the public functions refuse them: no BufferError or
    OverflowError."""
    with pytest.raises(error, match=match):
        private_loop_calls()[name]()


def test_allocation_failures_give_memory_errors():
    """Every public function under failing allocations (allocation_sweep.py, in a process of
    its own): MemoryError or the normal result's bits, no crash, no SystemError, and no code
    object of the package left short of a reference. Under the sanitizers every fourth start
    is swept (the build is some ten times slower)."""
    import json
    import subprocess
    import sys
    from pathlib import Path

    from helpers import SANITIZED

    script = Path(__file__).with_name("allocation_sweep.py")
    stride = "4" if SANITIZED else "1"
    proc = subprocess.run(
        [sys.executable, str(script), stride],
        check=False,
        capture_output=True,
        text=True,
        timeout=600,
    )
    swept = [line for line in proc.stderr.splitlines() if line.startswith("sweeping ")]
    where = swept[-1] if swept else "before the sweep"
    assert proc.returncode == 0, f"crashed ({proc.returncode}) {where}: {proc.stderr[-3000:]}"
    report = json.loads(proc.stdout)
    assert report["faults"] == []
    ours = [name for name in report["lost"] if "quorvane" in name]
    assert ours == [], "function objects built in the call paths"
    assert len(report["sizes"]) > 60
