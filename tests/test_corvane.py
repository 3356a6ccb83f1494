import pytest

import config
import corvane
import i18n
from dialogue import run, script
from fake_service import CHAT, MODELS, chat_body, models_body

HELLO = [{"role": "user", "content": "hi"}]


def test_settings_come_from_arguments_then_environment(monkeypatch, fake):
    monkeypatch.setenv("AI_API_KEY", "sk-env")
    monkeypatch.setenv("AI_API_URL", fake.url)
    monkeypatch.setenv("AI_MODEL", "env-model")
    client = corvane.Corvane("", "", "")
    assert (client.api_key, client.base_url, client.model) == ("sk-env", fake.url, "env-model")
    client = corvane.Corvane(api_key="sk-arg", base_url="http://arg/v1", model="arg-model")
    assert (client.api_key, client.base_url, client.model) == ("sk-arg", "http://arg/v1", "arg-model")
    assert list(vars(client)) == ["api_key", "base_url", "model", "client"]


def test_model_falls_back_to_config_only_when_needed(monkeypatch, ai_env):
    monkeypatch.setenv("AI_MODEL", "")
    monkeypatch.setattr(config.Config, "DEFAULT_MODEL", ["not", "checked"])
    assert corvane.create_corvane().model == ["not", "checked"]
    monkeypatch.delattr(config.Config, "DEFAULT_MODEL")
    with pytest.raises(AttributeError):
        corvane.Corvane()
    monkeypatch.setenv("AI_MODEL", "env-model")
    assert corvane.Corvane().model == "env-model"


def test_missing_key_is_reported_before_missing_url(monkeypatch):
    with pytest.raises(ValueError) as error:
        corvane.Corvane()
    assert str(error.value) == i18n.t("api_key_not_set")
    monkeypatch.setenv("AI_API_KEY", "   ")  # blanks count as a key
    monkeypatch.setenv("AI_API_URL", "")
    with pytest.raises(ValueError) as error:
        corvane.create_corvane()
    assert str(error.value) == i18n.t("api_url_not_set")
    i18n.set_language("zh")
    with pytest.raises(ValueError, match="AI_API_URL") as error:
        corvane.Corvane()
    assert str(error.value) == i18n.t("api_url_not_set")


def test_argument_types_are_checked(ai_env):
    for kwargs, name in [({"api_key": 1}, "api_key"), ({"base_url": b"x"}, "base_url"), ({"model": 2.0}, "model")]:
        with pytest.raises(TypeError, match=f"'{name}'"):
            corvane.Corvane(**kwargs)
    client = corvane.Corvane()
    for args, kwargs, name in [(("hi",), {}, "messages"), ((HELLO,), {"model": 1}, "model"),
                               ((HELLO,), {"temperature": "hot"}, "temperature"),
                               ((HELLO,), {"max_tokens": "10"}, "max_tokens")]:
        with pytest.raises(TypeError, match=f"'{name}'"):
            client.chat_completion(*args, **kwargs)
    assert ai_env.requests == []


def test_request_carries_exactly_the_documented_arguments(ai_env):
    client = corvane.Corvane(model="default-model")
    client.chat_completion(HELLO)
    client.chat_completion(HELLO, model="other", temperature=1, max_tokens=12.9, stream=0)
    client.chat_completion(HELLO, model="")
    first, second, third = ai_env.calls(CHAT)
    assert first.body == {"model": "default-model", "messages": HELLO, "temperature": 0.7, "max_tokens": None,
                          "stream": False}
    assert second.body == {"model": "other", "messages": HELLO, "temperature": 1.0, "max_tokens": 12,
                           "stream": False}
    assert third.body["model"] == "default-model" and client.model == "default-model"
    headers = first.headers
    assert (headers["user-agent"], headers["accept"], headers["content-type"]) == (
        "corvane/1.0.0", "application/json", "application/json")
    assert headers["authorization"] == "Bearer sk-test"
    assert headers["x-stainless-read-timeout"] == "30.0"


def test_result_conversion_and_its_defaults(ai_env):
    client = corvane.Corvane()
    assert client.chat_completion(HELLO) == {
        "id": "chatcmpl-fake", "object": "chat.completion", "created": 1700000000, "model": "fake-model",
        "choices": [{"index": 0, "message": {"role": "assistant", "content": "Hello from the fake service"},
                     "finish_reason": "stop"}],
        "usage": {"prompt_tokens": 11, "completion_tokens": 7, "total_tokens": 18},
    }
    ai_env.respond(CHAT, {"choices": [{"index": 0, "message": {"role": "assistant"}},
                                      {"index": 1, "message": {"role": "assistant", "content": None}}]})
    result = client.chat_completion(HELLO)
    assert result == {
        "id": "", "object": "", "created": 0, "model": "",
        "choices": [{"index": 0, "message": {"role": "assistant", "content": ""}, "finish_reason": None},
                    {"index": 1, "message": {"role": "assistant", "content": None}, "finish_reason": None}],
        "usage": {"prompt_tokens": 0, "completion_tokens": 0, "total_tokens": 0},
    }
    assert list(result) == ["id", "object", "created", "model", "choices", "usage"]
    ai_env.respond(CHAT, chat_body(choices=[], model="served-model", usage={"total_tokens": 5}))
    result = client.chat_completion(HELLO)
    assert result["choices"] == [] and result["model"] == "served-model"
    assert result["usage"] == {"prompt_tokens": 0, "completion_tokens": 0, "total_tokens": 5}


def test_conversion_failures_nest_inside_the_call_error(ai_env):
    client = corvane.Corvane()
    ai_env.respond(CHAT, {"id": "x" * 300, "choices": [{"message": {"role": "assistant", "content": "hi"}}]})
    with pytest.raises(RuntimeError) as error:
        client.chat_completion(HELLO)
    head = "API call failed: Failed to parse the API response: 'Choice' object has no attribute 'index'. Response: "
    text = str(error.value)
    assert text.startswith(head)
    assert text[len(head):] == "ChatCompletion(id='" + "x" * 181  # cut at 200 characters
    ai_env.respond(CHAT, "short")  # a JSON text, not an object: inserted whole
    with pytest.raises(RuntimeError) as error:
        client.chat_completion(HELLO)
    assert str(error.value) == ("API call failed: Failed to parse the API response: "
                                "'str' object has no attribute 'choices'. Response: short")
    ai_env.respond(CHAT, {"choices": [{"index": 0, "message": {"content": "no role"}}]})
    with pytest.raises(RuntimeError, match="has no attribute 'role'"):
        client.chat_completion(HELLO)


def test_service_errors_carry_the_package_text(ai_env):
    client = corvane.Corvane()
    ai_env.respond(CHAT, {"error": {"message": "invalid key"}}, status=401)
    with pytest.raises(RuntimeError) as error:
        client.chat_completion(HELLO)
    assert str(error.value).startswith("API call failed: Error code: 401 - ")
    assert "invalid key" in str(error.value)
    i18n.set_language("zh")
    ai_env.respond(MODELS, {"error": {"message": "nope"}}, status=404)
    with pytest.raises(RuntimeError, match="^获取模型列表失败: Error code: 404"):
        client.get_models()
    # The client stays usable after a failure.
    assert client.chat_completion(HELLO)["choices"][0]["message"]["content"] == "Hello from the fake service"


def test_model_list(ai_env):
    client = corvane.Corvane()
    ai_env.respond(MODELS, models_body("a", "b"))
    models = client.get_models()
    assert models == [{"id": "a", "object": "model", "created": 1700000000, "owned_by": "fake"},
                      {"id": "b", "object": "model", "created": 1700000001, "owned_by": "fake"}]
    assert list(models[0]) == ["id", "object", "created", "owned_by"]
    ai_env.respond(MODELS, {"data": [{"id": "a", "object": "model", "created": 1}]})
    with pytest.raises(RuntimeError, match="^Failed to get the model list: .*'owned_by'"):
        client.get_models()


def test_streaming_hands_back_the_package_stream(ai_env):
    stream = corvane.Corvane().chat_completion(HELLO, stream="yes")
    assert not isinstance(stream, dict)
    assert ai_env.calls(CHAT)[0].body["stream"] is True


def test_demonstration_lists_five_models_and_the_answer(fake):
    settings = {"AI_API_KEY": "sk-demo", "AI_API_URL": fake.url}
    fake.respond(MODELS, models_body(*[f"m{i}" for i in range(7)]))
    out = run([script("corvane")], env=settings)
    assert out.stdout.splitlines() == ["Available models:", "- m0", "- m1", "- m2", "- m3", "- m4",
                                       "API response: Hello from the fake service"]
    assert fake.calls(CHAT)[0].body["messages"] == [{"role": "user",
                                                     "content": "Hello, please introduce yourself briefly."}]
    fake.respond(MODELS, models_body("only"))
    fake.respond(CHAT, chat_body(choices=[]))
    out = run([script("corvane")], env=dict(settings, ORVO_LANG="ZH-CN"))
    assert out.stdout.splitlines() == ["可用模型:", "- only", "错误: list index out of range"]
    assert out.returncode == 1


def test_demonstration_without_settings_reports_the_error():
    out = run([script("corvane")], env={"ORVO_LANG": " zh"})
    assert out.stdout == "Error: " + i18n.t("api_key_not_set") + "\n"
    assert out.returncode == 1


def test_odd_answers_and_numbers_never_crash(ai_env, monkeypatch, capsys):
    client = corvane.Corvane()
    ai_env.respond(CHAT, {"error": {"message": "bad \ud800"}}, status=400)  # a lone surrogate in the service's error text
    with pytest.raises(RuntimeError) as error:
        client.chat_completion(HELLO)
    assert str(error.value) == "API call failed: Error code: 400 - bad \ud800"
    ai_env.respond(MODELS, {"error": {"message": "bad \udc80"}}, status=400)
    with pytest.raises(RuntimeError) as error:
        client.get_models()
    assert str(error.value) == "Failed to get the model list: Error code: 400 - bad \udc80"
    client.chat_completion(HELLO, max_tokens=1e30)
    client.chat_completion(HELLO, max_tokens=2**70)
    assert [r.body["max_tokens"] for r in ai_env.calls(CHAT)[1:]] == [int(1e30), 2**70]

    class Replaced:  # a client whose model list is a tuple
        def get_models(self):
            return tuple({"id": f"t{i}"} for i in range(7))

        def chat_completion(self, messages):
            return {"choices": [{"message": {"content": "fine"}}]}

    monkeypatch.setattr(corvane, "create_corvane", Replaced)
    corvane.main()
    assert capsys.readouterr().out.splitlines() == ["Available models:"] + [f"- t{i}" for i in range(5)] + [
        "API response: fine"]
