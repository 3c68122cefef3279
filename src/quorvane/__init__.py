"""Quorvane: geodesy and geometry tools."""
