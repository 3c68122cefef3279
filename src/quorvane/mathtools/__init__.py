"""Numerical tools of the quorvane family."""
