"""Pure-Python reference of the twelve scalar ellipsoid kernels.

It checks the formula contract: that each compiled kernel evaluates its formula exactly as
written, bit for bit. It does not check geodetic truth: a formula that is inaccurate somewhere
is reproduced with the same error. Accuracy is tested apart, against ``altitude_exact`` below
and against an independent library (test_peer_crosscheck.py).

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

``altitude_exact`` is not a kernel: it computes the altitude of a point above the ellipsoid in
60-digit decimal arithmetic, independently of the kernels, for accuracy tests.
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


# --- latitude kernels ----------------------------------------------------------------------------


def c_reduced_lat_from_geodetic_lat(Re, f, geodetic_lat):
    return atan((1 - f) * tan(float(geodetic_lat)))


def c_geodetic_lat_from_reduced_lat(Re, f, reduced_lat):
    return atan(div(tan(float(reduced_lat)), 1 - f))


def newton_reduced_lat(Re, f, x, y, z):
    """Return ``(beta, steps)``: the solver's result and the number of Newton steps taken.

    ``steps`` is 0 when the iteration is skipped (sphere) and MAX_NEWTON_STEPS when the
    iteration ran into its bound (then ``beta`` is NaN).
    """
    x, y, z = float(x), float(y), float(z)
    aux1 = x * x + y * y
    aux2 = (Re * f) * (2 - f)
    A = div(sqrt(aux1), aux2)
    B = div((1 - f) * z, aux2)
    beta = asin(div(z, sqrt(aux1 + z * z)))
    if aux2 == 0.0:
        # Sphere: the foot of the normal is at the geocentric latitude, the start value.
        return beta, 0
    for step in range(1, MAX_NEWTON_STEPS + 1):
        sin_beta, cos_beta = sincos(beta)
        numerator = (sin_beta * cos_beta - A * sin_beta) + B * cos_beta
        denominator = ((cos_beta * cos_beta - sin_beta * sin_beta) - A * cos_beta) - B * sin_beta
        inc = div(numerator, denominator)
        beta = beta - inc
        if not abs(inc) > NEWTON_TOLERANCE:
            return beta, step
    return NAN, MAX_NEWTON_STEPS


def c_solve_reduced_lat_equation(Re, f, r):
    return newton_reduced_lat(Re, f, r[0], r[1], r[2])[0]


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
    aux = sqrt(1 - (2 - f) * f * cos_beta * cos_beta)
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


def c_surf_coord_from_surf_pos(Re, f, r_surf):
    """Return ``(lat, lon)``."""
    x, y, z = map(float, r_surf)
    q = pole_quotient(Re, f, z)
    if 1.0 < abs(q) <= 1.0 + ASIN_SLACK:
        q = math.copysign(1.0, q)
    beta = asin(q)
    lon = atan2(y, x)
    lat = c_geodetic_lat_from_reduced_lat(Re, f, beta)
    return lat, lon


# --- geodetic position kernels -------------------------------------------------------------------


def lla_from_pos_specified(Re, f, r):
    """``(lat, lon, alt)`` of ``r`` by the closed-form altitude along the normal.

    The compiled kernel uses a better-conditioned altitude next to the polar axis; elsewhere it
    must agree with this bit for bit, and latitude and longitude agree everywhere.
    """
    x, y, z = map(float, r)
    lon = 0.0 if (x == 0.0 and y == 0.0) else atan2(y, x)
    beta = c_solve_reduced_lat_equation(Re, f, r)
    r_equatorial_projection = sqrt(x * x + y * y)
    lat = c_geodetic_lat_from_reduced_lat(Re, f, beta)
    if r_equatorial_projection < 1e-5:
        alt = abs(z) - (1 - f) * Re
    else:
        cos_beta = cos(beta)
        root = sqrt(1 - (2 - f) * f * cos_beta * cos_beta)
        alt = div(root * (div(r_equatorial_projection, cos_beta) - Re), 1 - f)
    return lat, lon, alt


def c_pos_from_lla(Re, f, lat, lon, alt):
    alt = float(alt)
    r_surf = c_surf_pos_from_surf_coord(Re, f, lat, lon)
    u_normal = surf_normal_vector(Re, f, lat, lon)
    return tuple(alt * u_normal[k] + r_surf[k] for k in range(3))


# --- observation kernels -------------------------------------------------------------------------


def c_surf_pos_of_ray_first_intersection(Re, f, r_ray, u_ray):
    r_ray = rx, ry, rz = tuple(map(float, r_ray))
    u_ray = ux, uy, uz = tuple(map(float, u_ray))
    diagGz = div(div(1.0, 1 - f), 1 - f)
    a = (ux * ux + uy * uy) + (uz * uz) * diagGz
    b = 2 * ((ux * rx + uy * ry) + (uz * rz) * diagGz)
    c = ((rx * rx + ry * ry) + (rz * rz) * diagGz) - Re * Re
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
    """Return ``(azimuth, elevation, range)``; ``up / range`` is clamped into [-1, 1]."""
    r_target = tuple(map(float, r_target))
    r_obs = c_pos_from_lla(Re, f, lat_obs, lon_obs, alt_obs)
    r_target_obs = vec_sub(r_target, r_obs)
    u_east, u_north, u_up = c_enu(Re, f, lat_obs, lon_obs)
    east = vec_dot(r_target_obs, u_east)
    north = vec_dot(r_target_obs, u_north)
    up = vec_dot(r_target_obs, u_up)
    rng = vec_norm(r_target_obs)
    q = div(up, rng)
    if q > 1.0:
        q = 1.0
    elif q < -1.0:
        q = -1.0
    return atan2(east, north), asin(q), rng


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
