"""The installed package, as the suite tests it from a fresh venv: where it comes
from, its version, its library."""

import os
import re

import pytest

import merlox

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "..", "include", "merlox.h")
VENV = os.environ.get("MERLOX_EXPECT_VENV")

pytestmark = pytest.mark.skipif(VENV is None, reason="run from the source tree, not a venv")


def test_the_package_and_its_library_come_from_the_venv_the_wheel_went_into() -> None:
    assert VENV is not None
    package = os.path.realpath(os.path.dirname(merlox.__file__))
    assert package.startswith(os.path.realpath(VENV) + os.sep)
    assert "MERLOX_LIBRARY" not in os.environ
    assert os.path.realpath(merlox.library()._name) == os.path.join(package, "libmerlox.so")


def test_the_version_is_the_headers() -> None:
    with open(HEADER, encoding="ascii") as header:
        version = re.search(r'#define MERLOX_VERSION_STRING "([^"]+)"', header.read())
    assert version is not None
    assert merlox.__version__ == version[1]
