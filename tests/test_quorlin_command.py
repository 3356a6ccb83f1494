"""The command run_quorlin with scripted terminal input, the loopback fake
service and real git repositories: the menu, the diff step, the result loop,
copy, the answer file with its keep/delete question, and retry."""

import os
import re
import subprocess
import sys
import time
import types
from pathlib import Path

import pytest

import quorlin
from dialogue import Keyboard, run, script
from fake_service import CHAT, chat_body, replies
from files import racing

FRAME = "=" * 60
PICKED = '{"files": ["a.py"]}'
NO_NAME = "生成文件名失败，使用默认文件名..."


def git(*args):
    return subprocess.run(["git", *args], capture_output=True, check=True, text=True).stdout


@pytest.fixture
def project():
    git("init", "-q", "-b", "main")
    Path("a.py").write_text("def f():\n    return 1\n")
    git("add", ".")
    git("commit", "-q", "-m", "first")


@pytest.fixture
def keys(monkeypatch):
    keyboard = Keyboard()
    monkeypatch.setattr("builtins.input", keyboard.read)

    def answer(*answers):
        keyboard.answers = list(answers)
        return keyboard
    return answer


@pytest.fixture
def clipboard(monkeypatch):
    copied = []
    monkeypatch.setitem(sys.modules, "pyperclip", types.SimpleNamespace(copy=copied.append))
    return copied


def out_of(capsys):
    """What was printed, without the loading animation's drawing."""
    return re.sub(r"\r[^\n]*\r", "", capsys.readouterr().out)


def users(fake):
    return [r.body["messages"][1]["content"] for r in fake.calls(CHAT)]


# --------------------------------------------------------- task, menu, copy

def test_the_dialogue_from_task_to_copy(ai_env, project, keys, clipboard, capsys):
    replies(ai_env, PICKED, "the answer")
    keyboard = keys("  add tests  ", "8", "a", "1.", " 2 ", "x", "")
    quorlin.run_quorlin()
    out = out_of(capsys)
    assert out.startswith(f"\n{FRAME}\nPrompt enhancement\n{FRAME}\nEnter your task or question;")
    assert keyboard.prompts[:2] == ["\nTask or question: ", "\nYour choice [1/2/3/4/5/6/7]: "]
    assert out.count("Invalid choice, please enter again.") == 4 and out.count("1. Detailed enhanced prompt") == 1
    result = f"\n{FRAME}\nResult\n{FRAME}\nthe answer\n\n{FRAME}\n"
    assert out.count(result) == 2  # shown again after the unlisted answer
    assert keyboard.prompts[-1] == "\nCopy to the clipboard? (Y=copy / n=cancel / t=save as Markdown / r=retry) [Y/n/t/r]: "
    assert clipboard == ["the answer"] and out.endswith("Copied to the clipboard.\n")
    assert users(ai_env)[0].startswith("用户任务提示词：\nadd tests\n") and "简洁" in ai_env.calls(CHAT)[1].body[
        "messages"][0]["content"]


@pytest.mark.parametrize("answer,ends", [("NO", "Cancelled.\n"), (KeyboardInterrupt(), "\nOperation cancelled.\n"),
                                         (EOFError("EOF when reading a line"), "\nError: EOF when reading a line\n")])
def test_cancel_interrupt_and_end_of_input_at_the_action_question(ai_env, project, keys, capsys, answer, ends):
    replies(ai_env, PICKED, "answer")
    keys("task", "3", answer)
    assert quorlin.run_quorlin() is None
    assert out_of(capsys).endswith(f"{FRAME}\n" + ends)


@pytest.mark.parametrize("answers", [(), ("task",), ("task", "1", "t"), ("task", "1", "r"), ("task", "1", "r", ""),
                                     ("task", "1", "r", "", "1")])
def test_end_of_input_at_every_prompt_ends_with_one_message(ai_env, project, keys, capsys, answers):
    replies(ai_env, PICKED, "answer", PICKED, "again")
    keys(*answers)
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("\nError: EOF when reading a line\n")


def test_an_empty_task_and_a_missing_clipboard(ai_env, project, keys, capsys, monkeypatch):
    keys("   ")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("\nNothing was entered; leaving.\n") and not ai_env.requests
    monkeypatch.setitem(sys.modules, "pyperclip", None)
    replies(ai_env, PICKED, "answer")
    keys("task", "", "yes")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("pyperclip is not installed, so nothing was copied (pip install pyperclip).\n"
                                   "Please copy the text above by hand.\n")


def test_failures_of_the_pipeline_end_the_command(project, keys, capsys, ai_env, monkeypatch):
    replies(ai_env, '{"files": []}')
    keys("task", "1")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("The AI selected no files.\n\nProcessing failed; there is no result.\n")
    monkeypatch.setattr(quorlin.Quorlin, "enhance_prompt", lambda self, prompt, mode: 1 / 0)
    keys("task", "1")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("\nError: division by zero\n")
    # An error without a text is named by what it is.
    monkeypatch.setattr(quorlin.Quorlin, "enhance_prompt",
                        lambda self, prompt, mode: (_ for _ in ()).throw(MemoryError()))
    keys("task", "1")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("\nError: out of memory\n")


@pytest.mark.parametrize("moved", ["renamed and replaced by a link", "left for another directory"])
def test_the_project_read_and_saved_into_is_the_one_the_command_started_in(ai_env, project, monkeypatch, tmp_path,
                                                                          moved):
    other = tmp_path / "other"  # a folder of someone else's
    other.mkdir()
    (other / "a.py").write_text("SECRET = 1\n")
    root = os.getcwd()
    answers = ["task", "1", "t", "1"]

    def typed(prompt=""):
        if answers[0] == "task":
            if moved == "left for another directory":
                os.chdir(other)
            else:
                os.rename(root, root + "-old")
                os.symlink(other, root)
        return answers.pop(0)
    monkeypatch.setattr("builtins.input", typed)
    replies(ai_env, PICKED, "answer", "notes")
    with pytest.MonkeyPatch.context() as kept:  # the answer file is kept, and looked at before it is deleted
        kept.setattr(os, "remove", lambda name, dir_fd: saved.append(Path(f"/proc/self/fd/{dir_fd}", name).read_text()))
        saved = []
        quorlin.run_quorlin()
    sent = "".join(users(ai_env))
    assert "SECRET" not in sent and "def f():\n    return 1\n" in sent
    project_folder = root + "-old" if moved.startswith("renamed") else root
    assert saved == ["# AI Answer\n\nanswer\n"] == [Path(project_folder, "notes.md").read_text()]
    assert os.listdir(other) == ["a.py"]


# ------------------------------------------------------------- review modes

def test_review_takes_the_staged_diff_first(ai_env, project, keys, clipboard, capsys):
    Path("a.py").write_text("def f():\n    return 2\n")
    git("add", "a.py")
    Path("a.py").write_text("def f():\n    return 3\n")
    staged = git("diff", "--cached")
    replies(ai_env, PICKED, "review")
    keys("check it", "5", "")
    quorlin.run_quorlin()
    out = out_of(capsys)
    assert "\nGetting the git changes...\nFound staged changes.\n" in out and "No staged changes" not in out
    assert f"\nThe diff has {staged.count(chr(10)) + 1} lines.\n" in out
    assert f"```diff\n{staged}\n```" in users(ai_env)[1]


def test_review_falls_back_to_unstaged_and_stops_without_changes(ai_env, project, keys, clipboard, capsys,
                                                                 monkeypatch):
    monkeypatch.setattr(quorlin, "get_staged_changes", lambda: " \n\t")
    Path("a.py").write_text("changed\n")
    replies(ai_env, PICKED, "review")
    keys("check", "6", "")
    quorlin.run_quorlin()
    out = out_of(capsys)
    assert "No staged changes; looking at unstaged changes...\nFound unstaged changes.\n" in out
    assert git("diff") in users(ai_env)[1]
    monkeypatch.setattr(quorlin, "get_unstaged_changes", lambda: None)
    keys("check", "5")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("There are no git changes to review.\n") and len(ai_env.calls(CHAT)) == 2


# ---------------------------------------------------------------- save

def test_saving_under_the_proposed_name_and_deleting(ai_env, project, keys, capsys):
    answer = "答" * 600
    replies(ai_env, PICKED, answer, "```\nreview-notes\n```")
    keyboard = keys("task", "1", "T", "3", "1")
    quorlin.run_quorlin()
    request = ai_env.calls(CHAT)[-1].body
    assert request["temperature"] == 0.3 and request["messages"][1]["content"] == (
        "请将以下AI回答内容生成一个合适的文件名：\n" + " " * 20 + "\n" + " " * 20 + "答" * 500
        + "  # 取前500字符让AI理解主题\n" + " " * 20 + "\n" + " " * 20 + "只返回文件名（不包含.md后缀）。")
    assert request["messages"][0]["content"].endswith(" " * 20 + "Please generate a concise filename in English.")
    out = out_of(capsys)
    assert "Saved as review-notes.md\n\nWhat should happen to this file?\n1. Delete it after reading\n2. Keep it\n" in out
    assert keyboard.prompts[-2:] == ["\nYour choice (Enter keeps it) [1/2]: "] * 2
    assert out.endswith("Invalid choice, please enter again.\nDeleted review-notes.md\n")
    assert not Path("review-notes.md").exists()


@pytest.mark.parametrize("proposal,name", [("notes.md", "notes.md"), ("Notes.MD", "Notes.MD.md"), ("", ".md"),
                                           ("```notes```", "```notes.md"), ("notes-\xff", "notes-\xff.md")])
def test_a_proposal_is_cleaned(ai_env, project, keys, capsys, proposal, name):
    replies(ai_env, PICKED, "answer", proposal)
    keys("task", "1", "t", "")
    quorlin.run_quorlin()
    assert Path(name).read_text() == "# AI Answer\n\nanswer\n" and f"Saved as {name}\n" in out_of(capsys)


@pytest.mark.parametrize("proposal", [chat_body(choices=[]), "../escape", "a\\b", "sub/name", "two\nlines",
                                      "one\u2028two", "notes-\udcff", "notes-\ud800"])
def test_no_name_or_a_name_elsewhere_saves_ai_answer_md(ai_env, project, keys, capsys, proposal):
    replies(ai_env, PICKED, "answer", proposal)
    keys("task", "1", "t", "2")
    quorlin.run_quorlin()
    assert f"{NO_NAME}\nSaved as ai-answer.md\n" in out_of(capsys)
    assert sorted(os.listdir(".")) == [".git", "a.py", "ai-answer.md"]


def test_a_users_own_file_is_never_replaced(ai_env, project, keys, capsys):
    Path("CHANGELOG.md").write_text("mine\n")
    Path("CHANGELOG-1.md").write_text("# AI Answer\n\nearlier\n")
    replies(ai_env, PICKED, "new", "CHANGELOG")
    keys("task", "1", "t", "")
    quorlin.run_quorlin()
    assert "Saved as CHANGELOG-1.md\n" in out_of(capsys)
    assert Path("CHANGELOG.md").read_text() == "mine\n"
    assert Path("CHANGELOG-1.md").read_text() == "# AI Answer\n\nnew\n"  # an earlier answer file
    # An earlier answer file of the proposed name itself is replaced.
    Path("CHANGELOG.md").write_text("# AI Answer\n\nold\n")
    replies(ai_env, PICKED, "newer", "CHANGELOG")
    keys("task", "1", "t", "")
    quorlin.run_quorlin()
    assert Path("CHANGELOG.md").read_text() == "# AI Answer\n\nnewer\n"


@pytest.mark.parametrize("mine", ["# AI Answering guide (my notes)\n\nprecious\n", "# AI Answer\nprecious\n",
                                  "# AI Answer \n\nprecious\n", "# AI Answer"])
def test_only_the_answer_files_own_opening_marks_an_earlier_answer(ai_env, project, keys, capsys, mine):
    Path("guide.md").write_text(mine)
    Path("done.md").write_text("# AI Answer\n\n")  # the opening alone: an earlier answer
    replies(ai_env, PICKED, "new", "guide", PICKED, "newer", "done")
    for _ in range(2):
        keys("task", "1", "t", "")
        quorlin.run_quorlin()
    assert "Saved as guide-1.md\n" in out_of(capsys)
    assert Path("guide.md").read_text() == mine and Path("guide-1.md").read_text() == "# AI Answer\n\nnew\n"
    assert Path("done.md").read_text() == "# AI Answer\n\nnewer\n"


def test_the_first_free_name_is_used_and_offered_for_deletion(ai_env, project, keys, capsys):
    Path("notes.md").write_text("my notes\n")
    Path("notes-1.md").mkdir()
    replies(ai_env, PICKED, "new", "notes")
    keys("task", "1", "t", "1")
    quorlin.run_quorlin()
    out = out_of(capsys)
    assert "Saved as notes-2.md\n" in out and out.endswith("Deleted notes-2.md\n")
    assert Path("notes.md").read_text() == "my notes\n" and not Path("notes-2.md").exists()


def test_failures_while_saving(ai_env, project, keys, capsys, monkeypatch):
    replies(ai_env, PICKED, "answer", chat_body(None))
    keys("task", "1", "t")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("\nError: the answer's message content is NoneType, not str\n")
    replies(ai_env, PICKED, "answer", "n\0ame")
    keys("task", "1", "t")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("\nError: embedded null byte\n")
    replies(ai_env, PICKED, "answer", "x" * 300)
    keys("task", "1", "t")
    quorlin.run_quorlin()
    assert "File name too long" in out_of(capsys)
    replies(ai_env, PICKED, "answer", "gone")
    monkeypatch.setattr(os, "remove", lambda path, dir_fd=None: (_ for _ in ()).throw(PermissionError("denied")))
    keys("task", "1", "t", "1")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("Failed to delete the file: denied\n") and Path("gone.md").exists()
    # A lone surrogate can be neither sent nor written.
    replies(ai_env, PICKED, "bad \ud800 answer")
    keys("task", "1", "t")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("\nError: 'utf-8' codec can't encode character '\\ud800' in position 4: "
                                   "surrogates not allowed\n")


@pytest.fixture
def quick_save(monkeypatch):
    """The save action without the service: the answer and the name "notes" come at once."""
    class Client:
        def chat_completion(self, messages, temperature):
            return {"choices": [{"message": {"content": "notes"}}]}
    monkeypatch.setattr(quorlin, "create_corvane", Client)
    monkeypatch.setattr(quorlin.Quorlin, "enhance_prompt", lambda self, prompt, mode: "answer")


# Each takes the name "notes.md" for a moment, over and over, while answers are saved;
# a file of the user's that is found written over moves the victim away.
PLANTED = {
    "a link at a free name": "os.symlink('../victim.txt', 'notes.md')\nos.unlink('notes.md')",
    "a file of the user's at a free name": (
        "fd = os.open('notes.md', os.O_WRONLY | os.O_CREAT | os.O_EXCL)\nos.write(fd, b'mine')\nos.close(fd)\n"
        "with open('notes.md') as f: mine = f.read() == 'mine'\n"
        "os.unlink('notes.md')\nmine or os.rename('../victim.txt', '../clobbered.txt')"),
    "a link for an earlier answer": (
        "os.symlink('../victim.txt', 'new')\nos.replace('new', 'notes.md')\n"
        "with open('old', 'w') as f: f.write('# AI Answer\\n\\nold\\n')\nos.replace('old', 'notes.md')"),
}


@pytest.mark.parametrize("planted", PLANTED)
def test_what_takes_the_name_while_saving_is_never_written(keys, quick_save, capsys, tmp_path, planted):
    victim = tmp_path / "victim.txt"
    victim.write_text("victim\n")
    earlier = planted == "a link for an earlier answer"
    if earlier:
        Path("notes.md").write_text("# AI Answer\n\nold\n")
    with racing(PLANTED[planted]):
        end = time.monotonic() + 4
        while time.monotonic() < end and victim.exists() and victim.read_text() == "victim\n":
            keys("task", "1", "t", "2" if earlier else "1")
            quorlin.run_quorlin()
            capsys.readouterr()
    assert not victim.is_symlink() and victim.is_file() and victim.read_text() == "victim\n"


# ---------------------------------------------------------------- retry

def test_retries_fall_back_to_the_first_task(ai_env, project, keys, clipboard, capsys):
    replies(ai_env, PICKED, "first", PICKED, "second", '{"files": ["a.py"]}', "third")
    keyboard = keys("first task", "1", "r", "", "", "R", "  ", "7", "")
    quorlin.run_quorlin()
    assert keyboard.prompts[3] == "New prompt: "
    sent = users(ai_env)
    assert sent[2].startswith("用户任务提示词：\nfirst task\n") and sent[4].startswith("用户任务提示词：\nfirst task\n")
    assert sent[5].startswith("用户搜索需求：\nfirst task\n")
    assert clipboard == ["third"] and out_of(capsys).count("\nRetrying...\n") == 2


def test_a_retry_that_reads_nothing_or_gets_no_answer_fails(ai_env, project, keys, capsys):
    replies(ai_env, PICKED, "first", '{"files": []}')
    keys("task", "1", "r", "new", "1")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("The AI selected no files.\nThe retry failed.\n")
    replies(ai_env, PICKED, "first", PICKED, chat_body(choices=[]))
    keys("task", "1", "r", "new", "1")
    quorlin.run_quorlin()
    assert out_of(capsys).endswith("The AI service returned no usable answer.\nThe retry failed.\n")


def test_a_retried_review_without_changes_sends_an_empty_diff(ai_env, project, keys, clipboard, capsys):
    replies(ai_env, PICKED, "first", PICKED, "reviewed")
    keys("task", "1", "r", "look", "6", "")
    quorlin.run_quorlin()
    out = out_of(capsys)
    assert "```diff\n\n```" in users(ai_env)[-1] and clipboard == ["reviewed"]
    assert "Getting the git changes" not in out and "no git changes" not in out


def test_a_retried_review_takes_staged_then_unstaged_changes_without_a_word(ai_env, project, keys, clipboard,
                                                                          capsys):
    for staged in (False, True):
        if staged:
            git("add", "a.py")  # the change of the first round, staged; another one on top
        Path("a.py").write_text(f"changed, {staged}\n")
        replies(ai_env, PICKED, "first", PICKED, "reviewed")
        keys("task", "1", "r", "look", "6", "")
        quorlin.run_quorlin()
        diff = git("diff", "--cached") if staged else git("diff")
        assert f"```diff\n{diff}\n```" in users(ai_env)[-1]
        out = out_of(capsys)
        assert not any(words in out for words in ("Getting the git changes", "staged changes", "no git changes"))


# ------------------------------------------------------ the console script

def test_the_console_script_speaks_the_language_of_orvo_lang(ai_env, project):
    done = run([script("quorlin")], ["  ", ""], env={"ORVO_LANG": "ZH-CN"})
    assert done.returncode == 0 and "提示词增强" in done.stdout and "输入为空，已退出。" in done.stdout
    done = run([script("quorlin")], ["task"], env={"ORVO_LANG": "zh-tw"})
    assert done.returncode == 1 and "\nError: EOF when reading a line\n" in done.stdout
    assert done.stderr == ""
