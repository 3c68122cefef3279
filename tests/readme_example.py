"""The Python example of the README; test_typing.py runs it and checks it with mypy."""

from quorvane.mathtools.ellipsoid import catalogue, frames

wgs84 = catalogue.get("WGS84")  # or Ellipsoid(Re, f): metres, flattening
r = frames.pos_from_lla(wgs84, 47.3769, 8.5417, 408.0, degrees=True)  # ECEF metres, shape (3,)
lla = frames.lla_from_pos(wgs84, r, degrees=True)  # records: lat, lon (degrees), alt (m)
track = frames.pos_from_lla(wgs84, [47.37, 47.38, 47.39], 8.54, 408.0, degrees=True)  # (3, 3)
print(lla["lat"], lla["lon"], lla["alt"], track.shape)
