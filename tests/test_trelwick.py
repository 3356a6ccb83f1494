import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import config
import i18n
import trelwick
from dialogue import run
from fake_service import CHAT, chat_body

PAUSE = "Press Enter to continue..."
NOT_FOUND = "Git command not found. Please ensure Git is installed."
LOG = ["git", "log", "--oneline", "--graph", "--decorate", "--pretty=format:%h - %an, %ar : %s"]


def git(*args, cwd=".", input=None):
    return subprocess.run(["git", *args], cwd=cwd, input=input, capture_output=True, check=True).stdout


def make_repo(commits=0, **files):
    git("init", "-q", "-b", "main")
    for i in range(1, commits + 1):
        git("commit", "-q", "--allow-empty", "-m", f"c{i}")
    for name, content in files.items():
        Path(name).write_bytes(content)
    if files:
        git("add", ".")
        git("commit", "-q", "-m", "files")


class Terminal:
    """Scripted answers for input(), echoed as a terminal shows them; an
    exception class is raised instead; after the last answer input ends."""

    def __call__(self, *answers):
        self.answers, self.prompts = list(answers), []

    def input(self, prompt=""):
        self.prompts.append(prompt)
        answer = self.answers.pop(0) if self.answers else EOFError("EOF when reading a line")
        print(prompt + (answer if isinstance(answer, str) else ""))
        if not isinstance(answer, str):
            raise answer
        return answer

    @property
    def pauses(self):
        return self.prompts.count(PAUSE)


@pytest.fixture
def term(monkeypatch):
    terminal = Terminal()
    monkeypatch.setattr("builtins.input", terminal.input)
    return terminal


class FakeGit:
    """Stands in for the subprocess module: records each run, plays scripted outcomes."""
    CalledProcessError = subprocess.CalledProcessError

    def __init__(self, *outcomes):
        self.outcomes, self.calls = list(outcomes), []

    def run(self, args, **settings):
        self.calls.append((list(args), settings))
        outcome = self.outcomes.pop(0)
        if not isinstance(outcome, (str, bytes)):
            raise outcome
        return subprocess.CompletedProcess(args, 0, outcome, "")


@pytest.fixture
def fake_git(monkeypatch):
    def install(*outcomes):
        monkeypatch.setattr(trelwick, "subprocess", FakeGit(*outcomes))
        return trelwick.subprocess
    return install


@pytest.fixture
def clears(monkeypatch):
    calls = []
    monkeypatch.setattr(os, "system", lambda command: calls.append(command) or 0)
    return calls


def failed(args, stderr):
    return subprocess.CalledProcessError(1, args, "", stderr)


def shown(text):
    """Printed lines, without the loading animation's drawing."""
    return [line for line in re.sub(r"\r[^\n]*\r", "", text).split("\n") if line]


# ----------------------------------------------------------------- git access

def test_every_run_keeps_one_convention(fake_git, clears, term, isolated, tmp_path, capsys):
    bad = UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte")
    fake = fake_git("staged", "HEAD is now at 1", "25\n", bad, bad, "中文 page".encode("gbk"))
    assert trelwick.get_staged_changes() == "staged"
    os.chdir(tmp_path)  # the working directory is asked anew at each run
    term("y", "", "q")
    trelwick.reset_to_last_commit()
    trelwick.view_commit_history()
    strict = {"cwd": str(isolated), "capture_output": True, "text": True, "encoding": "utf-8", "check": True}
    assert fake.calls[0] == (["git", "diff", "--cached"], strict) and list(fake.calls[0][1]) == list(strict)
    assert fake.calls[1] == (["git", "reset", "--hard", "HEAD"],
                             {"cwd": str(tmp_path), "capture_output": True, "text": True, "check": True})
    assert fake.calls[2][0] == ["git", "rev-list", "--count", "HEAD"]
    # A page falls back from UTF-8 to the locale's encoding, then to raw bytes.
    assert [args for args, _ in fake.calls[3:]] == [LOG + ["--skip=0", "--max-count=10"]] * 3
    assert [list(settings) for _, settings in fake.calls[3:]] == [
        list(strict), ["cwd", "capture_output", "text", "check"], ["cwd", "capture_output", "check"]]
    assert "\n中文 page\n" in capsys.readouterr().out


def test_diffs_and_staging(capsys, isolated, tmp_path):
    assert (trelwick.get_staged_changes(), trelwick.get_git_diff(), trelwick.is_git_repository()) == ("", "", False)
    assert trelwick.stage_all_changes() is False  # outside a repository git refuses
    assert re.fullmatch(r"Git operation failed: fatal: not a git repository.*\n\n", capsys.readouterr().out, re.S)
    make_repo(1)
    Path("a.txt").write_bytes(b"one\r\ntwo\rthree\n")
    assert trelwick.stage_all_changes() is True and trelwick.stage_all_changes() is True
    assert "+one\n+two\nthree\n" in trelwick.get_staged_changes() and trelwick.get_unstaged_changes() == ""
    git("commit", "-q", "-m", "a")
    Path("a.txt").write_text("changed\n")
    assert trelwick.get_git_diff() == ""  # an empty staged diff does not lead to the unstaged one
    os.mkdir("sub")
    os.chdir("sub")  # only the top directory counts as a repository; git works from below it
    assert trelwick.is_git_repository() is False and "+changed" in trelwick.get_unstaged_changes()
    os.chdir(tmp_path)
    os.symlink(isolated / ".git", ".git")
    assert trelwick.is_git_repository() is True
    assert capsys.readouterr().out == ""


def test_undecodable_diffs_and_a_vanished_directory(capsys, isolated):
    make_repo()
    Path("gbk.txt").write_bytes("中文".encode("gbk"))
    git("add", ".")
    assert trelwick.get_staged_changes() is None
    assert capsys.readouterr().out.startswith("Failed to get the git diff: 'utf-8' codec can't decode")
    os.mkdir("gone")
    os.chdir("gone")
    os.rmdir("../gone")
    assert trelwick.get_unstaged_changes() is None and trelwick.get_git_diff() is None
    assert trelwick.stage_all_changes() is False and trelwick.is_git_repository() is False
    out = capsys.readouterr().out.splitlines()
    assert [line[:30] for line in out] == ["Failed to get the git diff: [E"] * 2 + ["Git operation failed: [Errno 2"]


def real_cmake():
    """The cmake program itself (the cmake package's, else the one on PATH), not a wrapper script."""
    try:
        import cmake
        path = Path(cmake.CMAKE_BIN_DIR) / "cmake"
        if path.exists():
            return path
    except ImportError:
        pass
    found = shutil.which("cmake")
    return found and os.path.realpath(found)


def test_git_missing_from_path(tmp_path):
    (tmp_path / "bin").mkdir()
    # An editable install that rebuilds the modules on import runs cmake: it stays at hand, git does not.
    if cmake := real_cmake():
        (tmp_path / "bin" / "cmake").symlink_to(cmake)
    code = ("import trelwick\n"
            "print(trelwick.get_staged_changes(), trelwick.stage_all_changes())\n"
            "for name in ('push_to_remote', 'view_commit_history', 'reset_to_last_commit', 'commit_changes'):\n"
            "    getattr(trelwick, name)()\n")
    out = run(code, ["", "", "y", "", ""], env={"PATH": str(tmp_path / "bin")})
    error = "[Errno 2] No such file or directory: 'git'"
    assert out.stdout.startswith(f"Failed to get the git diff: {error}\nGit operation failed: {error}\nNone False\n")
    for line in (f"Push failed: {NOT_FOUND}", f"Failed to read the commit history: {NOT_FOUND}",
                 f"Reset failed: {NOT_FOUND}", f"正在检查更改...\nFailed to get the git diff: {error}\n{PAUSE}"):
        assert line in out.stdout
    assert out.stdout.count(PAUSE) == 4 and out.returncode == 0, out.stderr


# -------------------------------------------------------------- the generator

@pytest.fixture
def ai_ready(ai_env, monkeypatch):
    monkeypatch.setattr(config.Config, "AI_API_KEY", "sk-test")
    monkeypatch.setattr(config.Config, "AI_API_URL", ai_env.url)
    return ai_env


def test_one_user_message_built_after_the_animation(monkeypatch, ai_ready, capsys):
    events = []

    class Block:
        def __init__(self, *args):
            events.append(args)

        def __enter__(self):
            events.append("enter")

        def __exit__(self, kind, *rest):
            events.append(("exit", kind))

    real = trelwick.create_corvane
    monkeypatch.setattr(trelwick, "loading_context", Block)
    monkeypatch.setattr(trelwick, "create_corvane", lambda: events.append("client") or real())
    diff = "diff --git a/x b/x\n+中文\n"
    assert trelwick.generate_commit_message(diff) == "Hello from the fake service"
    assert trelwick.generate_commit_message("") == "Hello from the fake service"
    assert events[:4] == [("Generating the commit message", "dots"), "enter", "client", ("exit", None)]
    first, second = ai_ready.calls(CHAT)
    assert (first.body["temperature"], first.body["max_tokens"], first.body["stream"]) == (0.7, None, False)
    [message] = first.body["messages"]
    assert list(message) == ["role", "content"] and message["role"] == "user"
    head, tail = message["content"].split(diff)
    assert len(head) + len(tail) == 2969 and second.body["messages"][0]["content"] == head + tail
    assert head.startswith("# Conventional Commit Message Generator\n## System Instructions\n")
    assert "\n\n\n自定义指令：" in head and "提交信息：\n\n## CRITICAL: Commit Message Output Rules\n" in head
    assert head.endswith("The following git diff shows the changes to be committed:\n\n")
    assert tail.startswith("\n\n## Conventional Commits Format\n") and tail.endswith("英文在上中文在下")

    monkeypatch.delenv("AI_API_KEY")  # the settings look complete, but no client can be built
    assert trelwick.generate_commit_message("d") is None and events[-1] == ("exit", ValueError)
    assert capsys.readouterr().out == "Failed to generate the commit message: " + i18n.t("api_key_not_set") + "\n"


def test_incomplete_settings_stop_before_anything_else(ai_env, capsys):
    assert trelwick.generate_commit_message("d") is None
    assert capsys.readouterr().out == i18n.t("git_commit_no_ai_config") + "\n" and ai_env.requests == []
    with pytest.raises(TypeError, match="'diff_content'"):
        trelwick.generate_commit_message(None)


def test_answers_are_screened_and_trimmed(ai_ready, capsys):
    web_page, no_answer = i18n.t("ai_service_unavailable"), "The AI service returned no usable answer."
    cases = [
        (chat_body("<!DOCTYPE html><title>502</title>"), None, web_page),
        (chat_body("<!doctype html><html>"), None, web_page),
        (chat_body("x" * 95 + "<html>"), None, web_page),  # "<html" ends at the 100th character
        (chat_body("é" * 95 + "<html>"), None, web_page),  # characters, not bytes
        (chat_body("x" * 96 + "<html>"), "x" * 96 + "<html>", None),
        (chat_body(" <!DOCTYPE html>"), "<!DOCTYPE html>", None),
        (chat_body("<HTML><BODY>"), "<HTML><BODY>", None),
        (chat_body("\u3000\n```\nfix: y\n```\t\n"), "```\nfix: y\n```", None),
        (chat_body(" \n\t "), "", None),
        (chat_body(choices=[]), None, no_answer),
        (chat_body(None), None, "Failed to generate the commit message: the answer carries no message text"),
    ]
    for body, expected, message in cases:
        ai_ready.respond(CHAT, body)
        assert trelwick.generate_commit_message("d") == expected, body
        assert shown(capsys.readouterr().out) == ([message] if message else []), body
    ai_ready.respond(CHAT, {"error": {"message": "bad key"}}, status=401)
    assert trelwick.generate_commit_message("d") is None
    assert shown(capsys.readouterr().out)[0].startswith(
        "Failed to generate the commit message: API call failed: Error code: 401")


# ---------------------------------------------------------- the commit command

@pytest.fixture
def writer(monkeypatch):
    """The generator replaced by a script of messages; records the diffs it gets."""
    diffs = []

    def script(*messages):
        queue = list(messages)
        monkeypatch.setattr(trelwick, "generate_commit_message", lambda diff: diffs.append(diff) or queue.pop(0))
        return diffs
    return script


def test_commit_without_changes(term, capsys):
    expected = ["", "=" * 60, "Git commit", "=" * 60, "正在检查更改...", "No staged changes.",
                "No changes to commit.", PAUSE, ""]
    for setup in [lambda: None, lambda: make_repo(1) or Path("new.txt").write_text("never added")]:
        setup()
        term("")
        trelwick.commit_changes()
        assert capsys.readouterr().out.split("\n") == expected and term.pauses == 1


def test_commit_stages_everything_and_loops_until_accepted(term, writer, capsys):
    make_repo(**{"f.txt": b"tracked\n"})
    Path("f.txt").write_bytes(b"changed\r\n")
    message = "feat: change f\n\nfeat: 修改 f"
    diffs = writer("first", "second", message)
    term(" 是 ", "是", "R", "regenerate", "", "n", "")
    trelwick.commit_changes()
    out = capsys.readouterr().out
    assert diffs[0] == diffs[1] == diffs[2] and "+changed\n" in diffs[0]
    assert git("status", "--porcelain") == b"" and git("log", "-1", "--format=%B").decode().strip() == message
    assert out.count("Invalid choice, please try again.") == 1 and out.count("a new commit message") == 2
    assert "正在暂存所有更改...\n发现以下更改：\n" + diffs[0] + "\n\n" in out
    assert f"\nGenerated commit message:\n{'-' * 40}\n{message}\n{'-' * 40}\n" in out
    assert re.search(r"\n\nCommit successful!\nGit output: \[main \w+\] feat: change f\n.*\n\n"
                     r"Push to the remote repository\? \(Y/n\): n\n" + PAUSE, out, re.S)
    assert term.pauses == 1


def test_commit_cancels_keep_the_staging_and_git_refuses_an_empty_message(term, writer, capsys):
    make_repo(**{"f.txt": b"x\n"})
    Path("f.txt").write_text("y\n")
    for answers, messages in [(["n", ""], []), (["", ""], [None]), (["no", ""], ["msg"])]:
        writer(*messages)
        term(*answers)
        trelwick.commit_changes()
        assert capsys.readouterr().out.count("Commit cancelled.") == 1 and term.pauses == 1 and not term.answers
    assert git("diff", "--cached", "--name-only") == b"f.txt\n"
    writer("")
    term("", "")
    trelwick.commit_changes()
    out = capsys.readouterr().out
    assert f"\nGenerated commit message:\n{'-' * 40}\n\n{'-' * 40}\n" in out and "Push to" not in out
    assert out.endswith("Git operation failed: Aborting commit due to empty commit message.\n\n" + PAUSE + "\n")
    writer("msg")
    term()  # input ends at the accept question; the pause meets the end again
    with pytest.raises(EOFError):
        trelwick.commit_changes()
    assert capsys.readouterr().out.endswith("Git operation failed: EOF when reading a line\n" + PAUSE + "\n")


def test_commit_then_push_to_a_bare_remote(fake, tmp_path):
    make_repo(1)
    git("init", "-q", "--bare", str(tmp_path / "remote.git"))
    git("remote", "add", "origin", str(tmp_path / "remote.git"))
    git("push", "-q", "-u", "origin", "main")
    Path("f.txt").write_text("new\n")
    git("add", "f.txt")
    message = "feat: add f\n\nfeat: 添加 f"
    fake.respond(CHAT, chat_body("feat: one"))
    fake.respond(CHAT, chat_body(f"\n{message}\n"))
    out = run("import trelwick; trelwick.commit_changes()", ["r", "", "y", " 是 ", ""],
              env={"AI_API_KEY": "sk-test", "AI_API_URL": fake.url})
    assert out.returncode == 0, out.stderr
    assert git("log", "-1", "--format=%B", "main", cwd=tmp_path / "remote.git").decode().strip() == message
    text = "\n".join(shown(out.stdout))
    assert text.count(PAUSE) == 1 and text.endswith("Push now? (Y/n): Pushing...\nPush successful!\n" + PAUSE)
    first, second = fake.calls(CHAT)
    assert first.body == second.body and "+new\n" in first.body["messages"][0]["content"]


# ------------------------------------------------------------ the push command

def test_push_dialogue(term, capsys, isolated, tmp_path):
    make_repo(1)
    term("")
    trelwick.push_to_remote()
    assert capsys.readouterr().out.split("\n") == ["", "=" * 60, "Push to remote repository", "=" * 60,
                                                   "正在检查远程仓库配置...", "No remote repository is configured.",
                                                   PAUSE, ""]
    remote = tmp_path / "remote.git"
    git("init", "-q", "--bare", str(remote))
    git("remote", "add", "origin", str(remote))
    for answer in ["n", "yes please", "Y"]:
        term(answer, "")
        trelwick.push_to_remote()
        out = capsys.readouterr().out
        assert term.pauses == 1 and (answer == "Y") == ("Push cancelled." not in out)
    listing = f"origin\t{remote} (fetch)\norigin\t{remote} (push)\n"
    assert f"{listing}\nPush now? (Y/n): Y\nPushing...\nPush failed: fatal: The current branch main has no " \
           "upstream branch." in out  # git's own refusal, shown whole
    os.chdir(tmp_path)
    term("")
    trelwick.push_to_remote()
    assert re.search(r"Push failed: fatal: not a git repository.*\n\n" + PAUSE + "\n$", capsys.readouterr().out)


def test_push_failures_get_the_first_matching_hint(fake_git, term, capsys):
    own = "Command '['git', 'push']' returned non-zero exit status 1."
    for stderr, hint in [("error: Nothing To Push\n", "git_push_nothing_to_push"),
                         ("fatal: Permission Denied (publickey).\n", "git_push_auth_error"),
                         ("AUTHENTICATION FAILED for 'x'\n", "git_push_auth_error"),
                         ("nothing to push; permission denied\n", "git_push_nothing_to_push"),
                         ("no such branch; authentication failed\n", "git_push_auth_error"),
                         ("error: no such branch 'x'\n", "git_push_branch_error"),
                         ("fatal: something else\n", None),
                         ("", None)]:  # no error output: the error's own text
        fake_git("origin\tu (push)\n", failed(["git", "push"], stderr))
        term("", "")
        trelwick.push_to_remote()
        report = "Push failed: " + (stderr or own) + "\n" + (i18n.t(hint) + "\n" if hint else "")
        assert capsys.readouterr().out.endswith("Pushing...\n" + report + PAUSE + "\n"), stderr
    fake_git(failed(["git", "remote", "-v"], "permission denied"))  # the listing is judged the same way
    term("")
    trelwick.push_to_remote()
    assert capsys.readouterr().out.endswith(f"permission denied\n{i18n.t('git_push_auth_error')}\n{PAUSE}\n")


# ------------------------------------------------------------ the history pager

def pages(out):
    """(page, total pages, commits) and the lines of each page drawn."""
    return (re.findall(r"Page (\d+)/(\d+) \((\d+) commits\)", out),
            [page.splitlines() for page in re.findall(r"-{80}\n(.*?)-{80}\n", out, re.S)])


def test_history_over_11_commits_with_undecodable_subjects(term, capsys, clears):
    make_repo()
    git("config", "i18n.commitEncoding", "gbk")  # logs written in GBK, as a project may configure
    git("config", "i18n.logOutputEncoding", "gbk")
    for i in range(1, 12):
        subject = {1: "中文提交".encode("gbk"), 5: b"caf\xe9 \xff"}.get(i, f"c{i}".encode())
        git("commit", "-q", "--allow-empty", "-F", "-", input=subject)
    term("p", "", "n", "n", "", "x", "", " Q")
    trelwick.view_commit_history()
    out = capsys.readouterr().out
    assert out.startswith("\nLoading the commit history...\n\n" + "=" * 80 + "\nCommit history\n" + "=" * 80)
    infos, drawn = pages(out)
    assert infos == [("1", "2", "11")] * 2 + [("2", "2", "11")] * 3 and [len(p) for p in drawn] == [10] * 2 + [1] * 3
    assert re.fullmatch(r"\* \w+ - Test Author, .* ago : 中文提交", drawn[2][0])  # GBK
    assert drawn[0][0].endswith(": c11") and drawn[0][6].endswith(": café ÿ")  # Latin-1, the last resort
    for message in ["This is the first page.", "This is the last page.", "Invalid choice, please try again."]:
        assert out.count(message + "\n" + PAUSE) == 1
    assert clears == ["clear"] * 5 and term.pauses == 3 and not term.answers


def test_history_over_25_commits_fetches_one_page_at_a_time(term, capsys, clears, monkeypatch):
    make_repo(25)
    real, runs = subprocess.run, []
    monkeypatch.setattr(subprocess, "run", lambda args, **kw: runs.append(args[-2]) or real(args, **kw))
    term("n", " n ", "n", "", "p", "q")
    trelwick.view_commit_history()
    infos, drawn = pages(capsys.readouterr().out)
    assert [info[0] for info in infos] == ["1", "2", "3", "3", "2"] and drawn[2][-1].endswith(": c1")
    assert [len(page) for page in drawn] == [10, 10, 5, 5, 10] and term.pauses == 1
    assert runs == ["--count", "--skip=0", "--skip=10", "--skip=20", "--skip=20", "--skip=10"]


def test_history_failures_and_interrupts(fake_git, term, capsys, clears):
    make_repo()
    term("")
    trelwick.view_commit_history()  # no commit yet: git cannot resolve HEAD
    assert re.search(r"\nFailed to read the commit history: fatal: .*\n" + PAUSE + "\n$", capsys.readouterr().out,
                     re.S)

    def pager(*outcomes, answers=()):
        fake = fake_git(*outcomes)
        term(*answers)
        trelwick.view_commit_history()
        return capsys.readouterr().out, len(fake.calls)

    assert pager("0\n", answers=[""]) == (
        "\nLoading the commit history...\nThere are no commits yet.\n" + PAUSE + "\n", 1)
    assert clears == []
    out, _ = pager("3\n", "* a\n", answers=[KeyboardInterrupt])
    assert out.endswith("Command: \n\nOperation cancelled.\n") and PAUSE not in out
    out, _ = pager("3\n", "* a\n", "* a\n", answers=["p", KeyboardInterrupt])
    assert out.endswith("This is the first page.\n" + PAUSE + "\n\nOperation cancelled.\n")
    assert "history: invalid literal for int()" in pager("many\n", answers=[""])[0]
    bad = UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte")
    out, _ = pager("3\n", bad, bad, failed(LOG, "致命错误\n".encode("gbk")), answers=[""])
    assert out.endswith("Failed to read the commit history: 致命错误\n\n" + PAUSE + "\n")  # raw error output decoded
    with pytest.raises(KeyboardInterrupt):
        pager("3\n", KeyboardInterrupt)  # while git runs
    with pytest.raises(EOFError):
        pager("3\n", "* a\n")
    assert capsys.readouterr().out.endswith("Command: \nFailed to read the commit history: EOF when reading a "
                                            "line\n" + PAUSE + "\n")


# ---------------------------------------------------------------- hard reset

def test_reset_needs_a_typed_confirmation(term, capsys, fake_git, tmp_path):
    make_repo(**{"f.txt": b"kept\n"})
    head = git("rev-parse", "--short", "HEAD").decode().strip()
    for answer in ["", "n", "no", "yes please", "Y", " yes ", "是"]:
        Path("f.txt").write_text("changed\n")
        term(answer, "")
        trelwick.reset_to_last_commit()
        out = capsys.readouterr().out.split("\n")
        assert out[:5] == ["", "=" * 60, i18n.t("git_reset_warning"), "=" * 60, "Really reset? (y/N): " + answer]
        confirmed = answer.strip().lower() in ("y", "yes", "是")
        assert out[5:] == (["Reset to the last commit.", f"Git output: HEAD is now at {head} files"] if confirmed
                           else ["Reset cancelled."]) + [PAUSE, ""]
        assert Path("f.txt").read_text() == ("kept\n" if confirmed else "changed\n")
    os.chdir(tmp_path)
    term("y", "")
    trelwick.reset_to_last_commit()
    assert capsys.readouterr().out.split("\n")[-4].startswith("Reset failed: fatal: not a git repository")
    for output, extra in [("  \n", ["Git output: "]), ("", [])]:
        fake_git(output)
        term("y", "")
        trelwick.reset_to_last_commit()
        assert capsys.readouterr().out.split("\n")[5:] == ["Reset to the last commit."] + extra + [PAUSE, ""]


def test_every_text_exists_in_both_languages():
    rows = (Path(__file__).parents[1] / "src/i18n/texts/trelwick.inc").read_text()
    keys = re.findall(r'^\{"(\w+)"', rows, re.M) + ["press_enter_continue", "invalid_menu_choice", "program_cancelled"]
    english = {key: i18n.t(key) for key in keys}
    i18n.set_language("zh")
    assert len(set(keys)) == 46 and all(key != english[key] != i18n.t(key) != key for key in keys)
    assert i18n.t("git_history_page_info", current_page=2, total_pages=3, total_commits=25) == "第 2/3 页（共 25 个提交）"


def test_a_client_that_cannot_be_built_is_reported(ai_env, monkeypatch, capsys):
    # The settings look complete, but the real client cannot be built inside the real animation.
    monkeypatch.setattr(config.Config, "validate_ai_config", classmethod(lambda cls: True))
    monkeypatch.delenv("AI_API_KEY")
    assert trelwick.generate_commit_message("d") is None
    assert shown(capsys.readouterr().out) == ["Failed to generate the commit message: " + i18n.t("api_key_not_set")]


def test_history_counts_beyond_64_bits(fake_git, term, capsys, clears):
    huge = 2**64 * 10 + 5
    fake = fake_git(f"{huge}\n", "* a\n", "* b\n", "* c\n")
    term("n", "p", "q")
    trelwick.view_commit_history()
    infos, drawn = pages(capsys.readouterr().out)
    total = str(2**64 + 1)
    assert infos == [("1", total, str(huge)), ("2", total, str(huge)), ("1", total, str(huge))]
    assert [args[-2] for args, _ in fake.calls[1:]] == ["--skip=0", "--skip=10", "--skip=0"]
