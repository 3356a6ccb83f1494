import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from dialogue import plain, run, script

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


def test_a_linked_settings_file_is_read_only_inside_its_folder(isolated, tmp_path):
    folder = user_file("AI_API_KEY=sk-user\n").parent
    (folder / "config").rename(folder / "kept")
    (folder / "config").symlink_to("kept")  # the nearest that must pass: a link inside the folder
    (isolated / "local.env").write_text("AI_API_URL=http://local/v1\n")
    (isolated / ".env").symlink_to("local.env")
    assert run(SHOW).stdout.split()[:2] == ["sk-user", "http://local/v1"]
    # A link out of its folder is not read: the outside file may be anyone's.
    (tmp_path / "elsewhere").write_text("AI_API_KEY=sk-elsewhere\nAI_API_URL=http://elsewhere/v1\n")
    for link in (folder / "config", isolated / ".env"):
        link.unlink()
        link.symlink_to(tmp_path / "elsewhere")
    assert run(SHOW).stdout.split()[:2] == ["None", "None"]
    # The folder itself may be a link.
    (folder / "config").unlink()
    (folder / "config").symlink_to("kept")
    moved = tmp_path / "dotfiles"
    folder.rename(moved)
    folder.symlink_to(moved)
    assert run(SHOW).stdout.split()[0] == "sk-user"


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


# ------------------------------------------------ a user without a home

HOMELESS_UID = 54321  # no entry in the password database


def as_homeless(command, answers="", home=None):
    """Run Python code (a text) or a program (a list) as a user without an
    entry in the password database (in a user namespace of its own), with HOME
    unset unless `home` is given, as in many containers; the chat key is set."""
    namespace = ["unshare", "--user", f"--map-user={HOMELESS_UID}", f"--map-group={HOMELESS_UID}"]
    if shutil.which("unshare") is None or subprocess.run(namespace + ["true"]).returncode != 0:
        pytest.skip("no user namespaces here")
    argv = [sys.executable, "-c", command] if isinstance(command, str) else command
    env = {name: value for name, value in os.environ.items() if name != "HOME"}
    env.update(AI_API_KEY="sk-shell", PYTHONIOENCODING="utf-8", **({"HOME": str(home)} if home else {}))
    done = subprocess.run(namespace + argv, input=answers.encode(), capture_output=True, env=env, timeout=60)
    return done.returncode, plain(done.stdout.decode()), done.stderr.decode()


HOMELESS = ("import os, pwd, config, palvex\n"
            "try:\n    pwd.getpwuid(os.getuid())\nexcept KeyError:\n    print('no entry')\n"
            "print(config.Config.AI_API_KEY, config.Config.AI_API_URL, config.get_user_config_path())\n"
            "print(palvex.get_user_config_path(), palvex.load_existing_config()['AI_API_URL'])\n"
            "try:\n    palvex.save_config({'AI_API_KEY': 'sk-k', 'AI_API_URL': 'http://u/v1', 'AI_MODEL': 'm'})\n"
            "except RuntimeError as error:\n    print(error)\n")
NO_HOME = "There is no home directory to save the configuration file in (set HOME)."


def test_without_a_home_there_is_no_settings_file_to_read_or_write(isolated):
    (isolated / ".env").write_text("AI_API_URL=http://dotenv/v1\n")
    status, out, err = as_homeless(HOMELESS)
    assert status == 0, err
    assert out.splitlines() == ["no entry", "sk-shell http://dotenv/v1 None", "None http://dotenv/v1", NO_HOME]
    assert os.listdir(isolated) == [".env"]  # no folder named "~"
    # The wizard ends on its error line.
    status, out, err = as_homeless([script("palvex")], "\n\nsk-0123456789abc\n\n\n\n")
    assert status == 1 and out.rstrip().endswith(f"✗ Configuration failed: {NO_HOME}"), (out, err)
    assert os.listdir(isolated) == [".env"]


def test_the_same_user_with_a_home_reads_and_writes_its_settings_file(tmp_path):
    home = tmp_path / "home"
    settings = home / ".config" / "orvo" / "config"
    status, out, err = as_homeless(HOMELESS, home=home)
    assert status == 0, err
    assert out.splitlines()[:4] == ["no entry", "sk-shell None " + str(settings), f"{settings} None",
                                    f"✓ Configuration saved to: {settings}"]
    assert "AI_API_KEY=sk-k\n" in settings.read_text()
    status, out, err = as_homeless(HOMELESS, home=home)
    assert out.splitlines()[1:3] == [f"sk-shell http://u/v1 {settings}", f"{settings} http://u/v1"], err
