// The commit, push and hard-reset commands.
#include "bindings.hpp"
#include "message.hpp"

namespace trelwick {

namespace {

bool blank(nb::handle value) { return orvo::strip(orvo::to_utf8(value)).empty(); }

// ------------------------------------------------------------------- commit

void commit_steps() {
    nb::module_ module = self();
    orvo::print("正在检查更改...");
    nb::object staged = module.attr("get_staged_changes")();
    if (staged.is_none())
        return pause();
    if (blank(staged)) {
        say("git_commit_no_staged_changes");
        nb::object unstaged = module.attr("get_unstaged_changes")();
        if (unstaged.is_none())
            return pause();
        if (blank(unstaged)) {
            say("git_commit_no_changes");
            return pause();
        }
        say("git_commit_found_unstaged");
        orvo::print(unstaged);
        if (!orvo::is_yes(orvo::ask(text("git_commit_stage_all_question")))) {
            say("git_commit_cancelled");
            return pause();
        }
        orvo::print("正在暂存所有更改...");
        if (!orvo::truthy(module.attr("stage_all_changes")()))
            return pause();
        staged = module.attr("get_staged_changes")();
        if (staged.is_none() || blank(staged)) {
            say("git_commit_no_changes");
            return pause();
        }
    }
    nb::object diff_content = staged;
    orvo::print(orvo::joined("发现以下更改：\n", diff_content) + nb::str("\n"));

    nb::object commit_message;
    for (bool accepted = false; !accepted;) {
        commit_message = module.attr("generate_commit_message")(diff_content);
        if (commit_message.is_none()) {
            say("git_commit_cancelled");
            return pause();
        }
        orvo::print_after_blank(text("git_commit_message_generated"));
        orvo::print(orvo::rule('-', 40));
        orvo::print(commit_message);
        orvo::print(orvo::rule('-', 40));
        for (;;) {
            std::string choice = orvo::ask(text("git_commit_prompt_accept"));
            if (orvo::one_of(choice, {"", "y", "yes"})) {
                accepted = true;
                break;
            }
            if (orvo::one_of(choice, {"n", "no"})) {
                say("git_commit_cancelled");
                return pause();
            }
            if (orvo::one_of(choice, {"r", "regenerate"})) {
                say("git_commit_message_regenerated");
                break;
            }
            say("invalid_menu_choice");
        }
    }

    nb::list args = git_args({"git", "commit", "-m"});
    args.append(commit_message);
    nb::object result = orvo::guard([&] { return run_git(args, Output::utf8); },
                                    [](nb::python_error &error) -> nb::object {
                                        if (!is_git_failure(error))
                                            throw;
                                        orvo::print(text("git_commit_error", git_error_text(error)));
                                        return nb::none();
                                    });
    if (result.is_none())
        return pause();
    orvo::print_after_blank(text("git_commit_success"));
    show_git_output(result);
    orvo::print();
    if (orvo::is_yes(orvo::ask(text("git_commit_push_question")))) {
        module.attr("push_to_remote")();
        return;  // the push dialogue ends with its own pause
    }
    pause();
}

void commit_changes() {
    orvo::frame(text("git_commit"), 60);
    orvo::guard(commit_steps, [](nb::python_error &error) {
        orvo::print(text("git_commit_error", orvo::error_text(error)));
        pause();
    });
}

// --------------------------------------------------------------------- push

void push_steps() {
    orvo::print("正在检查远程仓库配置...");
    nb::object listing = run_git(git_args({"git", "remote", "-v"}), Output::utf8);
    nb::object remotes = listing.attr("stdout");
    if (blank(remotes)) {
        say("git_push_no_remote");
        return pause();
    }
    say("git_push_remote_found");
    orvo::print(remotes);
    if (!orvo::is_yes(orvo::ask(text("git_push_confirm")))) {
        say("git_push_cancelled");
        return pause();
    }
    say("git_pushing");
    nb::object result = run_git(git_args({"git", "push"}), Output::utf8);
    say("git_push_success");
    show_git_output(result);
    pause();
}

void push_to_remote() {
    orvo::frame(text("git_push_to_remote"), 60);
    orvo::guard(push_steps, [](nb::python_error &error) {
        nb::str error_msg = report_text(error);
        orvo::print(text("git_push_error", error_msg));
        if (is_git_failure(error))
            if (const char *hint = push_hint(orvo::lower(orvo::to_utf8(error_msg))))
                say(hint);
        pause();
    });
}

// --------------------------------------------------------------- hard reset

void reset_to_last_commit() {
    orvo::frame(text("git_reset_warning"), 60);
    if (orvo::one_of(orvo::ask(text("git_reset_confirm")), {"y", "yes", "是"})) {
        orvo::guard(
            [] {
                nb::object result = run_git(git_args({"git", "reset", "--hard", "HEAD"}), Output::locale);
                say("git_reset_success");
                show_git_output(result);
            },
            [](nb::python_error &error) { orvo::print(text("git_reset_error", report_text(error))); });
    } else {
        say("git_reset_cancelled");
    }
    pause();
}

}  // namespace

void register_commands(nb::module_ &m) {
    m.def("commit_changes", &commit_changes, nb::sig("def commit_changes() -> None"),
          "Command: show the staged changes (offering to stage everything), have a commit message written, "
          "accept, regenerate or cancel it, commit, and offer to push.");
    m.def("push_to_remote", &push_to_remote, nb::sig("def push_to_remote() -> None"),
          "Command: show the remotes, ask for confirmation and run 'git push', with a hint after a failure.");
    m.def("reset_to_last_commit", &reset_to_last_commit, nb::sig("def reset_to_last_commit() -> None"),
          "Command: after a warning and a typed confirmation (y, yes or 是), discard all uncommitted changes "
          "with 'git reset --hard HEAD'.");
}

}  // namespace trelwick
