"""Fixtures of the bulk tests."""

from __future__ import annotations

import pytest

TIMEOUT = 60  # seconds a cluster may take to answer


@pytest.fixture(scope="module")
def client():
    """A Dask client of a two-process cluster on the loopback interface."""
    distributed = pytest.importorskip(
        "distributed", reason='needs the dask extra (pip install ".[dask]")'
    )
    with (
        distributed.LocalCluster(
            n_workers=2,
            processes=True,
            threads_per_worker=1,
            host="127.0.0.1",
            dashboard_address=None,
            worker_dashboard_address=None,
        ) as cluster,
        distributed.Client(cluster, timeout=TIMEOUT) as client,
    ):
        yield client
