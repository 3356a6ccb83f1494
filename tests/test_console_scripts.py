"""The console scripts as a shell runs them: one language per run, taken from
the environment or else from the settings file; status 1 after a failure
line of the command's own, 130 after Ctrl-C, 0 otherwise; a stored key never
shown whole."""

import json
import os
import re
import signal
import sys
import threading
from pathlib import Path

import pytest

from dialogue import interrupted, plain, run, script
from fake_service import CHAT, EMBEDDINGS, MODELS, chat_body
from files import write

SETTINGS = Path(".config") / "orvo" / "config"
FAST_DEMO = "import time; time.sleep = lambda seconds: None\nimport brisolet; brisolet.main()"
ENTRIES = {"kestovan": [script("kestovan")], "palvex": [script("palvex")], "quorlin": [script("quorlin")],
           "corvane": [script("corvane")], "brisolet": [sys.executable, "-c", FAST_DEMO]}


def shown(text):
    """What a terminal keeps: no spinner frames, no colours."""
    return plain(re.sub(r"\r[^\n]*\r", "", text))


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


def ends(name, answers="", **env):
    """The end of the last line a console script printed, and its exit status."""
    out = run([script(name)], answers, env=env)
    return shown(out.stdout).rstrip("\n").splitlines()[-1], out.returncode


def check(name, answers, line, status, **env):
    last, code = ends(name, answers, **env)
    assert last.endswith(line) and code == status, (last, code)


def test_a_failure_line_ends_with_status_1(fake, isolated, tmp_path):
    service = {"AI_API_KEY": "sk-x", "AI_API_URL": fake.url, "EMBEDDING_API_KEY": "sk-x",
               "EMBEDDING_API_URL": fake.url}
    assert ends("corvane")[0].startswith("Error: ") and ends("corvane")[1] == 1
    check("corvane", "", "API response: Hello from the fake service", 0, **service)
    assert ends("dunmora")[0].startswith("测试失败: ") and ends("dunmora")[1] == 1
    check("dunmora", "", " 块", 0, **service)

    check("nestrel", "", "未找到任何包含注释的编程语言文件。", 0)
    write(isolated / "a.py", "x = 1  # one\n")
    outside = tmp_path / "elsewhere"
    outside.mkdir()
    (isolated / ".orvo").symlink_to(outside)
    assert ends("nestrel")[0].startswith("注释提取过程中发生错误: ") and ends("nestrel")[1] == 1
    (isolated / ".orvo").unlink()
    check("nestrel", "", "comments.json", 0)

    check("osmeran", "CONFIRM\n", "Total comments injected: 1", 0)
    check("osmeran", "n\n", "Operation cancelled by user.", 0)
    saved = isolated / ".orvo" / "comments.json"
    saved.write_text(json.dumps(json.loads(saved.read_text()) + [{"file": "gone.py", "comments": [
        {"line": "1", "content": "# c"}]}]))
    check("osmeran", "CONFIRM\n", "File not found: gone.py", 1)
    os.remove(saved)
    check("osmeran", "", "No comments.json file found in .orvo directory.", 1)

    fake.respond(CHAT, chat_body('{"files": ["a.py"]}'))
    fake.respond(CHAT, chat_body(""))
    check("quorlin", "task\n1\n", "Processing failed; there is no result.", 1, ORVO_LANG="en", **service)
    fake.respond(CHAT, chat_body('{"files": ["a.py"]}'))
    check("quorlin", "task\n1\nn\n", "Cancelled.", 0, ORVO_LANG="en", **service)
    no_clipboard = write(tmp_path / "no-clipboard" / "pyperclip.py", "raise ImportError('not here')\n").parent
    fake.respond(CHAT, chat_body('{"files": ["a.py"]}'))
    check("quorlin", "task\n1\n\n", "Please copy the text above by hand.", 1, ORVO_LANG="en",
          PYTHONPATH=str(no_clipboard), **service)
    check("quorlin", "\n", "Nothing was entered; leaving.", 0, ORVO_LANG="en")


# ------------------------------------------------------------------ Ctrl-C

def held(fake, path):
    """Script the next answer on `path` to wait until the returned event is set."""
    release = threading.Event()
    fake.respond(path, lambda request: release.wait(30) and {})
    return release


def no_traceback(out):
    return "Traceback" not in out.stderr and "KeyboardInterrupt" not in out.stderr + out.stdout


@pytest.mark.parametrize("name, path", [("corvane", MODELS), ("dunmora", EMBEDDINGS)])
def test_ctrl_c_while_a_request_waits_ends_with_status_130(fake, name, path):
    release = held(fake, path)
    service = {"AI_API_KEY": "sk-x", "AI_API_URL": fake.url, "EMBEDDING_API_KEY": "sk-x",
               "EMBEDDING_API_URL": fake.url}
    try:
        out = interrupted([script(name)], lambda: fake.calls(path), env=service)
    finally:
        release.set()
    assert out.returncode == 130 and no_traceback(out), out


def test_ctrl_c_at_the_confirmation_ends_with_status_130_and_nothing_written(isolated):
    source = write(isolated / "a.py", "x = 1\n")
    write(isolated / ".orvo" / "comments.json", json.dumps([{"file": "a.py", "comments": [
        {"line": "1", "content": "# note"}]}]))
    out = interrupted([script("osmeran")], 'Type "CONFIRM" to proceed')
    assert out.returncode == 130 and no_traceback(out), out
    assert source.read_text() == "x = 1\n"


@pytest.fixture
def slow_tree(isolated):
    """A tree whose scan takes about a second: 1,000 sources, each matched
    against 300,000 ignore patterns, and a document from an earlier run."""
    write(isolated / ".gitignore", "".join(f"n{i}\n" for i in range(300_000)))
    for k in range(1000):
        write(isolated / f"f{k}.py", "# c\n")
    return write(isolated / ".orvo" / "comments.json", "earlier")


def test_ctrl_c_during_the_scan_ends_with_status_130_and_keeps_the_former_document(slow_tree):
    out = interrupted([script("nestrel")], "正在扫描目录并提取注释...", waiting=False)
    assert out.returncode == 130 and no_traceback(out), out
    assert "注释提取完成！" not in out.stdout
    assert os.listdir(slow_tree.parent) == ["comments.json"] and slow_tree.read_text() == "earlier"


def test_from_python_the_extraction_still_raises_the_interrupt(slow_tree):
    out = interrupted("import nestrel; nestrel.extract_comments()", "正在扫描目录并提取注释...", waiting=False)
    assert out.returncode == -signal.SIGINT and out.stderr.rstrip().endswith("KeyboardInterrupt"), out
    assert os.listdir(slow_tree.parent) == ["comments.json"] and slow_tree.read_text() == "earlier"


@pytest.mark.parametrize("name, prompt, line", [
    ("quorlin", "Task or question:", "Operation cancelled."),
    ("palvex", "Update the configuration?", "Configuration cancelled."),
    ("kestovan", "Update the configuration?", "Configuration cancelled.")])
def test_commands_with_a_cancel_message_of_their_own_keep_it_and_status_0(name, prompt, line):
    out = interrupted([script(name)], prompt, env={"ORVO_LANG": "en"})
    assert out.returncode == 0 and no_traceback(out) and shown(out.stdout).rstrip().endswith(line), out


def test_the_python_function_raises_the_interrupt_the_script_gives_130(monkeypatch, capsys):
    import nestrel

    def interrupt():
        raise KeyboardInterrupt
    monkeypatch.setattr(nestrel, "Nestrel", interrupt)
    with pytest.raises(KeyboardInterrupt):
        nestrel.extract_comments()
    try:
        status = nestrel._script()
    except KeyboardInterrupt:  # would end the whole test run
        pytest.fail("the console script let the interrupt through")
    assert status == 130 and capsys.readouterr().out == "\n"
