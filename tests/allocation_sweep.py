"""Every public function of the companion modules under allocation failure, run as a script by
test_face.py (a crash must not take the test run with it): ``python allocation_sweep.py
[stride]``.

Each call is made once normally, then with the allocations failing from the s-th on (a run
of WINDOW of them, more than any call makes) and with only the s-th failing, for s = 0,
stride, 2 stride, ... until a call with the allocations failing from the s-th on succeeds: s
then passes every allocation the call makes. A call must raise MemoryError or give the
normal result's bits. Prints one JSON object: the faults found, the qualified names of the
code objects that lost references, and where each sweep ended.

CPython 3.13.0 leaves the code object of a function whose allocation fails (a generator
expression, a lambda) one reference short, and the interpreter crashes once the code object
is freed while its function's parent still holds it (docs/development.rst). The package's
call paths build no function objects, but NumPy's do: every such code object is held many
times over for the sweep, and the package's own that lose references are reported.
"""

import _testcapi
import faulthandler
import functools
import gc
import json
import sys
import types

import numpy as np

from quorvane.mathtools.ellipsoid import catalogue, fast, frames, geodesic, latitudes, rhumb, utm
from quorvane.mathtools.ellipsoid._engine import public
from quorvane.mathtools.ellipsoid._registry import OPERATIONS

W = catalogue.get("WGS84")
VALUES = {
    "latitude": 0.6,
    "angle": 0.4,
    "unbounded": 0.5,
    "length": 2e4,
    "integer": 32,
    "bool": True,
    "text": "32TMT6546748348",
}
VECTOR = [4.2e6, 0.9e6, 4.7e6]
HELD = 1000  # references held to every code object: more than a sweep can lose
# Allocations that fail from the s-th on: more than any call makes, but a bounded run. NumPy
# reports some failures of its own cleanup as unraisable errors, and CPython 3.13.0 cannot
# print one without allocating: with every allocation failing it recurses until the stack
# overflows (docs/development.rst).
WINDOW = 600


def arguments(op, n):
    """Numbers (and one 3-vector as a list) for n = 0, else n rows of them."""
    if n == 0:
        return [VECTOR if i.unit == "vector" else VALUES[i.unit] for i in op.inputs]
    return [
        np.tile(VECTOR, (n, 1)) if i.unit == "vector" else np.full(n, VALUES[i.unit])
        for i in op.inputs
    ]


def _convert(ell, lat, *, kinds, vectorised, degrees=False):
    convert = fast.latitudes_convert if vectorised else latitudes.convert
    return convert(ell, lat, *kinds, degrees=degrees)


def _geometries_loop():
    """The loop of geodesic.geometry_area_perimeter on a polygon and a line (the public
    function's flattening is shapely's, which does not survive failed allocations)."""
    from quorvane.mathtools.ellipsoid import _geodesic

    x, y = np.array([0.0, 1, 1, 0, 0, 5, 6]), np.array([0.0, 0, 1, 1, 0, 5, 6])
    offsets = np.array([0, 5, 7]), np.array([0, 1, 2]), np.array([0, 1, 2])
    length, area = np.empty(2), np.empty(2)
    _geodesic.geometries(W, x, y, *offsets, length, area, closed=True)
    return np.concatenate([length, area])


def calls():
    """(name, call) for every public function: one point, and arrays in degrees."""
    out = []
    for op in OPERATIONS:
        for vectorised in [False, True] if op.fast else [False]:
            if op.module == "ellipsoid" or op.kernel_degrees:
                # a method that Dask offers, or a grid function of utm (the ellipsoid by
                # keyword): the engine's face
                f, name = public(op, fast=vectorised), f"engine.{op.name}"
            elif ":" in op.exact:  # latitudes.convert: the public function with the entry's kinds
                kinds = op.exact.split(":")[1:]
                f = functools.partial(_convert, kinds=kinds, vectorised=vectorised)
                name = "fast.latitudes_convert" if vectorised else op.qualname
            elif vectorised:
                name = op.name if hasattr(fast, op.name) else op.fast.split(".")[1]
                f, name = getattr(fast, name), f"fast.{name}"
            else:
                f, name = (
                    getattr(
                        {
                            "frames": frames,
                            "geodesic": geodesic,
                            "latitudes": latitudes,
                            "rhumb": rhumb,
                            "utm": utm,
                        }[op.module],
                        op.name,
                    ),
                    op.qualname,
                )
            one, rows = arguments(op, 0), arguments(op, 4)
            out.append((name, lambda f=f, a=one: f(W, *a)))
            out.append((f"{name}[4]", lambda f=f, a=rows: f(W, *a, degrees=True)))
    g = geodesic
    out += [
        ("geodesic.waypoints", lambda: g.waypoints(W, 0.1, 0.2, 0.3, 0.4, 5)),
        ("geodesic.waypoints[2]", lambda: g.waypoints(W, [0.1, 0.2], 0.2, 0.3, 0.4, 3)),
        ("geodesic.points_along", lambda: g.points_along(W, 0.1, 0.2, 0.3, [1e3, 2e3])),
        ("geodesic.line_length", lambda: g.line_length(W, [0.1, 0.2, 0.3], [0.1, 0.2, 0.4])),
        ("geodesic.polygon_area", lambda: g.polygon_area(W, [0.1, 0.2, 0.3], [0.1, 0.2, 0.4])),
        ("rhumb.waypoints", lambda: rhumb.waypoints(W, 0.1, 0.2, 0.3, 0.4, 5)),
        ("rhumb.polygon_area", lambda: rhumb.polygon_area(W, [0.1, 0.2, 0.3], [0.1, 0.2, 0.4])),
        ("geodesic.geometries", _geometries_loop),
        ("fast.level", fast.level),
        ("fast.levels", fast.levels),
    ]
    return out


def bits(result):
    return result if isinstance(result, (str, tuple, float)) else np.asarray(result).tobytes()


def nested_code_objects():
    """The code objects that functions build functions of at run time (generator expressions,
    lambdas, nested functions): those of the constants of every live function's code."""
    seen = {}
    stack = [f.__code__ for f in gc.get_objects() if isinstance(f, types.FunctionType)]
    while stack:
        for code in stack.pop().co_consts:
            if isinstance(code, types.CodeType) and id(code) not in seen:
                seen[id(code)] = code
                stack.append(code)
    return list(seen.values())


def sweep(name, call, faults, stride):
    expected = bits(call())
    s = 0
    while True:
        succeeded = False
        for stop in (s + WINDOW, s + 1):
            _testcapi.set_nomemory(s, stop)
            try:
                result = call()
            except MemoryError:
                continue
            except BaseException as exc:  # noqa: BLE001 (reported: anything but MemoryError)
                _testcapi.remove_mem_hooks()
                faults.append(f"{name} set_nomemory({s}, {stop}): {type(exc).__name__}: {exc}")
                continue
            finally:
                _testcapi.remove_mem_hooks()
            if bits(result) != expected:
                faults.append(f"{name} set_nomemory({s}, {stop}): a different result")
            succeeded = succeeded or stop > s + 1
        if succeeded:
            return s
        s += stride


def main():
    faulthandler.enable()
    stride = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    selected = calls()
    for _, call in selected:  # caches filled, modules imported
        call()
    codes = nested_code_objects()
    held = [c for c in codes for _ in range(HELD)]  # noqa: F841 (held for the sweep)
    counts = [sys.getrefcount(c) for c in codes]
    gc.freeze()  # the collector would walk what is held at every full collection
    faults, sizes = [], {}
    for name, call in selected:
        print("sweeping", name, file=sys.stderr, flush=True)  # the last is where a crash was
        sizes[name] = sweep(name, call, faults, stride)
    lost = sorted(
        {
            f"{c.co_qualname} ({c.co_filename}:{c.co_firstlineno})"
            for c, n in zip(codes, counts, strict=True)
            if sys.getrefcount(c) < n
        }
    )
    print(json.dumps({"faults": faults, "lost": lost, "sizes": sizes}))


if __name__ == "__main__":
    main()
