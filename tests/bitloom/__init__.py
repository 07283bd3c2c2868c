"""Tests of the bitloom module: codecs, packing and unpacking, plans, references
and memory, and its public surface (test_surface.py, the one golden copy)."""
