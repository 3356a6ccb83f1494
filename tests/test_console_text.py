"""A lone surrogate can be held by a str but written by no stream: every line
and prompt the commands print shows it as U+FFFD, while the errors and
results that carried it keep it as it is."""

import re
import subprocess
import sys
import time
import types
from pathlib import Path

import pytest

import brisolet
import config
import palvex
import quorlin
import trelwick
from dialogue import Keyboard, plain, run, script
from fake_service import CHAT, EMBEDDINGS, MODELS, chat_body

BAD = {"error": {"message": "bad \ud800 key"}}
SHOWN = "bad \ufffd key"



@pytest.fixture
def keys(monkeypatch):
    keyboard = Keyboard()
    monkeypatch.setattr("builtins.input", keyboard.read)
    monkeypatch.setattr("getpass.getpass", keyboard.read)
    return keyboard


def test_error_texts_reach_the_console(ai_env, monkeypatch, capsys):
    ai_env.respond(CHAT, BAD, status=400)
    assert palvex.test_api_connection("sk-x", ai_env.url, "m") is False
    lines = plain(capsys.readouterr().out).splitlines()
    assert len(lines) == 2 and lines[1].startswith("✗ ") and lines[1].endswith(SHOWN)

    monkeypatch.setattr(config.Config, "AI_API_KEY", "sk-test")
    monkeypatch.setattr(config.Config, "AI_API_URL", ai_env.url)
    ai_env.respond(CHAT, BAD, status=400)
    assert trelwick.generate_commit_message("d") is None
    out = re.sub(r"\r[^\n]*\r", "", capsys.readouterr().out)
    assert out == "Failed to generate the commit message: API call failed: Error code: 400 - " + SHOWN + "\n"


def test_the_wizard_asks_after_a_failed_test(ai_env, monkeypatch, keys, capsys):
    doc = {"AI_API_KEY": "sk-a", "AI_API_URL": ai_env.url, "AI_MODEL": "m"}
    ai_env.respond("/doc", doc)
    monkeypatch.setattr(palvex, "RECOMMENDED_CONFIG_GIST_URL", ai_env.url[:-3] + "/doc")
    ai_env.respond(CHAT, BAD, status=400)
    keys.answers = ["n"]
    assert palvex.apply_recommended_config() is False
    assert SHOWN in capsys.readouterr().out and len(keys.prompts) == 1


def test_the_spinner_and_prompts(keys, capsys):
    with brisolet.loading_context("wait \ud800", "dots"):
        time.sleep(0.15)
    assert "wait \ufffd ⠋" in capsys.readouterr().out
    keys.answers = ["", "typed"]
    assert palvex.get_input("key \udcff", default="d") == "d"
    assert palvex.get_input("key \udcff", mask=True) == "typed"
    assert [plain(p) for p in keys.prompts] == ["key \ufffd [d]: ", "key \ufffd*: "]


def test_console_scripts_end_without_a_traceback(fake):
    fake.respond(MODELS, BAD, status=400)
    out = run([script("corvane")], env={"AI_API_KEY": "sk-x", "AI_API_URL": fake.url})
    assert out.stdout == "Available models:\nError: Failed to get the model list: Error code: 400 - " + SHOWN + "\n"
    assert "Traceback" not in out.stderr
    fake.respond(EMBEDDINGS, BAD, status=400)
    out = run([script("dunmora")], env={"EMBEDDING_API_KEY": "sk-x", "EMBEDDING_API_URL": fake.url})
    assert out.stdout.splitlines()[-1].endswith("Error code: 400 - " + SHOWN)
    assert "Traceback" not in out.stderr


def test_commands_print_the_services_text(ai_env, monkeypatch, keys, capsys):
    subprocess.run(["git", "init", "-q"], check=True)
    Path("a.py").write_text("x = 1\n")
    subprocess.run(["git", "add", "."], check=True)
    monkeypatch.setattr(config.Config, "AI_API_KEY", "sk-test")
    monkeypatch.setattr(config.Config, "AI_API_URL", ai_env.url)
    ai_env.respond(CHAT, BAD, status=400)
    keys.answers = [""]
    trelwick.commit_changes()
    assert SHOWN in capsys.readouterr().out

    monkeypatch.setitem(sys.modules, "pyperclip", types.SimpleNamespace(copy=lambda text: None))
    ai_env.respond(CHAT, chat_body('{"files": ["a.py"]}'))
    ai_env.respond(CHAT, BAD, status=400)
    keys.answers = ["task", "1"]
    quorlin.run_quorlin()
    assert SHOWN in capsys.readouterr().out
