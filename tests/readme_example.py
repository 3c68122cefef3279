"""The Python examples of the README, one block per marker line; test_typing.py runs them and
checks them with mypy."""

from quorvane.mathtools.ellipsoid import catalogue, frames

wgs84 = catalogue.get("WGS84")  # or Ellipsoid(Re, f): metres, flattening
r = frames.pos_from_lla(wgs84, 47.3769, 8.5417, 408.0, degrees=True)  # ECEF metres, shape (3,)
lla = frames.lla_from_pos(wgs84, r, degrees=True)  # records: lat, lon (degrees), alt (m)
track = frames.pos_from_lla(wgs84, [47.37, 47.38, 47.39], 8.54, 408.0, degrees=True)  # (3, 3)
print(lla["lat"], lla["lon"], lla["alt"], track.shape)
# README block: Geodesics
from quorvane.mathtools.ellipsoid import geodesic

jfk_sin = geodesic.inverse(wgs84, 40.64, -73.78, 1.36, 103.99, degrees=True)
print(jfk_sin["s12"], jfk_sin["azi1"])  # 15347512.94 m, 3.3058 degrees
dest = geodesic.direct(wgs84, 40.64, -73.78, 3.3058, 1e7, degrees=True)  # 10,000 km north-ish
square = geodesic.polygon_area(wgs84, [0, 0, 1, 1], [0, 1, 1, 0], degrees=True)  # records
print(dest["lat2"], dest["lon2"], square["area"], square["perimeter"])  # m^2, m
# README block: Geometries and xarray
import shapely

field = shapely.Polygon([(0, 0), (1, 0), (1, 1), (0, 1)])  # (lon, lat) degrees
print(geodesic.geometry_area_perimeter(wgs84, [field, field.reverse()])["area"])  # +-1.23e10 m^2
print(geodesic.geometry_length(wgs84, shapely.LineString([(0, 0), (1, 1)])))  # 156899.568 m
