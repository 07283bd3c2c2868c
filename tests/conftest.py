import pytest

import bitloom


@pytest.fixture(scope="session")
def bl():
    return bitloom
