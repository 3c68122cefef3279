"""The type stubs: mypy --strict accepts the README examples and refuses misuse, and what the
stubs say each call returns is what the compiled module returns."""

import os
import re
import runpy
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import quorvane

pytest.importorskip("mypy", reason="mypy is not installed")
ext = pytest.importorskip("quorvane.mathtools.ellipsoid.ellipsoid")

HERE = Path(__file__).parent
MODULES = ["quorvane.mathtools.ellipsoid.ellipsoid", "quorvane.datamodel"]
MODULES.append("quorvane.mathtools.vectools.vectools")
MODULES.append("quorvane.mathtools.ellipsoid.frames")
MODULES += ["quorvane.mathtools.ellipsoid.geodesic", "quorvane.mathtools.ellipsoid._geodesic"]
MODULES.append("quorvane.mathtools.ellipsoid._frames")
MODULES += ["quorvane.mathtools.ellipsoid.fast", "quorvane.mathtools.ellipsoid._fast"]
MODULES += ["quorvane.mathtools.ellipsoid.latitudes", "quorvane.mathtools.ellipsoid._latitudes"]
MODULES += ["quorvane.mathtools.ellipsoid.utm", "quorvane.mathtools.ellipsoid._utm"]

# Calls whose result type mypy reveals and the test then checks at run time.
CALLS = """
    import numpy as np
    import numpy.typing as npt
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

    e = Ellipsoid(6378137.0, 1 / 298.257223563)
    a: npt.NDArray[np.float64] = np.array([0.1, 0.2])
    r = np.zeros((2, 3)) + 7e6
    r1 = np.full(3, 7e6)
    i = np.array([1, 2])
    reveal_type(e.reduced_lat_from_geodetic_lat(0.5))
    reveal_type(e.reduced_lat_from_geodetic_lat(np.float64(0.5)))
    reveal_type(e.reduced_lat_from_geodetic_lat(True))
    reveal_type(e.reduced_lat_from_geodetic_lat(a))
    reveal_type(e.geodetic_lat_from_reduced_lat(1))
    reveal_type(e.geodetic_lat_from_reduced_lat(a))
    reveal_type(e.enu(0.1, 0.2))
    reveal_type(e.enu(a, a))
    reveal_type(e.surf_pos_from_surf_coord(0.1, np.int64(2)))
    reveal_type(e.surf_pos_from_surf_coord(a, i))
    reveal_type(e.surf_coord_from_surf_pos(r))
    reveal_type(e.surf_coord_from_surf_pos(r1))
    reveal_type(e.solve_reduced_lat_equation(r))
    reveal_type(e.solve_reduced_lat_equation(r1))
    reveal_type(e.lla_from_pos(r))
    reveal_type(e.lla_from_pos(r1))
    reveal_type(e.pos_from_lla(0.1, 0.2, 3))
    reveal_type(e.pos_from_lla(a, a, a))
    reveal_type(e.surf_pos_of_ray_first_intersection(r1, r))
    reveal_type(e.surf_pos_of_ray_first_intersection(r1, r1))
    reveal_type(e.aer_coords(r, 0.1, 0.2, 3.0))
    reveal_type(e.aer_coords(r1, np.float32(0.1), 0, 3.0))
    reveal_type(e.Re)
    from quorvane.mathtools.ellipsoid import frames
    reveal_type(frames.enu_from_pos(e, r, 0.1, [0.2, 0.3], 3))
    reveal_type(frames.pos_from_lla(e, 0.1, [0.2, 0.3], 3, degrees=True))
    reveal_type(frames.lla_from_pos(e, r1))
    reveal_type(frames.aer_from_lla(e, 0.1, 0.2, 3.0, a, a, 0.0, degrees=True))
    reveal_type(frames.aer_from_lla("WGS84", 0.1, 0.2, 3.0, 0.4, 0.5, 0.0))
    from quorvane.mathtools.ellipsoid import fast, geodesic
    reveal_type(fast.aer_coords((6378137.0, 0.0), r, 0.1, 0.2, 3.0, degrees=True))
    reveal_type(geodesic.inverse(e, 0.1, 0.2, 0.3, a))
    reveal_type(geodesic.polygon_area(e, a, a))
"""

# Misuse the stubs must refuse: each ignore is reported as unused if mypy accepts the line.
MISUSE = """
    import numpy as np
    from quorvane.datamodel import LLA_dtype
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

    e = Ellipsoid(6378137.0, 1 / 298.257223563)
    e.lla_from_pos([7e6, 0.0, 0.0])  # type: ignore[arg-type]
    e.aer_coords(np.zeros(3), np.zeros(2), 0.0, 0.0)  # type: ignore[arg-type]
    e.reduced_lat_from_geodetic_lat([0.5])  # type: ignore[call-overload]
    e.surf_pos_from_surf_coord(0.1, np.zeros(2))  # type: ignore[call-overload]
    e.pos_from_lla(0.1, 0.2)  # type: ignore[call-overload]
    e.enu("0.1", 0.2)  # type: ignore[call-overload]
    e.enu(0.1, np.zeros(2))  # type: ignore[call-overload]
    bad: float = e.pos_from_lla(0.1, 0.2, 0.3)  # type: ignore[assignment]
    maybe: float = e.solve_reduced_lat_equation(np.zeros(3))  # type: ignore[assignment]
    e.Re = 1.0  # type: ignore[misc]
    e.flattening  # type: ignore[attr-defined]
    Ellipsoid(6378137.0)  # type: ignore[call-arg]
    name: int = LLA_dtype  # type: ignore[assignment]
    from quorvane.mathtools.ellipsoid import frames
    frames.enu_from_pos(e, "7e6", 0.0, 0.0, 0.0)  # type: ignore[arg-type]
    frames.pos_from_lla(1.0, 0.0, 0.0, 0.0)  # type: ignore[arg-type]
"""


def _mypy_env():
    """Check the stubs beside the imported package, wherever it comes from."""
    env = dict(os.environ)
    root = Path(quorvane.__file__).parent.parent
    if root.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(root)
    return env


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """One mypy --strict run over the README examples, the revealed calls and the misuse."""
    work = tmp_path_factory.mktemp("mypy")
    (work / "readme_example.py").write_text((HERE / "readme_example.py").read_text())
    (work / "calls.py").write_text(textwrap.dedent(CALLS))
    (work / "misuse.py").write_text(textwrap.dedent(MISUSE))
    cmd = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary"]
    cmd += ["--cache-dir", str(work / "cache"), "readme_example.py", "calls.py", "misuse.py"]
    done = subprocess.run(
        cmd, cwd=work, capture_output=True, text=True, env=_mypy_env(), check=False
    )
    return done.stdout + done.stderr


def test_readme_examples_pass_mypy_strict(mypy_report):
    problems = [line for line in mypy_report.splitlines() if line.startswith("readme_example")]
    assert problems == []


def test_misuse_is_refused(mypy_report):
    problems = [line for line in mypy_report.splitlines() if line.startswith("misuse")]
    assert problems == []


def test_readme_examples_run(capsys):
    runpy.run_path(str(HERE / "readme_example.py"), run_name="__main__")
    lines = capsys.readouterr().out.splitlines()
    frames_line, inverse_line, direct_line, areas_line, length_line = lines
    lat, lon, alt, shape = frames_line.split(" ", 3)
    assert (round(float(lat), 9), round(float(lon), 9), round(float(alt), 6), shape) == (
        47.3769,
        8.5417,
        408.0,
        "(3, 3)",
    )
    assert inverse_line.startswith("15347512.9405")
    lat2, lon2, area, perimeter = (float(v) for v in direct_line.split())
    assert (round(lat2, 4), round(lon2, 4), round(area, -4), round(perimeter)) == (
        49.5508,
        101.1174,
        12308780000.0,
        443771,
    )
    # The geometries' block: the square both ways round, and a line.
    assert areas_line == "[ 1.23087784e+10 -1.23087784e+10]"
    assert length_line.startswith("156899.568")


def _runtime_kind(value):
    if isinstance(value, float):
        return "float"
    if isinstance(value, np.void):
        return "record"
    assert isinstance(value, np.ndarray), type(value)
    kind = "records" if value.dtype.names else str(value.dtype)
    return f"{kind} {value.ndim}-D"


def _static_kind(revealed):
    if revealed in ("builtins.float", "float"):
        return "float"
    if revealed.startswith(("builtins.float | ", "float | ")):
        return "float or array"
    if revealed == "numpy.void":
        return "record"
    if revealed.endswith("| numpy.void"):
        return "records or record"
    shape = re.search(r"ndarray\[tuple\[(.*?)\],", revealed)
    assert shape is not None, revealed
    dims = "any" if "..." in shape.group(1) else str(shape.group(1).count("int"))
    kind = "records" if "numpy.void" in revealed else "float64"
    assert "numpy.float64" in revealed or kind == "records", revealed
    return f"{kind} {dims}-D"


def test_revealed_result_types_match_the_module(mypy_report, tmp_path):
    revealed = {}
    for line in mypy_report.splitlines():
        found = re.match(r'calls\.py:(\d+): note: Revealed type is "(.*)"', line)
        if found:
            revealed[int(found.group(1))] = found.group(2)
    assert len(revealed) == CALLS.count("reveal_type("), mypy_report
    # Run the same lines with each reveal_type(...) recording its value under its line number.
    lines = textwrap.dedent(CALLS).splitlines()
    script = tmp_path / "calls_run.py"
    script.write_text(
        "\n".join(t.replace("reveal_type(", f"_record({n}, ") for n, t in enumerate(lines, 1))
    )
    results = {}
    runpy.run_path(str(script), {"_record": results.__setitem__})
    for number, static in revealed.items():
        kind = _static_kind(static)
        actual = _runtime_kind(results[number])
        if kind == "records or record":
            assert actual == "record" or actual.startswith("records"), (lines[number - 1], actual)
        elif kind == "float or array":
            assert actual in ("float", "float64 1-D"), (lines[number - 1], actual)
        elif " any-D" in kind:
            assert actual.startswith(kind.split()[0]), (lines[number - 1], static, actual)
        else:
            assert actual == kind, (lines[number - 1], static, actual)


def test_stubs_match_the_runtime_modules(tmp_path):
    """mypy's stubtest compares every stub name and signature with the imported modules."""
    cmd = [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull, *MODULES]
    done = subprocess.run(
        cmd, cwd=tmp_path, capture_output=True, text=True, env=_mypy_env(), check=False
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_readme_shows_the_checked_example():
    """The usage examples in README.md are the file this module type-checks and runs."""
    readme = (HERE.parent / "README.md").read_text()
    body = (HERE / "readme_example.py").read_text().split('"""', 2)[2].lstrip("\n")
    first, *others = body.split("# README block: ")
    for block in [first] + [b.split("\n", 1)[1] for b in others]:
        assert "```python\n" + block + "```\n" in readme
