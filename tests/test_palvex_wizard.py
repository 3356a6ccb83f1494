"""The configuration wizard, end to end: in this process with scripted
answers, and as the console script in a child without a terminal."""

import os
from pathlib import Path

import pytest

import palvex
from dialogue import Keyboard, plain, run, script
from fake_service import CHAT

C = palvex.Colors



def user_file():
    return Path(os.environ["HOME"]) / ".config" / "orvo" / "config"


@pytest.fixture
def wizard(monkeypatch, capsys):
    """Run main() with scripted answers (input and masked entry alike); gives
    the exit status (None for a normal return) and the plain output."""
    def start(*answers, stored=None):
        keyboard = Keyboard(*answers)
        monkeypatch.setattr("builtins.input", keyboard.read)
        monkeypatch.setattr("getpass.getpass", keyboard.read)
        load = palvex.load_existing_config
        if stored is not None:
            palvex.load_existing_config = lambda: dict(stored)
        try:
            palvex.main()
            status = None
        except SystemExit as exit:
            status = exit.code
        finally:
            palvex.load_existing_config = load
        start.raw = capsys.readouterr().out
        return status, plain(start.raw)
    return start


def test_a_first_run_in_a_child_without_a_terminal(fake):
    answers = ["", "", "sk-0123456789abc", fake.url, "fake-model", ""]
    out = run([script("palvex")], answers)
    assert out.returncode == 0, out.stderr
    assert "Password input may be echoed" in out.stderr  # the masked entry fell back to standard input
    lines = plain(out.stdout).splitlines()
    assert lines[:10] == ["", "=" * 60, " " * 17 + "ORVO configuration wizard" + " " * 18, "=" * 60, "",
                          "ℹ This wizard sets up the AI service: API key, API base URL and model.",
                          "ℹ Press Ctrl+C at any time to quit.", "", "⚠ Found an existing configuration:",
                          "  ORVO_LANG: en"]
    assert "API key: sk-01234...9abc" in lines and f"API base URL: {fake.url}" in lines
    assert lines[-2:] == ["✓ ", "Configuration complete! orvo is ready to use."]
    # The key reaches the chat client of a new process through the file.
    client = run("import corvane; c = corvane.create_corvane(); print(c.api_key, c.base_url, c.model); "
                 "c.chat_completion([{'role': 'user', 'content': 'hi'}])")
    assert client.returncode == 0, client.stderr
    assert client.stdout.split() == ["sk-0123456789abc", fake.url, "fake-model"]
    request = fake.calls(CHAT)[0]
    assert request.headers["authorization"] == "Bearer sk-0123456789abc" and request.body["model"] == "fake-model"


# A key of 12 characters or fewer is never shown, not even its first 8 (all of "sk-12345").
@pytest.mark.parametrize("key, listed, summary", [("sk-456789ab", "***", "***"),
                                                  ("abcde", "***", "***"),
                                                  ("sk-12345", "***", "***"),
                                                  ("sk-456789abc", "***", "***"),
                                                  ("sk-456789abcd", "sk-45678...abcd", "sk-45678...abcd"),
                                                  ("密钥" * 6, "***", "***"),
                                                  ("密钥" * 7, "密钥密钥密钥密钥...密钥密钥", "密钥密钥密钥密钥...密钥密钥")])
def test_keys_are_masked_in_the_listing_and_the_summary(wizard, key, listed, summary):
    stored = {"AI_API_KEY": key, "AI_API_URL": "", "AI_MODEL": None, "ORVO_LANG": "en", "EXTRA": "x"}
    status, out = wizard("", "", "", "", "", "n", stored=stored)  # empty answers take what is stored
    assert status is None
    assert f"  AI_API_KEY: {listed}\n  ORVO_LANG: en\n  EXTRA: x\n\n" in out
    assert f"API key: {summary}\nAPI base URL: https://api.openai.com/v1\nModel: gpt-3.5-turbo\n\n" in out
    assert out.endswith("⚠ Configuration cancelled.\n") and not user_file().exists()


def test_declining_and_the_provider_overview(wizard):
    status, out = wizard("no", stored={"AI_MODEL": "m"})
    assert status is None and out.endswith("  AI_MODEL: m\n\nℹ The configuration is unchanged.\n")
    # With nothing stored there is no listing; a yes shows the providers.
    status, out = wizard("y", "\x00key", "http://u/v1", "m", "y", stored={"ORVO_LANG": ""})
    assert status is None and "Found an existing" not in out and "5. Other services" in out
    assert user_file().read_text().count("AI_API_KEY=\x00key\n") == 1


def test_interrupt_and_errors_end_the_process(wizard, monkeypatch):
    status, out = wizard("", "", KeyboardInterrupt())
    assert status == 0 and wizard.raw.endswith(f"{C.END}\n\n\n{C.YELLOW}Configuration cancelled.{C.END}\n")
    status, out = wizard("", "")  # input ends at the key question
    assert status == 1 and out.endswith("✗ Configuration failed: EOF when reading a line\n")
    # Writing fails: the error line, status 1, the former file kept.
    user_file().mkdir(parents=True)
    status, out = wizard("", "", "sk-x", "", "", "", stored={})
    assert status == 1 and "✗ Configuration failed: [Errno 21] Is a directory" in out
    # A carriage return inside a piped answer would add a line to the file: refused, nothing written.
    user_file().rmdir()
    status, out = wizard("", "", "sk-x", "", "m\rAI_API_URL=http://evil/v1", "", stored={})
    assert status == 1 and out.endswith("✗ Configuration failed: the value of AI_MODEL holds a line break\n")
    assert os.listdir(user_file().parent) == []
    monkeypatch.setattr(palvex, "load_existing_config", lambda: 1 / 0)
    status, out = wizard()
    assert status == 1 and out.endswith("✗ Configuration failed: division by zero\n")


def test_the_language_follows_orvo_lang(wizard, monkeypatch):
    for value, chinese in (("ZH-CN", True), ("Zh", True), ("zh_TW", True), ("zh-tw", False), ("zh_cn", False)):
        monkeypatch.setenv("ORVO_LANG", value)
        status, out = wizard("n", stored={"AI_MODEL": "m"})
        assert ("配置保持不变。" in out) is chinese and ("unchanged" in out) is not chinese
    # The saved language is the environment's, not the one the old file held.
    user_file().parent.mkdir(parents=True, exist_ok=True)
    user_file().write_text("ORVO_LANG=zh\nAI_MODEL=old\n")
    monkeypatch.setenv("ORVO_LANG", "en")
    status, out = wizard("", "", "sk-new", "", "", "")
    assert status is None and user_file().read_text().endswith("AI_MODEL=old\n\n# Language configuration\n"
                                                               "ORVO_LANG=en\n")
