import os
import subprocess
import sys
from pathlib import Path

import pytest

from dialogue import run

SHOW = "import config, os; C = config.Config; print(C.AI_API_KEY, C.AI_API_URL, os.environ.get('AI_MODEL'), " \
       "C.EMBEDDING_MODEL, C.validate_ai_config())"


def user_file(text):
    path = Path(os.environ["HOME"]) / ".config" / "orvo" / "config"
    path.parent.mkdir(parents=True)
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return path


def test_defaults_without_any_setting():
    out = run(SHOW + "; print(C.DEFAULT_MODEL, config.get_user_config_path())")
    assert out.stdout.splitlines() == [
        "None None None BAAI/bge-m3 False",
        f"gpt-3.5-turbo {Path(os.environ['HOME']) / '.config' / 'orvo' / 'config'}",
    ]
    assert not (Path(os.environ["HOME"]) / ".config").exists()  # reading creates nothing


def test_environment_then_user_file_then_dotenv(isolated):
    user_file("# written by the wizard\n  AI_API_KEY = sk-user \nAI_API_URL=\nAI_MODEL=first\nAI_MODEL=m=2\n"
              "ai_api_url=ignored\nnot a setting\n")
    (isolated / ".env").write_text("AI_API_KEY=sk-env\nAI_API_URL=http://dotenv/v1\nEMBEDDING_MODEL=emb\n")
    out = run(SHOW)
    assert out.stdout.split() == ["sk-user", "http://dotenv/v1", "m=2", "emb", "True"]
    # A variable that is set wins; an empty one counts as unset.
    out = run(SHOW, env={"AI_API_KEY": "sk-shell", "AI_MODEL": ""})
    assert out.stdout.split() == ["sk-shell", "http://dotenv/v1", "m=2", "emb", "True"]


def test_a_file_that_is_not_utf8_is_read_up_to_the_bad_line():
    user_file(b"AI_API_KEY=sk-user\nAI_MODEL=caf\xe9\nAI_API_URL=http://late/v1\n")
    out = run(SHOW)
    assert out.returncode == 0
    assert out.stdout.split() == ["sk-user", "None", "None", "BAAI/bge-m3", "False"]


def test_only_regular_files_are_read(isolated):
    # A repository may ship .env as a pipe or as a link to an endless device.
    os.mkfifo(isolated / ".env")
    user_file("AI_API_KEY=sk-user\n").unlink()
    os.symlink("/dev/zero", Path(os.environ["HOME"]) / ".config" / "orvo" / "config")
    out = run(SHOW, timeout=20)
    assert out.returncode == 0 and out.stdout.split() == ["None", "None", "None", "BAAI/bge-m3", "False"]
    (isolated / ".env").unlink()
    (isolated / "real.env").write_text("AI_API_URL=http://linked/v1\n")
    (isolated / ".env").symlink_to(isolated / "real.env")
    assert run(SHOW).stdout.split()[1] == "http://linked/v1"  # a link to a regular file is read


def test_environment_values_that_are_not_utf8_pass_through():
    code = "import os, config; print(ascii(config.Config.AI_API_KEY), ascii(os.environ['AI_API_URL']))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=dict(os.environ, AI_API_KEY=b"sk-\xff".decode("utf-8", "surrogateescape"),
                                  AI_API_URL="http://x/v1"))
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["'sk-\\udcff'", "'http://x/v1'"]


def padded(head, size):
    """`head` and comment lines up to exactly `size` bytes."""
    return head + b"#" * (size - len(head) - 1) + b"\n"


def test_a_settings_file_over_a_mebibyte_is_skipped(isolated):
    path = user_file(padded(b"AI_API_KEY=sk-user\n", 1 << 20))
    (isolated / ".env").write_bytes(padded(b"AI_API_KEY=sk-env\nAI_API_URL=http://dotenv/v1\n", 1 << 20))
    assert run(SHOW).stdout.split()[:2] == ["sk-user", "http://dotenv/v1"]  # exactly 1 MiB each
    path.write_bytes(padded(b"AI_API_KEY=sk-user\n", (1 << 20) + 1))
    assert run(SHOW).stdout.split()[:2] == ["sk-env", "http://dotenv/v1"]
    (isolated / ".env").write_bytes(padded(b"AI_API_KEY=sk-env\n", (1 << 20) + 1))
    assert run(SHOW).stdout.split()[:2] == ["None", "None"]
    # Sparse files of 1 TiB are skipped at once; nothing of the C++ runtime shows.
    try:
        for name in (path, isolated / ".env"):
            name.write_bytes(b"AI_MODEL=x\n")
            os.truncate(name, 1 << 40)
    except OSError as error:
        pytest.skip(f"no file of 1 TiB here: {error}")
    out = run(SHOW, timeout=20)
    assert out.returncode == 0 and out.stdout.split() == ["None", "None", "None", "BAAI/bge-m3", "False"], out.stderr


def test_the_wizards_file_under_a_home_whose_path_is_not_utf8_is_read(tmp_path):
    home = os.fsdecode(bytes(tmp_path) + b"/caf\xe9")
    out = run("import sys, palvex; sys.stdout.reconfigure(errors='surrogateescape'); palvex.save_config("
              "{'AI_API_KEY': 'sk-k', 'AI_API_URL': 'http://u/v1', 'AI_MODEL': 'm'})", env={"HOME": home})
    assert out.returncode == 0, out.stderr
    assert run(SHOW, env={"HOME": home}).stdout.split() == ["sk-k", "http://u/v1", "m", "BAAI/bge-m3", "True"]
