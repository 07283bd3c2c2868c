"""Tests of bitloom_bulk: layouts, columns, CCSDS streams, the recipe reader,
recipe checks and files, the command line, Dask, threads and the distribution."""
