"""The console scripts as a shell runs them: one language per run, taken from
the environment or else from the settings file."""

import re
import sys
from pathlib import Path

import pytest

from dialogue import run, script

SETTINGS = Path(".config") / "orvo" / "config"
FAST_DEMO = "import time; time.sleep = lambda seconds: None\nimport brisolet; brisolet.main()"
ENTRIES = {"kestovan": [script("kestovan")], "palvex": [script("palvex")], "quorlin": [script("quorlin")],
           "corvane": [script("corvane")], "brisolet": [sys.executable, "-c", FAST_DEMO]}


def shown(text):
    """What a terminal keeps: no spinner frames, no colours."""
    return re.sub(r"\x1b\[[0-9;]*m", "", re.sub(r"\r[^\n]*\r", "", text))


@pytest.mark.parametrize("entry", ENTRIES)
def test_a_language_stored_in_the_settings_file_holds_from_the_first_line(entry):
    settings = Path.home() / SETTINGS
    settings.parent.mkdir(parents=True)
    settings.write_text("AI_MODEL=m\nORVO_LANG=zh\n")
    stored = run(ENTRIES[entry])
    chosen = run(ENTRIES[entry], env={"ORVO_LANG": "zh"})
    assert shown(stored.stdout) == shown(chosen.stdout) and stored.returncode == chosen.returncode
    first = next(line for line in shown(stored.stdout).splitlines() if line.strip(" ="))
    assert re.search("[\u4e00-\u9fff]", first), first
    english = run(ENTRIES[entry], env={"ORVO_LANG": "en"})  # the environment wins
    assert shown(english.stdout) != shown(stored.stdout)


def test_the_stored_key_is_never_shown_whole():
    key = "sk-newuser-1234567890"
    settings = Path.home() / SETTINGS
    settings.parent.mkdir(parents=True)
    settings.write_text(f"AI_API_KEY={key}\nAI_API_URL=http://127.0.0.1:9/v1\nAI_MODEL=m\n")
    # Update: yes; providers: no; the key, URL and model kept; save: yes.
    out = run([script("palvex")], ["y", "n", "", "", "", "y"], env={"ORVO_LANG": "en"})
    assert out.returncode == 0, out.stderr
    assert key not in out.stdout + out.stderr and "[sk-newus...7890]" in out.stderr + out.stdout
    assert f"AI_API_KEY={key}\n" in settings.read_text()
