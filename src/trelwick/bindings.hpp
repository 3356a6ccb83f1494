// The Python side of the git workflow, registered by module.cpp.
//
// Names imported at load (`subprocess`, `Path`, `create_corvane`,
// `loading_context`, `t`) and the module's own functions are looked up through
// the module at each call, so that a caller may replace them.
#pragma once

#include <orvo/dialogue.hpp>
#include <orvo/python.hpp>

#include <initializer_list>
#include <string_view>
#include <utility>

namespace trelwick {

namespace nb = nanobind;

void register_library(nb::module_ &m);    // diffs, staging, the repository test
void register_generator(nb::module_ &m);  // generate_commit_message
void register_commands(nb::module_ &m);   // commit_changes, push_to_remote, reset_to_last_commit
void register_history(nb::module_ &m);    // view_commit_history

// The module, for the names a caller may replace.
inline nb::module_ self() { return orvo::module("trelwick"); }

// The interface text of `key`, through the module's `t`.
template <typename... Args>
nb::object text(const char *key, Args &&...args) {
    return orvo::t_of("trelwick", key, std::forward<Args>(args)...);
}

inline void say(const char *key) { orvo::print(text(key)); }

// A pause: the line entered is discarded.
inline void pause() { orvo::read_line(text("press_enter_continue")); }

// ------------------------------------------------------------------ git runs

enum class Output {
    utf8,    // text decoded strictly as UTF-8, line ends normalised
    locale,  // text decoded strictly in the locale's encoding, line ends normalised
    raw,     // the bytes as git wrote them
};

nb::list git_args(std::initializer_list<std::string_view> args);

// Run a git command line in the current working directory, queried anew,
// through the module's `subprocess.run` (argument list, no shell, output
// captured, input and environment inherited, no time limit). Raises
// `CalledProcessError` on a non-zero exit status (after both streams have been
// decoded), `FileNotFoundError` when git cannot be started or the working
// directory is gone, and `UnicodeDecodeError` in a text mode.
nb::object run_git(nb::handle args, Output mode);

// Whether an error is git's refusal: a non-zero exit status.
bool is_git_failure(const nb::python_error &error);

// Raw output of git: the first of UTF-8, GBK, GB2312 and Latin-1 that decodes it.
nb::str decode_raw(nb::handle data);

// What went wrong in git's words: for a refusal, git's captured standard
// error when it is not empty (unchanged), else the error's own text; for any
// other error its own text.
nb::str git_error_text(const nb::python_error &error);

// The text of a command's failure report: `git_error_text`, but a fixed note
// when git cannot be started.
nb::str report_text(const nb::python_error &error);

// "Git output: " and git's standard output trimmed, when that output is not empty.
void show_git_output(nb::handle result);

}  // namespace trelwick
