"""Every quantity of a geodesic (full=True) and the direct problem over an arc (arc=True):
the 40-digit truth per region and flattening, geographiclib, the sphere's closed form, and
the default fields' bits."""

import math

import numpy as np
import pytest
from helpers import EARTH

from quorvane.mathtools.ellipsoid import geodesic as gd
from quorvane.mathtools.ellipsoid import latitudes
from testsupport import geodesic_truth as gt

geographiclib = pytest.importorskip("geographiclib.geodesic")

FULL = ("a12", "m12", "M12", "M21", "S12")
AZI = ("azi1", "azi2")


# The truth of the same integrals for the same double inputs: m12 within 15 nm on an
# Earth-sized ellipsoid, the scales within 1e-15 (5e-15 where the exact integrals serve),
# a12 within 1e-14 rad, S12 within 0.1 m^2 (its own formulation, edge_area, counts the
# other way) where its quadrature resolves the integrand: a line that passes next to a pole
# (nearly antipodal, polar) peaks there as 1/cos^2(beta), and geographiclib checks those.
@pytest.mark.parametrize(
    ("f", "region"),
    [(EARTH[1], r) for r in ("random", "antipodal", "polar", "short", "equatorial")]
    + [(0.1, "random"), (0.5, "random")],
)
def test_inverse_full_against_truth(f, region):
    lat1, lon1, lat2, lon2 = gt.pairs(region, np.random.default_rng(23), 3)
    ell = (EARTH[0], f)
    r = gd.inverse(ell, lat1, lon1, lat2, lon2, full=True)
    plain = gd.inverse(ell, lat1, lon1, lat2, lon2)
    for name in plain.dtype.names:  # the default fields keep their bits
        np.testing.assert_array_equal(r[name], plain[name])
    truth = gt.Ellipsoid(EARTH[0], f)
    scale_tol = 1e-15 if f <= gd.MAX_FLATTENING else 5e-15
    for i in range(3):
        args = (lat1[i], lon1[i], lat2[i], lon2[i], r["azi1"][i], r["azi2"][i], r["s12"][i])
        a12, m12, M12, M21 = (float(x) for x in truth.inverse_scales(*args))
        assert abs(r["a12"][i] - a12) <= 1e-14
        assert abs(r["m12"][i] - m12) <= 15e-9
        assert abs(r["M12"][i] - M12) <= scale_tol and abs(r["M21"][i] - M21) <= scale_tol
        if region not in ("antipodal", "polar"):
            assert abs(r["S12"][i] + float(truth.edge_area(*args))) <= 0.1


@pytest.mark.parametrize("f", [EARTH[1], 1 / 50, 0.5])
def test_direct_full_and_arc_against_truth(f):
    """direct(full=True) keeps direct's bits and meets the truth; arc=True with its a12
    lands on the same point and gives back s12."""
    rng = np.random.default_rng(3)
    lat1, azi1 = np.arcsin(rng.uniform(-1, 1, 3)), rng.uniform(-math.pi, math.pi, 3)
    s12 = np.array([1e3, 9e6, 3.5e7])
    ell = (EARTH[0], f)
    r = gd.direct(ell, lat1, 0.3, azi1, s12, full=True)
    plain = gd.direct(ell, lat1, 0.3, azi1, s12)
    for name in plain.dtype.names:
        np.testing.assert_array_equal(r[name], plain[name])
    np.testing.assert_array_equal(r["s12"], s12)
    truth = gt.Ellipsoid(EARTH[0], f)
    for i in range(3):
        a12, m12, M12, M21 = (float(x) for x in truth.direct_scales(lat1[i], azi1[i], s12[i]))
        assert abs(r["a12"][i] - a12) <= 1e-14
        assert abs(r["m12"][i] - m12) <= 15e-9
        assert abs(r["M12"][i] - M12) <= 5e-15 and abs(r["M21"][i] - M21) <= 5e-15
    back = gd.direct(ell, lat1, 0.3, azi1, r["a12"], arc=True, full=True)
    assert np.abs(back["s12"] - s12).max() <= 15e-9
    for name in ("lat2", "lon2", "azi2"):
        assert np.abs(back[name] - r[name]).max() <= 1e-14
    arc = gd.direct(ell, lat1, 0.3, azi1, r["a12"], arc=True)
    assert arc.dtype.names == ("lat2", "lon2", "azi2")
    np.testing.assert_array_equal(arc["lat2"], back["lat2"])


@pytest.mark.parametrize("region", ["random", "antipodal", "polar", "meridional"])
def test_full_against_geographiclib(region):
    pairs = [np.degrees(x) for x in gt.pairs(region, np.random.default_rng(8), 500)]
    peer = geographiclib.Geodesic(*EARTH)
    ours = gd.inverse(EARTH, *pairs, degrees=True, full=True)
    rows = [peer.Inverse(*p, peer.ALL) for p in zip(*pairs)]
    theirs = {k: np.array([row[k] for row in rows]) for k in FULL}
    assert np.abs(ours["m12"] - theirs["m12"]).max() <= 15e-9
    # Next to the antipode the degrees' rounding moves the azimuths by 1e-12 rad, and the
    # scales (near -1, stationary) by a unit or two.
    scale_tol = 2e-15 if region == "antipodal" else 1e-15
    assert np.abs(ours["M12"] - theirs["M12"]).max() <= scale_tol
    assert np.abs(ours["M21"] - theirs["M21"]).max() <= scale_tol
    # S12 within 0.1 m^2, or 3e-15 of areas of 1e13 m^2 and more: the two read their azimuths
    # from inputs rounded apart (degrees to radians), which moves c^2 alpha12 by units of it,
    # and near a pole or the antipode by c^2 times their azimuths' difference. A line over a
    # pole has alpha12 = +-pi: S12 is then one of two values 2 pi c^2 apart.
    c2 = latitudes.authalic_radius(EARTH) ** 2
    dazi = sum(
        np.radians(np.abs(np.remainder(ours[k] - [row[k] for row in rows] + 180, 360) - 180))
        for k in AZI
    )
    area_tol = np.maximum(0.1, 3e-15 * np.abs(theirs["S12"])) + 2 * c2 * dazi
    dS = ours["S12"] - theirs["S12"]
    dS = np.minimum(np.abs(dS), np.abs(np.abs(dS) - 2 * np.pi * c2))
    assert (dS <= area_tol).all()
    if region != "antipodal":  # there the degrees' rounding moves the arc by 1e-12
        assert np.abs(ours["a12"] - theirs["a12"]).max() <= 1e-12


def test_sphere_closed_form():
    """f = 0: m12 = a sin(sigma12), M12 = M21 = cos(sigma12), S12 = a^2 (alpha2 - alpha1),
    and sigma12 = s12 / a."""
    a = 6371e3
    rng = np.random.default_rng(4)
    lat1, lat2 = np.arcsin(rng.uniform(-1, 1, (2, 200)))
    lon2 = rng.uniform(-math.pi, math.pi, 200)
    r = gd.inverse((a, 0.0), lat1, 0.0, lat2, lon2, full=True)
    np.testing.assert_allclose(r["a12"], r["s12"] / a, rtol=0, atol=1e-15)
    np.testing.assert_allclose(r["m12"], a * np.sin(r["a12"]), rtol=0, atol=15e-9)
    np.testing.assert_allclose(r["M12"], np.cos(r["a12"]), rtol=0, atol=1e-15)
    np.testing.assert_allclose(r["M21"], np.cos(r["a12"]), rtol=0, atol=1e-15)
    turn = np.remainder(r["azi2"] - r["azi1"] + math.pi, 2 * math.pi) - math.pi
    np.testing.assert_allclose(r["S12"], a * a * turn, rtol=0, atol=0.1)


def test_equator_coincident_and_bad_rows():
    with pytest.warns(RuntimeWarning, match="lat1"):
        r = gd.inverse(
            EARTH, [0.0, 0.4, 2.0], [0.0, 0.1, 0.0], [0.0, 0.4, 0.0], [1.0, 0.1, 0.0], full=True
        )
    a, f = EARTH
    assert r["a12"][0] == pytest.approx(1.0 / (1 - f), abs=1e-15)  # along the equator
    assert r["m12"][0] == pytest.approx(a * (1 - f) * math.sin(1 / (1 - f)), abs=15e-9)
    assert r["S12"][0] == 0 and r["m12"][1] == 0 and r["M12"][1] == 1 == r["M21"][1]
    assert all(math.isnan(r[k][2]) for k in r.dtype.names)
    d = gd.direct(EARTH, 0.2, 0.0, 0.3, [math.nan, math.inf], full=True, arc=True)
    assert np.isnan(d.view(np.float64)).all()
