"""The methods on Dask arrays and DataFrames: the threaded scheduler, and a two-process local
cluster that the module starts and stops itself."""

import importlib.resources
import os
import subprocess
import sys
import textwrap
import uuid

import numpy as np
import pytest
from helpers import run_python, same

da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

import psutil

from quorvane.mathtools.ellipsoid import catalogue, cli, frames, latitudes
from quorvane.mathtools.ellipsoid import dask as qd
from quorvane.mathtools.ellipsoid._engine import public
from quorvane.mathtools.ellipsoid._registry import OPERATIONS, stubs

WGS84 = catalogue.get("WGS84")
N = 1003  # row blocks of uneven sizes, the last one short
RNG = np.random.default_rng(16)
R = RNG.normal(size=(N, 3)) * 7e6
LAT = RNG.uniform(-1.5, 1.5, N)
LON = RNG.uniform(-3.1, 3.1, N)
ALT = RNG.uniform(-1e4, 1e6, N)
ORIGIN = np.array([7.4e6, 1e5, -2e5])
ZONES = RNG.integers(0, 61, N)
CODES = np.array(["32TMT6546748348", "31UDQ48251119", "ZAH1234567890", "33XVG", ""])[ZONES % 5]


def _rows(a):
    return da.from_array(a, chunks=(100, 2))  # columns split too: rechunked to whole rows


def _col(a, size):
    return da.from_array(a, chunks=size)


# name: (Dask arguments, NumPy arguments)
CASES = {
    "reduced_lat_from_geodetic_lat": ((_col(LAT, 77),), (LAT,)),
    "geodetic_lat_from_reduced_lat": ((_col(LAT, 77),), (LAT,)),
    "enu": ((_col(LAT, 77), _col(LON, 130)), (LAT, LON)),
    # A number among columns stands for a column of it.
    "surf_pos_from_surf_coord": ((_col(LAT, 77), 0.5), (LAT, np.full(N, 0.5))),
    "surf_coord_from_surf_pos": ((_rows(R),), (R,)),
    "solve_reduced_lat_equation": ((_rows(R),), (R,)),
    "lla_from_pos": ((_rows(R),), (R,)),
    "pos_from_lla": ((_col(LAT, 77), _col(LON, 130), _col(ALT, 200)), (LAT, LON, ALT)),
    "surf_pos_of_ray_first_intersection": ((ORIGIN, _rows(R - ORIGIN)), (ORIGIN, R - ORIGIN)),
    "aer_coords": ((_rows(R), 0.7, -0.3, 120.0), (R, 0.7, -0.3, 120.0)),
}


def method(name, *args):
    """The method's result, its observation azimuths in [0, 2 pi) as the companion modules
    give them."""
    out = getattr(WGS84, name)(*args)
    if out.dtype.names and "azimuth" in out.dtype.names:
        az = out["azimuth"]
        az[az < 0] += 2 * np.pi
    return out


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    )
    client = distributed.Client(cluster)
    pids = list(client.run(os.getpid).values())
    try:
        yield client
    finally:
        client.close()
        cluster.close()
    assert len(pids) == 2
    assert not [pid for pid in pids if psutil.pid_exists(pid)], "worker processes left running"


@pytest.mark.parametrize("name", sorted(CASES))
def test_threaded_results_are_the_methods_bit_for_bit(name):
    dask_args, numpy_args = CASES[name]
    lazy = getattr(qd, name)(WGS84, *dask_args)
    want = method(name, *numpy_args)
    assert (lazy.dtype, lazy.shape) == (want.dtype, want.shape)
    assert lazy.numblocks[0] > 1
    assert same(lazy.compute(scheduler="threads"), want)


def test_fast_runs_the_fast_functions():
    from quorvane.mathtools.ellipsoid import fast

    for name in ("lla_from_pos", "pos_from_lla", "aer_coords"):
        dask_args, numpy_args = CASES[name]
        lazy = getattr(qd, name)(WGS84, *dask_args, fast=True)
        assert same(lazy.compute(scheduler="threads"), getattr(fast, name)(WGS84, *numpy_args))
    pairs = (LAT, LON, LAT[::-1], LON[::-1])
    lazy = qd.geodesic_inverse(WGS84, *(_col(a, 77) for a in pairs), fast=True)
    assert same(lazy.compute(scheduler="threads"), fast.geodesic_inverse(WGS84, *pairs))
    frame = dd.from_dict(dict(zip("xyz", R.T, strict=True)), npartitions=3)
    got = qd.dataframe_aer_coords(WGS84, frame, 0.7, -0.3, 120.0, fast=True).compute()
    want = fast.aer_coords(WGS84, R, 0.7, -0.3, 120.0)
    assert all(same(got[name].to_numpy(), want[name]) for name in want.dtype.names)


@pytest.mark.parametrize(
    "ellipsoid", [WGS84, "wgs-84", (6378137.0, 1 / 298.257223563)], ids=["object", "name", "Re_f"]
)
def test_on_a_process_cluster(client, ellipsoid):
    """The graph carries (Re, f) only: an Ellipsoid cannot be pickled, yet every form works,
    and each worker process builds it once."""
    names = sorted(CASES)
    lazy = [getattr(qd, name)(ellipsoid, *CASES[name][0]) for name in names]
    results = client.compute(lazy, sync=True)
    for name, result in zip(names, results, strict=True):
        assert same(result, method(name, *CASES[name][1])), name
    for built in client.run(lambda: len(qd._engine._BUILT)).values():
        assert built == 1


@pytest.mark.parametrize("where", ["threads", "cluster"])
def test_a_failing_chunk_raises_its_exception(where, request):
    """Lengths known only from the data (filtered arrays) that do not broadcast fail in their
    task, and computing raises the task's exception, on a cluster too."""
    lat, lon = da.from_array(LAT, chunks=100), da.from_array(LON, chunks=100)
    lazy = qd.pos_from_lla(WGS84, lat[lat > 0], lon[lon > 0], 0.0)
    message = "shapes do not broadcast: lat"
    if where == "threads":
        with pytest.raises(ValueError, match=message):
            lazy.compute(scheduler="threads")
    else:
        client = request.getfixturevalue("client")
        future = client.compute(lazy)
        with pytest.raises(ValueError, match=message):
            future.result(timeout=60)
        # The cluster goes on working.
        good = qd.lla_from_pos(WGS84, da.from_array(R, chunks=(500, 3)))
        assert same(client.compute(good).result(timeout=60), WGS84.lla_from_pos(R))


@pytest.mark.parametrize(
    ("name", "args"),
    [
        ("lla_from_pos", (np.zeros((N, 4)),)),  # not three columns
        ("lla_from_pos", (np.array([[7e6, 0.0, 0.0], [7e6, "x", 0.0]], dtype=object),)),
        ("pos_from_lla", (LAT, LON[:-1], ALT)),  # lengths differ
        ("aer_coords", (R, LAT[:2], 0.0, 0.0)),  # an observer that does not broadcast
    ],
)
def test_refused_arguments_raise_the_companion_exception_at_once(name, args):
    """Before anything runs, with the error of the frames function of the same inputs."""
    with pytest.raises(Exception) as direct:
        getattr(frames, name.replace("aer_coords", "aer_from_pos"))(WGS84, *args)
    with pytest.raises(type(direct.value)) as raised:
        getattr(qd, name)(WGS84, *[a if np.isscalar(a) else da.from_array(a, 500) for a in args])
    assert str(raised.value) == str(direct.value)


def test_other_dtypes_and_shapes_broadcast_as_in_frames():
    """What the methods refuse and the companion face takes: float32, columns of any shape."""
    lat32 = da.from_array(LAT.astype(np.float32), chunks=300)
    assert same(
        qd.reduced_lat_from_geodetic_lat(WGS84, lat32).compute(),
        WGS84.reduced_lat_from_geodetic_lat(LAT.astype(np.float32).astype(np.float64)),
    )
    lat, lon = da.from_array(LAT[:6].reshape(2, 3)), da.from_array(LON[:3])
    assert same(
        qd.enu(WGS84, lat, lon).compute(),
        WGS84.enu(LAT[:6], np.tile(LON[:3], 2)).reshape(2, 3),
    )


def test_one_point_forms_are_the_methods():
    assert same(
        qd.solve_reduced_lat_equation("WGS84", R[0]).compute(),
        np.float64(WGS84.solve_reduced_lat_equation(R[0])),
    )
    assert same(
        qd.pos_from_lla("WGS84", 0.1, 0.2, 3.0).compute(), WGS84.pos_from_lla(0.1, 0.2, 3.0)
    )


@pytest.mark.parametrize(
    ("ellipsoid", "error"),
    [
        ("no such", ValueError),
        ((1.0, 1.5), ValueError),
        ((1.0, "f"), TypeError),
        (1.0, TypeError),
    ],
)
def test_bad_ellipsoids_are_refused(ellipsoid, error):
    with pytest.raises(error, match="^ell"):
        qd.lla_from_pos(ellipsoid, R)
    with pytest.raises(error, match="^ell"):
        qd.dataframe_lla_from_pos(ellipsoid, dd.from_dict(XYZ, npartitions=1))


def test_a_subclass_is_refused_not_replaced():
    class Mine(type(WGS84)):
        pass

    with pytest.raises(TypeError, match="Mine"):
        qd.lla_from_pos(Mine(6378137.0, 0.0), R)


def _write_dataset(path, columns, parts=3):
    """A Parquet dataset of several files, with a time column to pass through."""
    path.mkdir()
    table = pa.table({"time": np.arange(N), **columns})
    for k, start in enumerate(range(0, N, N // parts + 1)):
        pq.write_table(table.slice(start, N // parts + 1), path / f"part-{k}.parquet")


XYZ = {"x": R[:, 0], "y": R[:, 1], "z": R[:, 2]}
ENU = [f"{axis}_{c}" for axis in ("east", "north", "up") for c in "xyz"]
# name: (input columns, parameters, output columns)
FRAMES = {
    "lla_from_pos": (XYZ, (), ["lat", "lon", "alt"]),
    "pos_from_lla": ({"lat": LAT, "lon": LON, "alt": ALT}, (), ["x", "y", "z"]),
    "enu": ({"lat": LAT, "lon": LON}, (), ENU),
    "aer_coords": (XYZ, (0.7, -0.3, 120.0), ["azimuth", "elevation", "range"]),
}


@pytest.mark.parametrize("name", sorted(FRAMES))
def test_parquet_to_parquet_partition_by_partition(tmp_path, name):
    columns, params, names = FRAMES[name]
    _write_dataset(tmp_path / "in", columns)
    frame = dd.read_parquet(tmp_path / "in")
    converted = getattr(qd, f"dataframe_{name}")("WGS84", frame, *params)
    assert converted.npartitions == 3
    converted.to_parquet(tmp_path / "out", compute_kwargs={"scheduler": "threads"})
    back = pq.read_table(tmp_path / "out").to_pandas()
    want = method(name, *CASES[name][1])
    assert list(back.columns) == ["time", *names]
    assert np.array_equal(back["time"].to_numpy(), np.arange(N))
    if want.dtype.names is None:
        expected = list(want.T)
    else:
        expected = [
            v for f in want.dtype.names for v in (want[f].T if want[f].ndim > 1 else [want[f]])
        ]
    for column, values in zip(names, expected, strict=True):
        assert same(back[column].to_numpy(), np.ascontiguousarray(values)), column


def test_parquet_on_the_cluster_with_named_columns(client, tmp_path):
    _write_dataset(tmp_path / "in", {"X": R[:, 0], "Y": R[:, 1], "Z": R[:, 2]})
    frame = dd.read_parquet(tmp_path / "in")
    qd.dataframe_lla_from_pos(WGS84, frame, columns=["X", "Y", "Z"], keep=False).to_parquet(
        tmp_path / "out"
    )
    back = pq.read_table(tmp_path / "out").to_pandas()
    want = WGS84.lla_from_pos(R)
    assert list(back.columns) == ["lat", "lon", "alt"]
    assert all(same(back[c].to_numpy(), np.ascontiguousarray(want[c])) for c in want.dtype.names)


# Every entry of the registry, through its Dask functions: the companion face (the engine's
# public function) on the whole arrays, bit for bit, in radians and degrees, exact and fast.
def _inputs(op, degrees):
    """Arguments of ``op`` for N points: the observer and the rays' origin one value (as the
    DataFrame functions take them), every other input N rows."""
    scale = 180 / np.pi if degrees else 1.0
    rows = {"latitude": LAT * scale, "angle": LON * scale, "unbounded": LON * scale, "length": ALT}
    # Zones, hemispheres and MGRS codes.
    rows |= {"integer": ZONES, "bool": LAT > 0, "text": CODES}
    one = {"lat_obs": 0.7 * scale, "lon_obs": -0.3 * scale, "alt_obs": 120.0, "r_source": ORIGIN}
    return [
        one[i.name] if i.name in one else (R - ORIGIN if i.unit == "vector" else rows[i.unit])
        for i in op.inputs
    ]


def _as_columns(result):
    result = np.asarray(result)
    fields = [result[f] for f in result.dtype.names] if result.dtype.names else [result]
    return [c for f in fields for c in (f.T if f.ndim > 1 else [f])]


REGISTRY = [
    pytest.param(op, fast, id=f"{op.qualname}{'-fast' if fast else ''}")
    for op in OPERATIONS
    for fast in ([False, True] if op.fast else [False])
]


@pytest.mark.parametrize("degrees", [False, True], ids=["radians", "degrees"])
@pytest.mark.parametrize(("op", "fast"), REGISTRY)
def test_every_registry_entry_is_its_companion_function_on_dask(op, fast, degrees):
    name = op.name if op.module in ("ellipsoid", "frames") else f"{op.module}_{op.name}"
    args = _inputs(op, degrees)
    kinds = op.exact.split(":")[1:]  # a conversion of latitudes: its kinds after the inputs
    want = public(op, fast=fast)(WGS84, *args, degrees=degrees)
    lazy = getattr(qd, name)(
        "WGS84",
        *(da.from_array(a, chunks=300) if np.ndim(a) else a for a in args),
        *kinds,
        degrees=degrees,
        fast=fast,
    )
    assert lazy.numblocks[0] > 1
    assert same(lazy.compute(scheduler="threads"), want)
    # The DataFrame function: inputs from their columns, the observer and origin given.
    columns = [
        c for i, a in zip(op.inputs, args) if not qd._is_parameter(i) for c in _as_columns(a)
    ]
    names = [c for i in op.inputs if not qd._is_parameter(i) for c in qd._input_columns(i)]
    frame = dd.from_dict(dict(zip(names, columns, strict=True)), npartitions=3)
    params = [a for i, a in zip(op.inputs, args) if qd._is_parameter(i)]
    convert = getattr(qd, f"dataframe_{name}")
    got = convert(WGS84, frame, *params, *kinds, keep=False, degrees=degrees, fast=fast)
    got = got.compute()
    # Strings come back as pandas holds them (objects).
    got = [got[c].to_numpy() for c in got.columns]
    got = [g.astype(w.dtype) if w.dtype.kind == "U" else g for g, w in zip(got, _as_columns(want))]
    assert all(same(g, w) for g, w in zip(got, _as_columns(want), strict=True))


OBSERVER = (0.1, 0.2, 0.0)


@pytest.mark.parametrize(
    ("name", "params", "inputs", "outputs"),
    [
        ("enu_from_pos", OBSERVER, "x y z", "east north up"),
        ("ned_from_pos", OBSERVER, "x y z", "north east down"),
        ("pos_from_enu", OBSERVER, "east north up", "x y z"),
        ("aer_from_lla", OBSERVER, "lat lon alt", "azimuth elevation range"),
        ("ecef_vector_from_enu", OBSERVER[:2], "east north up", "x y z"),
        ("surf_pos_of_ray_first_intersection", (ORIGIN,), "ux uy uz", "x y z"),
        ("reduced_lat_from_geodetic_lat", (), "lat", "reduced_lat"),
        ("geodesic_direct", (), "lat1 lon1 azi1 s12", "lat2 lon2 azi2"),
        ("latitudes_convert", ("reduced", "authalic"), "lat", "lat"),
        ("latitudes_radii", (), "lat", "meridional prime_vertical gaussian geocentric"),
        ("latitudes_latitude_at_meridian_distance", (), "s", "lat"),
    ],
)
def test_dataframe_column_names(name, params, inputs, outputs):
    frame = dd.from_dict({c: [0.1] for c in inputs.split()}, npartitions=1)
    got = getattr(qd, f"dataframe_{name}")(WGS84, frame, *params, keep=False)
    assert list(got.columns) == outputs.split()


@pytest.mark.parametrize("op", [op for op in OPERATIONS if not op.fast][:3], ids=str)
def test_fast_without_a_vectorised_kernel_is_refused(op):
    name = op.name if op.module in ("ellipsoid", "frames") else f"{op.module}_{op.name}"
    args = _inputs(op, False)
    with pytest.raises(ValueError, match=f"^{name}: fast=True needs a vectorised kernel"):
        getattr(qd, name)(WGS84, *args, fast=True)


def test_latitudes_beyond_the_poles_give_nan_rows():
    lat = np.array([10.0, 91.0, -30.0])
    lazy = qd.pos_from_lla(WGS84, da.from_array(lat, chunks=1), 20.0, 0.0, degrees=True)
    with pytest.warns(RuntimeWarning, match="^lat: latitudes beyond"):
        out = lazy.compute(scheduler="sync")
    assert np.isnan(out[1]).all() and same(
        out[[0, 2]], frames.pos_from_lla(WGS84, lat[[0, 2]], 20.0, 0.0, degrees=True)
    )


def test_a_new_registry_entry_is_a_dask_function():
    """An entry appended to the registry (here a renamed copy of one) gets its array and
    DataFrame functions with no other edit."""
    code = """
        import dataclasses
        import numpy as np
        from quorvane.mathtools.ellipsoid import _registry
        op = dataclasses.replace(_registry.get("frames.ned_from_pos"), name="ned_of_target")
        _registry.OPERATIONS += (op,)
        _registry._BY_NAME[op.qualname] = op
        from quorvane.mathtools.ellipsoid import dask as qd, frames
        r = np.array([[4.2e6, 0.9e6, 4.7e6], [4.1e6, 1e6, 4.8e6]])
        got = qd.ned_of_target("WGS84", r, 0.7, 0.2, 10.0).compute()
        print(np.array_equal(got, frames.ned_from_pos("WGS84", r, 0.7, 0.2, 10.0)))
        print("dataframe_ned_of_target" in qd.__all__)
    """
    returncode, out, err = run_python(code)
    assert (returncode, out.split()) == (0, ["True", "True"]), err


def test_dataframe_columns_are_checked_before_running():
    frame = dd.from_dict({"x": R[:, 0], "lat": R[:, 1]}, npartitions=2)
    with pytest.raises(ValueError, match="no column 'y'"):
        qd.dataframe_lla_from_pos(WGS84, frame)
    with pytest.raises(ValueError, match=r"\['lat'\] are already"):
        qd.dataframe_lla_from_pos(WGS84, frame, columns=["x", "x", "x"])


def _tool(*argv, env=None):
    command = [sys.executable, "-m", "quorvane.mathtools.ellipsoid", *map(str, argv)]
    return subprocess.run(
        command, capture_output=True, text=True, env=env, timeout=300, check=False
    )


def test_the_tool_converts_a_dataset_on_local_workers_and_stops_them(tmp_path):
    _write_dataset(tmp_path / "in", XYZ)
    marker = uuid.uuid4().hex
    env = {**os.environ, "QUORVANE_TEST_RUN": marker}
    options = ["lla", "--degrees", "--keep", "time", tmp_path / "in", "-o"]
    done = _tool(*options, tmp_path / "out", "--workers", 2, env=env)
    assert done.returncode == 0, done.stderr
    assert len(list((tmp_path / "out").iterdir())) == 3
    assert _tool(*options, tmp_path / "plain.parquet").returncode == 0
    assert pq.read_table(tmp_path / "out").equals(pq.read_table(tmp_path / "plain.parquet"))
    left = []
    for process in psutil.process_iter():
        try:
            if process.environ().get("QUORVANE_TEST_RUN") == marker:
                left.append(process.pid)
        except (psutil.Error, OSError):
            pass
    assert left == [], "worker processes left running"


def test_the_tool_on_a_cluster_stops_with_its_own_message(client, tmp_path, capsys):
    columns = {"lat": LAT * 60, "lon": LON, "alt": ALT}  # degrees without --degrees
    _write_dataset(tmp_path / "in", columns)
    address = client.scheduler.address
    assert cli.main(["ecef", str(tmp_path / "in"), "-o", str(tmp_path / "x.parquet")]) == 1
    plain = capsys.readouterr().err
    out = tmp_path / "out"
    assert cli.main(["ecef", "--scheduler", address, str(tmp_path / "in"), "-o", str(out)]) == 1
    message = capsys.readouterr().err
    assert "outside [-pi/2, pi/2]" in plain
    assert message.replace(str(tmp_path), "") == plain.replace(str(tmp_path), "")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in"]  # no output, nothing staged


def test_the_stub_is_the_one_the_registry_generates():
    stub = importlib.resources.files("quorvane.mathtools.ellipsoid") / "dask.pyi"
    assert stub.read_text() == stubs("dask")


@pytest.mark.slow  # mypy reads dask and pandas: about 30 s
def test_the_annotations_pass_mypy_strict_and_stubtest(tmp_path):
    use = """
        import dask.array as da
        import dask.dataframe as dd
        import numpy as np
        from quorvane.mathtools.ellipsoid import dask as qd
        from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

        r = da.zeros((10, 3), chunks=(5, 3))
        lla: da.Array = qd.lla_from_pos("WGS84", r)
        xyz = qd.pos_from_lla((6378137.0, 0.0), lla["lat"], lla["lon"], 0.0)
        aer = qd.aer_coords(Ellipsoid(6378137.0, 0.0), np.zeros((4, 3)), 0.1, 0.2, 3.0)
        df = dd.from_dict({"x": [1.0], "y": [2.0], "z": [3.0]}, npartitions=1)
        out: dd.DataFrame = qd.dataframe_lla_from_pos("GRS80", df, columns=["x", "y", "z"])
        quick: da.Array = qd.aer_coords("WGS84", r, 0.1, 0.2, 3.0, fast=True)
        qd.dataframe_pos_from_lla("WGS84", df, fast=True)
        qd.lla_from_pos("WGS84", r, True)  # type: ignore[call-arg]
        qd.lla_from_pos(6378137.0, r)  # type: ignore[arg-type]
        qd.lla_from_pos("WGS84", [1.0, 2.0, 3.0])  # type: ignore[arg-type]
        bad: np.ndarray[tuple[int], np.dtype[np.float64]] = lla  # type: ignore[assignment]
    """
    (tmp_path / "use.py").write_text(textwrap.dedent(use))
    for command in (
        ["mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "c"), "use.py"],
        ["mypy.stubtest", "--mypy-config-file", os.devnull, "quorvane.mathtools.ellipsoid.dask"],
    ):
        done = subprocess.run(
            [sys.executable, "-m", *command],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            check=False,
        )
        assert done.returncode == 0, done.stdout + done.stderr


def test_a_conversion_of_latitudes_takes_its_kinds():
    lat = np.linspace(-1.5, 1.5, 1000)
    lazy = qd.latitudes_convert(WGS84, da.from_array(lat, chunks=300), "authalic", "reduced")
    assert same(lazy.compute(), latitudes.convert(WGS84, lat, "authalic", "parametric"))
    with pytest.raises(ValueError, match="^target: unknown latitude kind 'isometric'"):
        qd.latitudes_convert(WGS84, lat, "geodetic", "isometric")
