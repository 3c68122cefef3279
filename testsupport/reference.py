"""Pure-Python reference of the twelve scalar ellipsoid kernels, and the 60-digit truth.

Shared by the tests and the benchmarks (bench/accuracy.py), and not part of the package:
``testsupport.reference``, imported from the top of the repository (pytest puts the root on
the path through ``pythonpath`` in pyproject.toml; the benchmarks run as
``python -m bench.<name>`` from there).

It checks the formula contract: that each compiled kernel evaluates its formula exactly as
written, bit for bit, including the well-conditioned forms it switches to where the stated
formula is inaccurate (written here from the geometry: the nearest foot in the point's quadrant,
the projection onto the normal, Lagrange's identity for the ray). It does not check geodetic
truth: an inaccuracy would be reproduced. Accuracy is tested apart, against the 60-digit
``foot_exact``, ``ray_hit_exact`` and ``altitude_exact`` below (tests/test_truth.py) and
against an independent library (tests/test_peer_crosscheck.py). ``lla_from_pos_specified``
keeps the formula as first stated, which the kernel still matches bit for bit where it is
accurate.

Every function takes the ellipsoid parameters ``Re`` and ``f`` first and evaluates the kernel's
formula with the same operations, in the same order and grouping, as the compiled kernel. Python
floats are IEEE doubles and ``math`` calls the platform libm, so the results are bit-identical to
the compiled module (built without floating-point contraction). The only adjustments are the
places where Python raises instead of returning an IEEE value (division by zero, ``sqrt`` of a
negative number, ``asin`` outside [-1, 1], ``sin``/``cos``/``tan`` of an infinity): the helpers
below return what C returns there.

Records are returned as tuples: a surface coordinate as ``(lat, lon)``, an ``LLA`` as
``(lat, lon, alt)``, an ``AER`` as ``(azimuth, elevation, range)``, an ENU frame as
``(u_east, u_north, u_up)``; 3-vectors as tuples of three floats.

``foot_exact``, ``ray_hit_exact`` and ``altitude_exact`` are not kernels: they compute the truth
in 60-digit decimal arithmetic (mpmath, Decimal), independently of the kernels.
"""

import math
from decimal import Decimal, localcontext

NAN = math.nan
INF = math.inf
EPS = 2.220446049250313e-16

# The reduced-latitude Newton iteration stops once its last step is at most this (radians).
NEWTON_TOLERANCE = 1.567e-5
# The iteration takes at most this many steps; an iteration that has not settled by then
# yields NaN.
MAX_NEWTON_STEPS = 1000
# An arcsine argument within this distance beyond +-1 is taken as +-1 (pole rounding).
ASIN_SLACK = 4 * EPS
HALF_PI = math.pi / 2
# The Newton result is kept where its estimated error is at most this (radians).
NEWTON_ERROR_BOUND = 2.0**-44
# ... and where that error, amplified by the closed-form altitude, is at most this times
# max(Re, |r|) (four units in the last place).
NEWTON_ALTITUDE_BOUND = 2.0**-50
GAIN_CEILING = 300.0
# Steps of the bracketed solver; it needs at most about 60 (bisection alone) and usually 5.
FOOT_STEPS = 100
# The closed-form altitude L (rho / cos b - Re) / (1 - f), L = tangent_length, amplifies the
# rounding of its terms by about L / ((1 - f) cos b); where that exceeds this it is not used.
CLOSED_FORM_MAX_GAIN = 16.0
# Where the gain exceeds this the closed form is checked against the projection and kept only
# if the two agree within this many (8) units of max(Re, |r|).
CLOSED_FORM_SAFE_GAIN = 4.0
CLOSED_FORM_AGREEMENT = 8 * EPS


def closed_form_is_accurate(f, cos_beta, length):
    return length <= CLOSED_FORM_MAX_GAIN * ((1 - f) * cos_beta)


# --- IEEE helpers: what C gives where Python would raise ----------------------------------------


def div(a, b):
    """IEEE division a / b."""
    if b == 0.0:
        if math.isnan(a) or a == 0.0:
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)
    return a / b


def sqrt(x):
    return math.sqrt(x) if not x < 0.0 else NAN


def asin(x):
    return math.asin(x) if not abs(x) > 1.0 else NAN


def sin(x):
    return math.sin(x) if not math.isinf(x) else NAN


def cos(x):
    return math.cos(x) if not math.isinf(x) else NAN


def tan(x):
    return math.tan(x) if not math.isinf(x) else NAN


atan = math.atan
atan2 = math.atan2


def sincos(x):
    return sin(x), cos(x)


# --- vector routines, as the sibling vector module computes them --------------------------------


def vec_sub(u, v):
    return (u[0] - v[0], u[1] - v[1], u[2] - v[2])


def vec_dot(u, v):
    return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]


def vec_norm(u):
    return sqrt(vec_dot(u, u))


# Squares of components at most 2**-500 or at least 2**500 would leave the normal range.
SQUARE_LOW, SQUARE_HIGH = 2.0**-500, 2.0**500


# Where max(Re, |x|, |y|, |z|) lies outside [2^-400, 2^400] the geodetic kernels work on Re and r
# scaled by a power of two into [1/2, 1).
LENGTH_LOW, LENGTH_HIGH = 2.0**-400, 2.0**400
# A or B of the foot-point equation at least this: the geocentric latitude (the normal through
# the point runs through the centre within 2^-60 rad).
FAR_RATIO = 2.0**60


def length_exponent(Re, x, y, z):
    m = max(Re, abs(x), abs(y), abs(z))
    if LENGTH_LOW <= m <= LENGTH_HIGH or not m < INF:
        return 0
    return math.frexp(m)[1]


def hypot(x, y):
    """sqrt(x^2 + y^2) without overflow or underflow. Scaling by a power of two is exact and
    commutes with every rounding in the normal range, so where the squares stay normal the
    result is that of the plain formula, bit for bit."""
    m = max(abs(x), abs(y))
    if not (SQUARE_LOW < m < SQUARE_HIGH) and 0 < m < INF:
        e = math.frexp(m)[1]
        xs, ys = math.ldexp(x, -e), math.ldexp(y, -e)
        return math.ldexp(math.sqrt(xs * xs + ys * ys), e)
    return sqrt(x * x + y * y)


def tangent_length(f, beta, cos_beta):
    """|d/db (cos b, (1 - f) sin b)| = sqrt(1 - e^2 cos^2 b). Where e^2 cos^2 b exceeds 1/2 the
    subtraction cancels (strong flattening near the equator); there the same length is taken as
    the norm of (sin b, (1 - f) cos b), whose squares sum to it."""
    e2_cos2 = (2 - f) * f * cos_beta * cos_beta
    if e2_cos2 <= 0.5:
        return sqrt(1 - e2_cos2)
    return hypot(sin(beta), (1 - f) * cos_beta)


# --- latitude kernels ----------------------------------------------------------------------------


def c_reduced_lat_from_geodetic_lat(Re, f, geodetic_lat):
    return atan((1 - f) * tan(float(geodetic_lat)))


def c_geodetic_lat_from_reduced_lat(Re, f, reduced_lat):
    return atan(div(tan(float(reduced_lat)), 1 - f))


def closed_form_gain(Re, f, rho, r_norm, beta, sin_beta, cos_beta):
    """d/db of the closed-form altitude L (rho / cos b - Re) / (1 - f), L^2 = 1 - e^2 cos^2 b,
    relative to max(Re, |r|); 0 where the closed form is not used."""
    length = tangent_length(f, beta, cos_beta)
    if not closed_form_is_accurate(f, cos_beta, length):
        return 0.0
    slope_rho = div(rho * abs(sin_beta), cos_beta * cos_beta)
    slope_length = div(((2 - f) * f) * abs(sin_beta) * cos_beta, length)
    spread = abs(div(rho, cos_beta) - Re)
    slope = length * slope_rho + slope_length * spread
    return div(slope, (1 - f) * max(Re, r_norm))


def newton_iteration(Re, f, x, y, z, rho=None):
    """The formula's Newton iteration from the geocentric latitude, alone.

    Returns ``(beta, steps, error, amplification)``: the result, the number of steps
    (MAX_NEWTON_STEPS when the iteration ran into its bound; ``beta`` is NaN then), the
    estimated error of the result, |g'' / (2 g')| * step^2 for the last step (Newton's error is
    quadratic in the previous one), and how much the closed-form altitude amplifies an error of
    beta, relative to max(Re, |r|) (its derivative in beta), taken as 0 where the closed form is
    not used. Both at the last step's start.
    """
    x, y, z = float(x), float(y), float(z)
    aux1 = x * x + y * y
    aux2 = (Re * f) * (2 - f)
    # The kernel passes hypot(x, y), which is sqrt(aux1) where the squares stay normal.
    rho = sqrt(aux1) if rho is None else rho
    r_norm = sqrt(aux1 + z * z)
    A = div(rho, aux2)
    B = div((1 - f) * z, aux2)
    beta = asin(div(z, r_norm))
    for step in range(1, MAX_NEWTON_STEPS + 1):
        sin_beta, cos_beta = sincos(beta)
        numerator = (sin_beta * cos_beta - A * sin_beta) + B * cos_beta
        denominator = ((cos_beta * cos_beta - sin_beta * sin_beta) - A * cos_beta) - B * sin_beta
        inc = div(numerator, denominator)
        last = beta
        beta = beta - inc
        if not abs(inc) > NEWTON_TOLERANCE:
            curvature = (A * sin_beta - B * cos_beta) - 4 * (sin_beta * cos_beta)
            # Newton's C s^2 plus the rounding of g at the step's start, over the slope, where
            # that exceeds four units of the result (a root far below the last start).
            terms = abs(sin_beta * cos_beta) + abs(A * sin_beta) + abs(B * cos_beta)
            rounding = div(EPS * terms, abs(denominator))
            error = abs(div(curvature, 2 * denominator)) * (inc * inc) + (
                rounding if rounding > 4 * EPS * abs(beta) else 0.0
            )
            # Where the closed form is used its gain is at most 256 + 17 / (1 - f)^2: an error
            # below the bound divided by that needs no closer look.
            small = error * GAIN_CEILING <= NEWTON_ALTITUDE_BOUND * ((1 - f) * (1 - f))
            if small:
                return beta, step, error, 0.0
            # The gain at the step's start and at the result (strong flattening: they differ).
            start = closed_form_gain(Re, f, rho, r_norm, last, sin_beta, cos_beta)
            end = closed_form_gain(Re, f, rho, r_norm, beta, sin(beta), cos(beta))
            return beta, step, error, max(start, end)
    return NAN, MAX_NEWTON_STEPS, NAN, NAN


def newton_reduced_lat(Re, f, x, y, z):
    """``(beta, steps)`` of the formula's Newton iteration (see newton_iteration)."""
    beta, steps, _, _ = newton_iteration(Re, f, x, y, z)
    return beta, steps


def nearest_foot_reduced_lat(Re, f, x, y, z, start=NAN):
    """Reduced latitude of the nearest foot of a normal through (x, y, z), found from the
    geometry alone.

    In the meridian half-plane the point (rho, |z|) lies in the first quadrant, and so does
    its nearest point on the ellipse (Re cos b, Rp sin b). There g(b) = sin b cos b - A sin b +
    B cos b goes from g(0) = B >= 0 to g(pi/2) = -A <= 0 and has exactly one root: bisection
    keeps a bracket of it, Newton steps inside the bracket make it fast. The sign of z then
    picks the quadrant. Special cases: the axis (the pole is nearest: the polar radius of
    curvature Re^2 / Rp exceeds Rp), the equatorial plane inside the evolute (cos b = A, the
    upper of two equally near feet), a point so far out that A or B overflow (the normal
    there points at it: tan b = Rp z / (Re rho)), and the centre (two poles: NaN, as for
    points at infinity).
    """
    x, y, z = float(x), float(y), float(z)
    aux2 = (Re * f) * (2 - f)
    rho = hypot(x, y)
    zq = abs(z)
    if not (math.isfinite(rho) and math.isfinite(zq)) or (rho == 0 and zq == 0):
        return NAN
    if rho == 0:
        return math.copysign(HALF_PI, z)
    A = rho / aux2
    B = ((1 - f) * zq) / aux2
    if zq == 0 or B == 0:
        return math.copysign(math.acos(A) if A < 1 else 0.0, z)
    if A == INF or B == INF:
        return math.copysign(atan2((1 - f) * zq, rho), z)
    lo, hi = 0.0, HALF_PI
    # From the given start if it lies in the quadrant, else from the geocentric latitude.
    in_quadrant = abs(start) <= HALF_PI and (start >= 0) == (z > 0)
    beta = abs(start) if in_quadrant else atan2(zq, rho)
    for _ in range(FOOT_STEPS):
        sin_beta, cos_beta = sincos(beta)
        g = (sin_beta * cos_beta - A * sin_beta) + B * cos_beta
        if g > 0:
            lo = beta
        elif g < 0:
            hi = beta
        else:
            break
        slope = ((cos_beta * cos_beta - sin_beta * sin_beta) - A * cos_beta) - B * sin_beta
        after = beta - div(g, slope)
        if not (lo < after < hi):
            after = 0.5 * (lo + hi)
        step = after - beta
        beta = after
        if abs(step) <= 2 * EPS * beta:
            break
    return math.copysign(beta, z)


def newton_result_is_nearest(Re, f, rho, z, beta, error, amplification):
    """Whether the Newton result is the nearest foot, with an error that moves neither the
    latitude (d lat / d beta <= 1 / (1 - f)) nor the closed-form altitude by more than a few
    units."""
    if not (abs(beta) <= HALF_PI and error <= NEWTON_ERROR_BOUND * (1 - f)):
        return False
    if not (error * amplification <= NEWTON_ALTITUDE_BOUND):
        return False
    # Inside the evolute's reach (A < 1) the root next to b = 0 beyond the equator may round to
    # z's side; the root of z's quadrant has cos b < A.
    aux2 = (Re * f) * (2 - f)
    if z != 0 and rho < aux2 and math.cos(beta) >= rho / aux2:
        return False
    if z > 0:
        return beta >= 0
    if z < 0:
        return beta <= 0
    # In the equatorial plane b = 0 is a foot, but inside the evolute (rho < Re e^2) the
    # nearest feet lie off the plane.
    return not (rho < aux2)


def scaled(Re, r):
    """``(k, Re, x, y, z)``: Re and r times 2^-k (length_exponent), exact."""
    x, y, z = map(float, r)
    k = length_exponent(Re, x, y, z)
    return k, math.ldexp(Re, -k), math.ldexp(x, -k), math.ldexp(y, -k), math.ldexp(z, -k)


def c_solve_reduced_lat_equation(Re, f, r):
    if f == 0:
        # Sphere: every point lies on its own normal; the geocentric latitude, well-conditioned
        # at the poles. The centre has no single nearest point.
        x, y, z = map(float, r)
        rho = hypot(x, y)
        return NAN if rho == 0 and z == 0 else atan2(z, rho)
    _, Re, x, y, z = scaled(Re, r)
    rho = hypot(x, y)
    if rho == 0 and z == 0 and any(float(v) != 0 for v in r):
        return math.copysign(HALF_PI, z)  # within 2^-1074 Re of the centre: z's pole
    aux2 = (Re * f) * (2 - f)
    if not (rho < FAR_RATIO * aux2 and (1 - f) * abs(z) < FAR_RATIO * aux2):
        if not (math.isfinite(rho) and math.isfinite(z)):
            return NAN
        return math.copysign(atan2((1 - f) * abs(z), rho), z)
    beta, _, error, amplification = newton_iteration(Re, f, x, y, z, rho)
    if newton_result_is_nearest(Re, f, rho, z, beta, error, amplification):
        return beta
    return nearest_foot_reduced_lat(Re, f, x, y, z, beta)


# --- surface frame kernels -----------------------------------------------------------------------


def surf_normal_vector(Re, f, lat, lon):
    lat, lon = float(lat), float(lon)
    sin_lat, cos_lat = sincos(lat)
    sin_lon, cos_lon = sincos(lon)
    return (cos_lat * cos_lon, cos_lat * sin_lon, sin_lat)


def surf_tangent_vector(Re, f, lat, lon):
    """Return ``(u_east, u_north)``."""
    lat, lon = float(lat), float(lon)
    beta = c_reduced_lat_from_geodetic_lat(Re, f, lat)
    sin_lon, cos_lon = sincos(lon)
    sin_beta, cos_beta = sincos(beta)
    aux = tangent_length(f, beta, cos_beta)
    u_east = (-sin_lon, cos_lon, 0.0)
    u_north = (
        div((-sin_beta) * cos_lon, aux),
        div((-sin_beta) * sin_lon, aux),
        div((1 - f) * cos_beta, aux),
    )
    return u_east, u_north


def c_enu(Re, f, lat, lon):
    """Return ``(u_east, u_north, u_up)``."""
    u_up = surf_normal_vector(Re, f, lat, lon)
    u_east, u_north = surf_tangent_vector(Re, f, lat, lon)
    return u_east, u_north, u_up


# --- surface position kernels --------------------------------------------------------------------


def c_surf_pos_from_surf_coord(Re, f, lat, lon):
    lat, lon = float(lat), float(lon)
    beta = c_reduced_lat_from_geodetic_lat(Re, f, lat)
    sin_lon, cos_lon = sincos(lon)
    sin_beta, cos_beta = sincos(beta)
    return ((Re * cos_beta) * cos_lon, (cos_beta * Re) * sin_lon, (sin_beta * Re) * (1 - f))


def pole_quotient(Re, f, z):
    """The arcsine argument of ``c_surf_coord_from_surf_pos`` before any adjustment."""
    return div(div(z, Re), 1 - f)


# Where 1 - q^2 is below this (cos(beta) < 1/16), the arcsine of q = z / Rp amplifies the
# rounding of q more than 16 times; the angle is then taken from both coordinates.
POLE_CAP = 1.0 / 256.0


def c_surf_coord_from_surf_pos(Re, f, r_surf):
    """Return ``(lat, lon)``."""
    x, y, z = map(float, r_surf)
    q = pole_quotient(Re, f, z)
    if 1.0 < abs(q) <= 1.0 + ASIN_SLACK:
        q = math.copysign(1.0, q)
    if abs(q) <= 1.0 and 1.0 - q * q < POLE_CAP:
        # The point (Re cos b, Rp sin b) seen from the centre of the unit circle it maps to.
        beta = atan2(q, div(hypot(x, y), Re))
    else:
        beta = asin(q)
    lon = atan2(y, x)
    lat = c_geodetic_lat_from_reduced_lat(Re, f, beta)
    return lat, lon


# --- geodetic position kernels -------------------------------------------------------------------


def solve_reduced_lat_specified(Re, f, r):
    """The solver as the formula states it: the Newton iteration, or on a sphere its start value
    (the arcsine of the geocentric latitude)."""
    x, y, z = map(float, r)
    if (Re * f) * (2 - f) == 0:
        return asin(div(z, sqrt((x * x + y * y) + z * z)))
    return newton_reduced_lat(Re, f, x, y, z)[0]


def lla_from_pos_specified(Re, f, r):
    """``(lat, lon, alt)`` of ``r`` as the formula states it: the specified solver and the
    closed-form altitude along the normal.

    The compiled kernel agrees with this bit for bit wherever it is accurate, among others on
    WGS84 for |lat| <= 1.5 rad within 1e6 m of the surface.
    """
    x, y, z = map(float, r)
    lon = 0.0 if (x == 0.0 and y == 0.0) else atan2(y, x)
    beta = solve_reduced_lat_specified(Re, f, r)
    r_equatorial_projection = sqrt(x * x + y * y)
    lat = c_geodetic_lat_from_reduced_lat(Re, f, beta)
    if r_equatorial_projection < 1e-5:
        alt = abs(z) - (1 - f) * Re
    else:
        cos_beta = cos(beta)
        root = sqrt(1 - (2 - f) * f * cos_beta * cos_beta)
        alt = div(root * (div(r_equatorial_projection, cos_beta) - Re), 1 - f)
    return lat, lon, alt


# On the axis, as a fraction of Re (1e-5 m on the Earth), the altitude is |z| - Rp, provided
# the point is also within 2**-26 |z| of the axis: the neglected term, about rho^2 / (2 |z|), is
# then below half a unit in the last place of |z|.
AXIS_POINT = 1e-5 / 6378137.0
AXIS_POINT_SLOPE = 2.0**-26
# Next to the axis (a fraction of Re), or where the closed-form altitude amplifies rounding more
# than CLOSED_FORM_MAX_GAIN times, the projection onto the normal is used instead.
AXIS_BAND = 1.0 / 600.0


# Outside the protected band (|lat| <= 1.5 rad and |alt| <= 1e6 m on the Earth, as a fraction of
# Re on any ellipsoid) lla_from_pos finishes the solver's reduced latitude by Newton steps (one, at most three) on
# the unnormalised sine and cosine (Fukushima 2006) and takes the latitude and the altitude from
# them, as the vectorised path does: the truth to a unit or two.
BAND_LATITUDE = 1.5
BAND_ALTITUDE = 1e6 / 6378137.0 * (1 + 2.0**-40)
FINISH_STEP = 2.0**-20
FINISH_STEPS = 3
FINISHED_STEP = 2.0**-30


WIDE_SQUARE_LOW = 2.0**-900


def _split(x):
    """x = hi + lo, hi of 26 significant bits (Veltkamp)."""
    t = x * 134217729.0
    hi = t - (t - x)
    return hi, x - hi


# Double-doubles (hi, lo) for the residual of the Newton step (Dekker 1971).
def _quick_two_sum(a, b):
    s = a + b
    return s, b - (s - a)


def _two_sum(a, b):
    s = a + b
    bb = s - a
    return s, (a - (s - bb)) + (b - bb)


def _two_product(a, b):
    p = a * b
    return p, math.fma(a, b, -p)


def _add(x, y):
    s, e = _two_sum(x[0], y[0])
    return _quick_two_sum(s, e + (x[1] + y[1]))


def _sub(x, y):
    return _add(x, (-y[0], -y[1]))


def _times(x, y):
    p, e = _two_product(x[0], y)
    return _quick_two_sum(p, e + x[1] * y)


def _times_wide(x, y):
    p, e = _two_product(x[0], y[0])
    return _quick_two_sum(p, e + (x[0] * y[1] + x[1] * y[0]))


def _divide(x, y):
    q = x[0] / y[0]
    rest = _sub(x, _times(y, q))
    return _quick_two_sum(q, rest[0] / y[0])


def _square_root(x):
    """The square root of x >= 0 (x[0] normal or zero)."""
    if not x[0] > 0:
        return sqrt(x[0]), 0.0
    root = sqrt(x[0])
    return _quick_two_sum(root, (math.fma(-root, root, x[0]) + x[1]) / (2 * root))


def foot_point_lla(Re, f, x, y, rho, z, beta):
    """``(lat, alt)`` of (x, y, z) (rho its distance from the axis) from the reduced latitude
    beta of its nearest foot: Newton steps with the residual in double-double."""
    om_hi = 1.0 - f
    om_lo = (1.0 - om_hi) - f
    ae2 = Re * (f * (2.0 - f))
    b_hi = Re * om_hi
    a_hi, a_lo = _split(Re)
    o_hi, o_lo = _split(om_hi)
    b_lo = ((((a_hi * o_hi - b_hi) + a_hi * o_lo) + a_lo * o_hi) + a_lo * o_lo) + Re * om_lo
    om2 = _add(_times((om_hi, om_lo), om_hi), _two_product(om_hi, om_lo))
    wide_ae2 = _times(_sub((1.0, 0.0), om2), Re)
    az = abs(z)
    zz = az * om_hi + az * om_lo
    s, c = abs(sin(beta)), cos(beta)
    squares = _add(_two_product(x, x), _two_product(y, y))
    wide_rho = _square_root(squares) if squares[0] >= WIDE_SQUARE_LOW else (rho, 0.0)
    wide_zz = _times((om_hi, om_lo), az)
    s1, c1 = s, c
    for _ in range(FINISH_STEPS):
        m = _square_root(_add(_two_product(s1, s1), _two_product(c1, c1)))
        lever = _sub(_times(wide_rho, s1), _times(wide_zz, c1))
        wide_g = _sub(_times_wide(lever, m), _times(_times(wide_ae2, s1), c1))
        g = wide_g[0] + wide_g[1]
        slope = (rho * c1 + zz * s1) - ae2 * ((c1 - s1) * (c1 + s1))
        d = div(g, slope)
        if not abs(d) <= FINISH_STEP:
            break
        s1, c1 = s1 - c1 * d, c1 + s1 * d
        if abs(d) <= FINISHED_STEP * min(s1, c1):
            break
    lat = atan2(s1, c1 * om_hi + c1 * om_lo)
    if z < 0:
        lat = -lat
    # The altitude: r minus the foot along the unit normal, in double-double.
    m = _square_root(_add(_two_product(s1, s1), _two_product(c1, c1)))
    along_rho = _sub(wide_rho, _times(_divide((c1, 0.0), m), Re))
    along_z = _sub((az, 0.0), _times_wide(_divide((s1, 0.0), m), (b_hi, b_lo)))
    n_rho = _times((om_hi, om_lo), c1)
    n = _square_root(_add(_times_wide(n_rho, n_rho), _two_product(s1, s1)))
    return lat, _divide(_add(_times_wide(along_rho, n_rho), _times(along_z, s1)), n)[0]


def c_lla_from_pos(Re, f, r):
    """``(lat, lon, alt)``: the nearest foot of the normal, and the signed distance from it.

    The distance is, by the foot's definition, the length of r - foot along the unit normal
    n = ((1 - f) cos b, sin b) / sqrt(1 - e^2 cos^2 b) in the meridian plane; that projection
    changes only to second order with an error of b. Where cos b is not small the same length
    is computed as |r - foot| along the normal's slope, rho / cos b - Re, scaled.
    """
    x, y, z = map(float, r)
    lon = 0.0 if (x == 0.0 and y == 0.0) else atan2(y, x)
    beta = c_solve_reduced_lat_equation(Re, f, r)
    lat = c_geodetic_lat_from_reduced_lat(Re, f, beta)
    # The altitude on Re and r scaled as the solver scales them, scaled back.
    Re0 = Re
    k, Re, x, y, z = scaled(Re, r)
    rho = hypot(x, y)
    alt = math.ldexp(_formula_altitude(Re, f, rho, z, beta), k)
    if abs(lat) <= BAND_LATITUDE and abs(alt) <= BAND_ALTITUDE * Re0:
        return lat, lon, alt
    if not (rho > 0 and math.isfinite(beta) and math.isfinite(rho) and math.isfinite(z)):
        return lat, lon, alt
    if f == 0:  # the sphere: |r| - Re, with |r| in double-double
        squares = _add(_add(_two_product(x, x), _two_product(y, y)), _two_product(z, z))
        if squares[0] >= WIDE_SQUARE_LOW:
            distance = _sub(_square_root(squares), (Re, 0.0))
            alt = math.ldexp(distance[0] + distance[1], k)
        return lat, lon, alt
    lat, alt = foot_point_lla(Re, f, x, y, rho, z, beta)
    return lat, lon, math.ldexp(alt, k)


def _formula_altitude(Re, f, rho, z, beta):
    """The altitude of c_lla_from_pos before the band's check, on the scaled Re and r."""
    if rho < AXIS_POINT * Re and rho <= AXIS_POINT_SLOPE * abs(z):
        return abs(z) - (1 - f) * Re
    cos_beta = cos(beta)
    aux = tangent_length(f, beta, cos_beta)

    def projected():
        sin_beta = sin(beta)
        foot_rho, foot_z = Re * cos_beta, ((1 - f) * Re) * sin_beta
        along_rho = (rho - foot_rho) * ((1 - f) * cos_beta)
        along_z = (z - foot_z) * sin_beta
        return div(along_rho + along_z, aux)

    if rho < AXIS_BAND * Re or not closed_form_is_accurate(f, cos_beta, aux):
        return projected()
    alt = div(aux * (div(rho, cos_beta) - Re), 1 - f)
    if aux > CLOSED_FORM_SAFE_GAIN * ((1 - f) * cos_beta):
        # The closed form amplifies beta's last unit several times: keep it only where the
        # projection confirms it.
        check = projected()
        if not (abs(alt - check) <= CLOSED_FORM_AGREEMENT * max(Re, rho, abs(z))):
            alt = check
    return alt


def c_pos_from_lla(Re, f, lat, lon, alt):
    alt = float(alt)
    r_surf = c_surf_pos_from_surf_coord(Re, f, lat, lon)
    u_normal = surf_normal_vector(Re, f, lat, lon)
    return tuple(alt * u_normal[k] + r_surf[k] for k in range(3))


# --- observation kernels -------------------------------------------------------------------------


# The quadratic of the line is kept as the formula states it while the source lies within
# 2 Re (c <= 3 Re^2, in the space where the ellipsoid is a sphere) and the direction's squared
# length a is far from overflow and underflow; elsewhere the stable form below is used.
RAY_NEAR = 3.0
RAY_MIDDLE = 15.0
DIRECTION_LOW, DIRECTION_HIGH = 2.0**-400, 2.0**400


def ray_hit_lagrange(Re, f, r_ray, u_ray):
    """The nearer meeting point of the line r + l u with the ellipsoid, for a source between 2
    and 4 Re (a unit of |r|, a few of Re).

    Dividing z by (1 - f) turns the ellipsoid into the sphere of radius Re. There, with the
    direction v scaled by a power of two (exactly; the point found does not depend on |u|),
    a l^2 + 2 h l + c = 0 with a = |v|^2, h = v.r, c = |r|^2 - Re^2, and the quarter
    discriminant h^2 - a c equals a Re^2 - |v x r|^2 (Lagrange's identity): a Re^2 less the
    squared distance of the line from the centre, times a, free of the cancellation of h^2
    against a c for a far source. Of the roots q / a and c / q, q = -(h + sign(h) sqrt(...)),
    the nearer one is c / q, which adds two numbers of the same sign.
    """
    ux, uy, uz = u_ray
    m = max(abs(ux), abs(uy), abs(uz))
    if not (0 < m < INF) or math.isnan(ux + uy + uz):
        return (NAN, NAN, NAN)
    e = math.frexp(m)[1]
    v = vx, vy, vz = (math.ldexp(ux, -e), math.ldexp(uy, -e), math.ldexp(uz, -e))
    rx, ry, rz = r_ray
    stretch = div(1.0, 1 - f)
    sx, sy, sz = rx, ry, rz * stretch
    wx, wy, wz = vx, vy, vz * stretch
    a = (wx * wx + wy * wy) + wz * wz
    h = (wx * sx + wy * sy) + wz * sz
    c = ((sx * sx + sy * sy) + sz * sz) - Re * Re
    cx, cy, cz = wy * sz - wz * sy, wz * sx - wx * sz, wx * sy - wy * sx
    disc = a * (Re * Re) - ((cx * cx + cy * cy) + cz * cz)
    if disc < 0:
        return (NAN, NAN, NAN)
    root = sqrt(disc)
    q = -(h + root) if h > 0 else root - h
    l = div(c, q) if q != 0 else 0.0
    return tuple(r_ray[i] + l * v[i] for i in range(3))


def difference_of_products(a, d, b, c):
    """a d - b c by Kahan's algorithm (fused multiply-adds): within two units of the result."""
    w = b * c
    e = math.fma(-b, c, w)
    return math.fma(a, d, -w) + e


FARTHEST_SOURCE = 2.0**-900


def ray_hit_stable(Re, f, r_ray, u_ray):
    """The nearer meeting point of the line r + l u with the ellipsoid, for a far source.

    Multiplying z by s = 1 / (1 - f) turns the ellipsoid into the sphere of radius Re. There
    the point of the line closest to the centre is p = w x (r' x w) / |w|^2 (r' and w the
    stretched source and direction), and the line meets the sphere at
    p +- sqrt((Re - |p|)(Re + |p|)) w / |w|; the nearer point lies on the source's side of p,
    the sign of w.r'. The cancellation in r' x w = (s c_x, s c_y, c_z), c = r x u, is taken on
    the given doubles (scaled by powers of two) as differences of products; the rest carries
    relative roundings only. Sources more than 2^1900 Re away: NaN.
    """
    ux, uy, uz = u_ray
    m = max(abs(ux), abs(uy), abs(uz))
    rx, ry, rz = r_ray
    finite = all(math.isfinite(v) for v in r_ray)
    if not (0 < m < INF) or math.isnan(ux + uy + uz) or not finite:
        return (NAN, NAN, NAN)
    e = math.frexp(m)[1]
    vx, vy, vz = math.ldexp(ux, -e), math.ldexp(uy, -e), math.ldexp(uz, -e)
    # Re into [1/2, 1), unless the source would then pass 2^1000.
    source = max(abs(rx), abs(ry), abs(rz))
    k = math.frexp(Re)[1]
    if source > 0:
        k = max(k, math.frexp(source)[1] - 1000)
    R = math.ldexp(Re, -k)
    if not R >= FARTHEST_SOURCE:
        return (NAN, NAN, NAN)
    sx, sy, sz = math.ldexp(rx, -k), math.ldexp(ry, -k), math.ldexp(rz, -k)
    stretch = div(1.0, 1 - f)
    wz = stretch * vz
    a = (vx * vx + vy * vy) + wz * wz
    h = (vx * sx + vy * sy) + wz * (stretch * sz)
    cx = stretch * difference_of_products(sy, vz, sz, vy)
    cy = stretch * difference_of_products(sz, vx, sx, vz)
    cz = difference_of_products(sx, vy, sy, vx)
    # w is orthogonal to r' x w: the terms of p are at most a d, their roundings a few units of d.
    px = (vy * cz - wz * cy) / a
    py = (wz * cx - vx * cz) / a
    pz = (vx * cy - vy * cx) / a
    d = sqrt((px * px + py * py) + pz * pz) if R > SQUARE_LOW else hypot(hypot(px, py), pz)
    if not d <= R:
        return (NAN, NAN, NAN)
    half_chord = sqrt((R - d) * (R + d)) if R > SQUARE_LOW else sqrt(R - d) * sqrt(R + d)
    l = math.copysign(half_chord / sqrt(a), h)
    # + 0.0 turns a -0 into +0 and changes nothing else.
    return (
        math.ldexp(px + l * vx, k) + 0.0,
        math.ldexp(py + l * vy, k) + 0.0,
        math.ldexp((pz + l * wz) * (1 - f), k) + 0.0,
    )


def c_surf_pos_of_ray_first_intersection(Re, f, r_ray, u_ray):
    r_ray = rx, ry, rz = tuple(map(float, r_ray))
    u_ray = ux, uy, uz = tuple(map(float, u_ray))
    diagGz = div(div(1.0, 1 - f), 1 - f)
    a = (ux * ux + uy * uy) + (uz * uz) * diagGz
    b = 2 * ((ux * rx + uy * ry) + (uz * rz) * diagGz)
    c = ((rx * rx + ry * ry) + (rz * rz) * diagGz) - Re * Re
    near = c <= RAY_NEAR * (Re * Re) and DIRECTION_LOW <= a <= DIRECTION_HIGH
    normal_re = LENGTH_LOW <= Re <= LENGTH_HIGH
    if not (near and normal_re):
        if c <= RAY_MIDDLE * (Re * Re) and normal_re:
            return ray_hit_lagrange(Re, f, r_ray, u_ray)
        return ray_hit_stable(Re, f, r_ray, u_ray)
    delta = b * b - c * (4.0 * a)
    if delta < 0:
        return (NAN, NAN, NAN)
    if delta == 0:
        l = div((-b) * 0.5, a)
    else:
        sqrt_delta = sqrt(delta)
        l1 = div((sqrt_delta - b) * 0.5, a)
        l2 = div((-b - sqrt_delta) * 0.5, a)
        l = l1 if abs(l1) < abs(l2) else l2
    return tuple(r_ray[i] + l * u_ray[i] for i in range(3))


def c_aer_coords(Re, f, r_target, lat_obs, lon_obs, alt_obs):
    """Return ``(azimuth, elevation, range)``. A vector whose largest component leaves
    [2^-500, 2^500] is scaled by a power of two first (the range scaled back); within 0.0626 rad
    of the zenith or nadir (cos(elevation) < 1/16) the elevation is atan2(up, hypot(east,
    north)), elsewhere the arcsine of up / range."""
    r_target = tuple(map(float, r_target))
    r_obs = c_pos_from_lla(Re, f, lat_obs, lon_obs, alt_obs)
    d = vec_sub(r_target, r_obs)
    m = max(abs(v) for v in d)
    k = 0
    if not (SQUARE_LOW < m < SQUARE_HIGH) and 0 < m < INF:
        k = math.frexp(m)[1]
        d = tuple(math.ldexp(v, -k) for v in d)
    u_east, u_north, u_up = c_enu(Re, f, lat_obs, lon_obs)
    east = vec_dot(d, u_east)
    north = vec_dot(d, u_north)
    up = vec_dot(d, u_up)
    rng = vec_norm(d)
    q = div(up, rng)
    if q * q > 1 - POLE_CAP:
        elevation = atan2(up, hypot(east, north))
    else:
        elevation = asin(q)
    return atan2(east, north), elevation, math.ldexp(rng, k)


# --- high-precision altitude ---------------------------------------------------------------------


def altitude_exact(Re, f, x, y, z, digits=60):
    """Altitude of the point (x, y, z) above the ellipsoid along its normal, to ~``digits``.

    The inputs are taken as the exact values of the given doubles. The foot point (u, w) in the
    meridian plane satisfies rho - u = t * u / a^2 and z - w = t * w / b^2 for the multiplier
    t, so u = rho a^2 / (a^2 + t), w = z b^2 / (b^2 + t), and t is the largest root of
    F(t) = (rho a / (a^2 + t))^2 + (z b / (b^2 + t))^2 - 1. F is convex and decreasing for
    t > -b^2, so Newton's method started below the root climbs to it monotonically. The altitude
    is t * |(u / a^2, w / b^2)|, signed like t. Valid for points outside the evolute (all points
    more than about Re * f * (2 - f) from the centre); z must not be 0.
    """
    with localcontext() as ctx:
        ctx.prec = digits + 10
        a = Decimal(Re)
        b = (1 - Decimal(f)) * a
        rho = (Decimal(x) ** 2 + Decimal(y) ** 2).sqrt()
        zd = Decimal(z)
        if zd == 0:
            return float(rho - a)
        a2, b2 = a * a, b * b
        ra, zb = rho * a, abs(zd) * b

        def F(t):
            return (ra / (a2 + t)) ** 2 + (zb / (b2 + t)) ** 2 - 1

        def dF(t):
            return -2 * (ra * ra / (a2 + t) ** 3 + zb * zb / (b2 + t) ** 3)

        # Start below the root: the root satisfies b^2 + t >= |z| b (the w-term alone is <= 1),
        # so any s = b^2 + t below |z| b with F > 0 will do.
        s = zb
        while F(s - b2) <= 0:
            s = s / 2
        t = s - b2
        tol = Decimal(10) ** (-digits) * (a2 + abs(t))
        for _ in range(500):
            step = F(t) / dF(t)
            t -= step
            if abs(step) <= tol:
                break
        else:
            raise ArithmeticError("altitude_exact did not converge")
        u = rho * a2 / (a2 + t)
        w = zd * b2 / (b2 + t)
        h = t * ((u / a2) ** 2 + (w / b2) ** 2).sqrt()
        return float(h)


# --- 60-digit truth ------------------------------------------------------------------------------


def foot_exact(Re, f, x, y, z, digits=60):
    """``(beta, lat, alt)`` of the nearest point of the ellipsoid to (x, y, z), to ~``digits``,
    as mpmath numbers; NaN at the centre, where both poles are nearest.

    Independent of the kernels: in the meridian half-plane the nearest point (u, w) of the
    ellipse to (rho, |z|) satisfies rho - u = t u / a^2 and |z| - w = t w / b^2, so
    u = a^2 rho / (a^2 + t) and w = b^2 |z| / (b^2 + t), with t the only root beyond -b^2 of
    F(t) = (a rho / (a^2 + t))^2 + (b |z| / (b^2 + t))^2 - 1 (F decreases there from +inf to
    -1; being convex, Newton's method from the left of the root climbs to it). On the axis the
    pole is nearest; in the equatorial plane inside the evolute (a rho < a^2 - b^2) the feet are
    at u = a^2 rho / (a^2 - b^2). The inputs are the exact values of the doubles.
    """
    import mpmath as mp

    # F cancels by the ratio of the axes squared: carry those digits as well.
    with mp.workdps(digits + 10 + 2 * int(-math.log10(1 - f))):
        a = mp.mpf(Re)
        b = (1 - mp.mpf(f)) * a
        x, y, zd = mp.mpf(x), mp.mpf(y), mp.mpf(z)
        rho = mp.sqrt(x * x + y * y)
        zq = abs(zd)
        sign = -1 if math.copysign(1.0, float(z)) < 0 else 1
        if rho == 0 and zq == 0:
            return mp.nan, mp.nan, -b
        if rho == 0:
            return sign * mp.pi / 2, sign * mp.pi / 2, zq - b
        a2, b2 = a * a, b * b
        if zq == 0:
            if a * rho >= a2 - b2:
                return mp.mpf(0), mp.mpf(0), rho - a
            u = a2 * rho / (a2 - b2)
            w = b * mp.sqrt(1 - (u / a) ** 2)
        else:
            # In s = b^2 + t, so that neither tiny nor huge points lose digits to b^2.
            ra, zb, gap = rho * a, zq * b, a2 - b2

            def F(s):
                return (ra / (s + gap)) ** 2 + (zb / s) ** 2 - 1

            def dF(s):
                return -2 * (ra * ra / (s + gap) ** 3 + zb * zb / s**3)

            s = zb  # s >= |z| b at the root; halve until F > 0
            while F(s) <= 0:
                s /= 2
            for _ in range(5000):
                step = F(s) / dF(s)
                s -= step
                if abs(step) <= mp.mpf(10) ** (5 - digits) * s:
                    break
            else:
                raise ArithmeticError("foot_exact did not converge")
            u = a2 * rho / (s + gap)
            w = b2 * zq / s
        beta = mp.atan2(w / b, u / a)
        lat = mp.atan2(w / b2, u / a2)
        d = mp.sqrt((rho - u) ** 2 + (zq - w) ** 2)
        alt = -d if (rho / a) ** 2 + (zq / b) ** 2 < 1 else d
        return sign * beta, sign * lat, alt


def ray_hit_exact(Re, f, r_ray, u_ray, digits=60):
    """The nearer meeting point of the line r + l u with the ellipsoid, to ~``digits`` (mpmath
    numbers), or None when the line misses."""
    import mpmath as mp

    # c cancels against h^2 / a by the square of the source's distance in radii.
    far = max(1.0, *(abs(float(v)) / Re for v in r_ray)) / (1 - f)
    with mp.workdps(digits + 10 + 2 * int(math.log10(far))):
        k = 1 / (1 - mp.mpf(f))
        r = [mp.mpf(v) for v in r_ray]
        u = [mp.mpf(v) for v in u_ray]
        g = [mp.mpf(1), mp.mpf(1), k * k]
        a = sum(gi * ui * ui for gi, ui in zip(g, u))
        h = sum(gi * ui * ri for gi, ui, ri in zip(g, u, r))
        c = sum(gi * ri * ri for gi, ri in zip(g, r)) - mp.mpf(Re) ** 2
        disc = h * h - a * c
        if disc < 0:
            return None
        roots = [(-h + mp.sqrt(disc)) / a, (-h - mp.sqrt(disc)) / a]
        l = min(roots, key=abs)
        return [ri + l * ui for ri, ui in zip(r, u)]


def aer_exact(Re, f, r_target, lat_obs, lon_obs, alt_obs, digits=60):
    """``(azimuth, elevation, range)`` of r_target seen from the observer at geodetic
    (lat_obs, lon_obs, alt_obs), to ~``digits`` (mpmath numbers): the observer's position
    ((N + h) cos lat cos lon, (N + h) cos lat sin lon, (N (1 - e^2) + h) sin lat), N = Re /
    sqrt(1 - e^2 sin^2 lat), and its East-North-Up axes, from the geometry alone."""
    import mpmath as mp

    far = max(1.0, *(abs(float(v)) / Re for v in r_target))
    with mp.workdps(digits + 10 + int(math.log10(far))):
        a, F = mp.mpf(Re), mp.mpf(f)
        e2 = F * (2 - F)
        lat, lon, h = mp.mpf(lat_obs), mp.mpf(lon_obs), mp.mpf(alt_obs)
        N = a / mp.sqrt(1 - e2 * mp.sin(lat) ** 2)
        cl, sl, co, so = mp.cos(lat), mp.sin(lat), mp.cos(lon), mp.sin(lon)
        obs = [(N + h) * cl * co, (N + h) * cl * so, (N * (1 - e2) + h) * sl]
        d = [mp.mpf(t) - o for t, o in zip(r_target, obs)]
        east = -so * d[0] + co * d[1]
        north = -sl * co * d[0] - sl * so * d[1] + cl * d[2]
        up = cl * co * d[0] + cl * so * d[1] + sl * d[2]
        horizontal = mp.sqrt(east * east + north * north)
        return mp.atan2(east, north), mp.atan2(up, horizontal), mp.sqrt(horizontal**2 + up * up)
