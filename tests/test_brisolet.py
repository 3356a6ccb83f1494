import sys
import threading
import time

import pytest

import brisolet
import i18n
from dialogue import run

DOTS = ["⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"]
REAL_SLEEP = time.sleep


class Screen:
    """Stands in for sys.stdout, inside a `with` block, and records every write
    with its thread. (The test runner installs its own sys.stdout when a test
    starts, so a fixture cannot replace it for the whole test.)"""

    def __init__(self):
        self.writes = []
        self.changed = threading.Condition()

    def __enter__(self):
        self.saved, sys.stdout = sys.stdout, self
        return self

    def __exit__(self, *error):
        brisolet._stop_all()
        sys.stdout = self.saved

    def write(self, text):
        with self.changed:
            self.writes.append((threading.current_thread(), text))
            self.changed.notify_all()

    def flush(self):
        pass

    def texts(self):
        return [text for _, text in self.writes]

    def wait_for(self, count, timeout=1.0):
        with self.changed:
            assert self.changed.wait_for(lambda: len(self.writes) >= count, timeout)


@pytest.fixture
def screen(monkeypatch):
    # Frames follow each other faster than on a terminal.
    monkeypatch.setattr(time, "sleep", lambda seconds: REAL_SLEEP(seconds / 20))
    return Screen()


def frames_drawn(animation, screen, count):
    with screen:
        animation.start()
        screen.wait_for(count)
        animation.stop()
    return screen.texts()


def test_a_new_animation_is_idle_with_its_fields_visible():
    animation = brisolet.LoadingAnimation()
    assert vars(animation) == {
        "message": "Loading...", "style": "dots", "_running": False, "_thread": None,
        "animations": {
            "dots": DOTS, "circle": ["◐", "◓", "◑", "◒"], "bar": ["□", "■", "□", "■", "□", "■"],
            "arrow": ["→", "↘", "↓", "↙", "←", "↖", "↑", "↗"], "simple": [".", "..", "..."],
            "progress": ["█   ", " █  ", "  █ ", "   █"],
        },
    }
    assert animation.animations is not brisolet.LoadingAnimation().animations
    assert brisolet.LoadingAnimation.__doc__ == "加载动画类"
    assert brisolet.LoadingAnimation("").message == ""
    for args, name in [((3,), "message"), (("m", None), "style"), (("m", 1), "style")]:
        with pytest.raises(TypeError, match=f"'{name}'"):
            brisolet.LoadingAnimation(*args)


def test_frames_wrap_and_the_line_is_blanked(screen):
    texts = frames_drawn(brisolet.LoadingAnimation("Working"), screen, 11)
    assert texts[:11] == [f"\rWorking {frame} " for frame in DOTS + DOTS[:1]]
    assert texts[-1] == "\r" + " " * 17 + "\r"
    screen.writes.clear()
    texts = frames_drawn(brisolet.loading_context("加载", "circle"), screen, 5)
    assert texts[4] == "\r加载 ◐ " and texts[-1] == "\r" + " " * 12 + "\r"


def test_unknown_styles_draw_dots_and_an_empty_message_still_draws(screen):
    animation = brisolet.LoadingAnimation("", "sparkle")
    texts = frames_drawn(animation, screen, 2)
    assert animation.style == "sparkle"
    assert texts[:2] == ["\r ⠋ ", "\r ⠙ "] and texts[-1] == "\r" + " " * 10 + "\r"
    screen.writes.clear()
    assert frames_drawn(brisolet.loading_context("p", "progress"), screen, 1)[0] == "\rp █    "


def test_a_replaced_message_is_drawn_and_measured(screen):
    with screen:
        animation = brisolet.LoadingAnimation("first")
        animation.start()
        screen.wait_for(1)
        animation.message = "第二条消息"
        count = len(screen.writes)
        screen.wait_for(count + 2)
        animation.stop()
        texts = screen.texts()
        assert texts[0] == "\rfirst ⠋ "
        assert texts[-2].startswith("\r第二条消息 ")
        assert texts[-1] == "\r" + " " * 15 + "\r"


def test_start_and_stop_follow_the_state_rules(screen):
    with screen:
        animation = brisolet.LoadingAnimation("m")
        animation.stop()  # idle: nothing happens
        assert screen.writes == [] and animation._thread is None
        animation.start()
        worker = animation._thread
        animation.start()
        assert animation._thread is worker and worker.daemon
        animation.stop()
        assert animation._running is False and animation._thread is worker and not worker.is_alive()
        count = len(screen.writes)
        animation.stop()
        assert len(screen.writes) == count
        animation.start()  # a restart begins at the first frame with a new worker
        assert animation._thread is not worker
        screen.wait_for(count + 1)
        animation.stop()
        assert screen.texts()[count] == "\rm ⠋ "


def test_a_restart_never_leaves_two_workers_drawing(monkeypatch, screen):
    with screen:
        # A worker that sleeps longer than stop waits is still alive when stop returns.
        monkeypatch.setattr(time, "sleep", lambda seconds: REAL_SLEEP(seconds * 5))
        animation = brisolet.LoadingAnimation("m")
        animation.start()
        screen.wait_for(1)
        old = animation._thread
        animation.stop()
        assert old.is_alive()
        animation.start()
        new = animation._thread
        screen.wait_for(len(screen.writes) + 1)
        old.join(1)
        animation.stop()
        threads = [thread for thread, _ in screen.writes]
        first_new = threads.index(new)
        assert old not in threads[first_new:]


def test_an_error_in_the_block_arrives_after_the_line_is_blanked(screen):
    with screen:
        with pytest.raises(KeyError, match="boom"):
            with brisolet.loading_context("work") as animation:
                screen.wait_for(1)
                raise KeyError("boom")
        assert animation._running is False
        assert screen.texts()[-1] == "\r" + " " * 14 + "\r"


def test_decorated_functions_run_under_a_fresh_animation(screen):
    with screen:
        @brisolet.show_loading()
        def double(x, *, times=2):
            screen.wait_for(len(screen.writes) + 1)
            return x * times

        assert double(4, times=3) == 12
        assert screen.texts()[0] == "\rLoading... ⠋ "
        assert double.__name__ == "wrapper"
        assert brisolet.show_loading(style="bar")(lambda: None)() is None

        class Job:
            @brisolet.show_loading("job")
            def run(self, value):
                raise ValueError(value)

        with pytest.raises(ValueError, match="failed"):
            Job().run("failed")
        assert screen.texts()[-1] == "\r" + " " * 13 + "\r"
        with pytest.raises(TypeError, match="'message'"):
            brisolet.show_loading(lambda: None)
        with pytest.raises(TypeError, match="'style'"):
            brisolet.show_loading("m", 5)


def test_default_texts_follow_the_language_of_each_call():
    decorated = brisolet.show_loading()(lambda animation=None: None)
    i18n.set_language("zh")
    assert brisolet.loading_context().message == "加载中..."
    assert brisolet.loading_dots().message == "加载中..."
    assert brisolet.show_loading()(print).message == "加载中..."
    assert decorated.message == "Loading..."  # fixed when it was decorated
    for factory, style in [(brisolet.loading_dots, "dots"), (brisolet.loading_circle, "circle"),
                           (brisolet.loading_bar, "bar"), (brisolet.loading_arrow, "arrow")]:
        animation = factory("")
        assert (animation.message, animation.style, animation._running, animation._thread) == ("", style, False, None)
        with pytest.raises(TypeError, match="'message'"):
            factory(1)


@pytest.mark.parametrize("ending, status", [("pass", 0), ("raise SystemExit(3)", 3), ("1 / 0", 1)])
def test_the_process_ends_normally_while_an_animation_runs(ending, status):
    code = ("import brisolet, time\n"
            "a = brisolet.LoadingAnimation('busy'); a.start(); time.sleep(0.15)\n" + ending)
    out = run(code)
    assert out.returncode == status, out.stderr
    assert "terminate" not in out.stderr and "leaked" not in out.stderr
    assert out.stdout.startswith("\rbusy ⠋ ") and out.stdout.endswith("\r" + " " * 14 + "\r")


@pytest.mark.parametrize("lang, first, last", [("ZH-CN", "测试加载动画样式...", "所有测试完成！"),
                                               ("zh-tw", "Testing loading animation styles...", "All tests complete!")])
def test_demonstration(lang, first, last):
    code = ("import time; real = time.sleep; time.sleep = lambda s: real(s / 40)\n"
            "import brisolet; brisolet.main()")
    out = run(code, env={"ORVO_LANG": lang})
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split("\n")
    assert lines[0] == first and lines[-2].endswith(last) and lines[-1] == ""


def test_a_drawing_error_ends_the_worker_without_blanking(monkeypatch, screen):
    errors = []
    monkeypatch.setattr(threading, "excepthook", errors.append)

    class Broken(Screen):
        def write(self, text):
            raise OSError("screen gone")

    with Broken() as broken:
        animation = brisolet.LoadingAnimation("m")
        animation.start()
        worker = animation._thread
        worker.join(1)
        assert not worker.is_alive() and animation._running is True
        animation.start()  # still counts as running: no new worker
        assert animation._thread is worker
        animation.stop()
    assert broken.writes == [] and str(errors[0].exc_value) == "screen gone"


@pytest.mark.parametrize("code", [
    # started by an exit handler that runs after the module's own
    "import atexit\natexit.register(lambda: __import__('brisolet').LoadingAnimation('late').start())\n"
    "import brisolet\n",
    # still blocked writing when the interpreter ends
    "import brisolet, sys, time\n"
    "class Slow:\n    def write(self, text): time.sleep(5)\n    def flush(self): pass\n"
    "sys.stdout = Slow()\nbrisolet.LoadingAnimation('busy').start(); time.sleep(0.1)\n",
])
def test_workers_left_at_exit_end_quietly(code):
    out = run(code)
    assert out.returncode == 0, out.stderr
    assert "leaked" not in out.stderr and "terminate" not in out.stderr
