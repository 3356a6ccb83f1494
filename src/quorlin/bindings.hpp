// The Python side of prompt enhancement, registered by module.cpp.
//
// Names imported at load (`pathspec`, `create_corvane`, `loading_context`,
// `t`, `get_language`, `get_staged_changes`, `get_unstaged_changes`,
// `Nestrel`) and the module's own class are looked up through the module at
// each call, and a `Quorlin`'s steps call each other through the instance,
// so that a caller may replace any of them.
#pragma once

#include "engine/definitions.hpp"
#include "python_classes.hpp"

#include <orvo/dialogue.hpp>
#include <orvo/python.hpp>

#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorlin {

namespace nb = nanobind;

// A `Quorlin` keeps all its state in its instance dictionary: `current_dir`,
// `gitignore_spec`, `nestrel` and `_root` (see `ProjectRoot`).
struct Quorlin {};
using QuorlinClass = nb::class_<Quorlin>;

void register_project(QuorlinClass &cls);    // construction, .gitignore, definitions, scan, tree
void register_selection(QuorlinClass &cls);  // the file list for the model, its choice, reading
void register_request(QuorlinClass &cls);    // the mode request and the whole pipeline
void register_command(nb::module_ &m);       // run_quorlin and the stand-alone entry
void register_rule_set(nb::module_ &m);      // the matcher of a long .gitignore (`_RuleSet`)

// The `_RuleSet` that answers `matcher`'s `match_file` where `matcher` is a
// pathspec.PathSpec itself (not a subclass) on one, and pathspec's
// normalization changes no separator; else nothing.
nb::object rule_set_of(nb::handle matcher);
// What `_RuleSet.match_file(file)` answers: (include, index).
nb::object rule_set_match(nb::handle rules, nb::handle file);

// The module, for the names a caller may replace.
inline nb::module_ self() { return orvo::module("quorlin"); }

// The interface text of `key`, through the module's `t`.
template <typename... Args>
nb::object text(const char *key, Args &&...args) {
    return orvo::t_of("quorlin", key, std::forward<Args>(args)...);
}

inline void say(const char *key) { orvo::print(text(key)); }

// Whether the module's `get_language()` gives "zh".
bool chinese();

// A path argument as the file system's bytes (`orvo::arg_path`); nothing
// when its text cannot be encoded for the file system (a lone surrogate
// other than an escaped byte), which names no file, as Python's own path
// tests answer.
std::optional<std::string> encodable_path(nb::handle value, const char *name);

// The project root `current_dir` of a Quorlin as the file system's bytes
// (`orvo::arg_path`); a root holding a NUL is a `ValueError` ("embedded null
// byte"), as Python's own path functions raise it.
std::string project_root(nb::handle self);

// The project root as a Quorlin's steps use it: the directory that its
// `current_dir` named when it was opened, held open since (opened when the
// Quorlin is built, and anew when `current_dir` names another root), so that
// a root renamed and replaced by a link meanwhile is still the project. The
// descriptor lives in a small holder, the instance's `_root`.
struct ProjectRoot {
    nb::object holder;  // keeps `fd` open while the root is used
    std::string path;   // `current_dir`, as the file system's bytes
    int fd = -1;        // opened only to name files (O_PATH); -1 when it cannot be opened
    int error = 0;      // why it cannot be
    std::string real;   // its real path now
};
ProjectRoot project_root_of(nb::handle self);
// The directory at `path`, opened now and held for as long as the result lives.
ProjectRoot open_project_root(const std::string &path);

// Close the connections of a chat client made for one request (those of its
// `client`, the `openai` package's object, when it has one), so that none is
// left open until the garbage collector finds it. Errors of closing are
// ignored.
void close_client(nb::handle client);

// `step(client)` with a new chat client from the module's `create_corvane`,
// closed after the step whatever it gave.
template <typename Step>
auto with_client(Step &&step) -> decltype(step(nb::object())) {
    nb::object client = self().attr("create_corvane")();
    try {
        auto result = step(client);
        close_client(client);
        return result;
    } catch (...) {
        close_client(client);
        throw;
    }
}

// `[{"role": "system", "content": system}, {"role": "user", "content": user}]`.
nb::list chat_messages(std::string_view system, std::string_view user);

// The content of the first choice of a chat result, or nothing when the
// result is empty or has no or empty `choices`. A first choice without a
// message text of type str is a `TypeError`.
std::optional<nb::str> first_answer(nb::handle result);

}  // namespace quorlin
