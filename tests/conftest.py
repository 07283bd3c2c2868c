import bitloom
import pytest


@pytest.fixture(scope="session")
def bl():
    return bitloom
