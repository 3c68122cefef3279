"""The C++ floor: ``floor.cpp``, a plain loop over the published kernel table, built at run time
against the installed public headers with the module's own compiler flags
(``csrc/compile-flags.txt``) and -O3.

Each call allocates a fresh ``numpy.zeros`` result, as the methods allocate theirs, and runs the
loop with the interpreter lock released or held (a nested kernel's error probe then finds the
lock held instead of taking it)."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sysconfig
from pathlib import Path

import numpy as np

from testsupport.workload import AER_ONCE, OBSERVER, RAY_SOURCE

HERE = Path(__file__).resolve().parent
FLAGS_FILE = HERE.parent / "csrc" / "compile-flags.txt"


def compiler() -> str | None:
    """The C++ compiler (``$CXX``, else ``c++``) if it is on the path."""
    return shutil.which(os.environ.get("CXX", "c++"))


def compile_flags() -> list[str]:
    """The module's own compiler flags."""
    lines = FLAGS_FILE.read_text().splitlines()
    return [line.strip() for line in lines if line.strip().startswith("-")]


def build(directory: Path) -> tuple[Path, str]:
    """Compiles floor.cpp into directory; returns the extension's path and the command.
    Raises RuntimeError with the compiler's messages if the build fails."""
    from quorvane.mathtools.ellipsoid import get_include

    cxx = compiler()
    if cxx is None:
        raise RuntimeError("no C++ compiler on the path (set CXX)")
    target = Path(directory) / ("_bench_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [
        cxx,
        *compile_flags(),
        "-O3",
        "-shared",
        "-fPIC",
        "-I",
        sysconfig.get_paths()["include"],
        "-I",
        get_include(),
        str(HERE / "floor.cpp"),
        "-o",
        str(target),
    ]
    proc = subprocess.run(command, capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        raise RuntimeError("building testsupport/floor.cpp failed:\n" + proc.stderr)
    shown = [os.path.basename(cxx), *compile_flags(), "-O3"]
    return target, " ".join(shown)


def load(path: Path):
    spec = importlib.util.spec_from_file_location("_bench_floor", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def calls(e, floor, hold_gil: bool) -> dict:
    from quorvane.datamodel import AER_dtype, ENU_dtype, LLA_dtype, SurfCoord_dtype

    obs = np.asarray(OBSERVER, dtype=float)
    src = np.asarray(RAY_SOURCE, dtype=float)

    def vec(n):
        return np.zeros(n)

    def mat(n):
        return np.zeros((n, 3))

    def kernel(name, make_out, *arrays, fixed=None):
        def build(w, n):
            ins = [getattr(w, k)[:n] for k in arrays]
            if fixed is not None:
                ins = [fixed, *ins] if name == "ray" else [*ins, fixed]

            def call():
                out = make_out(n)
                floor.run(e, name, out, *ins, hold_gil=hold_gil)
                return out

            return call

        return build

    return {
        "reduced_lat_from_geodetic_lat": kernel("reduced_lat", vec, "lat"),
        "geodetic_lat_from_reduced_lat": kernel("geodetic_lat", vec, "lat"),
        "enu": kernel("enu", lambda n: np.zeros(n, ENU_dtype), "lat", "lon"),
        "surf_pos_from_surf_coord": kernel("surf_pos", mat, "lat", "lon"),
        "surf_coord_from_surf_pos": kernel(
            "surf_coord", lambda n: np.zeros(n, SurfCoord_dtype), "r_surf"
        ),
        "solve_reduced_lat_equation": kernel("solve", vec, "r"),
        "lla_from_pos": kernel("lla", lambda n: np.zeros(n, LLA_dtype), "r"),
        "pos_from_lla": kernel("pos", mat, "lat", "lon", "alt"),
        "surf_pos_of_ray_first_intersection": kernel("ray", mat, "u_ray", fixed=src),
        "aer_coords": kernel("aer", lambda n: np.zeros(n, AER_dtype), "r", fixed=obs),
        AER_ONCE: kernel("aer_once", lambda n: np.zeros(n, AER_dtype), "r", fixed=obs),
    }
