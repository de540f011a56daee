"""Fixtures shared by test modules."""

import pytest

from firecracker_peer import remove_dir, short_temp_dir


@pytest.fixture
def tmp_dir():
    """A fresh directory with a path short enough for a Unix socket's address."""
    path = short_temp_dir()
    yield path
    remove_dir(path)
