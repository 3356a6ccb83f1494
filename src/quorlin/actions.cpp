// Two actions on the shown answer: saving it as a Markdown answer file in
// the working directory (with the offer to delete it again), and retrying
// with a new prompt and mode.
#include "answer_file.hpp"
#include "command.hpp"
#include "prompts.hpp"

#include <orvo/files.hpp>
#include <orvo/replace.hpp>

#include <cerrno>

namespace quorlin {

using namespace nb::literals;

namespace {

// How often a free name is looked for again when it is taken just before the
// answer file is created.
constexpr int max_save_attempts = 100;

// The name the chat model proposes for the answer, cleaned; nothing when no
// usable name arrives.
std::optional<std::string> proposed_name(nb::handle answer, nb::handle client) {
    const bool zh = chinese();
    nb::object excerpt = nb::steal(PySequence_GetSlice(answer.ptr(), 0, name_excerpt_length));
    if (!excerpt.is_valid())
        throw nb::python_error();
    nb::list messages = chat_messages(filename_system_message(zh), filename_user_message(orvo::to_utf8(excerpt)));
    nb::object response = client.attr("chat_completion")(messages, "temperature"_a = 0.3);
    std::optional<nb::str> proposal = first_answer(response);
    if (!proposal)
        return std::nullopt;
    std::string name = cleaned_filename(orvo::to_utf8(*proposal));
    if (!is_plain_name(name))
        return std::nullopt;  // it would land in another directory
    if (!orvo::is_valid_utf8(name))
        return std::nullopt;  // a lone surrogate: no name that can be shown as it is written
    return name;
}

// A name as the file system's bytes, as `open` would take it.
std::string name_bytes(const std::string &name) {
    if (name.find('\0') != std::string::npos)
        orvo::raise(PyExc_ValueError, "embedded null byte");
    return orvo::arg_path(orvo::to_str(name), "filename");
}

// The directory the answer file is saved in: the project root that the
// run's Quorlin holds open (the working directory when it was built); for an
// enhancer of a caller's that holds none, the working directory opened now.
ProjectRoot answer_directory(const Run &run) {
    ProjectRoot directory = nb::isinstance<Quorlin>(run.enhancer) ? project_root_of(run.enhancer)
                                                                  : open_project_root(orvo::working_directory());
    if (directory.fd < 0)
        orvo::raise_os_error(directory.error, directory.path);
    return directory;
}

orvo::Ending offer_deletion(const ProjectRoot &directory, const std::string &name, nb::handle filename) {
    orvo::print_after_blank(text("quorlin_md_saved_action"));
    orvo::print(orvo::joined("1. ", text("quorlin_md_delete_after_read")));
    orvo::print(orvo::joined("2. ", text("quorlin_md_keep")));
    for (;;) {
        const std::string choice =
            orvo::ask_trimmed(orvo::joined({nb::str("\n"), text("quorlin_md_action_prompt"), nb::str(" [1/2]: ")}));
        if (choice == "1") {
            return orvo::guard(
                [&] {
                    orvo::module("os").attr("remove")(orvo::path_to_str(name), "dir_fd"_a = directory.fd);
                    orvo::print(text("quorlin_md_deleted", filename));
                    return orvo::Ending::done;
                },
                [](nb::python_error &error) {
                    orvo::print(text("quorlin_md_delete_error", orvo::error_text(error)));
                    return orvo::Ending::failed;
                });
        }
        if (choice == "2" || choice.empty())
            return orvo::Ending::done;
        say("invalid_choice");
    }
}

}  // namespace

orvo::Ending save_answer(const Run &run) {
    std::optional<std::string> name =
        with_client([&](nb::handle client) { return proposed_name(run.enhanced_prompt, client); });
    if (!name) {
        orvo::print(no_name_message);
        name = std::string(default_answer_name);
    }
    const ProjectRoot directory = answer_directory(run);
    const std::string wanted = name_bytes(*name);
    AnswerName chosen = free_answer_name(directory.fd, wanted);
    const std::string content = answer_file_text(orvo::to_utf8_strict(run.enhanced_prompt));
    for (int attempt = 1;; ++attempt) {
        const std::string shown = orvo::join_path(directory.path, chosen.name);
        // Written as an entry of the directory held open, never through a
        // link: an earlier answer file is replaced only where it is still the
        // file examined; a free name is taken exclusively, so nothing that
        // came meanwhile is written over or through.
        if (chosen.earlier) {
            orvo::replace_file_at(directory.fd, chosen.name, shown, content, 0666, &chosen.found);
            break;
        }
        if (orvo::create_new_file_at(directory.fd, chosen.name, shown, content))
            break;
        if (attempt == max_save_attempts)
            orvo::raise_os_error(EEXIST, shown);
        chosen = free_answer_name(directory.fd, wanted);  // taken meanwhile
    }
    nb::str shown = orvo::path_to_str(chosen.name);
    orvo::print(text("quorlin_saved_as_md", shown));
    return offer_deletion(directory, chosen.name, shown);
}

bool retry(Run &run) {
    orvo::print_after_blank(text("quorlin_retry_prompt"));
    const std::string new_prompt = orvo::ask_trimmed(orvo::joined({text("quorlin_new_prompt_label"), nb::str(" ")}));
    nb::str retry_prompt = new_prompt.empty() ? run.user_prompt : orvo::to_str(new_prompt);
    nb::str retry_mode = choose_mode();
    orvo::print_after_blank(text("quorlin_retrying"));

    nb::object enhancer = run.enhancer;
    nb::object file_list = enhancer.attr("_get_file_list")();
    nb::object selection = enhancer.attr("_ask_ai_for_files")(retry_prompt, file_list);
    if (selection.is_none() || !orvo::truthy(selection))
        selection = nb::list();
    nb::object contents = enhancer.attr("_read_files_content")(selection);
    if (!orvo::truthy(contents)) {
        say("quorlin_retry_failed");
        return false;
    }
    nb::object retry_git_diff = nb::str("");
    if (is_review_mode(orvo::to_utf8(retry_mode)))
        retry_git_diff = staged_or_unstaged_diff(false).value_or(retry_git_diff);
    nb::object answer = enhancer.attr("_generate_enhanced_prompt")(retry_prompt, contents, retry_mode, retry_git_diff);
    if (answer.is_none() || !orvo::truthy(answer)) {
        say("quorlin_retry_failed");
        return false;
    }
    run.enhanced_prompt = answer;
    return true;
}

}  // namespace quorlin
