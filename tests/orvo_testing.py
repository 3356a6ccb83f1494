"""The test-only extension module `_orvo_testing`, which shows the native
engines' work on a text so that the tests can hold it against Python's `re`.

It is built only on request (`-Ccmake.define.ORVO_TESTING=ON`, as
CONTRIBUTING.md's install command does). `testing` stands for it: without the
module, a test that uses it is skipped with a note on how to build it, but
where ORVO_TESTING_REQUIRED is set (as CI sets it) it fails instead."""

import importlib
import os

import pytest

HOW_TO_BUILD = ("the test module _orvo_testing is not installed; install the project with "
                "-Ccmake.define.ORVO_TESTING=ON (see CONTRIBUTING.md)")


def load():
    """The module `_orvo_testing`; a skip of the test (or, where it is
    required, an ImportError) without it."""
    try:
        return importlib.import_module("_orvo_testing")
    except ImportError as error:
        if os.environ.get("ORVO_TESTING_REQUIRED"):
            raise ImportError(HOW_TO_BUILD) from error
        pytest.skip(HOW_TO_BUILD)


class _Testing:
    """The module's functions, looked up when a test calls for them."""

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)  # what pytest asks of every name it collects
        return getattr(load(), name)


testing = _Testing()
