// The mode request (the final chat request, under the loading animation) and
// the whole pipeline for a request without a diff.
#include "bindings.hpp"
#include "prompts.hpp"

namespace quorlin {

using namespace nb::literals;

namespace {

// The mode request with `client`: the trimmed answer, or None after a
// printed message.
nb::object send_request(nb::handle self, nb::handle prompt, nb::handle contents, nb::handle mode, nb::handle diff,
                        nb::handle client) {
    nb::module_ module = quorlin::self();
    const bool zh = chinese();
    nb::object tree = self.attr("_generate_project_tree")();
    nb::object items = nb::steal(PyDict_Items(contents.ptr()));  // the pairs as they are now
    if (!items.is_valid())
        throw nb::python_error();
    std::vector<std::pair<std::string, std::string>> files;
    for (nb::handle pair : items)
        files.emplace_back(orvo::to_utf8(pair[0]), orvo::to_utf8(pair[1]));
    ModeRequest request = mode_request(orvo::to_utf8(mode), zh, orvo::to_utf8(prompt), orvo::to_utf8(tree),
                                       file_contents_block(files), orvo::to_utf8(diff));
    nb::object spinner = request.spinner.empty() ? text("quorlin_generating") : orvo::to_str(request.spinner);
    nb::list messages = chat_messages(request.system, request.user);
    nb::object animation = module.attr("loading_context")(module.attr("t")(spinner), "dots");
    std::optional<nb::object> result =
        orvo::with_block(animation, [&] { return client.attr("chat_completion")(messages, "temperature"_a = 0.7); });
    std::optional<nb::str> answer = result ? first_answer(*result) : std::nullopt;
    if (!answer) {
        say("ai_response_error");
        return nb::none();
    }
    return orvo::to_str(orvo::strip(orvo::to_utf8(*answer)));
}

nb::object generate_enhanced_prompt(nb::handle self, nb::handle user_prompt, nb::handle file_contents, nb::handle mode,
                                    nb::handle git_diff) {
    nb::str prompt = orvo::arg_pystr(user_prompt, "user_prompt");
    nb::dict contents = orvo::arg_dict(file_contents, "file_contents");
    nb::str mode_text = orvo::arg_pystr(mode, "mode");
    nb::str diff = orvo::arg_pystr(git_diff, "git_diff");
    return orvo::guard(
        [&] {
            return with_client(
                [&](nb::handle client) { return send_request(self, prompt, contents, mode_text, diff, client); });
        },
        [](nb::python_error &error) -> nb::object {
            orvo::print(text("quorlin_generation_error", orvo::error_text(error)));
            return nb::none();
        });
}

nb::object enhance_prompt(nb::handle self, nb::handle user_prompt, nb::handle mode) {
    orvo::arg_pystr(user_prompt, "user_prompt");
    orvo::arg_pystr(mode, "mode");
    nb::object file_list = self.attr("_get_file_list")();
    nb::object selection = self.attr("_ask_ai_for_files")(user_prompt, file_list);
    if (selection.is_none() || !orvo::truthy(selection))
        return nb::none();
    nb::object contents = self.attr("_read_files_content")(selection);
    return self.attr("_generate_enhanced_prompt")(user_prompt, contents, mode);
}

}  // namespace

void register_request(QuorlinClass &cls) {
    cls.def("_generate_enhanced_prompt", &generate_enhanced_prompt,
            nb::sig("def _generate_enhanced_prompt(self, user_prompt: str, file_contents: dict[str, str], mode: str "
                    "= 'detailed', git_diff: str = '') -> str | None"),
            "user_prompt"_a.none(), "file_contents"_a.none(), "mode"_a.none() = "detailed", "git_diff"_a.none() = "",
            "Send the request of a mode (detailed, concise, question, question_concise, diff_review, "
            "diff_review_concise, code_search) with the project tree and the chosen files, under the loading "
            "animation: the trimmed answer, or None after a printed message.")
        .def("enhance_prompt", &enhance_prompt,
             nb::sig("def enhance_prompt(self, user_prompt: str, mode: str = 'detailed') -> str | None"),
             "user_prompt"_a.none(), "mode"_a.none() = "detailed",
             "The whole pipeline without a diff: scan the project, let the chat model choose files, read them "
             "and send the mode's request; the answer, or None.");
}

}  // namespace quorlin
