import random
from types import SimpleNamespace

import pytest

import config
import dunmora
from dialogue import run, script
from dunmora_in_python import plain_chunks, plain_cosine
from fake_service import EMBEDDINGS, embedding_vector, embeddings_body

KEY_MISSING = "未找到向量化API密钥，请设置 EMBEDDING_API_KEY 或 AI_API_KEY 环境变量"


@pytest.fixture
def settings(monkeypatch):
    """Set `Config` attributes; the key and URL settings start unset."""
    def apply(**values):
        names = ("EMBEDDING_API_KEY", "EMBEDDING_API_URL", "AI_API_KEY", "AI_API_URL")
        for name, value in {**dict.fromkeys(names), **values}.items():
            monkeypatch.setattr(config.Config, name, value)
    apply()
    return apply


@pytest.fixture
def local():
    """A client for the operations that never reach the service."""
    return dunmora.Dunmora("sk-test", "http://127.0.0.1:9/v1")


@pytest.fixture
def client(fake, settings):
    settings(EMBEDDING_API_KEY="sk-test", EMBEDDING_API_URL=fake.url)
    return dunmora.Dunmora()


def counters(client):
    return client.total_requests, client.total_tokens


def test_settings_come_from_arguments_then_config(settings, monkeypatch):
    settings(AI_API_KEY="sk-ai")
    assert isinstance(dunmora.Dunmora().client, dunmora.OpenAI)  # built, nothing sent
    monkeypatch.setattr(dunmora, "OpenAI", lambda **kwargs: kwargs)
    cases = [  # (arguments, Config settings, expected key and base URL)
        (("sk-arg", "http://arg/v1"), {"EMBEDDING_API_KEY": "sk-emb", "EMBEDDING_API_URL": "http://emb/v1"},
         ("sk-arg", "http://arg/v1")),
        (("", ""), {"EMBEDDING_API_KEY": "sk-emb", "AI_API_KEY": "sk-ai", "EMBEDDING_API_URL": "http://emb/v1"},
         ("sk-emb", "http://emb/v1")),
        ((None, None), {"EMBEDDING_API_KEY": "", "AI_API_KEY": "sk-ai", "AI_API_URL": "http://ai/v1"},
         ("sk-ai", "http://ai/v1")),
        ((None, None), {"AI_API_KEY": "sk-ai", "EMBEDDING_API_URL": "", "AI_API_URL": ""}, ("sk-ai", "")),
    ]
    for arguments, values, (key, url) in cases:
        settings(**values)
        made = dunmora.Dunmora(*arguments)
        assert (made.api_key, made.base_url) == (key, url)
        assert made.client == {"api_key": key, "base_url": url}  # exactly these two arguments
    assert list(vars(made)) == ["api_key", "base_url", "client", "model", "total_tokens", "total_requests"]
    assert (made.model, made.total_tokens, made.total_requests) == ("BAAI/bge-m3", 0, 0)
    for values in ({}, {"EMBEDDING_API_KEY": "", "AI_API_KEY": ""}):
        settings(**values)
        with pytest.raises(ValueError) as error:
            dunmora.Dunmora("", "http://x/v1")
        assert str(error.value) == KEY_MISSING

    # The model is taken unchanged; the fallback settings are read only when needed.
    settings(EMBEDDING_API_KEY="sk-emb")
    monkeypatch.setattr(config.Config, "EMBEDDING_MODEL", None)
    monkeypatch.delattr(config.Config, "AI_API_KEY")
    made = dunmora.Dunmora()
    assert (made.api_key, made.base_url, made.model) == ("sk-emb", None, None)
    monkeypatch.setattr(config.Config, "EMBEDDING_API_KEY", None)
    with pytest.raises(AttributeError, match="AI_API_KEY"):
        dunmora.Dunmora()


def test_argument_types_are_checked_before_anything_is_sent(client, fake):
    calls = [
        (dunmora.Dunmora, (1,), "api_key"), (lambda: dunmora.Dunmora(base_url=b"x"), (), "base_url"),
        (client.generate_embedding, (1,), "text"), (client.generate_embedding, ("x", 1), "model"),
        (client.generate_embeddings_batch, ("x",), "texts"), (client.generate_embeddings_batch, ([], 3), "model"),
        (client.calculate_similarity, ((1.0,), [1.0]), "embedding1"),
        (client.calculate_similarity, ([1.0], ["a"]), "embedding2"),
        (client.get_embedding_info, (1,), "model"), (client.validate_text_length, (None,), "text"),
        (client.validate_text_length, ("x", b"m"), "model"), (client.chunk_text, (b"x",), "text"),
        (client.chunk_text, ("x", "5"), "chunk_size"), (client.chunk_text, ("x", 5, None), "overlap"),
    ]
    for function, args, name in calls:
        with pytest.raises(TypeError, match=f"'{name}'"):
            function(*args)
    assert fake.requests == []


def test_requests_and_counters(client, fake):
    assert client.generate_embedding("hello") == embedding_vector("hello")
    fake.respond(EMBEDDINGS, lambda r: embeddings_body(r.body["input"], dimensions=3, total_tokens=10))
    assert client.generate_embedding("", model="other") == embedding_vector("", 3)
    assert client.generate_embeddings_batch([]) == [] and len(fake.requests) == 2
    # A batch is one request; its vectors keep the service's order, whatever their index says.
    fake.respond(EMBEDDINGS, {"data": [{"index": 1, "embedding": [0.0, 1.0]}, {"index": 0, "embedding": None}],
                              "usage": {"total_tokens": 3}})
    assert client.generate_embeddings_batch(["a", "b", "c"], model="") == [[0.0, 1.0], None]
    first, second, third = fake.calls(EMBEDDINGS)
    assert (first.body["input"], first.body["model"]) == ("hello", "BAAI/bge-m3")
    assert (second.body["input"], second.body["model"]) == ("", "other")
    assert (third.body["input"], third.body["model"]) == (["a", "b", "c"], "BAAI/bge-m3")
    assert first.headers["authorization"] == "Bearer sk-test"
    assert counters(client) == (3, 4 + 10 + 3)


def test_failures_carry_a_prefix_and_count_only_responses_with_usage(client, fake):
    answers = [  # (status, answer, cause, counters afterwards)
        (401, {"error": {"message": "invalid key"}}, "Error code: 401 - ", (0, 0)),
        (200, {"data": [{"embedding": [1.0]}]}, "'NoneType' object has no attribute 'total_tokens'", (0, 0)),
        (200, {"data": [], "usage": {"total_tokens": 7}}, "No embedding data received", (0, 0)),  # the package's
        (200, {"data": [{"embedding": {"a": 1}}], "usage": {"total_tokens": 5}}, "the embedding is a dict, not a list", (1, 5)),
        (200, {"data": [{"embedding": 0.5}], "usage": {"total_tokens": 2}}, "the embedding is a float, not a list", (2, 7)),
    ]
    for status, body, cause, after in answers:
        fake.respond(EMBEDDINGS, body, status)
        with pytest.raises(Exception) as error:
            client.generate_embedding("x")
        assert type(error.value) is Exception and str(error.value).startswith("生成向量嵌入失败: " + cause)
        assert counters(client) == after
    fake.respond(EMBEDDINGS, {"error": {"message": "bad input \ud800"}}, status=400)
    with pytest.raises(Exception) as error:
        client.generate_embeddings_batch(["x"])
    assert str(error.value) == "批量生成向量嵌入失败: Error code: 400 - bad input \ud800"
    assert client.generate_embedding("still usable") == embedding_vector("still usable")

    def interrupted(**kwargs):
        raise KeyboardInterrupt
    client.client = SimpleNamespace(embeddings=SimpleNamespace(create=interrupted))
    for call in (lambda: client.generate_embedding("x"), lambda: client.generate_embeddings_batch(["x"])):
        with pytest.raises(KeyboardInterrupt):
            call()


def test_model_table_usage_stats_reset_and_close(client, fake):
    known = {"dimensions": 1024, "max_input_tokens": 8191, "cost_per_1k_tokens": 0.00002}
    unknown = {"dimensions": "unknown", "max_input_tokens": "unknown"}
    assert client.get_embedding_info() == known and client.get_embedding_info("other") == unknown
    client.get_embedding_info()["dimensions"] = 1  # a fresh table every call
    assert client.get_embedding_info("") == known
    stats = client.get_usage_stats()
    assert stats == {"total_requests": 0, "total_tokens": 0, "estimated_cost": 0.0}
    assert list(stats) == ["total_requests", "total_tokens", "estimated_cost"]
    client.model = "custom"  # outside the table: the same rate
    fake.respond(EMBEDDINGS, embeddings_body("x", total_tokens=1000))
    client.generate_embedding("x")
    assert client.get_usage_stats() == {"total_requests": 1, "total_tokens": 1000, "estimated_cost": 0.00002}
    client.model = None
    assert client.get_embedding_info() == unknown
    client.total_tokens = 16
    assert client.get_usage_stats()["estimated_cost"] == 16 / 1000 * 0.00002
    client.reset_stats()
    assert counters(client) == (0, 0) and client.get_usage_stats()["estimated_cost"] == 0.0

    client.close()  # the package client closes
    closed = []
    client.client = SimpleNamespace(close=lambda: closed.append(True))
    client.close()
    client.client = object()
    assert client.close() is None and closed == [True]


def test_similarity_is_plain_arithmetic_exactly(local):
    rng = random.Random(7)
    for size in (1, 3, 17, 4096):
        a, b = [rng.uniform(-1, 1) for _ in range(size)], [rng.gauss(0, 3) for _ in range(size)]
        assert local.calculate_similarity(a, b) == plain_cosine(a, b)
    v = [0.02834747652200631, 0.8357651039198697, 0.43276706790505337]
    assert local.calculate_similarity(v, v) == 1.0000000000000002  # not clamped
    assert local.calculate_similarity([1, 0], [0, 2.5]) == 0.0
    assert local.calculate_similarity([3, True], [-3.0, -1.0]) == pytest.approx(-1.0)
    for zero in ([], []), ([0.0, 0.0], [1.0, 2.0]), ([1.0, 2.0], [0.0, -0.0]):
        assert local.calculate_similarity(*zero) == 0.0
    for a, b in (([1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 4.0]), ([1.0, "x"], [1.0])):
        with pytest.raises(ValueError, match="^向量维度不匹配$"):
            local.calculate_similarity(a, b)


def test_text_length_estimate_counts_code_points(local):
    for model in (None, "BAAI/bge-m3", "other"):
        assert local.validate_text_length("a" * 32767, model) is True
        assert local.validate_text_length("a" * 32768, model=model) is False
    local.model = None
    assert local.validate_text_length("") is True
    assert local.validate_text_length("😀" * 32767) is True  # four bytes each, one character


CHUNKS = [  # (text, chunk_size, overlap, chunks)
    ("ab cd ef gh", 5, 1, ["ab ", " cd ", " ef ", " gh"]),
    ("。abcdefgh", 5, 0, ["。abcd", "efgh"]),
    ("ab。cd\nef gh", 9, 0, ["ab。", "cd\nef gh"]),
    ("ab\ncd efgh", 8, 0, ["ab\n", "cd efgh"]),
    ("abcdefghij", 4, 1, ["abcd", "defg", "ghij"]),
    ("aaaa。bbbb。cc", 6, 2, ["aaaa。", "a。", "。bbbb。", "b。cc"]),
    ("abcdef", 2, 5, ["ab", "bc", "cd", "de", "ef"]),
    ("这是一个很长的文本。" * 200, 500, 100, ["这是一个很长的文本。" * 50] * 4 + ["这是一个很长的文本。" * 40]),
    ("abcde", 5, 1, ["abcde"]), ("abcdef", 5, 0, ["abcde", "f"]), ("", 5, 1, [""]), ("", 0, 0, [""]),
    ("abc", 0, 0, ["", "", ""]), ("abc", 0, 7, ["", "", ""]),
    ("abcdefghij", 3, -2, ["abc", "fgh"]), ("abcdefghij", 3, -20, ["abc"]),  # gaps; the tail may be lost
    ("abcdefghij", 4.9, 1.7, ["abcd", "defg", "ghij"]), ("abcdefghij", 4, -0.9, ["abcd", "efgh", "ij"]),
    ("ab\tcd.ef\u3000gh", 5, 0, ["ab\tcd", ".ef\u3000g", "h"]),  # no other breaks
    ("😀😀 😀😀😀", 4, 0, ["😀😀 ", "😀😀😀"]), ("é\ud800 \udfffxyz", 4, 1, ["é\ud800 ", " \udfffxy", "yz"]),
    # Two lone surrogates that UTF-16 would join into one character stay two,
    # in one chunk and on either side of a cut.
    ("a\ud83d\ude00b😀\ud83d", 2, 0, ["a\ud83d", "\ude00b", "😀\ud83d"]),
    ("a\ud83d\ude00b😀\ud83d", 3, 1, ["a\ud83d\ude00", "\ude00b😀", "😀\ud83d"]),
]


def test_chunking_cases(local):
    for text, size, overlap, expected in CHUNKS:
        assert local.chunk_text(text, size, overlap) == expected, (text, size, overlap)
    plain = "".join(chr(ord("a") + i % 26) for i in range(1001))
    assert local.chunk_text(plain[:1000]) == [plain[:1000]]
    assert local.chunk_text(plain) == [plain[:1000], plain[900:]]
    with pytest.raises(ValueError, match="'chunk_size' must not be negative"):
        local.chunk_text("abc", -1)
    # Sizes are Python ints: beyond 64 bits they act as they do in plain Python.
    for size, overlap in [(2**63, 100), (2**64 + 0.5, 0), (2, 2**64), (2, -2**64), (3, 10**30)]:
        assert local.chunk_text("abcdef", size, overlap) == plain_chunks("abcdef", int(size), overlap)
    with pytest.raises(ValueError, match=f"got {-2**70}$"):
        local.chunk_text("abc", -2**70)


def test_chunking_agrees_with_the_plain_rule_on_random_texts(local):
    rng = random.Random(11)
    for _ in range(3000):
        letters = rng.choice(["ab 。\n", "aé \n\t", "a😀。 \n", "ab"]) + "x" * rng.randrange(0, 80)
        text = "".join(rng.choice(letters) for _ in range(rng.randrange(0, 300)))
        size, overlap = rng.randrange(0, 90), rng.randrange(-4, 100)
        assert local.chunk_text(text, size, overlap) == plain_chunks(text, size, overlap), (text, size, overlap)


SAMPLE = "这是一个测试文本，用于验证向量化功能。"
FRUITS = ["苹果是一种水果", "香蕉也是水果", "汽车是一种交通工具"]
TITLE = "测试 OpenAI 向量化客户端..."


def expected_lines():
    vector = embedding_vector(SAMPLE)
    apple, banana, car = (embedding_vector(t) for t in FRUITS)
    return [TITLE, f"向量维度: {len(vector)}", f"向量前5个值: {vector[:5]}", "生成了 3 个向量",
            f"苹果和香蕉描述的相似度: {plain_cosine(apple, banana):.4f}",
            f"苹果和汽车描述的相似度: {plain_cosine(apple, car):.4f}",
            f"使用统计: {{'total_requests': 2, 'total_tokens': 16, 'estimated_cost': {16 / 1000 * 0.00002!r}}}",
            "长文本被分成 5 块"]


def test_self_test_results_and_failures(fake, settings, capsys):
    def self_test():
        assert dunmora.test_dunmora() is None
        return capsys.readouterr().out.splitlines()

    assert self_test() == [TITLE, "测试失败: " + KEY_MISSING]
    settings(AI_API_KEY="sk-test", AI_API_URL=fake.url)
    assert self_test() == expected_lines()
    assert [r.body["input"] for r in fake.calls(EMBEDDINGS)] == [SAMPLE, FRUITS]

    # Short vectors are printed whole; similarities of exactly 1 and of a zero vector.
    fake.respond(EMBEDDINGS, {"data": [{"embedding": [0.5, 1e-07]}], "usage": {"total_tokens": 2}})
    fake.respond(EMBEDDINGS, {"data": [{"embedding": v} for v in ([1.0, 0.0], [2.0, 0.0], [0.0, 0.0])],
                              "usage": {"total_tokens": 3}})
    assert self_test()[1:7] == ["向量维度: 2", "向量前5个值: [0.5, 1e-07]", "生成了 3 个向量",
                                "苹果和香蕉描述的相似度: 1.0000", "苹果和汽车描述的相似度: 0.0000",
                                f"使用统计: {{'total_requests': 2, 'total_tokens': 5, "
                                f"'estimated_cost': {5 / 1000 * 0.00002!r}}}"]
    # A failure ends the run with one line; the lines printed before it stay.
    fake.respond(EMBEDDINGS, embeddings_body(SAMPLE))
    fake.respond(EMBEDDINGS, embeddings_body(FRUITS[:2]))
    assert self_test()[3:] == ["生成了 2 个向量", expected_lines()[4], "测试失败: list index out of range"]


def test_console_script_runs_the_self_test(fake):
    out = run([script("dunmora")], env={"EMBEDDING_API_KEY": "sk-test", "EMBEDDING_API_URL": fake.url})
    assert out.stdout.splitlines() == expected_lines()
    assert out.returncode == 0 and len(fake.calls(EMBEDDINGS)) == 2
