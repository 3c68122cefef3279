"""The quorvane-ellipsoid command-line tool, end to end."""

import bz2
import contextlib
import functools
import gzip
import io
import itertools
import lzma
import math
import os
import pathlib
import shutil
import subprocess
import sys
import time

import numpy as np
import pytest

ext = pytest.importorskip("quorvane.mathtools.ellipsoid.ellipsoid")

from helpers import SANITIZED, observed, same

from quorvane.mathtools.ellipsoid import catalogue, cli, latitudes

WGS84 = catalogue.get("WGS84")
RNG = np.random.default_rng(20240514)


def run(capsys, monkeypatch, *argv, stdin=b""):
    """Run the tool in this process; return (exit status, stdout, stderr)."""
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def table(text):
    """Header and float columns of CSV text."""
    lines = text.splitlines()
    header = lines[0].split(",")
    values = np.array([[float(v) for v in line.split(",")] for line in lines[1:]])
    return header, values.reshape(-1, len(header))


def csv_text(header, *columns):
    rows = [",".join(header)]
    rows += [",".join(repr(float(v)) for v in row) for row in zip(*columns, strict=True)]
    return ("\n".join(rows) + "\n").encode()


def textbook_ecef(lat, lon, alt, Re, f):
    e2 = f * (2 - f)
    n = Re / np.sqrt(1 - e2 * np.sin(lat) ** 2)
    return np.column_stack(
        [
            (n + alt) * np.cos(lat) * np.cos(lon),
            (n + alt) * np.cos(lat) * np.sin(lon),
            (n * (1 - e2) + alt) * np.sin(lat),
        ]
    )


def random_lla(n):
    lat = RNG.uniform(-1.5, 1.5, n)
    lon = RNG.uniform(-math.pi, math.pi, n)
    alt = RNG.uniform(-5e3, 4e7, n)
    return lat, lon, alt


# --------------------------------------------------------------------------------------------
# Conversions


@pytest.mark.parametrize("degrees", [False, True], ids=["radians", "degrees"])
@pytest.mark.parametrize(
    ("options", "Re", "f"),
    [
        ((), 6378137.0, 1 / 298.257223563),
        (("--ellipsoid", "bessel"), 6377397.155, 1 / 299.1528128),
        (("--re", 2.0, "--f", "1/4"), 2.0, 0.25),
    ],
    ids=["default", "named", "re-f"],
)
def test_round_trip_ecef_then_lla(capsys, monkeypatch, tmp_path, degrees, options, Re, f):
    lat, lon, alt = random_lla(500)
    if Re < 10:
        alt = alt * 1e-6
    unit = np.degrees if degrees else (lambda a: a)
    flag = ("--degrees",) if degrees else ()
    src = tmp_path / "lla.csv"
    src.write_bytes(csv_text(["lat", "lon", "alt"], unit(lat), unit(lon), alt))

    status, out, err = run(capsys, monkeypatch, "ecef", *flag, *options, src)
    assert (status, err) == (0, "")
    header, xyz = table(out)
    assert header == ["x", "y", "z"]
    np.testing.assert_allclose(xyz, textbook_ecef(lat, lon, alt, Re, f), rtol=0, atol=1e-6 * Re)

    status, out, err = run(capsys, monkeypatch, "lla", *flag, *options, stdin=out.encode())
    assert (status, err) == (0, "")
    header, back = table(out)
    assert header == ["lat", "lon", "alt"]
    back_rad = np.radians(back[:, :2]) if degrees else back[:, :2]
    assert np.max(np.abs(back_rad[:, 0] - lat)) < 1e-9
    assert np.max(np.abs(back_rad[:, 1] - lon)) < 1e-9
    assert np.max(np.abs(back[:, 2] - alt)) < 1e-4 * max(1.0, Re / 6.4e6)


def test_sphere(capsys, monkeypatch):
    xyz = RNG.normal(0, 7e6, (50, 3))
    stdin = csv_text(["x", "y", "z"], *xyz.T)
    status, out, _ = run(capsys, monkeypatch, "lla", "--re", 6371000, "--f", 0, stdin=stdin)
    assert status == 0
    _, lla = table(out)
    rho = np.hypot(xyz[:, 0], xyz[:, 1])
    np.testing.assert_allclose(lla[:, 0], np.arctan2(xyz[:, 2], rho), rtol=0, atol=1e-12)
    np.testing.assert_allclose(lla[:, 2], np.linalg.norm(xyz, axis=1) - 6371000, atol=1e-6)


def test_output_is_the_exact_double_of_the_module(capsys, monkeypatch):
    lat, lon, alt = random_lla(200)
    r = WGS84.pos_from_lla(lat, lon, alt)
    status, out, _ = run(capsys, monkeypatch, "lla", stdin=csv_text(["x", "y", "z"], *r.T))
    assert status == 0
    expected = WGS84.lla_from_pos(r)
    _, got = table(out)
    for k, name in enumerate(("lat", "lon", "alt")):
        assert np.array_equal(got[:, k], expected[name]), name


def test_float_format_rounds_results_only(capsys, monkeypatch):
    stdin = b"name,x,y,z\nA,6378137,0,0\nB,0,6378237.5,0\n"
    argv = ("lla", "--degrees", "--keep", "name", "--float-format", ".3f")
    status, out, _ = run(capsys, monkeypatch, *argv, stdin=stdin)
    assert status == 0
    assert out == "name,lat,lon,alt\nA,0.000,0.000,0.000\nB,0.000,90.000,100.500\n"


def test_sample_track_gives_the_flight_it_was_made_from(capsys, monkeypatch):
    with cli.sample_path(cli.SAMPLE_TRACK) as path:
        argv = ("lla", "--degrees", "--keep", "time", path)
        status, out, err = run(capsys, monkeypatch, *argv)
    assert (status, err) == (0, "")
    lines = out.splitlines()
    assert lines[0] == "time,lat,lon,alt"
    assert len(lines) == 21
    first = lines[1].split(",")
    # The first fix was made from 47.4583 N, 8.5481 E, 432 m and rounded to the millimetre.
    assert first[0] == "2024-05-14T09:30:00Z"
    assert float(first[1]) == pytest.approx(47.4583, abs=1e-8)
    assert float(first[2]) == pytest.approx(8.5481, abs=1e-8)
    assert float(first[3]) == pytest.approx(432.0, abs=1e-3)
    alts = [float(line.split(",")[3]) for line in lines[1:]]
    assert all(b > a for a, b in itertools.pairwise(alts)), "the aircraft climbs"


def test_demo_prints_both_tables(capsys, monkeypatch):
    status, out, err = run(capsys, monkeypatch, "demo")
    assert (status, err) == (0, "")
    assert "2024-05-14T09:33:10Z" in out
    assert "47.4583000" in out
    assert "Table Mountain" in out
    balloon = next(line for line in out.splitlines() if "balloon overhead" in line)
    assert balloon.split()[-2:] == ["90.000", "30.000"]  # straight up, 30 km
    assert "quorvane-ellipsoid lla --degrees" in out


def test_aer_with_one_observer(capsys, monkeypatch):
    lat0, lon0, alt0 = math.radians(45.0), math.radians(7.0), 200.0
    frame = WGS84.enu(lat0, lon0)[0]
    r0 = WGS84.pos_from_lla(lat0, lon0, alt0)
    targets = np.array(
        [
            r0 + 1000 * frame["u_north"],
            r0 + 1000 * frame["u_east"],
            r0 - 1000 * frame["u_east"],
            r0 + 1000 * frame["u_up"],
        ]
    )
    stdin = csv_text(["x", "y", "z"], *targets.T)
    argv = ("aer", "--degrees", "--observer", 45, 7, 200)
    status, out, _ = run(capsys, monkeypatch, *argv, stdin=stdin)
    assert status == 0
    header, aer = table(out)
    assert header == ["azimuth", "elevation", "range"]
    az = np.where(aer[:, 0] > 359, aer[:, 0] - 360, aer[:, 0])  # 0 from either side
    np.testing.assert_allclose(az, [0, 90, 270, az[3]], atol=1e-6)
    np.testing.assert_allclose(aer[:, 1], [0, 0, 0, 90], atol=1e-6)
    np.testing.assert_allclose(aer[:, 2], 1000, rtol=1e-12)
    # Negative option values and compass azimuths.
    argv = ("aer", "--degrees", "--positive-azimuth", "--observer", 45, 7, 200)
    status, out, _ = run(capsys, monkeypatch, *argv, stdin=stdin)
    assert table(out)[1][2, 0] == pytest.approx(270.0, abs=1e-6)


def test_aer_observer_per_row_matches_separate_calls(capsys, monkeypatch):
    observers = np.array([[0.8, 0.1, 0.0], [-0.5, 2.0, 3000.0], [0.8, 0.1, 0.0], [1.2, -3, 10]])
    rows = observers[RNG.integers(0, 4, 50)]
    targets = RNG.normal(0, 1e7, (50, 3))
    stdin = csv_text(["obs_lat", "obs_lon", "obs_alt", "x", "y", "z"], *rows.T, *targets.T)
    status, out, _ = run(capsys, monkeypatch, "aer", "--chunk-rows", 7, stdin=stdin)
    assert status == 0
    _, got = table(out)
    for k in range(50):
        expected = observed(WGS84.aer_coords(targets[k], *rows[k]))
        assert list(got[k]) == [expected["azimuth"], expected["elevation"], expected["range"]]


def _columns(result):
    if result.dtype.names:
        return np.column_stack([result[name] for name in result.dtype.names])
    return result


@pytest.mark.parametrize("command", ["lla", "ecef", "aer", "enu-from-ecef"])
def test_fast_gives_the_fast_functions_bits_near_the_exact_output(capsys, monkeypatch, command):
    """--fast runs the fast function (its bits), within its bounds of the exact output."""
    from quorvane.mathtools.ellipsoid import fast, frames

    lat, lon, alt = random_lla(300)
    xyz = WGS84.pos_from_lla(lat, lon, alt)
    obs = (RNG.uniform(-1.5, 1.5, 300), RNG.uniform(-3, 3, 300), RNG.uniform(0, 1e4, 300))
    if command == "ecef":
        stdin, args = csv_text(["lat", "lon", "alt"], lat, lon, alt), (lat, lon, alt)
        api, exact = fast.pos_from_lla, WGS84.pos_from_lla
    elif command == "lla":
        stdin, args = csv_text("xyz", *xyz.T), (xyz,)
        api, exact = fast.lla_from_pos, WGS84.lla_from_pos
    else:  # observers row by row
        stdin = csv_text(["obs_lat", "obs_lon", "obs_alt", "x", "y", "z"], *obs, *xyz.T)
        args = (xyz, *obs)
        api = fast.aer_coords if command == "aer" else fast.enu_from_pos
        exact = functools.partial(frames.enu_from_pos, WGS84)
        if command == "aer":  # the method takes one observer at a time
            exact = lambda r, *o: np.concatenate(
                [WGS84.aer_coords(r[k], *(c[k] for c in o)) for k in range(len(r))]
            )
    argv = (command, "--fast", "--chunk-rows", 128)
    status, out, _ = run(capsys, monkeypatch, *argv, stdin=stdin)
    assert status == 0
    got = table(out)[1]
    assert same(got, _columns(api(WGS84, *args)))
    expected = _columns(exact(*args))
    unit = np.finfo(float).eps * np.maximum(WGS84.Re, np.linalg.norm(xyz, axis=1))
    if command in ("lla", "aer"):  # angles: within 3e-14 rad; the length within 16 units
        turned = np.remainder(got[:, :2] - expected[:, :2] + np.pi, 2 * np.pi) - np.pi
        assert np.max(np.abs(turned)) <= 3e-14
        assert np.max(np.abs(got[:, 2] - expected[:, 2]) / unit) <= 16
    else:
        assert np.max(np.abs(got - expected) / unit[:, None]) <= 6


def test_enu_columns(capsys, monkeypatch):
    lat = RNG.uniform(-1.5, 1.5, 20)
    lon = RNG.uniform(-3, 3, 20)
    status, out, _ = run(capsys, monkeypatch, "enu", stdin=csv_text(["lat", "lon"], lat, lon))
    assert status == 0
    header, got = table(out)
    assert header[:3] == ["east_x", "east_y", "east_z"] and header[-1] == "up_z"
    frames = WGS84.enu(lat, lon)
    expected = np.hstack([frames["u_east"], frames["u_north"], frames["u_up"]])
    assert np.array_equal(got, expected)


def test_ray_hits_misses_and_per_row_origins(capsys, monkeypatch):
    stdin = b"ux,uy,uz\n-1,0,0\n-2,0,0\n0,1,0\n"
    status, out, _ = run(capsys, monkeypatch, "ray", "--origin", 7e6, 0, 0, stdin=stdin)
    assert status == 0
    _, xyz = table(out)
    np.testing.assert_array_equal(xyz[0], [6378137.0, 0, 0])
    np.testing.assert_array_equal(xyz[1], [6378137.0, 0, 0])
    assert np.isnan(xyz[2]).all()  # the line misses
    stdin = b"ox,oy,oz,ux,uy,uz\n7e6,0,0,-1,0,0\n0,0,7e6,0,0,-1\n7e6,0,0,-1,0,0\n"
    status, out, _ = run(capsys, monkeypatch, "ray", stdin=stdin)
    _, xyz = table(out)
    np.testing.assert_allclose(xyz, [[6378137, 0, 0], [0, 0, WGS84.Rp], [6378137, 0, 0]])


def test_column_names_aliases_and_keep(capsys, monkeypatch):
    stdin = b"id, Latitude ,LONGITUDE,height,note\n1,0,0,10,a\n2,0,90,0,b\n"
    status, out, _ = run(capsys, monkeypatch, "ecef", "--degrees", "-k", "*", stdin=stdin)
    assert status == 0
    assert out.splitlines()[0] == "id,note,x,y,z"
    assert out.splitlines()[2].startswith("2,b,")
    stdin = b"p,q,r,s\n0,0,0,x\n"
    argv = ("ecef", "--columns", "q,r,p", "--keep", "s")
    status, out, _ = run(capsys, monkeypatch, *argv, stdin=stdin)
    assert out == "s,x,y,z\nx,6378137,0,0\n"  # the shortest text of each double


def test_chunk_size_does_not_change_the_output(capsys, monkeypatch, tmp_path):
    lat, lon, alt = random_lla(100)
    src = tmp_path / "in.csv"
    src.write_bytes(csv_text(["lat", "lon", "alt"], lat, lon, alt) + b"\n\n# trailing comment\n")
    outputs = []
    for rows in (1, 7, 100, 65536):
        status, out, _ = run(capsys, monkeypatch, "ecef", "--chunk-rows", rows, src)
        assert status == 0
        outputs.append(out)
    assert len(outputs[0].splitlines()) == 101
    assert all(o == outputs[0] for o in outputs)


def test_file_and_standard_streams_give_the_same_bytes(capsys, monkeypatch, tmp_path):
    data = csv_text(["x", "y", "z"], *RNG.normal(0, 7e6, (30, 3)).T)
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    dst = tmp_path / "out.csv"
    assert run(capsys, monkeypatch, "lla", src, "-o", dst)[:2] == (0, "")
    _, out, _ = run(capsys, monkeypatch, "lla", "-", stdin=data)
    assert dst.read_text() == out
    umask = os.umask(0o22)
    os.umask(umask)
    assert dst.stat().st_mode & 0o777 == 0o666 & ~umask  # not the temporary file's 0o600


def test_header_only_input_gives_header_only_output(capsys, monkeypatch):
    assert run(capsys, monkeypatch, "lla", stdin=b"x,y,z\n") == (0, "lat,lon,alt\n", "")


def test_nan_in_gives_nan_out(capsys, monkeypatch):
    status, out, _ = run(capsys, monkeypatch, "ecef", stdin=b"lat,lon,alt\nnan,0,0\n")
    assert status == 0
    assert out.splitlines()[1] == "nan,nan,nan"


# --------------------------------------------------------------------------------------------
# Bad input: exit status 1 and the file, line and column named; nothing written to --output.

BAD_INPUT = [
    ("lla", b"x,y,z\n1,2,3\n4,abc,6\n", (), "line 3, column 'y': 'abc' is not a number"),
    ("lla", b"x,y,z\n1,2,3\n4,,6\n", (), "line 3, column 'y': empty value"),
    ("lla", b"x,y,z\n1,2,3\n4,5\n", (), "line 3: expected 3 fields as in the header, found 2"),
    ("lla", b"x,y,z\n1,2,3,4\n", (), "line 2: expected 3 fields as in the header, found 4"),
    ("lla", b'x,y,z\n1,2,3\n"4,5,6\n', (), "line 3: malformed CSV"),
    ("lla", b"x,y,z\n1,2,3\n\xff,2,3\n", (), r"line 3, column 'x': b'\xff' (not UTF-8)"),
    ("lla", b"x,y\n1,2\n", (), "line 1: no column for z (tried z, ecef_z;"),
    ("lla", b"x,y,Z,z\n1,2,3,4\n", (), "line 1: column 'z' appears 2 times"),
    ("lla", b"x,y,z\n1,2,3\n", ("--columns", "x,y,w"), "line 1: no column 'w'"),
    ("lla", b"x,y,z\n1,2,3\n", ("--keep", "id"), "line 1: no column 'id'"),
    ("lla", b"", (), "empty input: expected a header line"),
    ("lla", b"# only a comment\n\n", (), "empty input: expected a header line"),
    (
        "ecef",
        b"# c\nlat,lon,alt\n0,0,0\n45,0,0\n",
        (),
        (
            "line 4, column 'lat': latitude 45.0 is outside [-pi/2, pi/2] radians "
            "(for angles in degrees add --degrees)"
        ),
    ),
    (
        "ecef",
        b"lat,lon,alt\n-90.5,0,0\n",
        ("--degrees",),
        "line 2, column 'lat': latitude -90.5 is outside [-90, 90] degrees",
    ),
    (
        "aer",
        b"obs_lat,obs_lon,obs_alt,x,y,z\n0,0,0,1,2,3\n2,0,0,1,2,3\n",
        (),
        "line 3, column 'obs_lat': latitude 2.0 is outside",
    ),
]


@pytest.mark.parametrize(("command", "data", "options", "message"), BAD_INPUT)
def test_bad_input_is_reported_with_file_line_and_column(
    capsys, monkeypatch, tmp_path, command, data, options, message
):
    src = tmp_path / "bad.csv"
    src.write_bytes(data)
    dst = tmp_path / "out.csv"
    status, out, err = run(capsys, monkeypatch, command, *options, src, "-o", dst)
    assert status == 1
    assert out == ""
    assert err.startswith(f"quorvane-ellipsoid {command}: error: {src}")
    assert message in err
    assert err.count("\n") == 1
    assert not dst.exists()
    assert [p.name for p in tmp_path.iterdir()] == ["bad.csv"]  # no temporary file left

    # The same input on standard input is named <stdin>; nothing reaches standard output.
    status, out, err = run(capsys, monkeypatch, command, *options, stdin=data)
    assert (status, out) == (1, "")
    assert err.startswith(f"quorvane-ellipsoid {command}: error: <stdin>")


def test_bad_row_in_a_later_chunk_leaves_an_existing_output_untouched(
    capsys, monkeypatch, tmp_path
):
    src = tmp_path / "in.csv"
    src.write_bytes(b"x,y,z\n" + b"7e6,0,0\n" * 10 + b"7e6,0,zero\n")
    dst = tmp_path / "out.csv"
    dst.write_text("previous results\n")
    status, _, err = run(capsys, monkeypatch, "lla", "--chunk-rows", 4, src, "-o", dst)
    assert status == 1
    assert "line 12, column 'z': 'zero' is not a number" in err
    assert dst.read_text() == "previous results\n"
    # On standard output only whole good chunks come before the error.
    status, out, _ = run(capsys, monkeypatch, "lla", "--chunk-rows", 4, src)
    assert status == 1
    assert len(out.splitlines()) == 1 + 8


USAGE_ERRORS = [
    (("lla", "-e", "nosuch"), "unknown ellipsoid 'nosuch'; known ellipsoids: WGS84, GRS80"),
    (("lla", "--re", "6e6"), "--re and --f must be given together"),
    (("lla", "-e", "wgs84", "--re", "6e6", "--f", "0.01"), "give --ellipsoid or --re and --f"),
    (("lla", "--re", "-1", "--f", "0.01"), "--re must be a positive number"),
    (("lla", "--re", "6e6", "--f", "1"), "--f must be in [0, 1)"),
    (("aer",), "aer needs --observer or input columns obs_lat, obs_lon, obs_alt"),
    (("aer", "--observer", "0", "0", "0", "--observer-columns", "a,b,c"), "not both"),
    (("aer", "--observer", "2", "0", "0"), "latitude 2.0 is out of range"),
    (("aer", "--observer", "0", "nan", "0"), "not a finite number"),
    (("lla", "--columns", "x,y"), "--columns takes 3 comma-separated column names"),
    (("lla", "/no/such/file.csv"), "cannot read '/no/such/file.csv'"),
    (("lla", "-o", "/no/such/dir/out.csv"), "cannot write '/no/such/dir/out.csv'"),
]


@pytest.mark.parametrize(("argv", "message"), USAGE_ERRORS)
def test_usage_errors_exit_with_status_2(capsys, monkeypatch, argv, message):
    status, out, err = run(capsys, monkeypatch, *argv, stdin=b"x,y,z\n1,2,3\n")
    assert (status, out) == (2, "")
    assert message in err


def test_without_the_cli_extra_the_tool_says_how_to_install_it(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    status, out, err = run(capsys, monkeypatch, "lla", stdin=b"x,y,z\n1,2,3\n")
    assert (status, out) == (2, "")
    assert "pip install 'quorvane-ellipsoid[cli]'" in err


@pytest.mark.parametrize(
    "argv",
    [
        ("lla", "--chunk-rows", "0"),
        ("lla", "--float-format", "%d"),
        ("lla", "--f", "1/0"),
        ("aer", "--observer", "1_0", "0", "0"),
        ("ray", "--origin", "7e6", "0", "1e999"),
        ("lla", "--progress", "sometimes"),
        ("nosuchcommand",),
    ],
)
def test_bad_option_values_are_refused_by_the_parser(capsys, argv):
    with pytest.raises(SystemExit) as info:
        cli.main(argv)
    assert info.value.code == 2
    assert "error:" in capsys.readouterr().err


@pytest.mark.parametrize("command", [*cli.SUBCOMMANDS, "demo", "ellipsoids"])
def test_every_subcommand_has_help_with_an_example(capsys, command):
    with pytest.raises(SystemExit) as info:
        cli.main([command, "--help"])
    assert info.value.code == 0
    text = capsys.readouterr().out
    assert f"usage: quorvane-ellipsoid {command}" in text
    assert f"example:\n  quorvane-ellipsoid {command}" in text


SUBCOMMANDS = [pytest.param(sub, id=sub.name) for sub in cli.SUBCOMMANDS.values()]


@pytest.mark.parametrize("sub", SUBCOMMANDS)
def test_each_subcommand_reads_the_inputs_of_its_registry_entry(sub):
    """The table's columns are those of the entry's inputs (three for a 3-vector), the option
    of a parameter takes one number per column, and the outputs fill the entry's records."""
    op = sub.operation
    assert list(sub.columns) == [i.name for i in op.inputs + op.keywords]
    for i in op.inputs + op.keywords:
        assert len(sub.columns[i.name]) == (3 if i.unit == "vector" else 1), i.name
    if sub.parameter is not None:
        assert set(sub.parameter.inputs) <= set(sub.columns)
        assert len(sub.parameter.metavar) == len(sub.parameter_columns)
    if not op.output.typed:
        assert len(sub.outputs) == op.output.width
    else:  # the UTM grid: a column per field of its records, or one of MGRS codes
        dtype = op.output.dtype
        assert len(sub.outputs) == (len(dtype.names) if dtype is not None else 1)


@pytest.mark.parametrize("sub", SUBCOMMANDS)
def test_fast_runs_where_the_registry_has_a_vectorised_kernel_and_is_refused_elsewhere(
    capsys, monkeypatch, sub
):
    columns = [aliases[0] for aliases in (*sub.data_columns, *sub.parameter_columns)]
    # 1 is a zone, a hemisphere (true), an angle and a length alike; a geometry is WKT.
    one = "POINT (1 1)" if sub.geometries else "1"
    stdin = f"{','.join(columns)}\n{','.join(one for _ in columns)}\n".encode()
    kinds = ["--from", "geodetic", "--to", "authalic"] if sub.kinds else []
    status, out, err = run(capsys, monkeypatch, sub.name, *kinds, "--fast", stdin=stdin)
    if sub.operation.fast is not None:
        assert (status, err) == (0, "")
        assert out.splitlines()[0] == ",".join(sub.outputs)
    else:
        assert (status, out) == (2, "")
        assert err.startswith(
            f"quorvane-ellipsoid {sub.name}: error: --fast: {sub.name} has no vectorised kernel"
        )


# --------------------------------------------------------------------------------------------
# As a separate process.


def tool(*argv, **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "quorvane.mathtools.ellipsoid", *map(str, argv)],
        capture_output=True,
        check=False,
        **kwargs,
    )


def test_module_entry_point_and_exit_status():
    done = tool("ecef", "--degrees", input=b"lat,lon,alt\n0,90,0\n")
    assert (done.returncode, done.stderr) == (0, b"")
    header, xyz = table(done.stdout.decode())
    assert header == ["x", "y", "z"]
    np.testing.assert_allclose(xyz, [[0, 6378137, 0]], atol=1e-9)
    done = tool("ecef", input=b"lat,lon,alt\n0,x,0\n")
    assert done.returncode == 1
    assert done.stderr == b"quorvane-ellipsoid ecef: error: <stdin>, line 2, column 'lon': " + (
        b"'x' is not a number\n"
    )


def console_script():
    """The installed script: beside the interpreter running the tests, else on PATH."""
    beside = pathlib.Path(sys.executable).with_name("quorvane-ellipsoid")
    return str(beside) if beside.exists() else shutil.which("quorvane-ellipsoid")


@pytest.mark.skipif(console_script() is None, reason="console script absent")
def test_console_script():
    done = subprocess.run([console_script(), "ellipsoids"], capture_output=True, check=True)
    assert done.stdout.startswith(b"name")
    assert b"Krassovsky1940" in done.stdout


@pytest.mark.parametrize("mode", ["always", "auto", "never"])
def test_progress_bar_only_on_standard_error(tmp_path, mode):
    pytest.importorskip("tqdm")
    src = tmp_path / "in.csv"
    src.write_bytes(b"x,y,z\n" + b"7000000,1,2\n" * 2000)
    done = tool("lla", "--progress", mode, "--chunk-rows", 500, src)
    assert done.returncode == 0
    assert len(done.stdout.splitlines()) == 2001
    if mode == "always":
        assert b"100%" in done.stderr
    else:  # standard error is a pipe here, not a terminal
        assert done.stderr == b""


def test_broken_pipe_is_quiet(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"x,y,z\n" + b"7000000,1,2\n" * 200_000)
    cmd = [sys.executable, "-m", "quorvane.mathtools.ellipsoid", "lla", str(src)]
    with subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        assert proc.stdout is not None and proc.stderr is not None
        proc.stdout.readline()
        proc.stdout.close()
        err = proc.stderr.read()
    assert proc.returncode == 1
    assert err == b""


@pytest.mark.slow
def test_million_rows_in_bounded_memory(tmp_path):
    # 1000 distinct points repeated 1000 times: the output must repeat with the same period.
    lat, lon, alt = random_lla(1000)
    r = WGS84.pos_from_lla(lat, lon, alt)
    block = csv_text(["x", "y", "z"], *r.T).split(b"\n", 1)[1]
    src = tmp_path / "big.csv"
    with src.open("wb") as fh:
        fh.write(b"x,y,z\n")
        for _ in range(1000):
            fh.write(block)
    dst = tmp_path / "big_lla.csv"
    cmd = [sys.executable, "-m", "quorvane.mathtools.ellipsoid", "lla", str(src), "-o", str(dst)]
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    # The child's own high-water mark (VmHWM starts afresh at exec; ru_maxrss of a
    # child also counts the memory of this process at the fork).
    peak_kib = 0
    while proc.poll() is None:
        with contextlib.suppress(OSError, ValueError, IndexError):  # gone, or a zombie
            status = pathlib.Path(f"/proc/{proc.pid}/status").read_text()
            peak_kib = max(peak_kib, int(status.split("VmHWM:")[1].split()[0]))
        time.sleep(0.02)
    elapsed = time.monotonic() - start
    assert proc.stderr is not None
    with proc.stderr:
        assert proc.returncode == 0, proc.stderr.read()
    peak_mib = peak_kib / 1024
    size_mib = src.stat().st_size / 2**20
    print(f"1e6 rows ({size_mib:.0f} MiB): {elapsed:.1f} s, peak RSS {peak_mib:.0f} MiB")
    assert peak_mib < 250, "the input is not streamed"  # pyarrow alone takes about 70 MiB
    assert elapsed < 60
    with dst.open() as fh:
        assert fh.readline() == "lat,lon,alt\n"
        first = [fh.readline() for _ in range(1000)]
        expected = WGS84.lla_from_pos(r)
        _, got = table("lat,lon,alt\n" + "".join(first))
        assert np.array_equal(got[:, 0], expected["lat"])
        assert np.array_equal(got[:, 2], expected["alt"])
        count = 1001
        for k, line in enumerate(fh):
            assert line == first[k % 1000]
            count += 1
    assert count == 1_000_001


# --------------------------------------------------------------------------------------------
# Output targets, signals and terminals.

SMALL = b"x,y,z\n7e6,0,0\n0,7e6,1\n"


def _read_fifo(path, into):
    with open(path, "rb") as fh:
        into.append(fh.read())


@pytest.mark.parametrize("kind", ["symlink", "fifo", "chardev", "mode640"])
def test_output_target_kinds_are_written_through(capsys, monkeypatch, tmp_path, kind):
    import stat
    import threading

    expected = run(capsys, monkeypatch, "lla", stdin=SMALL)[1].encode()
    dst = tmp_path / "out"
    real = tmp_path / "real.csv"
    received = []
    reader = None
    if kind == "symlink":
        real.write_bytes(b"old\n")
        dst.symlink_to(real.name)
    elif kind == "fifo":
        os.mkfifo(dst)
        reader = threading.Thread(target=_read_fifo, args=(dst, received))
        reader.start()
    elif kind == "chardev":
        if os.geteuid() != 0:
            pytest.skip("mknod of a device needs root")
        null = os.stat("/dev/null").st_rdev
        os.mknod(dst, 0o666 | stat.S_IFCHR, null)
    else:
        dst.write_bytes(b"old\n")
        dst.chmod(0o640)
    before = os.lstat(dst)
    assert run(capsys, monkeypatch, "lla", "-o", dst, stdin=SMALL) == (0, "", "")
    after = os.lstat(dst)
    assert stat.S_IFMT(after.st_mode) == stat.S_IFMT(before.st_mode)
    assert stat.S_IMODE(after.st_mode) == stat.S_IMODE(before.st_mode)
    if kind == "symlink":
        assert real.read_bytes() == expected
    elif kind == "fifo":
        reader.join(10)
        assert received == [expected]
    elif kind == "chardev":
        assert after.st_rdev == before.st_rdev and after.st_ino == before.st_ino
    else:
        assert dst.read_bytes() == expected
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["out", "real.csv"] if kind == "symlink" else ["out"]
    )


@pytest.mark.parametrize("signame", ["SIGINT", "SIGTERM", "SIGHUP"])
def test_signals_leave_the_directory_as_it_was(tmp_path, signame):
    import signal

    dst = tmp_path / "out.csv"
    dst.write_bytes(b"previous results\n")
    cmd = [sys.executable, "-m", "quorvane.mathtools.ellipsoid", "lla", "-o", str(dst)]
    with subprocess.Popen(cmd, stdin=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        proc.stdin.write(b"x,y,z\n" + b"7e6,0,0\n" * 1000)
        proc.stdin.flush()
        deadline = time.monotonic() + 30
        while len(list(tmp_path.iterdir())) < 2 and time.monotonic() < deadline:
            time.sleep(0.02)  # until the output is open
        assert len(list(tmp_path.iterdir())) == 2
        proc.send_signal(getattr(signal, signame))
        # Input stays open: the signal alone must end the run, however it is delivered.
        proc.wait(timeout=60)
        err = proc.stderr.read()
        proc.stdin.close()
    assert proc.returncode == 128 + getattr(signal, signame), err
    assert err == b""
    assert [p.name for p in tmp_path.iterdir()] == ["out.csv"]
    assert dst.read_bytes() == b"previous results\n"


@pytest.mark.parametrize("columns", [0, 1, 2, 80])
def test_terminals_of_any_width(tmp_path, columns):
    import fcntl
    import pty
    import struct
    import termios

    src = tmp_path / "in.csv"
    src.write_bytes(SMALL)
    runs = [
        (["--help"], b"usage: quorvane-ellipsoid"),
        (["lla", "--help"], b"usage: quorvane-ellipsoid lla"),
        (["--version"], b"quorvane-ellipsoid 0"),
        (["lla", "--progress", "always", src], b"lat,lon,alt"),
    ]
    for argv, marker in runs:
        main, child = pty.openpty()
        fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        cmd = [sys.executable, "-m", "quorvane.mathtools.ellipsoid", *map(str, argv)]
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=child, stderr=child)
        os.close(child)
        text = b""
        with contextlib.suppress(OSError):  # EIO once the child has gone
            while chunk := os.read(main, 65536):
                text += chunk
        os.close(main)
        assert proc.wait(30) == 0, text
        assert b"Traceback" not in text
        assert marker in text


# --------------------------------------------------------------------------------------------
# File formats.


def _write_input(path, kind, xyz):
    import pyarrow as pa
    import pyarrow.parquet as pq
    from pyarrow import feather

    table = pa.table({"id": [f"p{k}" for k in range(len(xyz))], **dict(zip("xyz", xyz.T))})
    if kind == "parquet-dir":
        path.mkdir()
        pq.write_table(table.slice(0, 40), path / "part-0.parquet")
        pq.write_table(table.slice(40), path / "part-1.parquet")
    elif kind == "parquet":
        pq.write_table(table, path, row_group_size=50)
    elif kind == "arrow":
        feather.write_feather(table, path, chunksize=30)
    else:
        sep = "\t" if kind == "tsv" else ","
        text = f"id{sep}x{sep}y{sep}z\n" + "".join(
            f"p{k}{sep}{a!r}{sep}{b!r}{sep}{c!r}\n" for k, (a, b, c) in enumerate(xyz.tolist())
        )
        data = text.encode()
        path.write_bytes(gzip.compress(data) if kind == "gz" else data)


def _read_output(path, kind):
    import pyarrow as pa
    import pyarrow.csv as pacsv
    import pyarrow.parquet as pq

    if kind.startswith("parquet"):
        return pq.read_table(path)
    if kind == "arrow":
        return pa.ipc.open_file(path).read_all()
    options = pacsv.ParseOptions(delimiter="\t" if kind == "tsv" else ",")
    return pacsv.read_csv(path, parse_options=options)


@pytest.mark.parametrize(
    ("kind", "name"),
    [
        ("csv", "in.csv"),
        ("tsv", "in.tab"),
        ("gz", "in.csv.gz"),
        ("parquet", "in.parquet"),
        ("parquet-dir", "in"),
        ("arrow", "in.feather"),
    ],
)
def test_formats_give_the_doubles_of_the_api(tmp_path, kind, name):
    pytest.importorskip("pyarrow")
    xyz = WGS84.pos_from_lla(*random_lla(100))
    xyz[3] = [0.0, 0.0, 0.0]  # NaN latitude at the centre
    src = tmp_path / name
    _write_input(src, kind, xyz)
    out_name = {"parquet-dir": "out.parquet", "gz": "out.csv.gz", "tsv": "out.tsv"}.get(
        kind, name.replace("in", "out")
    )
    dst = tmp_path / out_name
    done = tool("lla", "--keep", "id", "--chunk-rows", 32, src, "-o", dst)
    assert (done.returncode, done.stderr) == (0, b"")
    got = _read_output(dst, kind)
    assert got.column_names == ["id", "lat", "lon", "alt"]
    assert got["id"].to_pylist() == [f"p{k}" for k in range(100)]
    expected = WGS84.lla_from_pos(xyz)
    for col in ("lat", "lon", "alt"):
        assert got[col].type == "double"
        assert same(got[col].to_numpy(), expected[col]), col


def test_bad_value_deep_in_a_large_csv_names_its_line(tmp_path):
    rows = 300_000
    lines = [b"x,y,z\n", b"# made by a test\n"]
    lines += [b"6378137.5,%d,12.25\n" % k for k in range(rows)]
    lines.insert(1000, b"\n")  # blank and comment lines still count
    lines.insert(200_000, b"# a comment\n")
    bad = 250_000
    lines[bad - 1] = b"6378137.5,1O,12.25\n"
    src = tmp_path / "big.csv"
    src.write_bytes(b"".join(lines))
    done = tool("lla", src, "-o", tmp_path / "out.csv")
    assert done.returncode == 1
    assert done.stderr.decode() == (
        f"quorvane-ellipsoid lla: error: {src}, line {bad}, column 'y': '1O' is not a number\n"
    )


# --------------------------------------------------------------------------------------------
# Hostile text input, clashing names and closed streams, each in a child process.

# Run the tool in a child and write the growth of its peak memory during the run (KiB) to the
# file named by QUORVANE_TEST_MEMORY.
CHILD = """
import os, sys
import pyarrow.csv  # imported before the baseline: not the run's memory
from quorvane.mathtools.ellipsoid import cli

def kib(field):
    with open("/proc/self/status") as fh:
        return int(fh.read().split(field + ":")[1].split()[0])

before = kib("VmRSS")
status = cli.main(sys.argv[1:])
with open(os.environ["QUORVANE_TEST_MEMORY"], "w") as fh:
    fh.write(str(kib("VmHWM") - before))
sys.exit(status)
"""

ROWS = b"7e6,0,0\n" * 1000
# 6 MB whose kept text holds one quote; the cutter once lost its place at such a quote and
# rejoined and rescanned all that followed, at 9 bytes of memory per byte of input.
STRAY = b"name,x,y,z\n" + b'12" pipe,7e6,0,0\n' + b"b,7e6,0,0\n" * 600_000
LONG_TEXT = b"t" * (2 << 20)

HOSTILE = {
    "a stray quote in kept text": (
        ["lla", "--keep", "name", "--chunk-rows", "2000"],
        STRAY,
        None,
        0,
        '\n"12"" pipe",0,0,',
    ),
    "a quote that is never closed": (
        ["lla", "--max-record-bytes", "1M"],
        b"x,y,z\n" + ROWS + b'"7e6,0,0\n' + ROWS * 300,
        None,
        1,
        "line 1002: a quoted field runs on past 1048576 bytes (is its quote never closed?)",
    ),
    "a field of 2 MiB": (
        ["lla", "--keep", "t"],
        b"t,x,y,z\n" + LONG_TEXT + b",7e6,0,0\n",
        None,
        0,
        LONG_TEXT.decode(),
    ),
    "a kept column named like a result": (
        ["lla", "--keep", "LAT"],
        b"x,y,z,lat\n7e6,0,0,a\n",
        None,
        2,
        "'lat' would appear more than once; keep other columns (--keep), choose other input",
    ),
    "standard output closed": (["lla"], b"x,y,z\n7e6,0,0\n", 1, 2, "standard output is closed"),
    "standard input closed": (["lla", "-"], None, 0, 2, "standard input is closed"),
    "an underscore": (
        ["lla"],
        b"x,y,z\n1,2,3\n1_0,0,0\n",
        None,
        1,
        "line 3, column 'x': '1_0' is not a number",
    ),
    "Arabic-Indic digits": (
        ["lla"],
        "x,y,z\n1,2,3\n0,١٢,0\n".encode(),
        None,
        1,
        "line 3, column 'y': '١٢' is not a number",
    ),
    "an overflow": (
        ["lla"],
        b"x,y,z\r1,2,3\r0,0,-1e999\r",
        None,
        1,
        "line 3, column 'z': '-1e999' is out of range",
    ),
    "numbers spelled out": (
        ["lla"],
        b"x,y,z\n -Infinity , 1.5e+6 ,nan\n",
        None,
        0,
        "nan,3.141592653589793,nan",
    ),
}


def _two_cpus_and_close(fd):
    """In the child: two CPUs at most (the memory of pyarrow's and the writer's threads grows
    with their number), and descriptor ``fd`` closed."""
    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:2])
    if fd is not None:
        os.close(fd)


@pytest.mark.parametrize(
    ("argv", "data", "close", "status", "expected"), HOSTILE.values(), ids=HOSTILE.keys()
)
def test_hostile_text_and_closed_streams(tmp_path, argv, data, close, status, expected):
    if data is not None:
        (tmp_path / "in.csv").write_bytes(data)
        argv = [*argv, tmp_path / "in.csv"]
    memory = tmp_path / "memory"
    done = subprocess.run(
        [sys.executable, "-c", CHILD, *map(str, argv)],
        capture_output=True,
        check=False,
        env={**os.environ, "QUORVANE_TEST_MEMORY": str(memory), "OMP_NUM_THREADS": "2"},
        preexec_fn=lambda: _two_cpus_and_close(close),
    )
    err = done.stderr.decode()
    assert done.returncode == status, err
    if status:
        assert err.count("\n") == 1 and expected in err, err
    else:
        assert err == "" and expected in done.stdout.decode("utf-8", "replace")
    # About 50 MiB on 2 threads, and 176 MiB for the stray quote when each read rescanned.
    if not SANITIZED:
        assert int(memory.read_text()) < 100 * 1024


def test_bare_cr_and_crlf_line_ends_read_as_lf(capsys, monkeypatch):
    text = b'# made by hand\nx,y,z,note\n7000000,0,0,"a\nb"\n0,7000000,0,c\n\n1,2,3,d\n'
    outputs = set()
    for end in (b"\n", b"\r\n", b"\r"):
        status, out, err = run(
            capsys, monkeypatch, "lla", "--keep", "note", stdin=text.replace(b"\n", end)
        )
        assert (status, err) == (0, "")
        outputs.add(out.replace("\r\n", "\n").replace("\r", "\n"))
    (out,) = outputs
    assert len(out.splitlines()) == 1 + 2 + 2  # the header, a note of two lines, two rows


def test_a_signal_after_the_rename_keeps_status_0(capsys, monkeypatch, tmp_path):
    import signal

    replace = os.replace

    def replace_then_signal(src, dst):
        replace(src, dst)
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            os.kill(os.getpid(), signum)

    monkeypatch.setattr(os, "replace", replace_then_signal)
    handlers = [signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)]
    dst = tmp_path / "out.csv"
    assert run(capsys, monkeypatch, "lla", "-o", dst, stdin=SMALL)[0] == 0
    assert dst.read_text().startswith("lat,lon,alt\n")
    assert [signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)] == handlers


# --------------------------------------------------------------------------------------------
# Damaged files and formats the tool cannot tell: one line, the file named.


def _table_file(path, cut=None):
    import pyarrow as pa
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"x": [7e6] * 1000, "y": [0.0] * 1000, "z": [0.0] * 1000}), path)
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2] if cut else data)


def _compressed(module, damage):
    data = bytearray(module.compress(b"x,y,z\n" + b"7e6,0,0\n" * 20_000))
    if damage == "truncated":
        return bytes(data[: len(data) // 2])
    data[-8] ^= 0xFF  # the CRC of gzip's trailer
    return bytes(data)


DAMAGED = {
    "truncated gzip": (
        "in.csv.gz",
        lambda p: p.write_bytes(_compressed(gzip, "truncated")),
        (),
        1,
        "in.csv.gz: the gzip data ends early: the file is truncated",
    ),
    "truncated bz2": (
        "in.csv.bz2",
        lambda p: p.write_bytes(_compressed(bz2, "truncated")),
        (),
        1,
        "in.csv.bz2: the bz2 data ends early",
    ),
    "truncated xz": (
        "in.csv.xz",
        lambda p: p.write_bytes(_compressed(lzma, "truncated")),
        (),
        1,
        "in.csv.xz: the xz data ends early",
    ),
    "a bad CRC": (
        "in.csv.gz",
        lambda p: p.write_bytes(_compressed(gzip, "crc")),
        (),
        1,
        "in.csv.gz: damaged gzip data: CRC check failed",
    ),
    "truncated Parquet": (
        "in.parquet",
        lambda p: _table_file(p, cut=True),
        (),
        1,
        "in.parquet: not a Parquet file, or a damaged one: Parquet magic",
    ),
    "binary input": (
        "in.csv",
        _table_file,
        (),
        1,
        "in.csv: binary data, not delimited text (it looks like Parquet: add ",
    ),
    "an unknown output extension": (
        "in.csv",
        lambda p: p.write_bytes(SMALL),
        ("-o", "out.xlsx"),
        2,
        "the extension '.xlsx' names no format; the formats are",
    ),
    "--workers on one file": (
        "in.parquet",
        _table_file,
        ("--workers", "2", "-o", "out"),
        2,
        "--workers converts a Parquet dataset, a directory of Parquet",
    ),
}


@pytest.mark.parametrize(
    ("name", "write", "options", "status", "message"), DAMAGED.values(), ids=DAMAGED.keys()
)
def test_damaged_files_and_unknown_formats(
    capsys, monkeypatch, tmp_path, name, write, options, status, message
):
    write(tmp_path / name)
    monkeypatch.chdir(tmp_path)
    if "-o" not in options:
        options = ("-o", "out.csv")
    got, out, err = run(capsys, monkeypatch, "lla", name, *options)
    assert (got, out, err.count("\n")) == (status, "", 1), err
    assert message in err
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]  # nothing written


@pytest.mark.parametrize(
    ("argv", "function"),
    [
        (
            ["latitude", "--from", "reduced", "--to", "conformal"],
            lambda lat: latitudes.convert(WGS84, lat, "parametric", "conformal", degrees=True),
        ),
        (["isometric"], lambda lat: latitudes.isometric(WGS84, lat, degrees=True)),
        (["radii"], lambda lat: latitudes.radii(WGS84, lat, degrees=True)),
        (["meridian-distance"], lambda lat: latitudes.meridian_distance(WGS84, lat, degrees=True)),
    ],
    ids=["latitude", "isometric", "radii", "meridian-distance"],
)
def test_latitude_subcommands_give_the_module_bits(capsys, monkeypatch, argv, function):
    lat = RNG.uniform(-90, 90, 50)
    status, out, _ = run(capsys, monkeypatch, *argv, "--degrees", stdin=csv_text(["lat"], lat))
    assert status == 0
    header, values = table(out)
    want = np.asarray(function(lat))
    assert header == list(want.dtype.names or ["lat" if argv[0] == "latitude" else header[0]])
    columns = [want[n] for n in want.dtype.names] if want.dtype.names else [want]
    assert all(same(values[:, k], c) for k, c in enumerate(columns))
    back = ["latitude-at-meridian-distance", "--degrees"]
    if argv[0] == "meridian-distance":
        status, out, _ = run(capsys, monkeypatch, *back, stdin=out.encode())
        assert status == 0 and np.abs(table(out)[1][:, 0] - lat).max() < 1e-12


def test_latitude_needs_known_kinds(capsys, monkeypatch):
    with pytest.raises(SystemExit) as stop:
        run(capsys, monkeypatch, "latitude", "--from", "geodetic", "--to", "psi")
    assert stop.value.code == 2 and "invalid choice: 'psi'" in capsys.readouterr().err


def test_intersect_segments_writes_inside_as_a_bool_column(capsys, monkeypatch, tmp_path):
    """The module's bits in every number column, and inside as true/false (a bool column in
    Parquet); a row without a point is not inside."""
    from quorvane.mathtools.ellipsoid import geodesic

    ends = np.array([[0, 0, 10, 10, 0, 10, 10, 0], [0, 0, 1, 1, 0, 10, 10, 0]], float)
    ends = np.vstack([ends, ends[:1] + RNG.uniform(-1, 1, (20, 8)), [[np.nan] + [0.0] * 7]])
    header = [f"{k}{p}" for p in ("1a", "1b", "2a", "2b") for k in ("lat", "lon")]
    stdin = csv_text(header, *ends.T)
    status, out, _ = run(capsys, monkeypatch, "intersect-segments", "--degrees", stdin=stdin)
    assert status == 0
    lines = [line.split(",") for line in out.splitlines()]
    want = geodesic.intersect_segments(WGS84, *ends.T, degrees=True)
    assert lines[0] == list(want.dtype.names)
    for k, name in enumerate(want.dtype.names[:-1]):
        assert same(np.array([float(row[k]) for row in lines[1:]]), want[name]), name
    inside = [row[-1] for row in lines[1:]]
    assert inside == ["true" if v == 1.0 else "false" for v in want["inside"]]
    assert inside[:2] == ["true", "false"] and inside[-1] == "false"
    pq = pytest.importorskip("pyarrow.parquet")
    (tmp_path / "in.csv").write_bytes(stdin)
    status, _, _ = run(
        capsys, monkeypatch, "intersect-segments", "--degrees", tmp_path / "in.csv",
        "-o", tmp_path / "out.parquet",
    )  # fmt: skip
    got = pq.read_table(tmp_path / "out.parquet")
    assert status == 0 and str(got.schema.field("inside").type) == "bool"
    assert got["inside"].to_pylist() == [v == "true" for v in inside]


# --------------------------------------------------------------------------------------------
# Measures of geometries: a geometry column in, the registry's geometry entries.

GEOMETRY_WKT = [
    "POLYGON ((0 0, 1 0, 1 1, 0 1, 0 0), (0.2 0.2, 0.2 0.8, 0.8 0.8, 0.8 0.2, 0.2 0.2))",
    "MULTIPOLYGON (((0 0, 1 0, 1 1, 0 1, 0 0)), ((170 10, -170 10, -170 20, 170 20, 170 10)))",
    "POLYGON EMPTY",
    None,  # an empty field in CSV, a null in Parquet
]


def _geometry_input(tmp_path, kind):
    """The geometries as a CSV of WKT, as GeoParquet (WKB, or GeoArrow's native
    multipolygons), or as Arrow IPC of a GeoArrow column named otherwise (found by its type),
    with an id column beside them."""
    shapely = pytest.importorskip("shapely")
    geoms = shapely.from_wkt(np.array(GEOMETRY_WKT, dtype=object))
    if kind == "csv":
        path = tmp_path / "shapes.csv"
        rows = [f'{k},"{w or ""}"' for k, w in enumerate(GEOMETRY_WKT)]
        path.write_text("id,geometry\n" + "\n".join(rows) + "\n")
        return path, geoms
    if kind == "arrow":
        pa = pytest.importorskip("pyarrow")
        ga = pytest.importorskip("geoarrow.pyarrow")
        from pyarrow import feather

        outline = ga.as_geoarrow(pa.array(GEOMETRY_WKT), type=ga.multipolygon())
        path = tmp_path / "shapes.arrow"
        feather.write_feather(pa.table({"id": range(len(geoms)), "outline": outline}), path)
        return path, geoms
    gpd = pytest.importorskip("geopandas")
    frame = gpd.GeoDataFrame({"id": range(len(geoms))}, geometry=list(geoms), crs=4326)
    path = tmp_path / "shapes.parquet"
    frame.to_parquet(path, geometry_encoding="geoarrow" if kind == "geoarrow" else "WKB")
    return path, geoms


@pytest.mark.parametrize("kind", ["csv", "wkb", "geoarrow", "arrow"])
@pytest.mark.parametrize(
    ("command", "function"),
    [("geometry-area", "geometry_area_perimeter"), ("geometry-length", "geometry_length")],
)
@pytest.mark.parametrize("options", [[], ["--rhumb"], ["--fast"]], ids=["", "rhumb", "fast"])
def test_geometry_subcommands_equal_the_python_call(
    capsys, monkeypatch, tmp_path, kind, command, function, options
):
    from quorvane.mathtools.ellipsoid import geodesic

    path, geoms = _geometry_input(tmp_path, kind)
    status, out, err = run(capsys, monkeypatch, command, path, "--keep", "id", *options)
    assert (status, err) == (0, "")
    header, values = table(out)
    flags = {o.removeprefix("--"): True for o in options}
    expected = np.asarray(getattr(geodesic, function)(WGS84, geoms, **flags))
    columns = expected.dtype.names or ("length",)
    assert header == ["id", *columns]
    assert values[:, 0].tolist() == [0, 1, 2, 3]
    for k, name in enumerate(columns, 1):
        assert same(values[:, k], expected if name == "length" else expected[name])
    assert np.isnan(values[2:, 1:]).all()  # the empty and the missing geometry


@pytest.mark.parametrize(
    ("kind", "where"),
    [("csv", "line 3, column 'geometry'"), ("wkb", "row 2, column 'geometry'")],
)
def test_a_malformed_geometry_is_named_by_its_row(capsys, monkeypatch, tmp_path, kind, where):
    shapely = pytest.importorskip("shapely")
    if kind == "csv":
        path = tmp_path / "bad.csv"
        path.write_text('geometry\n"POINT (1 2)"\n"POLYGON ((0 0, 1 0"\n')
    else:
        pa = pytest.importorskip("pyarrow")
        pq = pytest.importorskip("pyarrow.parquet")
        path = tmp_path / "bad.parquet"
        wkb = [shapely.to_wkb(shapely.Point(1, 2)), b"\x01\x03\x00"]
        pq.write_table(pa.table({"geometry": pa.array(wkb, pa.binary())}), path)
    status, out, err = run(capsys, monkeypatch, "geometry-area", path)
    assert (status, out) == (1, "")
    what = "WKT" if kind == "csv" else "WKB"
    assert f"{where}: " in err and f"is no geometry in {what}" in err


def test_the_geometry_column_by_name_and_without_shapely(capsys, monkeypatch, tmp_path):
    stdin = b'id,outline\n7,"LINESTRING (0 0, 0 1)"\n'
    status, out, err = run(capsys, monkeypatch, "geometry-length", stdin=stdin)
    assert (status, out) == (1, "") and "no column for geometry" in err
    argv = ["geometry-length", "--geometry-column", "outline", "--keep", "id"]
    status, out, err = run(capsys, monkeypatch, *argv, stdin=stdin)
    assert status == 0 and out.splitlines()[0] == "id,length"
    monkeypatch.setitem(sys.modules, "shapely", None)
    status, out, err = run(capsys, monkeypatch, *argv, stdin=stdin)
    assert (status, out) == (2, "")
    assert "pip install 'quorvane-ellipsoid[geometry]'" in err
