"""Recomputes sets of the geodesic truth (testsupport/geodesic_truth_data.py, where the tests
read it too): ``python -m bench.geodesic_truth_data [--sets NAME ...] [--jobs J] [--list]``."""

from testsupport.geodesic_truth_data import main

if __name__ == "__main__":
    main()
