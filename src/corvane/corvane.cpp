// Chat-completion client for an OpenAI-compatible service.
#include <orvo/python.hpp>

#include <string>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// All state of a client lives in its instance dictionary: `api_key`,
// `base_url`, `model` and `client` (an `OpenAI` object).
struct Corvane {};

// The first non-empty text of: the argument, then the environment variable.
nb::object resolve(const std::optional<std::string> &argument, const char *variable) {
    if (argument && !argument->empty())
        return orvo::to_str(*argument);
    auto value = orvo::env(variable);
    return value ? nb::object(orvo::to_str(*value)) : nb::none();
}

void init(Corvane *self, nb::handle api_key, nb::handle base_url, nb::handle model) {
    auto key_arg = orvo::arg_opt_str(api_key, "api_key");
    auto url_arg = orvo::arg_opt_str(base_url, "base_url");
    auto model_arg = orvo::arg_opt_str(model, "model");
    new (self) Corvane();
    nb::object py = nb::find(self);

    nb::object config = orvo::module("config").attr("Config");
    nb::object key = resolve(key_arg, "AI_API_KEY");
    nb::object url = resolve(url_arg, "AI_API_URL");
    nb::object chosen = resolve(model_arg, "AI_MODEL");
    if (chosen.is_none())
        chosen = config.attr("DEFAULT_MODEL");
    if (key.is_none())
        orvo::raise(PyExc_ValueError, orvo::t("api_key_not_set"));
    if (url.is_none())
        orvo::raise(PyExc_ValueError, orvo::t("api_url_not_set"));

    nb::dict headers;
    headers["User-Agent"] = "corvane/1.0.0";
    headers["Accept"] = "application/json";
    headers["Content-Type"] = "application/json";
    py.attr("api_key") = key;
    py.attr("base_url") = url;
    py.attr("model") = chosen;
    py.attr("client") =
        orvo::module("corvane").attr("OpenAI")("api_key"_a = key, "base_url"_a = url, "default_headers"_a = headers);
}

[[noreturn]] void missing(nb::handle record, const char *name) {
    orvo::raise(PyExc_AttributeError, "'" + orvo::type_name(record) + "' object has no attribute '" + name + "'");
}

nb::object required(nb::handle record, const char *name) {
    auto value = orvo::field(record, name);
    if (!value)
        missing(record, name);
    return *value;
}

nb::object or_default(nb::handle record, const char *name, nb::object fallback) {
    auto value = orvo::field(record, name);
    return value && !value->is_none() ? *value : fallback;
}

nb::dict convert(nb::handle response) {
    nb::list choices;
    for (nb::handle choice : required(response, "choices")) {
        nb::object message = required(choice, "message");
        nb::dict converted_message;
        converted_message["role"] = required(message, "role");
        auto content = orvo::field(message, "content");
        converted_message["content"] = content ? *content : nb::str("");
        nb::dict converted;
        converted["index"] = required(choice, "index");
        converted["message"] = converted_message;
        converted["finish_reason"] = or_default(choice, "finish_reason", nb::none());
        choices.append(converted);
    }
    nb::dict usage;
    nb::object counts = or_default(response, "usage", nb::none());
    for (const char *name : {"prompt_tokens", "completion_tokens", "total_tokens"})
        usage[name] = counts.is_none() ? nb::int_(0) : or_default(counts, name, nb::int_(0));

    nb::dict result;
    result["id"] = or_default(response, "id", nb::str(""));
    result["object"] = or_default(response, "object", nb::str(""));
    result["created"] = or_default(response, "created", nb::int_(0));
    result["model"] = or_default(response, "model", nb::str(""));
    result["choices"] = choices;
    result["usage"] = usage;
    return result;
}

nb::object first_chars(nb::handle text, Py_ssize_t count) {
    return nb::str(text)[nb::slice(nb::none(), nb::int_(count), nb::none())];
}

nb::object chat_completion(nb::handle self, nb::handle messages, nb::handle model, nb::handle temperature,
                           nb::handle max_tokens, nb::handle stream) {
    nb::list message_list = orvo::arg_list(messages, "messages");
    auto model_arg = orvo::arg_opt_str(model, "model");
    double temp = orvo::arg_float(temperature, "temperature");
    nb::object tokens = max_tokens.is_none() ? nb::object(nb::none()) : orvo::arg_int(max_tokens, "max_tokens");
    bool streamed = orvo::truthy(stream);

    return orvo::guard(
        [&] {
            nb::object chosen = model_arg && !model_arg->empty() ? nb::borrow(model) : self.attr("model");
            nb::object response =
                self.attr("client")
                    .attr("chat")
                    .attr("completions")
                    .attr("create")("model"_a = chosen, "messages"_a = message_list, "temperature"_a = temp,
                                    "max_tokens"_a = tokens, "stream"_a = streamed, "timeout"_a = 30.0);
            if (streamed)
                return response;  // the package's stream of chunks, handed back as it comes
            return orvo::guard([&]() -> nb::object { return convert(response); },
                               [&](nb::python_error &error) -> nb::object {
                                   orvo::raise_from(error, PyExc_RuntimeError,
                                                    orvo::t("parse_api_response_failed", orvo::error_text(error),
                                                            first_chars(response, 200)));
                               });
        },
        [](nb::python_error &error) -> nb::object {
            orvo::raise_from(error, PyExc_RuntimeError, orvo::t("api_call_failed", orvo::error_text(error)));
        });
}

nb::list get_models(nb::handle self) {
    return orvo::guard(
        [&] {
            nb::list models;
            nb::object listing = self.attr("client").attr("models").attr("list")();
            for (nb::handle entry : required(listing, "data")) {
                nb::dict info;
                for (const char *name : {"id", "object", "created", "owned_by"})
                    info[name] = required(entry, name);
                models.append(info);
            }
            return models;
        },
        [](nb::python_error &error) -> nb::list {
            orvo::raise_from(error, PyExc_RuntimeError, orvo::t("get_models_failed", orvo::error_text(error)));
        });
}

nb::object create_corvane() { return orvo::module("corvane").attr("Corvane")(); }

// Stand-alone demonstration: list up to five models and ask for a greeting.
orvo::Ending demonstration() {
    orvo::set_language_from_env();
    return orvo::guard(
        [] {
            nb::object client = orvo::module("corvane").attr("create_corvane")();
            orvo::print(orvo::t("available_models"));
            nb::object models = client.attr("get_models")();
            for (nb::handle model : models[nb::slice(nb::none(), nb::int_(5), nb::none())])
                orvo::print(orvo::joined("- ", model["id"]));
            nb::list messages;
            nb::dict hello;
            hello["role"] = "user";
            hello["content"] = orvo::t("hello_introduce");
            messages.append(hello);
            nb::object result = client.attr("chat_completion")(messages);
            nb::object content = result["choices"][0]["message"]["content"];
            orvo::print(orvo::t("api_response_colon", content));
            return orvo::Ending::done;
        },
        [](nb::python_error &error) {
            orvo::print(orvo::t("error_colon", orvo::error_text(error)));
            return orvo::Ending::failed;
        });
}

}  // namespace

NB_MODULE(corvane, m) {
    orvo::translate_errors();
    m.doc() = "Chat-completion client for an OpenAI-compatible service.";
    m.attr("os") = orvo::module("os");
    m.attr("OpenAI") = orvo::import_name("openai", "OpenAI");
    m.attr("t") = orvo::import_name("i18n", "t");

    nb::class_<Corvane>(m, "Corvane", nb::dynamic_attr(),
                        "Client of one OpenAI-compatible chat service: key, base URL and default model.")
        .def("__init__", &init,
             nb::sig("def __init__(self, api_key: str | None = None, base_url: str | None = None, model: str | "
                     "None = None) -> None"),
             "api_key"_a = nb::none(), "base_url"_a = nb::none(), "model"_a = nb::none(),
             "Build a client. Each setting comes from its argument when that is a non-empty str, else from "
             "AI_API_KEY, AI_API_URL or AI_MODEL, the model finally from Config.DEFAULT_MODEL.")
        .def("chat_completion", &chat_completion,
             nb::sig("def chat_completion(self, messages: list[dict], model: str | None = None, temperature: float "
                     "= 0.7, max_tokens: int | None = None, stream: bool = False) -> dict"),
             "messages"_a.none(), "model"_a = nb::none(), "temperature"_a = 0.7, "max_tokens"_a = nb::none(),
             "stream"_a = false,
             "Send one chat-completion request and return its result as a dict with id, object, created, "
             "model, choices and usage.")
        .def("get_models", &get_models, nb::sig("def get_models(self) -> list[dict]"),
             "Return the service's models as a list of dicts.");

    m.def("create_corvane", &create_corvane, nb::sig("def create_corvane() -> Corvane"),
          "Build a client whose settings all come from the environment.");
    m.def(
        "main", [] { demonstration(); }, nb::sig("def main() -> None"),
          "Demonstration: list the service's models and ask the model to introduce itself.");
    orvo::def_script(m, demonstration);
    orvo::publish(m);
    orvo::define_all(m);
}
