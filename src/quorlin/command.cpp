// The command run_quorlin: the task, the mode menu, the diff of the review
// modes, the pipeline, and the result with its actions (copy and cancel
// here; save and retry in actions.cpp).
#include "command.hpp"
#include "prompts.hpp"

#include <algorithm>
#include <iterator>

namespace quorlin {

namespace {

constexpr std::size_t frame_width = 60;

struct ModeRow {
    const char *key, *mode;
};

constexpr ModeRow mode_rows[] = {
    {"quorlin_mode_detailed", "detailed"},       {"quorlin_mode_concise", "concise"},
    {"quorlin_mode_question", "question"},       {"quorlin_mode_question_concise", "question_concise"},
    {"quorlin_mode_diff_review", "diff_review"}, {"quorlin_mode_diff_review_concise", "diff_review_concise"},
    {"quorlin_mode_code_search", "code_search"},
};

// The diff of a review mode, staged first; nothing after a message when
// there are no changes.
std::optional<nb::object> review_diff() {
    orvo::print_after_blank(text("quorlin_getting_git_diff"));
    const std::optional<nb::object> diff = staged_or_unstaged_diff(true);
    if (!diff)
        return std::nullopt;
    const std::string lines = orvo::to_utf8(*diff);
    const std::size_t count = static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n')) + 1;
    orvo::print_after_blank(text("quorlin_diff_summary", count));
    return diff;
}

void show_result(nb::handle answer) {
    orvo::frame(text("quorlin_result"), frame_width);
    orvo::print(answer);
    orvo::print("\n" + orvo::rule('=', frame_width));
}

orvo::Ending copy_answer(nb::handle answer) {
    nb::object clipboard;
    try {
        clipboard = orvo::module("pyperclip");
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_ImportError))
            throw;
        say("quorlin_pyperclip_not_installed");
        say("quorlin_manual_copy");
        return orvo::Ending::failed;
    }
    clipboard.attr("copy")(answer);
    say("quorlin_copied");
    return orvo::Ending::done;
}

orvo::Ending steps(Run &run) {
    const std::string prompt =
        orvo::ask_trimmed(orvo::joined({nb::str("\n"), text("quorlin_prompt_label"), nb::str(" ")}));
    if (prompt.empty()) {
        say("quorlin_empty_prompt");
        return orvo::Ending::done;
    }
    run.user_prompt = orvo::to_str(prompt);
    nb::str mode = choose_mode();
    nb::object git_diff = nb::str("");
    const bool review = is_review_mode(orvo::to_utf8(mode));
    if (review) {
        std::optional<nb::object> diff = review_diff();
        if (!diff)
            return orvo::Ending::done;  // no changes to review
        git_diff = *diff;
    }

    nb::object enhancer = run.enhancer;
    if (review) {
        nb::object file_list = enhancer.attr("_get_file_list")();
        nb::object selected = enhancer.attr("_ask_ai_for_files")(run.user_prompt, file_list);
        if (selected.is_none() || !orvo::truthy(selected)) {
            orvo::print_after_blank(text("quorlin_failed"));
            return orvo::Ending::failed;
        }
        nb::object contents = enhancer.attr("_read_files_content")(selected);
        run.enhanced_prompt = enhancer.attr("_generate_enhanced_prompt")(run.user_prompt, contents, mode, git_diff);
    } else {
        run.enhanced_prompt = enhancer.attr("enhance_prompt")(run.user_prompt, mode);
    }
    if (run.enhanced_prompt.is_none() || !orvo::truthy(run.enhanced_prompt)) {
        orvo::print_after_blank(text("quorlin_failed"));
        return orvo::Ending::failed;
    }

    for (;;) {
        show_result(run.enhanced_prompt);
        const std::string choice =
            orvo::ask(orvo::joined({nb::str("\n"), text("quorlin_action_prompt"), nb::str(" [Y/n/t/r]: ")}));
        if (orvo::one_of(choice, {"y", "yes", ""}))
            return copy_answer(run.enhanced_prompt);
        if (orvo::one_of(choice, {"n", "no"})) {
            say("quorlin_cancelled");
            return orvo::Ending::done;
        }
        if (choice == "t")
            return save_answer(run);
        if (choice == "r") {
            if (!retry(run))
                return orvo::Ending::failed;
            continue;
        }
        say("invalid_choice");
    }
}

orvo::Ending command() {
    Run run;
    run.enhancer = self().attr("Quorlin")();
    orvo::frame(text("quorlin_title"), frame_width);
    say("quorlin_input_prompt");
    return orvo::on_interrupt(
        [&] {
            return orvo::guard([&] { return steps(run); },
                               [](nb::python_error &error) {
                                   orvo::print_after_blank(text("error_colon", orvo::error_text(error)));
                                   return orvo::Ending::failed;
                               });
        },
        [](nb::python_error &) {
            orvo::print_after_blank(text("program_cancelled"));
            return orvo::Ending::done;  // the user's own choice
        });
}

void run_quorlin() { command(); }

void main_entry() {
    orvo::set_language_from_env();
    self().attr("run_quorlin")();
}

orvo::Ending script_entry() {
    orvo::set_language_from_env();
    return command();
}

}  // namespace

nb::str choose_mode() {
    orvo::print_after_blank(text("quorlin_mode_selection"));
    for (std::size_t k = 0; k < std::size(mode_rows); ++k)
        orvo::print(orvo::joined(std::to_string(k + 1) + ". ", text(mode_rows[k].key)));
    for (;;) {
        const std::string answer = orvo::ask_trimmed(
            orvo::joined({nb::str("\n"), text("quorlin_mode_prompt"), nb::str(" [1/2/3/4/5/6/7]: ")}));
        if (answer.empty())
            return nb::str(mode_rows[0].mode);
        if (answer.size() == 1 && answer[0] >= '1' && answer[0] <= '7')
            return nb::str(mode_rows[answer[0] - '1'].mode);
        say("invalid_choice");
    }
}

std::optional<nb::object> staged_or_unstaged_diff(bool tell) {
    const auto usable = [](nb::handle diff) {
        return PyUnicode_Check(diff.ptr()) && !orvo::strip(orvo::to_utf8(diff)).empty();
    };
    const auto told = [tell](const char *key) {
        if (tell)
            say(key);
    };
    nb::module_ module = self();
    nb::object staged = module.attr("get_staged_changes")();
    if (usable(staged)) {
        told("quorlin_found_staged_changes");
        return staged;
    }
    told("quorlin_no_staged_changes");
    nb::object unstaged = module.attr("get_unstaged_changes")();
    if (!usable(unstaged)) {
        told("quorlin_no_git_changes");
        return std::nullopt;
    }
    told("quorlin_found_unstaged_changes");
    return unstaged;
}

void register_command(nb::module_ &m) {
    m.def("run_quorlin", &run_quorlin, nb::sig("def run_quorlin() -> None"),
          "Command: ask for a task or question and a mode, have the chat model choose and read the relevant "
          "files (and the git diff in the review modes), show the answer, then copy it, save it as Markdown, "
          "retry or cancel.");
    m.def("main", &main_entry, nb::sig("def main() -> None"),
          "Stand-alone entry: the interface language from ORVO_LANG, then run_quorlin().");
    orvo::def_script(m, script_entry);
}

}  // namespace quorlin
