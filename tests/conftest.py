"""Fixtures shared by the tests; plain helpers are in helpers.py."""

import subprocess

import pytest
from helpers import EARTH

import quorvane.mathtools.ellipsoid.ellipsoid as ellipsoid_module


@pytest.fixture
def mod():
    return ellipsoid_module


@pytest.fixture
def e():
    return ellipsoid_module.Ellipsoid(2.0, 0.25)


@pytest.fixture
def wgs84():
    return ellipsoid_module.Ellipsoid(*EARTH)


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
    # The module's own compiler flags, one per line.
    flags_file = pathlib.Path(__file__).parents[1] / "csrc" / "compile-flags.txt"
    flags = [line for line in flags_file.read_text().splitlines() if line.startswith("-")]
    command = [
        compiler, *flags, "-O1", "-shared", "-fPIC", "-pthread",
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
