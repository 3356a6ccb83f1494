// Embeddings client for an OpenAI-compatible service: vectors of texts, usage
// counters, cosine similarity, a length estimate and text chunking.
#include "engine.hpp"

#include <orvo/python.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

const char *const KEY_MISSING = "未找到向量化API密钥，请设置 EMBEDDING_API_KEY 或 AI_API_KEY 环境变量";
const char *const SINGLE_FAILED = "生成向量嵌入失败: ";
const char *const BATCH_FAILED = "批量生成向量嵌入失败: ";
const char *const DIMENSIONS_DIFFER = "向量维度不匹配";

// The one model the client knows, and what it knows of it.
const char *const KNOWN_MODEL = "BAAI/bge-m3";
constexpr long KNOWN_DIMENSIONS = 1024;
constexpr long MAX_INPUT_TOKENS = 8191;         // also the limit assumed for unknown models
constexpr double COST_PER_1K_TOKENS = 0.00002;  // also the rate assumed for unknown models

// All state of a client lives in its instance dictionary: `api_key`,
// `base_url`, `client` (an `OpenAI` object), `model`, `total_tokens` and
// `total_requests`.
struct Dunmora {};

using orvo::truthy;

bool nonempty_text(nb::handle value) { return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0; }

// The model argument when it is a non-empty text, else the client's default.
nb::object resolve_model(nb::handle self, nb::handle model) {
    return nonempty_text(model) ? nb::borrow(model) : nb::object(self.attr("model"));
}

// ------------------------------------------------------------ construction

// The argument when it is a non-empty text; else the first setting when it is
// true; else the second setting, whatever it holds.
nb::object resolve_setting(nb::handle argument, nb::handle config, const char *first, const char *second) {
    if (nonempty_text(argument))
        return nb::borrow(argument);
    nb::object value = config.attr(first);
    return truthy(value) ? value : nb::object(config.attr(second));
}

void init(Dunmora *self, nb::handle api_key, nb::handle base_url) {
    orvo::arg_opt_pystr(api_key, "api_key");
    orvo::arg_opt_pystr(base_url, "base_url");
    new (self) Dunmora();
    nb::object py = nb::find(self);

    nb::module_ module = orvo::module("dunmora");
    nb::object config = module.attr("Config");
    nb::object key = resolve_setting(api_key, config, "EMBEDDING_API_KEY", "AI_API_KEY");
    nb::object url = resolve_setting(base_url, config, "EMBEDDING_API_URL", "AI_API_URL");
    if (!truthy(key))
        orvo::raise(PyExc_ValueError, KEY_MISSING);

    py.attr("api_key") = key;
    py.attr("base_url") = url;
    py.attr("client") = module.attr("OpenAI")("api_key"_a = key, "base_url"_a = url);
    py.attr("model") = config.attr("EMBEDDING_MODEL");
    py.attr("total_tokens") = nb::int_(0);
    py.attr("total_requests") = nb::int_(0);
}

// ----------------------------------------------------------------- requests

// Send one embeddings request and count it: the tokens the response reports,
// then one request. A response without usage fails before anything is counted.
nb::object request(nb::handle self, nb::handle input, nb::handle model) {
    nb::object response = self.attr("client").attr("embeddings").attr("create")("input"_a = input, "model"_a = model);
    nb::object tokens = response.attr("usage").attr("total_tokens");
    self.attr("total_tokens") = self.attr("total_tokens") + tokens;
    self.attr("total_requests") = self.attr("total_requests") + nb::int_(1);
    return response;
}

// Run a request step; an error of the `Exception` family becomes a plain
// `Exception` with `prefix`, interrupts and other exits pass unchanged.
template <typename Step>
auto failing_with(const char *prefix, Step &&step) {
    return orvo::guard(step, [&](nb::python_error &error) -> decltype(step()) {
        orvo::raise_from(error, PyExc_Exception, orvo::joined(prefix, orvo::error_text(error)));
    });
}

nb::object generate_embedding(nb::handle self, nb::handle text, nb::handle model) {
    nb::str input = orvo::arg_pystr(text, "text");
    orvo::arg_opt_pystr(model, "model");
    nb::object chosen = resolve_model(self, model);
    return failing_with(SINGLE_FAILED, [&] {
        nb::object response = request(self, input, chosen);
        nb::object vector = response.attr("data")[0].attr("embedding");
        if (!vector.is_none() && !PyList_Check(vector.ptr()))
            orvo::raise(PyExc_TypeError, "the embedding is a " + orvo::type_name(vector) + ", not a list");
        return vector;
    });
}

nb::list generate_embeddings_batch(nb::handle self, nb::handle texts, nb::handle model) {
    nb::list inputs = orvo::arg_list(texts, "texts");
    orvo::arg_opt_pystr(model, "model");
    nb::object chosen = resolve_model(self, model);
    if (inputs.size() == 0)
        return nb::list();
    return failing_with(BATCH_FAILED, [&] {
        nb::object response = request(self, inputs, chosen);
        nb::list vectors;
        for (nb::handle item : response.attr("data"))
            vectors.append(item.attr("embedding"));
        return vectors;
    });
}

// ------------------------------------------------------- model information

// The model table is built anew on every call, so callers may change the map
// they get without changing the client.
nb::dict embedding_info(nb::handle self, nb::handle model) {
    nb::object chosen = resolve_model(self, model);
    nb::dict info;
    if (PyUnicode_Check(chosen.ptr()) && PyUnicode_CompareWithASCIIString(chosen.ptr(), KNOWN_MODEL) == 0) {
        info["dimensions"] = nb::int_(KNOWN_DIMENSIONS);
        info["max_input_tokens"] = nb::int_(MAX_INPUT_TOKENS);
        info["cost_per_1k_tokens"] = nb::float_(COST_PER_1K_TOKENS);
    } else {
        info["dimensions"] = "unknown";
        info["max_input_tokens"] = "unknown";
    }
    return info;
}

nb::dict get_embedding_info(nb::handle self, nb::handle model) {
    orvo::arg_opt_pystr(model, "model");
    return embedding_info(self, model);
}

nb::dict get_usage_stats(nb::handle self) {
    nb::dict info = embedding_info(self, nb::none());
    nb::object rate = info.contains("cost_per_1k_tokens") ? nb::object(info["cost_per_1k_tokens"])
                                                          : nb::object(nb::float_(COST_PER_1K_TOKENS));
    nb::object requests = self.attr("total_requests");
    nb::object tokens = self.attr("total_tokens");
    nb::object thousands = nb::steal(PyNumber_TrueDivide(tokens.ptr(), nb::int_(1000).ptr()));
    if (!thousands.is_valid())
        throw nb::python_error();
    nb::dict stats;
    stats["total_requests"] = requests;
    stats["total_tokens"] = tokens;
    stats["estimated_cost"] = thousands * rate;
    return stats;
}

void reset_stats(nb::handle self) {
    self.attr("total_tokens") = nb::int_(0);
    self.attr("total_requests") = nb::int_(0);
}

// ----------------------------------------------------------- local engines

// The components of a vector as floats; any real number is accepted.
std::vector<double> components(nb::handle list, const char *name) {
    std::vector<double> values;
    values.reserve((std::size_t) PyList_GET_SIZE(list.ptr()));
    // The size is read anew each time: converting an unusual number runs Python
    // code, which may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        PyObject *item = PyList_GET_ITEM(list.ptr(), i);
        if (PyFloat_CheckExact(item))
            values.push_back(PyFloat_AS_DOUBLE(item));
        else
            values.push_back(orvo::arg_float(nb::borrow(item), name));
    }
    return values;
}

double calculate_similarity(nb::handle, nb::handle embedding1, nb::handle embedding2) {
    nb::list first = orvo::arg_list(embedding1, "embedding1");
    nb::list second = orvo::arg_list(embedding2, "embedding2");
    if (first.size() != second.size())
        orvo::raise(PyExc_ValueError, DIMENSIONS_DIFFER);
    std::vector<double> a = components(first, "embedding1");
    std::vector<double> b = components(second, "embedding2");
    if (a.size() != b.size())
        orvo::raise(PyExc_ValueError, DIMENSIONS_DIFFER);
    return dunmora::cosine(a.data(), b.data(), a.size());
}

bool validate_text_length(nb::handle self, nb::handle text, nb::handle model) {
    nb::str checked = orvo::arg_pystr(text, "text");
    orvo::arg_opt_pystr(model, "model");
    nb::object limit = embedding_info(self, model)["max_input_tokens"];
    long long max_tokens = PyLong_Check(limit.ptr()) ? nb::cast<long long>(limit) : MAX_INPUT_TOKENS;
    long long estimate = (long long) PyUnicode_GET_LENGTH(checked.ptr()) / 4;
    return estimate <= max_tokens;
}

nb::list chunk_text(nb::handle, nb::handle text, nb::handle chunk_size, nb::handle overlap) {
    nb::str whole = orvo::arg_pystr(text, "text");
    // Sizes beyond 64 bits act as the nearest 64-bit bound would.
    nb::int_ size_arg = orvo::arg_int(chunk_size, "chunk_size");
    long long size = orvo::clamp_int64(size_arg);
    long long step_back = orvo::clamp_int64(orvo::arg_int(overlap, "overlap"));
    if (size < 0)
        orvo::raise(PyExc_ValueError, orvo::joined("argument 'chunk_size' must not be negative, got ", size_arg));

    PyObject *str = whole.ptr();
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0)
        throw nb::python_error();
#endif
    std::int64_t n = PyUnicode_GET_LENGTH(str);
    nb::list chunks;
    auto emit = [&](std::int64_t begin, std::int64_t end) {
        nb::object chunk = nb::steal(PyUnicode_Substring(str, (Py_ssize_t) begin, (Py_ssize_t) end));
        if (!chunk.is_valid() || PyList_Append(chunks.ptr(), chunk.ptr()) < 0)
            throw nb::python_error();
    };
    const void *data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
        dunmora::for_each_chunk(static_cast<const Py_UCS1 *>(data), n, size, step_back, emit);
        break;
    case PyUnicode_2BYTE_KIND:
        dunmora::for_each_chunk(static_cast<const Py_UCS2 *>(data), n, size, step_back, emit);
        break;
    default:
        dunmora::for_each_chunk(static_cast<const Py_UCS4 *>(data), n, size, step_back, emit);
        break;
    }
    return chunks;
}

void close_client(nb::handle self) {
    nb::object client = self.attr("client");
    if (nb::hasattr(client, "close"))
        client.attr("close")();
}

// ---------------------------------------------------------------- self-test

std::string fixed4(nb::handle value) { return orvo::to_utf8(orvo::module("builtins").attr("format")(value, ".4f")); }

// Exercise every operation against the configured service and print what came
// back; an error of the `Exception` family ends the run with one line.
orvo::Ending self_test() {
    orvo::print("测试 OpenAI 向量化客户端...");
    return orvo::guard(
        [] {
            nb::object client = orvo::module("dunmora").attr("Dunmora")();
            nb::object vector = client.attr("generate_embedding")("这是一个测试文本，用于验证向量化功能。");
            orvo::print("向量维度: " + std::to_string(nb::len(vector)));
            nb::object head = vector[nb::slice(nb::none(), nb::int_(5), nb::none())];
            orvo::print(orvo::joined("向量前5个值: ", head));

            nb::list samples;
            for (const char *sample : {"苹果是一种水果", "香蕉也是水果", "汽车是一种交通工具"})
                samples.append(orvo::to_str(sample));
            nb::object vectors = client.attr("generate_embeddings_batch")(samples);
            orvo::print("生成了 " + std::to_string(nb::len(vectors)) + " 个向量");
            nb::object similarity = client.attr("calculate_similarity");
            orvo::print("苹果和香蕉描述的相似度: " + fixed4(similarity(vectors[0], vectors[1])));
            orvo::print("苹果和汽车描述的相似度: " + fixed4(similarity(vectors[0], vectors[2])));
            orvo::print(orvo::joined("使用统计: ", client.attr("get_usage_stats")()));

            std::string long_text;
            for (int i = 0; i < 200; ++i)
                long_text += "这是一个很长的文本。";
            nb::object chunks = client.attr("chunk_text")(orvo::to_str(long_text), 500);
            orvo::print("长文本被分成 " + std::to_string(nb::len(chunks)) + " 块");
            return orvo::Ending::done;
        },
        [](nb::python_error &error) {
            orvo::print(orvo::joined("测试失败: ", orvo::error_text(error)));
            return orvo::Ending::failed;
        });
}

void test_dunmora() { self_test(); }

}  // namespace

NB_MODULE(dunmora, m) {
    orvo::translate_errors();
    m.doc() = "Embeddings client for an OpenAI-compatible service: vectors, usage counters, cosine "
              "similarity, a length estimate and text chunking.";
    m.attr("OpenAI") = orvo::import_name("openai", "OpenAI");
    m.attr("Config") = orvo::import_name("config", "Config");

    nb::class_<Dunmora>(m, "Dunmora", nb::dynamic_attr(), "OpenAI 向量化客户端")
        .def("__init__", &init,
             nb::sig("def __init__(self, api_key: str | None = None, base_url: str | None = None) -> None"),
             "api_key"_a = nb::none(), "base_url"_a = nb::none(),
             "Build a client. The key and the base URL come from their argument when that is a non-empty "
             "text, else from Config.EMBEDDING_API_KEY / EMBEDDING_API_URL when set, else from "
             "Config.AI_API_KEY / AI_API_URL. The default model is Config.EMBEDDING_MODEL. Raises "
             "ValueError when no key is found.")
        .def("generate_embedding", &generate_embedding,
             nb::sig("def generate_embedding(self, text: str, model: str | None = None) -> list[float]"),
             "text"_a.none(), "model"_a = nb::none(),
             "Return the vector of one text (one request). The model is the argument when it is a "
             "non-empty text, else the client's default.")
        .def("generate_embeddings_batch", &generate_embeddings_batch,
             nb::sig("def generate_embeddings_batch(self, texts: list[str], model: str | None = None) -> "
                     "list[list[float]]"),
             "texts"_a.none(), "model"_a = nb::none(),
             "Return the vectors of a list of texts, in the service's order (one request; none for an "
             "empty list).")
        .def("calculate_similarity", &calculate_similarity,
             nb::sig("def calculate_similarity(self, embedding1: list[float], embedding2: list[float]) -> float"),
             "embedding1"_a.none(), "embedding2"_a.none(),
             "Cosine similarity of two vectors of the same length; 0.0 when either is a zero vector.")
        .def("get_embedding_info", &get_embedding_info,
             nb::sig("def get_embedding_info(self, model: str | None = None) -> dict"), "model"_a = nb::none(),
             "Dimensions, input token limit and price per 1000 tokens of a model, as far as known.")
        .def("get_usage_stats", &get_usage_stats, nb::sig("def get_usage_stats(self) -> dict"),
             "Counted requests and tokens and the estimated cost of those tokens.")
        .def("reset_stats", &reset_stats, nb::sig("def reset_stats(self) -> None"), "Set both counters to 0.")
        .def("validate_text_length", &validate_text_length,
             nb::sig("def validate_text_length(self, text: str, model: str | None = None) -> bool"), "text"_a.none(),
             "model"_a = nb::none(),
             "True when the text's estimated token count (characters / 4) is within the model's limit.")
        .def("chunk_text", &chunk_text,
             nb::sig("def chunk_text(self, text: str, chunk_size: int = 1000, overlap: int = 100) -> list[str]"),
             "text"_a.none(), "chunk_size"_a.none() = 1000, "overlap"_a.none() = 100,
             "Cut a text into chunks of at most chunk_size characters that end after a '。', a newline "
             "or a blank where possible, each repeating the last overlap characters of the one before.")
        .def("close", &close_client, nb::sig("def close(self) -> None"),
             "Close the package client when it can be closed.");

    m.def("test_dunmora", &test_dunmora, nb::sig("def test_dunmora() -> None"),
          "Self-test: exercise every operation against the configured service and print the results.");
    m.def("main", &test_dunmora, nb::sig("def main() -> None"), "Stand-alone entry: run the self-test.");
    orvo::def_script(m, self_test);
    orvo::publish(m);
    orvo::define_all(m);
}
