// The git library functions: the repository test, diffs and staging.
#include "bindings.hpp"

namespace trelwick {

namespace {

bool is_git_repository() {
    return orvo::guard(
        [] {
            nb::object path = self().attr("Path").attr("cwd")() / nb::str(".git");
            return orvo::truthy(path.attr("is_dir")());
        },
        [](nb::python_error &) { return false; });
}

// A diff: git's output; the empty str when git refused; None after a message
// on any other error.
nb::object read_diff(std::initializer_list<std::string_view> args) {
    return orvo::guard([&]() -> nb::object { return run_git(git_args(args), Output::utf8).attr("stdout"); },
                       [](nb::python_error &error) -> nb::object {
                           if (is_git_failure(error))
                               return nb::str("");
                           orvo::print(text("git_commit_diff_error", orvo::error_text(error)));
                           return nb::none();
                       });
}

nb::object get_staged_changes() { return read_diff({"git", "diff", "--cached"}); }

nb::object get_unstaged_changes() { return read_diff({"git", "diff"}); }

bool stage_all_changes() {
    return orvo::guard(
        [] {
            run_git(git_args({"git", "add", "."}), Output::utf8);
            return true;
        },
        [](nb::python_error &error) {
            orvo::print(text("git_commit_error", git_error_text(error)));
            return false;
        });
}

nb::object get_git_diff() {
    bool refused = false;
    nb::object staged = orvo::guard(
        []() -> nb::object { return run_git(git_args({"git", "diff", "--cached"}), Output::utf8).attr("stdout"); },
        [&](nb::python_error &error) -> nb::object {
            refused = is_git_failure(error);
            if (!refused)
                orvo::print(text("git_commit_diff_error", orvo::error_text(error)));
            return nb::none();
        });
    if (!refused)
        return staged;
    // git refused the staged command: the unstaged diff instead; errors other
    // than a refusal reach the caller.
    return orvo::guard([]() -> nb::object { return run_git(git_args({"git", "diff"}), Output::utf8).attr("stdout"); },
                       [](nb::python_error &error) -> nb::object {
                           if (!is_git_failure(error))
                               throw;
                           return nb::str("");
                       });
}

}  // namespace

void register_library(nb::module_ &m) {
    m.def("is_git_repository", &is_git_repository, nb::sig("def is_git_repository() -> bool"),
          "True when the working directory holds a directory '.git' (symbolic links followed); false "
          "otherwise and on any error. git is not started.");
    m.def("get_staged_changes", &get_staged_changes, nb::sig("def get_staged_changes() -> str | None"),
          "The output of 'git diff --cached'; the empty str when git refuses; None after a printed "
          "message on any other error.");
    m.def("get_unstaged_changes", &get_unstaged_changes, nb::sig("def get_unstaged_changes() -> str | None"),
          "The output of 'git diff'; the empty str when git refuses; None after a printed message on any "
          "other error.");
    m.def("stage_all_changes", &stage_all_changes, nb::sig("def stage_all_changes() -> bool"),
          "Run 'git add .'; True on success, False after a printed message otherwise.");
    m.def("get_git_diff", &get_git_diff, nb::sig("def get_git_diff() -> str | None"),
          "The staged diff, or the unstaged one when git refuses the staged command; None after a printed "
          "message when git cannot be run.");
}

}  // namespace trelwick
