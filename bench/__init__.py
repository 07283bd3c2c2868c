"""Benchmarks, run as modules from the repository's root (``python -m
bench.bench_packets``) so that they import what they share as packages:
``bench.packet_recipes``, ``tests.support.streams``, ``examples.telemetry``."""
