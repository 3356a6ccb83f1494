"""Run a command in a child interpreter with scripted terminal input.

Terminal dialogues are tested as a user meets them: the child reads the
scripted lines from its standard input and the test reads what it printed.
"""

from __future__ import annotations

import os
import re
import select
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable


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


def waits(pid: int) -> bool:
    """Whether the process sleeps (in a system call that waits, such as
    reading its input)."""
    with open(f"/proc/{pid}/stat", "rb") as stat:
        return stat.read().rpartition(b")")[2].split()[0] == b"S"


def interrupted(command: str | list[str], at: str | Callable[[], bool], *, waiting: bool = True,
                env: dict | None = None, cwd: str | os.PathLike | None = None, timeout: float = 60) -> Outcome:
    """Run like `run`, with an input that stays open, and press Ctrl-C (SIGINT
    to the child) once its output shows the text `at` (colours aside) or, for
    a function, once `at()` is true; and, unless `waiting` is false, once the
    child also sleeps in a system call (reading its input, waiting for an
    answer), as a key pressed at a prompt comes: a signal that came before
    such a call began would be seen only after it. The child's output is
    unbuffered, so that what it printed shows at once. A child that ends
    before fails the test."""
    argv = [sys.executable, "-c", command] if isinstance(command, str) else command
    child_env = dict(os.environ, PYTHONIOENCODING="utf-8", PYTHONUNBUFFERED="1", **(env or {}))
    child = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=child_env, cwd=cwd or os.getcwd(), start_new_session=True)
    out, err = bytearray(), bytearray()
    unread = {child.stdout.fileno(): out, child.stderr.fileno(): err}  # the streams not yet at their end
    deadline = time.monotonic() + timeout

    def read(wait):
        ready, _, _ = select.select(list(unread), [], [], max(0.0, wait))
        for fd in ready:
            piece = os.read(fd, 65536)
            if piece:
                unread[fd] += piece
            else:
                del unread[fd]

    try:
        while not (at() if callable(at) else at in plain(out.decode("utf-8", "replace"))) or \
                (waiting and not waits(child.pid)):
            assert child.poll() is None and time.monotonic() < deadline, (out, err)
            read(0.01)
        child.send_signal(signal.SIGINT)
        # Read to the end before the input closes, so that the interrupt, not
        # the end of input, is what the child meets.
        while unread and time.monotonic() < deadline:
            read(deadline - time.monotonic())
        child.wait(max(0.0, deadline - time.monotonic()))
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        for stream in (child.stdin, child.stdout, child.stderr):
            stream.close()
    return Outcome(out.decode("utf-8", "replace"), err.decode("utf-8", "replace"), child.returncode)


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


SIGNALLED_CALL = """\
import os, signal, sys, threading
{setup}
def handler(signum, frame):
{handler}
signal.signal(signal.SIGUSR1, handler)
# This thread keeps the GIL until native code in the call lets it go: only
# then can the sender run, so its signal comes while native code runs.
sys.setswitchinterval(1000)
gate = threading.Lock()
gate.acquire()
def send():
    with gate:
        os.kill(os.getpid(), signal.SIGUSR1)
sender = threading.Thread(target=send)
sender.start()
gate.release()
try:
    result = repr({call})
except BaseException as error:
    result = "raised " + type(error).__name__
sender.join()
print(result)
"""


def signalled_call(setup: str, call: str, handler: str, **kwargs) -> str:
    """In a child interpreter, run the code `setup` and then the expression
    `call`, with SIGUSR1 sent once native code in the call has let go of the
    GIL and handled by `handler` (the indented body of a function of `signum`
    and `frame`): a handler runs during the call only where native code checks
    for signals. Gives the last line printed: the repr of the call's value, or
    "raised " and the type of its error; `kwargs` go to `run`."""
    out = run(SIGNALLED_CALL.format(setup=setup, call=call, handler=handler), **kwargs)
    assert out.returncode == 0 and out.stderr == "", out
    return out.stdout.strip().splitlines()[-1]
