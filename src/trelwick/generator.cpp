// The commit-message generator: one chat request for the staged diff.
#include "bindings.hpp"
#include "message.hpp"

namespace trelwick {

using namespace nb::literals;

namespace {

// `key in container`.
bool contains(nb::handle container, const char *key) {
    int result = PySequence_Contains(container.ptr(), nb::str(key).ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

// `create_corvane()` inside the loading animation, used as a `with` block;
// None when the block swallowed an error of the construction.
nb::object build_client() {
    nb::module_ module = self();
    nb::object block = module.attr("loading_context")(text("git_commit_generating_message"), "dots");
    auto client = orvo::with_block(block, [&] { return module.attr("create_corvane")(); });
    return client ? *client : nb::none();
}

nb::object generate_commit_message(nb::handle diff_content) {
    std::string diff = orvo::arg_str(diff_content, "diff_content");
    return orvo::guard(
        [&]() -> nb::object {
            nb::object settings = orvo::module("config").attr("Config");
            if (!orvo::truthy(settings.attr("validate_ai_config")())) {
                say("git_commit_no_ai_config");
                return nb::none();
            }
            nb::object client = build_client();

            nb::dict message;
            message["role"] = "user";
            message["content"] = orvo::to_str(commit_prompt(diff));
            nb::list messages;
            messages.append(message);
            nb::object result = client.attr("chat_completion")(messages);

            if (result.is_none() || !orvo::truthy(result) || !contains(result, "choices") ||
                !orvo::truthy(result["choices"])) {
                say("ai_response_error");
                return nb::none();
            }
            nb::object content = result["choices"][0]["message"]["content"];
            if (content.is_none())
                orvo::raise(PyExc_TypeError, "the answer carries no message text");
            if (!PyUnicode_Check(content.ptr()))
                orvo::raise(PyExc_TypeError, "the answer's message is not a str");
            std::string answer = orvo::to_utf8(content);
            if (is_html_page(answer)) {
                say("ai_service_unavailable");
                return nb::none();
            }
            return orvo::to_str(orvo::strip(answer));
        },
        [](nb::python_error &error) {
            orvo::print(text("git_commit_ai_error", orvo::error_text(error)));
            return nb::none();
        });
}

}  // namespace

void register_generator(nb::module_ &m) {
    m.def("generate_commit_message", &generate_commit_message,
          nb::sig("def generate_commit_message(diff_content: str) -> str | None"), "diff_content"_a.none(),
          "Ask the chat model for a conventional commit message (English, then Chinese) describing the diff; "
          "the trimmed answer, or None after a printed message.");
}

}  // namespace trelwick
