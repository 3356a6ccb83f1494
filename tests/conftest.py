"""Every test runs with its own home and working directory, so no user's real
settings are read or written, and with the loopback fake service at hand."""

import os
import shutil
import tempfile
from pathlib import Path

import pytest

# Settings files are read when `config` is first imported: point the home at an
# empty folder before any test module imports it.
_session_home = tempfile.mkdtemp(prefix="orvo-home-")
os.environ["HOME"] = _session_home
os.environ["NO_PROXY"] = "127.0.0.1,localhost"
SETTINGS = ("AI_API_KEY", "AI_API_URL", "AI_MODEL", "ORVO_LANG", "EMBEDDING_API_KEY", "EMBEDDING_API_URL",
            "EMBEDDING_MODEL", "OPENAI_API_KEY", "OPENAI_BASE_URL", "APPDATA")
for _name in SETTINGS:
    os.environ.pop(_name, None)
os.environ.update(GIT_AUTHOR_NAME="Test Author", GIT_AUTHOR_EMAIL="author@example.com",
                  GIT_COMMITTER_NAME="Test Author", GIT_COMMITTER_EMAIL="author@example.com",
                  GIT_CONFIG_NOSYSTEM="1")

from fake_service import FakeService  # noqa: E402


@pytest.fixture(autouse=True)
def isolated(tmp_path, monkeypatch):
    home = tmp_path / "home"
    work = tmp_path / "work"
    home.mkdir()
    work.mkdir()
    monkeypatch.setenv("HOME", str(home))
    for name in SETTINGS:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.chdir(work)
    yield work
    import i18n

    i18n.set_language("en")


@pytest.fixture
def fake():
    service = FakeService().start()
    yield service
    service.stop()


@pytest.fixture
def ai_env(fake, monkeypatch):
    """The chat settings point at the fake service."""
    monkeypatch.setenv("AI_API_KEY", "sk-test")
    monkeypatch.setenv("AI_API_URL", fake.url)
    return fake


@pytest.fixture
def shared():
    """A folder that other users can reach (the test's own are root's alone)."""
    if os.geteuid() != 0:
        pytest.skip("acting as other users needs root")
    path = Path(tempfile.mkdtemp(prefix="orvo-shared-"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)
