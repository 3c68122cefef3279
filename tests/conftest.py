import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quorvane.mathtools.ellipsoid.ellipsoid as ellipsoid_module

PREFIX = "quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid."


@pytest.fixture
def mod():
    return ellipsoid_module


@pytest.fixture
def e():
    return ellipsoid_module.Ellipsoid(2.0, 0.25)


@pytest.fixture
def wgs84():
    return ellipsoid_module.Ellipsoid(6378137.0, 1 / 298.257223563)


def traceback_names(excinfo):
    """Function names of the traceback entries of a raised exception."""
    names = []
    tb = excinfo.tb if hasattr(excinfo, "tb") else excinfo.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def run_python(code, *flags):
    """Runs code in a fresh interpreter; returns (returncode, stdout, stderr)."""
    proc = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    return proc.returncode, proc.stdout, proc.stderr


def same(a, b):
    """Bit-for-bit equality of two results (float or structured arrays), NaN
    equal to NaN."""
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    as_bits = lambda x: np.ascontiguousarray(x).view(np.uint8)
    return np.array_equal(as_bits(a), as_bits(b))


class SubArray(np.ndarray):
    """An ndarray subclass: the methods read it through interpreter indexing."""


def slow(a):
    return np.asarray(a).view(SubArray)


@pytest.fixture(scope="session")
def probe(tmp_path_factory):
    """The test-only compiled consumer of the kernel table, built against the
    installed headers the way a third-party extension would be."""
    import importlib.util
    import os
    import pathlib
    import sysconfig

    from quorvane.mathtools.ellipsoid import get_include

    source = pathlib.Path(__file__).parent / "native" / "kernelprobe.cpp"
    out_dir = tmp_path_factory.mktemp("kernelprobe")
    target = out_dir / ("_kernelprobe" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = os.environ.get("CXX", "c++")
    command = [
        compiler, "-std=c++20", "-O1", "-shared", "-fPIC", "-pthread", "-Wall", "-Wextra",
        "-Wno-missing-field-initializers",
        "-I", sysconfig.get_paths()["include"], "-I", get_include(),
        str(source), "-o", str(target),
    ]
    proc = subprocess.run(command, capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        pytest.fail("building the kernel probe failed:\n" + proc.stderr)
    spec = importlib.util.spec_from_file_location("_kernelprobe", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
