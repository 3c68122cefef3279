"""The transverse Mercator against its 40-digit truth, the UTM/UPS grids (zones and their
exceptions, pyproj's UTM and UPS, round trips) and MGRS (the `mgrs` package's codes, centres,
bad codes)."""

import importlib.resources
import math
import warnings

import numpy as np
import pytest

from quorvane.mathtools.ellipsoid import utm

RNG = np.random.default_rng(34)
TRUTH = dict(np.load(importlib.resources.files("testsupport") / "data" / "tm-truth.npz"))
A_WGS84 = 6378137.0


FAST = pytest.mark.parametrize("fast", [False, True], ids=["exact", "fast"])


@FAST
def test_tm_forward_and_reverse_against_the_truth(fast):
    """Within 5 nm up to 6,200 km from the central meridian and within 5 nm plus 2e-15 |x|
    beyond (Lee's exact mapping, out to 26,000 km at (0, 90 degrees), where the scale reaches
    18: a unit in the last place of the longitude in radians moves the point by 25 nm);
    convergence within 1e-12 degrees and scale within 1e-14 relative, except the reverse's near
    the pole (the longitude is ill-posed) and both within 0.05 degrees of the branch point."""
    t = TRUTH
    bound = 5e-9 + 2e-15 * np.abs(t["x"])
    fwd = utm.tm_forward("WGS84", 0.0, t["lat"], t["lon"], degrees=True, fast=fast)
    assert (np.hypot(fwd["x"] - t["x"], fwd["y"] - t["y"]) < bound).all()
    rev = utm.tm_reverse("WGS84", 0.0, t["x"], t["y"], degrees=True, fast=fast)
    dlat = np.radians(rev["lat"] - t["lat"]) * A_WGS84
    dlon = np.radians(rev["lon"] - t["lon"]) * A_WGS84 * np.cos(np.radians(t["lat"]))
    assert (np.hypot(dlat, dlon) < bound).all()
    e = math.sqrt(1 / 298.257223563 * (2 - 1 / 298.257223563))
    branch = np.hypot(t["lat"], np.abs(t["lon"]) - (1 - e) * 90) < 0.05
    for r, rows in ((fwd, ~branch), (rev, ~branch & (np.abs(t["lat"]) < 89.9))):
        assert np.abs(r["convergence"] - np.degrees(t["convergence"]))[rows].max() < 1e-12
        assert np.abs(r["scale"] / t["scale"] - 1)[rows].max() < 1e-14
    assert (np.abs(t["x"]) > 2.5e7).any() and branch.sum() >= 2


@pytest.mark.parametrize(
    ("function", "args"),
    [
        (utm.tm_forward, (0.0, 0.0, 90.001)),  # more than 90 degrees from the central meridian
        (utm.tm_forward, (0.0, 10.0, -120.0)),
        (utm.tm_reverse, (0.0, 2.7e7, 0.0)),  # beyond the image of (0, 90 degrees)
        (utm.tm_reverse, (0.0, 2.0e7, 1e5)),  # beyond the equator's image (the southern side)
        (utm.tm_reverse, (0.0, -7e6, 1.2e7)),  # beyond the pole
    ],
)
@FAST
def test_beyond_the_quadrants_is_nan(function, args, fast):
    r = function("WGS84", *args, degrees=True, fast=fast)
    assert all(math.isnan(r[name]) for name in r.dtype.names)


def test_the_branch_point_and_the_cut_on_the_equator():
    """Around (0, (1 - e) 90 degrees) and out to (0, 90 degrees) every point is a number and
    round trips; the equator beyond the branch point is a cut: -0.0 takes the southern side."""
    e = math.sqrt(1 / 298.257223563 * (2 - 1 / 298.257223563))
    lb = (1 - e) * 90
    offsets = np.concatenate([[0.0], 10.0 ** np.arange(-12, 0)])
    lat = np.concatenate([np.outer([1, -1, 0], offsets).ravel(), RNG.uniform(-1e-3, 1e-3, 300)])
    lon = np.concatenate([lb + np.outer([0, 1, -1], offsets).ravel(), RNG.uniform(lb, 90, 300)])
    lat, lon = np.concatenate([lat, lat]), np.concatenate([lon, -lon])
    fwd = utm.tm_forward("WGS84", 0.0, lat, lon, degrees=True)
    assert np.isfinite(fwd.view((float, 4))).all()
    rev = utm.tm_reverse("WGS84", 0.0, fwd["x"], fwd["y"], degrees=True)
    dlon = np.abs(rev["lon"] - lon) * np.cos(np.radians(lat))
    assert np.hypot(rev["lat"] - lat, dlon).max() * 111.3e3 < 1e-8  # metres on the ground
    cut = utm.tm_forward("WGS84", 0.0, [0.0, -0.0], [85.0, 85.0], degrees=True)
    assert cut["y"][0] == -cut["y"][1] > 1e6 and cut["x"][0] == cut["x"][1]


@FAST
def test_k0_scales_lengths_and_scale(fast):
    one = utm.tm_forward("WGS84", 9.0, 47.0, 11.5, degrees=True, fast=fast)
    k = utm.tm_forward("WGS84", 9.0, 47.0, 11.5, k0=0.9996, degrees=True, fast=fast)
    assert (k["x"], k["y"], k["scale"]) == (
        one["x"] * 0.9996,
        one["y"] * 0.9996,
        0.9996 * one["scale"],
    )
    back = utm.tm_reverse("WGS84", 9.0, k["x"], k["y"], k0=0.9996, degrees=True, fast=fast)
    assert back["lat"] == pytest.approx(47.0, abs=1e-13) and back["lon"] == pytest.approx(
        11.5, abs=1e-13
    )
    with pytest.raises(ValueError, match="k0"):
        utm.tm_forward("WGS84", 0, 0, 0, k0=0.0)


@pytest.mark.parametrize(
    ("lat", "lon", "zone"),
    [
        (0.0, -180.0, 1),
        (0.0, 179.999, 60),
        (0.0, 180.0, 1),
        (0.0, 5.999999, 31),
        (0.0, 6.0, 32),
        (55.999, 4.0, 31),  # south of Norway's exception
        (56.0, 3.0, 32),  # Norway: 32V reaches 3 E
        (63.999, 11.9, 32),
        (64.0, 4.0, 31),
        (72.0, 8.9, 31),  # Svalbard
        (72.0, 9.0, 33),
        (80.0, 20.9, 33),
        (83.9, 21.0, 35),
        (75.0, 33.0, 37),
        (75.0, 41.9, 37),
        (75.0, 42.0, 38),
        (71.99, 8.0, 32),
        (83.9999, 0.0, 31),
        (84.0, 0.0, 0),  # UPS north of 84 N
        (-80.0, 0.0, 31),
        (-80.0001, 0.0, 0),  # and south of 80 S
    ],
)
def test_zones_and_their_exceptions(lat, lon, zone):
    g = utm.forward(lat, lon, degrees=True)
    assert g["zone"] == zone and g["northp"] == (lat >= 0)
    peer = pytest.importorskip("utm")
    if zone != 0 and abs(lon) != 180.0:
        assert peer.latlon_to_zone_number(lat, lon) == zone


def _pyproj(zone, north):
    pyproj = pytest.importorskip("pyproj")
    code = (32661 if north else 32761) if zone == 0 else (32600 if north else 32700) + zone
    return pyproj.Transformer.from_crs("EPSG:4326", f"EPSG:{code}", always_xy=True)


@pytest.mark.parametrize(
    ("lat", "lon"),
    [((-80, 84), (-180, 180)), ((84, 90), (-180, 180)), ((-90, -80.001), (-180, 180))],
    ids=["utm", "ups-north", "ups-south"],
)
@FAST
def test_forward_agrees_with_pyproj_and_round_trips(lat, lon, fast):
    """pyproj's UTM and UPS within 12 nm (and its scale and convergence roughly); the round trip
    within 1e-13 degrees."""
    n = 400
    la, lo = RNG.uniform(*lat, n), RNG.uniform(*lon, n)
    g = utm.forward(la, lo, degrees=True, fast=fast)
    for zone, north in set(zip(g["zone"].tolist(), g["northp"].tolist())):
        rows = (g["zone"] == zone) & (g["northp"] == north)
        e, nn = _pyproj(zone, north).transform(lo[rows], la[rows])
        assert np.hypot(g["easting"][rows] - e, g["northing"][rows] - nn).max() < 12e-9
    back = utm.reverse(g["zone"], g["northp"], g["easting"], g["northing"], degrees=True, fast=fast)
    assert np.abs(back["lat"] - la).max() < 1e-13
    dlon = np.abs((back["lon"] - lo + 180) % 360 - 180) * np.cos(np.radians(la))
    assert dlon.max() < 1e-13
    # Near a pole the convergence, like the longitude, is ill-posed: compare it as a length.
    dconv = np.abs(back["convergence"] - g["convergence"]) * np.cos(np.radians(la))
    assert dconv.max() < 1e-12
    assert np.abs(back["scale"] - g["scale"]).max() < 4e-15


def test_ups_poles_and_radians():
    north = utm.forward(math.pi / 2, 0.0)  # the double nearest the pole: 0.4 nm from it
    assert (north["zone"], north["easting"]) == (0, 2e6)
    assert north["scale"] == pytest.approx(0.994, abs=1e-15)
    assert north["northing"] == pytest.approx(2e6, abs=1e-9)
    south = utm.reverse(0, False, 2e6, 2e6)
    assert south["lat"] == -math.pi / 2 and south["scale"] == pytest.approx(0.994, abs=1e-15)


def test_a_forced_zone_is_honoured():
    g = utm.forward(47.0, [5.9, 6.1], zone=31, degrees=True)
    assert (g["zone"] == 31).all() and g["easting"][1] > 500e3 + 2.9 * 75e3
    beyond = utm.forward(0.0, 80.0, zone=1, degrees=True)  # 103 degrees west of zone 1's meridian
    assert math.isnan(beyond["easting"])
    # far out but within a quarter turn, on Lee's exact mapping: the point comes back
    lat, lon = np.array([30.0, -45.0, 10.0, 70.0]), np.array([60.0, -70.0, 88.0, -86.0])
    far = utm.forward(lat, lon, zone=31, degrees=True)
    assert (far["zone"] == 31).all() and np.isfinite(far["easting"]).all()
    back = utm.reverse(31, far["northp"], far["easting"], far["northing"], degrees=True)
    np.testing.assert_allclose(back["lat"], lat, atol=1e-13)
    np.testing.assert_allclose(back["lon"], lon, atol=1e-13)


@pytest.mark.parametrize("zone", [-1, 61, 3.5, np.nan])
def test_reverse_refuses_zones_outside_0_60(zone):
    with pytest.raises(ValueError, match="zone must be a zone number 0-60"):
        utm.reverse(zone, True, 5e5, 5e6)


@FAST
def test_to_mgrs_agrees_with_the_mgrs_package(fast):
    """On >= 99.5 % of random points (99.87 % on 20,000): the rest lie within 0.5 mm of a
    square's edge, which the package rounds up to the next square before truncating."""
    mgrs = pytest.importorskip("mgrs")
    n = 2000
    lat, lon = RNG.uniform(-90, 90, n), RNG.uniform(-180, 180, n)
    ours = utm.to_mgrs(lat, lon, degrees=True, fast=fast)
    peer = mgrs.MGRS()
    theirs = [peer.toMGRS(a, b) for a, b in zip(lat.tolist(), lon.tolist())]
    agree = np.mean([o == t for o, t in zip(ours.tolist(), theirs)])
    assert agree >= 0.995


@pytest.mark.parametrize("precision", range(6))
def test_from_mgrs_gives_the_centre_of_the_square(precision):
    lat, lon = RNG.uniform(-90, 90, 300), RNG.uniform(-180, 180, 300)
    codes = utm.to_mgrs(lat, lon, precision=precision, degrees=True)
    assert codes.dtype == np.dtype("<U15") and {len(c) for c in codes} <= {
        3 + 2 * precision,
        5 + 2 * precision,
    }
    centre = utm.from_mgrs(codes, degrees=True)
    g, c = (
        utm.forward(lat, lon, degrees=True),
        utm.forward(centre["lat"], centre["lon"], degrees=True),
    )
    # A square cut by a zone's or band's edge can have its centre beyond it.
    same = (g["zone"] == c["zone"]) & ((lat + 80) // 8 == (centre["lat"] + 80) // 8)
    assert same.mean() > 0.75
    again = utm.to_mgrs(centre["lat"], centre["lon"], precision=precision, degrees=True)
    assert (again == codes)[same].all()
    half = 0.5 * 10.0 ** (5 - precision)
    # The centre is half a square from the point's truncated corner, to the nanometre.
    for axis in ("easting", "northing"):
        corner = np.floor(g[axis] / (2 * half)) * 2 * half
        assert np.abs(c[axis] - corner - half)[same].max() < 1e-6


def test_from_mgrs_reads_either_case_and_spaces():
    codes = ["32TMT6540347150", "32t mt 65403 47150", "zah 12345 12345", "ZAH1234512345"]
    c = utm.from_mgrs(codes)
    assert c[0] == c[1] and c[2] == c[3]


@pytest.mark.parametrize(
    ("code", "reason"),
    [
        ("61UMV", "zone"),
        ("32IMV", "band"),
        ("32UIV", "column"),
        ("32UMW", "row"),
        ("32UMV123", "digits"),
        ("32UMV12a4", "digits"),
        ("CAA", "band"),
        ("32UMV\u00e91", "ASCII"),
    ],
)
def test_malformed_codes_are_named_with_their_index(code, reason):
    with pytest.raises(
        ValueError, match=rf"{code!r} at index \(1,\) is no MGRS reference.*{reason}"
    ):
        utm.from_mgrs(["32UMV1234567890", code])


@pytest.mark.parametrize("lon", [-1e308, 1e300, np.inf, 1e20])
def test_huge_longitudes_give_a_zone_of_the_grid(lon):
    """Radians and degrees both: a huge longitude is reduced, not overflowed into a zone."""
    for degrees in (False, True):
        g = utm.forward([0.5, 1.2], lon, degrees=degrees)
        assert ((g["zone"] >= 0) & (g["zone"] <= 60)).all()
        back = utm.reverse(g["zone"], g["northp"], g["easting"], g["northing"])
        assert back.shape == (2,)
    if np.isfinite(lon):  # the point of the reduced longitude, its code made of its letters
        reduced = math.remainder(lon, 2 * math.pi)
        for fast in (False, True):
            g, h = (utm.forward([0.5, -1.3], x, fast=fast) for x in (lon, reduced))
            assert all(g[k].tobytes() == h[k].tobytes() for k in g.dtype.names)
            assert all(c.isalnum() for c in utm.to_mgrs([0.5, -1.3], lon, fast=fast))


def test_fast_hands_over_to_the_exact_kernel():
    """The lanes' hand-overs (NaN and infinities, the poles, beyond the series' domain, UPS)
    are the exact kernel's bits; the lanes' MGRS codes are the exact ones away from a
    square's edge."""
    cases = {
        "tm_forward": (
            [np.nan, 90.0, -90.0, 0.0, 10.0, 40.0],
            [1.0, 3.0, 3.0, 58.0, -89.0, np.inf],
        ),
        "tm_reverse": ([np.nan, 6.4e6, -7e6, 1.0, 0.0], [0.0, 0.0, 3e6, np.inf, 1e13]),
    }
    for name, (a, b) in cases.items():
        exact, vectorised = (
            getattr(utm, name)("WGS84", 0.0, a, b, degrees=True, fast=f) for f in (False, True)
        )
        assert exact.tobytes() == vectorised.tobytes(), name
    lat, lon = [np.nan, 85.0, -85.0, 84.5, 90.0, -80.5], [1.0, 20.0, -100.0, 3.0, 0.0, 7.0]
    exact, vectorised = (utm.forward(lat, lon, degrees=True, fast=f) for f in (False, True))
    for k in exact.dtype.names:
        assert exact[k].tobytes() == vectorised[k].tobytes(), k
    args = (exact["zone"], exact["northp"], exact["easting"], exact["northing"])
    back = [utm.reverse(*args, degrees=True, fast=f) for f in (False, True)]
    assert back[0].tobytes() == back[1].tobytes()
    la, lo = RNG.uniform(-90, 90, 20000), RNG.uniform(-180, 180, 20000)
    assert (utm.to_mgrs(la, lo, degrees=True, fast=True) == utm.to_mgrs(la, lo, degrees=True)).all()
    # Elsewhere the grid's points are the lanes' (within nanometres, not the exact bits).
    g = [utm.forward(la, lo, degrees=True, fast=f)["easting"] for f in (False, True)]
    assert (g[0] != g[1]).any() and np.nanmax(np.abs(g[0] - g[1])) < 1e-8


def test_nan_and_beyond_the_poles():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert utm.to_mgrs(np.nan, 0.0) == ""
        assert np.isnan(utm.from_mgrs(["", " "])["lat"]).all()  # and back: no point
        assert math.isnan(utm.forward(np.nan, 0.0)["easting"])
    with pytest.warns(RuntimeWarning, match="lat: latitudes beyond") as seen:
        assert utm.to_mgrs([91.0], [0.0], degrees=True)[0] == ""
    assert seen[0].filename == __file__  # the warning points at the caller


LAT, LON = np.array([47.0, 10.0]), np.array([8.5, 9.0])
GRID_CALLS = {  # a call that succeeds and one that fails
    "forward": (lambda: utm.forward(LAT, LON, degrees=True), lambda: utm.forward(LAT, "x")),
    "reverse": (lambda: utm.reverse(32, True, LAT * 1e4, LON), lambda: utm.reverse(61, 1, 0, 0)),
    "to_mgrs": (
        lambda: utm.to_mgrs(LAT, LON, degrees=True),
        lambda: utm.to_mgrs(LAT, 0, precision=9),
    ),
    "from_mgrs": (lambda: utm.from_mgrs(["32TMT6540347150"]), lambda: utm.from_mgrs(["32TMT6"])),
}


@pytest.mark.parametrize("name", sorted(GRID_CALLS))
def test_grid_calls_leak_nothing_on_success_and_error_paths(name):
    from helpers import assert_calls_leak_nothing

    good, bad = GRID_CALLS[name]

    def calls(n):
        for _ in range(n):
            good()
            try:
                bad()
            except (TypeError, ValueError):
                pass

    assert_calls_leak_nothing(calls, [LAT, LON])


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda: utm.forward([1, 2], [1, 2, 3]), ValueError, "shapes do not broadcast: lat"),
        (lambda: utm.forward(1, "a"), TypeError, "lon must be real numbers"),
        (lambda: utm.forward(1, 2, zone=61), ValueError, "zone must be a zone number 0-60"),
        (lambda: utm.forward(1, 2, ell=(6378137.0, 0.1)), ValueError, "flattenings 0 <= f <= 1/25"),
        (lambda: utm.to_mgrs(1, 2, precision=6), ValueError, "precision must be 0-5"),
        (lambda: utm.to_mgrs(1, 2, precision=2.0), TypeError, "precision must be an integer"),
        (lambda: utm.from_mgrs(3), TypeError, "codes must be strings"),
        (lambda: utm.tm_forward("WGS84", 0, 1, 2, k0=-1), ValueError, "k0 must be finite"),
    ],
)
def test_bad_arguments_are_named(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_the_committed_series_table_is_the_scripts():
    """csrc/ellipsoid/kernels/tm_series.h holds what scripts/tm_series.py derives (Krueger's
    coefficients checked there against the printed ones)."""
    pytest.importorskip("sympy")
    import re
    import sys
    from pathlib import Path

    top = Path(__file__).resolve().parents[1]
    sys.path.insert(0, str(top / "scripts"))
    try:
        import tm_series
    finally:
        sys.path.remove(str(top / "scripts"))
    alpha, beta = tm_series.derive(12)
    text = (top / "csrc/ellipsoid/kernels/tm_series.h").read_text()
    for name, rows in (("kAlpha", alpha), ("kBeta", beta)):
        block = text.split(f"{name}[kOrder][kOrder + 1] = {{")[1].split("};")[0]
        table = [
            [float(v) for v in re.findall(r"-?[\d.]+(?:e-?\d+)?", row)]
            for row in block.split("},")[:-1]
        ]
        assert table == [[float(c) for c in row] for row in rows]
