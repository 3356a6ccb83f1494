"""Run a command in a child interpreter with scripted terminal input.

Terminal dialogues are tested as a user meets them: the child reads the
scripted lines from its standard input and the test reads what it printed.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path


@dataclass
class Outcome:
    stdout: str
    stderr: str
    returncode: int


def plain(text: str) -> str:
    """`text` without its colour codes, as the user reads it."""
    return re.sub(r"\x1b\[[0-9;]*m", "", text)


def script(name: str) -> str:
    """Path of a console script installed beside the running interpreter."""
    return str(Path(sys.executable).with_name(name))


def run(command: str | list[str], answers: str | list[str] = "", *, env: dict | None = None,
        cwd: str | os.PathLike | None = None, timeout: float = 60) -> Outcome:
    """Run Python code (a text) or a program (a list) with `answers` as its input.

    `answers` may be a list of lines (each gets a line end) or raw input text;
    input ends after the last answer, as a closed terminal would.
    """
    if isinstance(answers, list):
        answers = "".join(line + "\n" for line in answers)
    argv = [sys.executable, "-c", command] if isinstance(command, str) else command
    child_env = dict(os.environ, PYTHONIOENCODING="utf-8", **(env or {}))
    # A session of its own: the child has no controlling terminal, so even a
    # password prompt reads the scripted input rather than the developer's tty.
    done = subprocess.run(argv, input=answers.encode(), capture_output=True, env=child_env,
                          cwd=cwd or os.getcwd(), timeout=timeout, start_new_session=True)
    return Outcome(done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace"), done.returncode)


class Keyboard:
    """Scripted answers for a dialogue in this process, to stand in for
    `input` and `getpass.getpass`: an exception is raised instead of
    answered, and after the last answer input ends (EOFError)."""

    def __init__(self, *answers):
        self.answers, self.prompts = list(answers), []

    def read(self, prompt=""):
        self.prompts.append(prompt)
        if not self.answers:
            raise EOFError("EOF when reading a line")
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer
