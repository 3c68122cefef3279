"""The auxiliary latitudes, radii and meridian distance: against the stored 40-digit truth at
the stated bounds, exact special values, round trips, the switch from the series to the exact
forms, and the kinds' names. The face (degrees, broadcasting, NaN rows, errors naming the
argument, threads, leaks) is the registry's contract suite (test_face.py)."""

import itertools
import math
import pathlib

import numpy as np
import pytest

from quorvane.mathtools.ellipsoid import fast, latitudes

TRUTH = np.load(pathlib.Path(__file__).parents[1] / "testsupport/data/latitude-truth.npz")
FLATTENINGS = ["0", "wgs84", "1/150", "1/50", "0.1", "0.5", "0.9"]
KINDS = latitudes.KINDS
PAIRS = [(s, t) for s in KINDS for t in KINDS]


def f_of(name):
    return float(TRUTH[f"{name}/f"])


def error(value, truth):
    """|value - (hi + lo)| of the stored truth's two doubles."""
    return np.abs((value - truth[..., 0]) - truth[..., 1])


# The bounds (rad): within 4.5e-16 up to f = 1/50 (the series), within 1e-15 beyond (the exact
# forms through the geodetic latitude's tangent).
def bound(name):
    return 4.5e-16 if f_of(name) <= 1 / 50 else 1e-15


@pytest.mark.parametrize("convert", [latitudes.convert, fast.latitudes_convert])
@pytest.mark.parametrize("name", FLATTENINGS)
@pytest.mark.parametrize("source", KINDS)
def test_conversions_are_within_the_bound_of_the_truth(name, source, convert):
    """The exact kernels, and the vectorised ones (the series on the lanes' sine and cosine)."""
    x = TRUTH[f"{name}/{source}:x"]
    truth = TRUTH[f"{name}/{source}:truth"]
    for j, target in enumerate(KINDS):
        y = convert((1.0, f_of(name)), x, source, target)
        worst = error(y, truth[:, j]).max()
        assert worst <= bound(name), (target, worst)
        if convert is fast.latitudes_convert and f_of(name) > 1 / 25:  # handed over
            assert (y == latitudes.convert((1.0, f_of(name)), x, source, target)).all()


@pytest.mark.parametrize("name", FLATTENINGS)
def test_isometric_radii_and_meridian_against_the_truth(name):
    f = f_of(name)
    ell = (1.0, f)
    x = TRUTH[f"{name}/geodetic:x"]
    truth = TRUTH[f"{name}/isometric"]
    finite = np.isfinite(truth[:, 0]) & (truth[:, 0] != 0)
    for isometric in (latitudes.isometric, fast.latitudes_isometric):
        psi = isometric(ell, x)
        assert (psi[~finite] == truth[~finite, 0]).all()  # +-inf at the poles, 0 at the equator
        assert (error(psi[finite], truth[finite]) / np.abs(truth[finite, 0])).max() <= 5e-16
    back = latitudes.from_isometric(ell, TRUTH[f"{name}/psi"])
    assert error(back, TRUTH[f"{name}/psi_geodetic"]).max() <= 5e-16
    radii = latitudes.radii(ell, x)
    truth = TRUTH[f"{name}/radii"]
    # The issue's bound; beyond the series' flattenings the radii are double-doubles rounded
    # once, within a little more than half a unit.
    rtol = 3e-16 if f <= 1 / 25 else 1.3e-16
    for k, field in enumerate(radii.dtype.names):
        assert (error(radii[field], truth[:, k]) / truth[:, k, 0]).max() <= rtol, field
    # Re = 1 here: on WGS84 (Re = 6378137 m) the bound is 3 nm.
    s = latitudes.meridian_distance(ell, x)
    assert error(s, TRUTH[f"{name}/meridian"]).max() <= (3e-9 / 6378137.0 if f < 0.1 else 7e-16)
    back = latitudes.latitude_at_meridian_distance(ell, TRUTH[f"{name}/s"])
    assert error(back, TRUTH[f"{name}/s_geodetic"]).max() <= (5e-16 if f < 0.1 else 6e-16)
    rectifying, authalic = TRUTH[f"{name}/radius"]
    assert abs(latitudes.rectifying_radius(ell) - rectifying[0] - rectifying[1]) <= 4e-16
    assert abs(latitudes.authalic_radius(ell) - authalic[0] - authalic[1]) <= 2e-16


@pytest.mark.parametrize("f", [0.0, 1 / 298.257223563, 1 / 50, 0.1, 0.9])
def test_poles_zeros_and_odd_symmetry_are_exact(f):
    ell = (6378137.0, f)
    pole = math.pi / 2
    x = np.concatenate([np.linspace(0, pole, 41), 10.0 ** -np.arange(1, 300, 17.0)])
    for (source, target), convert in itertools.product(
        PAIRS, (latitudes.convert, fast.latitudes_convert)
    ):
        ends = convert(ell, [pole, -pole, 0.0, -0.0], source, target)
        assert ends.tolist() == [pole, -pole, 0.0, -0.0]
        assert math.copysign(1, ends[3]) == -1
        assert (convert(ell, -x, source, target) == -convert(ell, x, source, target)).all()
    for isometric in (latitudes.isometric, fast.latitudes_isometric):
        assert isometric(ell, [pole, -pole, 0.0]).tolist() == [math.inf, -math.inf, 0.0]
        assert (isometric(ell, -x) == -isometric(ell, x)).all()
    assert latitudes.from_isometric(ell, [math.inf, -math.inf, 0.0]).tolist() == [pole, -pole, 0]
    quarter = latitudes.meridian_distance(ell, pole)
    assert quarter == latitudes.rectifying_radius(ell) * pole
    assert latitudes.latitude_at_meridian_distance(ell, [quarter, -quarter]).tolist() == [
        pole,
        -pole,
    ]
    beyond = latitudes.latitude_at_meridian_distance(ell, [quarter * 1.01, np.nan])
    assert np.isnan(beyond).all()


def test_a_sphere_has_one_latitude():
    x = np.linspace(-1.5, 1.5, 101)
    for source, target in PAIRS:
        assert (latitudes.convert((6371e3, 0.0), x, source, target) == x).all()
    radii = latitudes.radii((6371e3, 0.0), x)
    for field in radii.dtype.names:
        assert (radii[field] == 6371e3).all()


@pytest.mark.parametrize("f", [1 / 298.257223563, 1 / 50, 0.1, 0.5, 0.9])
def test_round_trips(f):
    """Each conversion and its inverse: the latitude back, to the rounding the intermediate
    latitude suffers times the inverse's slope (at most 1/(1 - f)^2 near the poles)."""
    ell = (1.0, f)
    x = np.random.default_rng(7).uniform(-math.pi / 2, math.pi / 2, 2000)
    slope = 4 if f <= 1 / 50 else 8 / (1 - f) ** 2
    for source, target in PAIRS:
        back = latitudes.convert(ell, latitudes.convert(ell, x, source, target), target, source)
        assert np.abs(back - x).max() <= slope * 2.3e-16, (source, target)
    psi = latitudes.isometric(ell, x)
    assert np.abs(latitudes.from_isometric(ell, psi) - x).max() <= 4.5e-16
    s = latitudes.meridian_distance(ell, x)
    assert np.abs(latitudes.latitude_at_meridian_distance(ell, s) - x).max() <= slope * 2.3e-16


def test_the_series_and_the_exact_forms_agree_at_the_switch():
    """At f = 1/25 the series serve; one unit of the last place of f above, the exact forms: on
    both sides of the switch every conversion is within 3 units of the last place of pi/2 of
    the other (the series' truncation is 6e-18 rad there, the exact forms within 2 units)."""
    f = 1 / 25
    x = np.random.default_rng(5).uniform(-math.pi / 2, math.pi / 2, 2000)
    for source, target in PAIRS:
        series = latitudes.convert((1.0, f), x, source, target)
        exact = latitudes.convert((1.0, np.nextafter(f, 1)), x, source, target)
        assert np.abs(series - exact).max() <= 6.7e-16, (source, target)


def test_kinds_by_name():
    x = np.array([0.3, -1.2])
    assert (
        latitudes.convert("WGS84", x, "reduced", "geodetic")
        == latitudes.convert("WGS84", x, "parametric", "geodetic")
    ).all()
    with pytest.raises(ValueError, match="^target: unknown latitude kind 'isometric'.*'authalic'"):
        latitudes.convert("WGS84", x, "geodetic", "isometric")
    with pytest.raises(ValueError, match="^source: unknown latitude kind 3"):
        latitudes.convert("WGS84", x, 3, "geodetic")
    assert latitudes.convert("WGS84", 30.0, "geodetic", "geocentric", degrees=True) == (
        pytest.approx(29.833635809829065, abs=1e-13)
    )


HOSTILE = [0.0, -0.0, 5e-324, 1e-300, 1e-8, 1.5, np.nextafter(math.pi / 2, 0), -math.pi / 2]


@pytest.mark.parametrize("f", [0.0, 5e-324, 1 / 25, 0.5, 0.999999, 1 - 2**-52])
def test_hostile_values_and_flattenings(f):
    """Subnormal, tiny and polar latitudes on flattenings from 0 to the last double below 1:
    latitudes within the quadrant with the input's sign, NaN for NaN and infinities, no hang."""
    ell = (6378137.0, f)
    x = np.array(HOSTILE)
    with np.errstate(invalid="ignore"), pytest.warns(RuntimeWarning):
        bad = latitudes.convert(ell, [np.nan, np.inf, -np.inf], "geodetic", "authalic")
    assert np.isnan(bad).all()
    for source, target in PAIRS:
        for convert in (latitudes.convert, fast.latitudes_convert):
            y = convert(ell, x, source, target)
            assert (np.abs(y) <= math.pi / 2).all() and (np.signbit(y) == np.signbit(x)).all()
    for isometric in (latitudes.isometric, fast.latitudes_isometric):
        psi = isometric(ell, x)
        assert not np.isnan(psi).any() and (np.signbit(psi) == np.signbit(x)).all()
    back = latitudes.from_isometric(ell, [np.inf, 1e308, 40.0, 5e-324, np.nan])
    assert back[:2].tolist() == [math.pi / 2] * 2 and 0 < back[2] <= math.pi / 2
    assert back[3] >= 0 and np.isnan(back[4])
    radii = latitudes.radii(ell, x)
    assert all(np.isfinite(radii[n]).all() for n in radii.dtype.names)
    assert math.isfinite(latitudes.rectifying_radius(ell))
    assert math.isfinite(latitudes.authalic_radius(ell))
