"""The wizard's dialogue, connection test and provider overview."""

import sys

import pytest

import i18n
import palvex
from dialogue import Keyboard, plain
from fake_service import CHAT, chat_body

C = palvex.Colors



@pytest.fixture
def keys(monkeypatch):
    """`keys(*answers)` scripts the answers; `keys.prompts` are the prompts shown."""
    keyboard = Keyboard()
    monkeypatch.setattr("builtins.input", keyboard.read)
    monkeypatch.setattr("getpass.getpass", keyboard.read)

    def script(*answers):
        keyboard.answers[:], keyboard.prompts[:] = answers, []
    script.prompts = keyboard.prompts  # the same list, kept in place
    return script


# ------------------------------------------------------------------- dialogue

def test_colours_and_status_lines(capsys):
    assert [k for k in vars(C) if k.isupper()] == ["HEADER", "BLUE", "CYAN", "GREEN", "YELLOW", "RED", "BOLD",
                                                   "UNDERLINE", "END", "MAGENTA"]
    assert (C.HEADER, C.END, C.MAGENTA, C.__doc__) == ("\x1b[95m", "\x1b[0m", "\x1b[35m", "终端颜色")
    palvex.print_success("done")
    palvex.print_error("bad")
    palvex.print_info("note")
    palvex.print_warning("careful")
    assert capsys.readouterr().out == ("\x1b[92m✓ done\x1b[0m\n\x1b[91m✗ bad\x1b[0m\n"
                                       "\x1b[96mℹ note\x1b[0m\n\x1b[93m⚠ careful\x1b[0m\n")


@pytest.mark.parametrize("title, left, right", [("x" * 58, 1, 1), ("x" * 59, 0, 1), ("x" * 61, 0, 0),
                                                ("abc", 28, 29), ("配置向导", 28, 28)])
def test_header_centres_by_code_points(capsys, title, left, right):
    palvex.print_header(title)
    rule = C.HEADER + C.BOLD + "=" * 60 + C.END
    expected = f"\n{rule}\n{C.HEADER}{C.BOLD}{' ' * left}{title}{' ' * right}{C.END}\n{rule}\n\n"
    assert capsys.readouterr().out == expected


class Text(str):
    pass


def test_arguments_are_checked_before_anything_is_printed(capsys, keys):
    for call, name in [(lambda: palvex.print_header(5), "text"), (lambda: palvex.print_info(None), "text"),
                       (lambda: palvex.get_input(b"p"), "prompt"), (lambda: palvex.get_input("p", 5), "default"),
                       (lambda: palvex.confirm(None), "prompt")]:
        with pytest.raises(TypeError, match=f"'{name}' must be str"):
            call()
    assert capsys.readouterr().out == "" and keys.prompts == []
    keys("a", "")
    assert palvex.get_input(Text("p")) == "a" and palvex.confirm(Text("q"), default=[]) is False


def test_get_input(capsys, keys):
    keys("", "   ", "  y  ")
    assert palvex.get_input("Name") == "y"
    assert keys.prompts == [f"{C.CYAN}Name{C.RED}*{C.END}: {C.END}"] * 3
    assert plain(capsys.readouterr().out) == "✗ This field is required.\n" * 2
    keys("")
    assert palvex.get_input("Model", "x") == "x" and keys.prompts == [f"{C.CYAN}Model [x]: {C.END}"]
    keys("", "z")
    assert palvex.get_input("Model", "", required=True) == "z"  # an empty default is no default
    keys("")
    assert palvex.get_input("Opt", required=0) is None and keys.prompts == [f"{C.CYAN}Opt: {C.END}"]
    # A masked entry shows the default as the listing shows a stored key, returns it whole for an empty
    # answer and keeps what is typed untrimmed.
    keys("", "  ", "")
    assert palvex.get_input("Key", "old", mask=True) == "old" and palvex.get_input("Key", "old", mask=1) == "  "
    assert palvex.get_input("Key", "sk-newuser-1234567890", mask=True) == "sk-newuser-1234567890"
    assert keys.prompts == [f"{C.CYAN}Key [***]: {C.END}"] * 2 + [f"{C.CYAN}Key [sk-newus...7890]: {C.END}"]
    keys(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        palvex.get_input("Key")


@pytest.mark.parametrize("key, shown", [("sk-456789abc", "***"), ("sk-456789abcd", "sk-45678...abcd")])
def test_a_masked_default_of_12_characters_is_not_shown_one_of_13_is_shortened(keys, key, shown):
    keys("")
    assert palvex.get_input("Key", key, mask=True) == key
    assert keys.prompts == [f"{C.CYAN}Key [{shown}]: {C.END}"]


def test_confirm(capsys, keys, monkeypatch):
    keys("", "")
    assert palvex.confirm("Go?") is True and palvex.confirm("Go?", default=False) is False
    assert keys.prompts == [f"{C.CYAN}Go? [Y/n]: {C.END}", f"{C.CYAN}Go? [y/N]: {C.END}"]
    keys(" Y ", "yes", "YES", "N", " no", "maybe", "y")
    assert [palvex.confirm("Go?") for _ in range(6)] == [True, True, True, False, False, True]
    assert plain(capsys.readouterr().out) == "✗ Please enter y or n.\n"
    i18n.set_language("zh")
    keys("是", "否", "yes")
    assert [palvex.confirm("Go?") for _ in range(3)] == [True, False, True]
    monkeypatch.setattr(palvex, "t", lambda key, *a: {"yes": "Sí", "no": "nein"}.get(key, key))
    keys("sí", "nein")  # the translation is compared as it stands; the answer is lower-cased
    assert palvex.confirm("Go?") is False
    assert plain(capsys.readouterr().out) == "✗ enter_y_n\n"
    keys()
    with pytest.raises(EOFError):
        palvex.confirm("Go?")


# ----------------------------------------------------------- connection test

def test_connection_test_sends_one_small_request(fake, capsys):
    assert palvex.test_api_connection("sk-test", fake.url, "m1") is True
    i18n.set_language("zh")
    fake.respond(CHAT, chat_body(choices=[]))
    assert palvex.test_api_connection(api_key="sk-test", api_url=fake.url, model="m2") is False
    fake.respond(CHAT, {"error": {"message": "bad key"}}, status=401)
    assert palvex.test_api_connection("sk-bad", fake.url, "m3") is False
    bodies = [r.body for r in fake.calls(CHAT)]
    assert bodies[0] == {"model": "m1", "messages": [{"role": "user", "content": "Hello"}], "max_tokens": 10}
    assert bodies[1]["messages"][0]["content"] == "你好"
    assert fake.calls(CHAT)[2].headers["authorization"] == "Bearer sk-bad"
    lines = plain(capsys.readouterr().out).splitlines()
    assert lines[:2] == ["ℹ Testing the API connection...", "✓ API connection successful!"]
    assert lines[2:4] == ["ℹ 正在测试 API 连接...", "✗ API 连接失败: Unknown"]
    assert lines[5].startswith("✗ API 测试出错: Error code: 401") and len(lines) == 6


def test_connection_test_passes_exactly_its_settings(monkeypatch, capsys):
    seen = []

    class Client:
        def __init__(self, **settings):
            seen.append(settings)
            self.chat = self.completions = self

        def create(self, **arguments):
            seen.append(arguments)
            return None

        def close(self):
            seen.append("closed")

    monkeypatch.setattr("openai.OpenAI", Client)
    assert palvex.test_api_connection("k", "u", "m") is False
    assert seen[0] == {"api_key": "k", "base_url": "u"}
    assert list(seen[1]) == ["model", "messages", "max_tokens", "timeout"] and seen[2] == "closed"
    assert type(seen[1]["timeout"]) is float and seen[1]["timeout"] == 30.0
    monkeypatch.setitem(sys.modules, "openai", None)  # the package cannot be loaded
    assert palvex.test_api_connection("k", "u", "m") is False
    assert plain(capsys.readouterr().out).splitlines()[-1].startswith("✗ API test failed: import of openai halted")
    with pytest.raises(TypeError, match="'model' must be str, not int"):
        palvex.test_api_connection("k", "u", 5)
    assert capsys.readouterr().out == ""


# ---------------------------------------------------------- provider overview

def overview(monkeypatch, capsys, texts):
    monkeypatch.setattr(palvex, "t", lambda key, *args: texts(key))
    palvex.show_common_providers()
    return capsys.readouterr().out.split("\n")[:-1]


def test_provider_overview_layout(monkeypatch, capsys):
    lines = overview(monkeypatch, capsys, lambda key: key)
    assert len(lines) == 102 and lines.count("") == 34
    rule = C.CYAN + "=" * 60 + C.END
    assert lines[:7] == ["", C.BOLD + "detailed_provider_info" + C.END, "", rule,
                         f"  {C.BLUE}1. openai_official_label{C.END}", f"  {C.GREEN}openai_description{C.END}", ""]
    assert lines[7:9] == [C.YELLOW + "provider_endpoint" + C.END, "     https://api.openai.com/v1"]
    assert lines[-10:] == [f"  {C.BLUE}5. other_third_party_apis{C.END}", "", C.YELLOW + "provider_endpoint" + C.END,
                           "     refer_provider_docs_note", "", C.MAGENTA + "provider_note" + C.END,
                           "     refer_provider_docs_note", "", rule, ""]
    assert lines.count(rule) == 6 and lines.count(C.MAGENTA + "provider_note" + C.END) == 5


def test_provider_texts_split_where_the_overview_splits_them(monkeypatch, capsys):
    def texts(key):
        body = not key.startswith("provider_") and key.rsplit("_", 1)[-1] in ("features", "pricing", "context",
                                                                               "models", "note")
        return key + "\n2" if body else key

    lines = overview(monkeypatch, capsys, texts)
    split = [lines[i][5:] for i in range(len(lines) - 1) if lines[i + 1] == "     2"]
    assert split == ["openai_features", "openai_pricing", "openai_models", "azure_features", "azure_pricing",
                     "claude_features", "claude_pricing", "claude_models", "gemini_features", "gemini_pricing",
                     "gemini_context", "gemini_models"]
    whole = [lines[i][5:] for i in range(len(lines) - 1) if lines[i + 1] == "2"]  # inner lines not indented
    assert whole == ["openai_context", "openai_note", "azure_context", "azure_models", "azure_note",
                     "claude_context", "claude_note", "gemini_note", "refer_provider_docs_note",
                     "refer_provider_docs_note"]
    # An empty split text is one body line of five spaces.
    assert overview(monkeypatch, capsys, lambda key: "")[10:12] == [C.YELLOW + C.END, "     "]
    # The shipped texts break exactly the split sections into lines, in both languages.
    for language in ("en", "zh"):
        i18n.set_language(language)
        for key in split:
            assert "\n" in i18n.t(key) and not i18n.t(key).endswith("\n"), key
        for key in whole + ["detailed_provider_info", "openai_description", "other_third_party_apis"]:
            assert "\n" not in i18n.t(key) and i18n.t(key) != key, key
