"""The quick setup, in a child without a terminal. A missing requests package
is staged by a stand-in module first on the path; "pip" is a stand-in first
on PATH that records its call (and, when asked to, makes the package
loadable)."""

import os
import sys

import pytest

from dialogue import plain, run, script

BANNER = ["ORVO quick setup", "=" * 40, "Checking dependencies..."]

# Stands first on the path as "requests": missing until the stand-in pip has
# run, then it hands the import on to the real package.
SHIM = """
import importlib, os, sys
if not os.path.exists(os.environ["FAKE_PIP_INSTALLED"]):
    raise ModuleNotFoundError("No module named 'requests'", name="requests")
here = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or ".") != here]
del sys.modules["requests"]
sys.modules["requests"] = importlib.import_module("requests")
"""

PIP = """#!/bin/sh
echo "$@" >> "$FAKE_PIP_LOG"
echo "fake pip: $*"
if [ -n "$FAKE_PIP_WORKS" ]; then touch "$FAKE_PIP_INSTALLED"; exit 0; fi
exit 1
"""



@pytest.fixture
def setup(tmp_path):
    """Run kestovan with answers; `missing` hides requests, `installs` lets pip bring it."""
    shim, bin_dir = tmp_path / "shim", tmp_path / "bin"
    shim.mkdir()
    bin_dir.mkdir()
    (shim / "requests.py").write_text(SHIM)
    (bin_dir / "pip").write_text(PIP)
    (bin_dir / "pip").chmod(0o755)
    log = tmp_path / "pip.log"

    def start(answers, missing=False, installs=False, command=None, requests=None):
        """`requests`, when given, is the source of the stand-in package."""
        env = {"PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}", "FAKE_PIP_LOG": str(log),
               "FAKE_PIP_INSTALLED": str(tmp_path / "installed" if missing else shim)}
        if requests is not None:
            (shim / "requests.py").write_text(requests)
        if missing or requests is not None:
            env["PYTHONPATH"] = str(shim)
        if installs:
            env["FAKE_PIP_WORKS"] = "1"
        out = run(command or [script("kestovan")], answers, env=env)
        out.lines = plain(out.stdout).splitlines()
        out.pip = log.read_text().splitlines() if log.exists() else []
        return out
    return start


def test_with_requests_present_the_wizard_starts_at_once(setup):
    out = setup(["", "", "sk-k", "", "", "n"])
    assert out.returncode == 0 and out.pip == []
    assert out.lines[:6] == BANNER + ["✓ All dependencies are installed", "Starting the configuration wizard...", ""]
    assert out.lines[-1].endswith("⚠ Configuration cancelled.")  # the wizard's own last line, nothing after it


def test_a_missing_package_is_installed_through_the_shell(setup):
    out = setup(["n"], missing=True)
    assert out.returncode == 1 and out.pip == ["install requests"]
    assert out.lines == BANNER + ["requests is missing, installing it...", "fake pip: install requests",
                                  "Starting the configuration wizard...",
                                  "Error running configuration wizard: No module named 'requests'"]
    out = setup(["n"], missing=True, installs=True)
    assert out.returncode == 0, out.stderr
    assert out.lines[3:6] == ["requests is missing, installing it...", "fake pip: install requests",
                              "Starting the configuration wizard..."]
    assert out.lines[-1].endswith("ℹ The configuration is unchanged.")


CALLER = ("import kestovan\ntry:\n    kestovan.main()\nexcept Exception as error:\n"
          "    print('caller:', type(error).__name__, error)")


def test_only_an_import_error_of_requests_runs_the_installer(setup):
    out = setup([], command=[sys.executable, "-c", CALLER], requests="raise RuntimeError('broken at load')")
    assert out.pip == [] and out.lines == BANNER + ["caller: RuntimeError broken at load"]
    # An import error from a module that requests needs is one of its own.
    out = setup(["n"], command=[sys.executable, "-c", CALLER],
                requests="raise ImportError(\"cannot import name 'x' from 'urllib3'\")")
    assert out.pip == ["install requests"] and out.lines[3:5] == ["requests is missing, installing it...",
                                                                  "fake pip: install requests"]


def test_the_wizard_exits_pass_through(setup):
    out = setup([])
    assert out.returncode == 1 and out.lines[-1].endswith("✗ Configuration failed: EOF when reading a line")
    interrupt = ("import builtins\ndef stop(prompt=''): raise KeyboardInterrupt\nbuiltins.input = stop\n"
                 "import kestovan\nkestovan.main()\nprint('returned')")
    out = setup([], command=[sys.executable, "-c", interrupt])
    assert out.returncode == 0 and out.lines[-1] == "Configuration cancelled."
    out = setup([], command=[sys.executable, "-c", "import os; os.environ['ORVO_LANG'] = 'zh-CN'\n" + interrupt])
    assert out.lines[0] == "ORVO 快速设置" and out.lines[-1] == "配置已取消。"
