"""The Python examples of the README; test_typing.py runs them and checks them with mypy."""

import numpy as np

from quorvane.mathtools.ellipsoid import catalogue
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

# A named ellipsoid from the catalogue, or any Re (metres) and flattening f.
wgs84 = catalogue.get("WGS84")
grs80 = Ellipsoid(6378137.0, 1 / 298.257222101)
print(catalogue.names(), grs80.Rp)

# One point: numbers in, a float or a single 3-vector out. Angles are radians.
r = wgs84.pos_from_lla(np.radians(47.3769), np.radians(8.5417), 408.0)  # shape (3,)
beta: float = wgs84.reduced_lat_from_geodetic_lat(np.radians(47.3769))
lla = wgs84.lla_from_pos(r)  # LLA_dtype records, shape (1,)
print(np.degrees(lla["lat"][0]), np.degrees(lla["lon"][0]), lla["alt"][0])

# Many points: 1-D arrays in, arrays out.
lat = np.radians(np.array([0.0, 45.0, 89.9]))
lon = np.radians(np.array([0.0, 90.0, -120.0]))
alt = np.array([0.0, 1000.0, -50.0])
positions = wgs84.pos_from_lla(lat, lon, alt)  # shape (3, 3), ECEF metres
back = wgs84.lla_from_pos(positions)
assert np.allclose(back["lat"], lat, rtol=0, atol=1e-12)
betas = wgs84.reduced_lat_from_geodetic_lat(lat)  # float64, shape (3,)
frames = wgs84.enu(lat, lon)  # ENU_dtype: u_east, u_north, u_up of shape (3, 3)
print(betas, frames["u_up"])

# Azimuth, elevation and range of targets seen from an observer.
aer = wgs84.aer_coords(positions, np.radians(45.0), np.radians(7.0), 200.0)
print(np.degrees(aer["azimuth"]), np.degrees(aer["elevation"]), aer["range"])

# Where rays from a point 1000 km above the equator meet the surface (NaN rows for misses).
origin = np.array([7378137.0, 0.0, 0.0])
directions = np.array([[-1.0, 0.0, 0.0], [-1.0, 0.1, 0.0], [0.0, 1.0, 0.0]])
hits = wgs84.surf_pos_of_ray_first_intersection(origin, directions)  # shape (3, 3)
print(hits)

# Surface points and their coordinates; latitudes of the foot of the normal.
surface = wgs84.surf_pos_from_surf_coord(lat, lon)  # shape (3, 3), on the ellipsoid
coords = wgs84.surf_coord_from_surf_pos(surface)  # SurfCoord_dtype: lat, lon
feet = wgs84.solve_reduced_lat_equation(positions)  # reduced latitudes, shape (3,)
print(coords["lat"], wgs84.geodetic_lat_from_reduced_lat(feet))
