"""The UTM grid and MGRS on the command line: utm, utm-reverse, mgrs, mgrs-reverse through every
format, with the module's bits and typed columns, and bad zones, flags and codes named by line
or row."""

import gzip
import io
import sys

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.csv as pacsv
import pyarrow.parquet as pq

from quorvane.mathtools.ellipsoid import cli, utm

RNG = np.random.default_rng(34)
N = 200


def run(capsys, monkeypatch, *argv, stdin=b""):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def points():
    lat = RNG.uniform(-89.9, 89.9, N)
    lon = RNG.uniform(-180, 180, N)
    lat[:4] = [60.5, 78.0, 85.0, -81.0]  # Norway, Svalbard, UPS north and south
    lon[:4] = [5.5, 20.0, 10.0, -70.0]
    return lat, lon


def write(path, kind, table):
    if kind in ("csv", "tsv", "gz"):
        out = pa.BufferOutputStream()
        sep = "\t" if kind == "tsv" else ","
        pacsv.write_csv(table, out, pacsv.WriteOptions(delimiter=sep))
        data = out.getvalue().to_pybytes()
        path.write_bytes(gzip.compress(data) if kind == "gz" else data)
    elif kind == "parquet":
        pq.write_table(table, path)
    else:
        with pa.ipc.new_file(path, table.schema) as writer:
            writer.write_table(table)


def read(path, kind):
    if kind == "parquet":
        return pq.read_table(path)
    if kind == "arrow":
        return pa.ipc.open_file(path).read_all()
    options = pacsv.ParseOptions(delimiter="\t" if kind == "tsv" else ",")
    types = {"mgrs": pa.string()}
    return pacsv.read_csv(
        path, parse_options=options, convert_options=pacsv.ConvertOptions(column_types=types)
    )


KINDS = {"csv": "csv", "tsv": "tsv", "gz": "csv.gz", "parquet": "parquet", "arrow": "feather"}


@pytest.mark.parametrize("kind", list(KINDS))
def test_grid_and_mgrs_round_trip_through_every_format(capsys, monkeypatch, tmp_path, kind):
    """utm then utm-reverse, mgrs then mgrs-reverse: the module's bits at every step, the zone
    an integer and northp a bool column, the codes text, kept columns passed through."""
    ext = KINDS[kind]
    lat, lon = points()
    ids = [f"p{k}" for k in range(N)]
    src = tmp_path / f"in.{ext}"
    write(src, kind, pa.table({"id": ids, "lat": lat, "lon": lon}))

    def step(command, source, target, *options):
        status, _, err = run(
            capsys, monkeypatch, command, "--degrees", "--keep", "id", "--chunk-rows", 64,
            *options, source, "-o", target,
        )  # fmt: skip
        assert (status, err) == (0, "")
        return read(target, kind)

    grid = step("utm", src, tmp_path / f"grid.{ext}")
    expected = utm.forward(lat, lon, degrees=True)
    assert grid["id"].to_pylist() == ids
    for name in expected.dtype.names:
        assert np.array_equal(grid[name].to_numpy(), expected[name]), name
    assert grid["northp"].type == pa.bool_()
    assert pa.types.is_integer(grid["zone"].type)

    back = step("utm-reverse", tmp_path / f"grid.{ext}", tmp_path / f"back.{ext}")
    args = [expected[n] for n in ("zone", "northp", "easting", "northing")]
    again = utm.reverse(*args, degrees=True)
    for name in again.dtype.names:
        assert np.array_equal(back[name].to_numpy(), again[name]), name
    assert np.abs(back["lat"].to_numpy() - lat).max() < 1e-9

    codes = step("mgrs", src, tmp_path / f"codes.{ext}", "--precision", 4)
    assert codes["mgrs"].to_pylist() == utm.to_mgrs(lat, lon, precision=4, degrees=True).tolist()
    centres = step("mgrs-reverse", tmp_path / f"codes.{ext}", tmp_path / f"centres.{ext}")
    expected = utm.from_mgrs(np.array(codes["mgrs"].to_pylist()), degrees=True)
    for name in ("lat", "lon"):
        assert np.array_equal(centres[name].to_numpy(), expected[name]), name


def test_forced_zone_once_or_row_by_row(capsys, monkeypatch):
    """--zone forces one zone (an extended one too); a zone column forces each row's; with
    neither the standard zone is chosen."""
    lat, lon = np.array([47.0, 47.0, -10.0]), np.array([8.5, 13.5, 2.0])
    data = b"lat,lon\n47,8.5\n47,13.5\n-10,2\n"
    zone_column = b"lat,lon,zone\n47,8.5,31\n47,13.5,33\n-10,2,32\n"
    for options, stdin, zone in [
        (("--zone", 32), data, 32),
        ((), zone_column, np.array([31, 33, 32])),
        ((), data, None),
    ]:
        status, out, err = run(capsys, monkeypatch, "utm", "--degrees", *options, stdin=stdin)
        assert (status, err) == (0, "")
        got = pacsv.read_csv(io.BytesIO(out.encode()))
        expected = utm.forward(lat, lon, zone=zone, degrees=True)
        for name in ("zone", "easting", "northing", "convergence", "scale"):
            assert np.array_equal(got[name].to_numpy(), expected[name]), (zone, name)


def test_a_point_without_code_is_an_empty_quoted_field(capsys, monkeypatch):
    """Not a blank line, which CSV readers skip (the rows would shift)."""
    status, out, _ = run(capsys, monkeypatch, "mgrs", stdin=b"lat,lon\nnan,0\n0,0\n")
    assert (status, out.splitlines()) == (0, ["mgrs", '""', "31NAA6602100000"])
    # and back: the empty code is a row without a point, not a blank line dropped
    status, back, _ = run(capsys, monkeypatch, "mgrs-reverse", stdin=out.encode())
    assert status == 0 and back.splitlines()[1:2] == ["nan,nan"] and len(back.splitlines()) == 3


BAD = [
    (
        "mgrs-reverse",
        b"mgrs\n32TMT6546748348\n32TMT6546748\n",
        "line 3, column 'mgrs': '32TMT6546748' is no MGRS reference",
    ),
    ("mgrs-reverse", b"code\n32TMT65\n\n31UZZ\n", "line 4, column 'code': '31UZZ'"),
    (
        "utm-reverse",
        b"zone,northp,easting,northing\n32,yes,5e5,0\n32,N,5e5,0\n",
        "line 3, column 'northp': 'N' is not true or false",
    ),
    (
        "utm-reverse",
        b"zone,northp,easting,northing\n32.5,1,5e5,0\n",
        "line 2, column 'zone': zone 32.5 is not a zone number 0-60",
    ),
    ("utm", b"lat,lon,zone\n0.1,0.1,33\n0.1,0.1,61\n", "line 3, column 'zone': zone 61.0"),
]


@pytest.mark.parametrize(("command", "data", "message"), BAD)
def test_bad_zones_flags_and_codes_name_their_line(capsys, monkeypatch, command, data, message):
    status, out, err = run(capsys, monkeypatch, command, stdin=data)
    assert (status, out) == (1, "")
    assert err.startswith(f"quorvane-ellipsoid {command}: error: <stdin>, {message}"), err


def test_bad_code_and_missing_flag_in_parquet_name_their_row(capsys, monkeypatch, tmp_path):
    src = tmp_path / "codes.parquet"
    pq.write_table(pa.table({"mgrs": ["32TMT65", "32TMT65", "ZAH12", "Q"]}), src)
    status, _, err = run(capsys, monkeypatch, "mgrs-reverse", src)
    assert status == 1
    assert f"{src}, row 4, column 'mgrs': 'Q' is no MGRS reference" in err
    src = tmp_path / "grid.parquet"
    grid = {"zone": [32, 32], "northp": [True, None], "easting": [5e5] * 2, "northing": [0.0] * 2}
    pq.write_table(pa.table(grid), src)
    status, _, err = run(capsys, monkeypatch, "utm-reverse", src)
    assert status == 1
    assert "row 2, column 'northp': missing value, expected true or false" in err


def test_bad_zone_and_precision_options(capsys, monkeypatch):
    for zone, shown in (("61", "61.0"), ("1.5", "1.5"), ("-1", "-1.0")):
        status, _, err = run(capsys, monkeypatch, "utm", "--zone", zone, stdin=b"lat,lon\n0,0\n")
        assert status == 2
        assert f"--zone: {shown} is not a zone number 0-60" in err
    with pytest.raises(SystemExit) as info:
        cli.main(["mgrs", "--precision", "6", "-"])
    assert info.value.code == 2
    assert "--precision: invalid choice" in capsys.readouterr().err
