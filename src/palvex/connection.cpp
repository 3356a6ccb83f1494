// The connection test: one minimal chat request through the openai package.
#include "bindings.hpp"

namespace palvex {

using namespace nb::literals;

namespace {

// Release the client's connections; a failure there changes nothing.
void close_quietly(nb::handle client) {
    orvo::guard([&] { client.attr("close")(); }, [](nb::python_error &) {});
}

bool test_api_connection(nb::handle api_key, nb::handle api_url, nb::handle model) {
    orvo::arg_pystr(api_key, "api_key");
    orvo::arg_pystr(api_url, "api_url");
    orvo::arg_pystr(model, "model");
    print_info(text("testing_api_connection"));
    return orvo::guard(
        [&] {
            nb::object client = orvo::import_name("openai", "OpenAI")("api_key"_a = api_key, "base_url"_a = api_url);
            nb::dict message;
            message["role"] = "user";
            message["content"] = text("hello");
            nb::list messages;
            messages.append(message);
            nb::object response;
            try {
                response = client.attr("chat")
                               .attr("completions")
                               .attr("create")("model"_a = model, "messages"_a = messages, "max_tokens"_a = 10,
                                               "timeout"_a = 30.0);
            } catch (nb::python_error &) {
                close_quietly(client);
                throw;
            }
            close_quietly(client);
            std::optional<nb::object> choices;
            if (!response.is_none())
                choices = orvo::field(response, "choices");
            if (choices && !choices->is_none() && orvo::truthy(*choices)) {
                print_success(text("api_connection_successful"));
                return true;
            }
            print_error(text("api_connection_failed_http", "Unknown"));
            return false;
        },
        [](nb::python_error &error) {
            print_error(text("api_test_error", orvo::error_text(error)));
            return false;
        });
}

}  // namespace

void register_connection(nb::module_ &m) {
    m.def("test_api_connection", &test_api_connection,
          nb::sig("def test_api_connection(api_key: str, api_url: str, model: str) -> bool"), "api_key"_a.none(),
          "api_url"_a.none(), "model"_a.none(),
          "Send one small chat request (the translation of hello, at most 10 tokens, 30 s) with these settings "
          "and report the outcome; True when the service returned at least one choice.");
}

}  // namespace palvex
