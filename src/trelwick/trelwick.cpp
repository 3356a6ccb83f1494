// Git workflow: git run as a child process for diffs, staging, commit, push,
// paged history and hard reset; the commit-message generator; and the
// interactive commands commit_changes, push_to_remote, view_commit_history and
// reset_to_last_commit.
//
// Every git run goes through `run_git`, which hands the work to the host's
// `subprocess.run` (argument list, no shell, output captured, input and
// environment inherited, no time limit). Names imported at load
// (`subprocess`, `Path`, `create_corvane`, `loading_context`, `t`) and the
// module's own functions are looked up through the module at each call, so
// that a caller may replace them.
#include <orvo/support.hpp>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

#include "commit_prompt.inc"

constexpr const char *GIT_NOT_FOUND = "Git command not found. Please ensure Git is installed.";

nb::module_ self_module() { return nb::module_::import_("trelwick"); }

using orvo::truthy;

// `key in container`, as the host tests it.
bool contains(nb::handle container, const char *key) {
    int result = PySequence_Contains(container.ptr(), nb::str(key).ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

// ------------------------------------------------------------------ dialogue

// The interface text of `key`, through the module's `t`.
template <typename... Args>
nb::object text(const char *key, Args &&...args) {
    return self_module().attr("t")(key, std::forward<Args>(args)...);
}

void say(const char *key) { orvo::print(text(key)); }

// An empty line, then the text of `key`, as one print.
void say_after_blank(const char *key) { orvo::print("\n" + orvo::text_of(text(key))); }

std::string rule(char c, std::size_t count) { return std::string(count, c); }

// A title between two rules, the first preceded by an empty line.
void frame(const char *key, std::size_t width) {
    orvo::print("\n" + rule('=', width));
    say(key);
    orvo::print(rule('=', width));
}

// A question: the answer trimmed and lower-cased.
std::string ask(const char *key) {
    std::string answer = orvo::read_line(orvo::text_of(text(key)));
    return orvo::lower(orvo::strip(answer));
}

// A pause: the line entered is discarded.
void pause() { orvo::read_line(orvo::text_of(text("press_enter_continue"))); }

bool one_of(const std::string &answer, std::initializer_list<std::string_view> accepted) {
    for (std::string_view word : accepted)
        if (answer == word)
            return true;
    return false;
}

// The yes of the stage-all, push and confirmation questions.
bool is_yes(const std::string &answer) { return one_of(answer, {"", "y", "yes", "是"}); }

bool blank(nb::handle value) { return orvo::strip(orvo::text_of(value)).empty(); }

// "Git output: " and git's standard output trimmed, when that output is not empty.
void show_git_output(nb::handle result) {
    std::string out = orvo::text_of(result.attr("stdout"));
    if (!out.empty())
        orvo::print("Git output: " + std::string(orvo::strip(out)));
}

// ------------------------------------------------------------------- git runs

enum class Output {
    utf8,    // text decoded strictly as UTF-8, line ends normalised
    locale,  // text decoded strictly in the locale's encoding, line ends normalised
    raw,     // the bytes as git wrote them
};

nb::list git_args(std::initializer_list<std::string_view> args) {
    nb::list list;
    for (std::string_view arg : args)
        list.append(orvo::to_str(arg));
    return list;
}

// Run a git command line in the current working directory, queried anew.
// Raises `CalledProcessError` on a non-zero exit status (after both streams
// have been decoded), `FileNotFoundError` when git cannot be started or the
// working directory is gone, and `UnicodeDecodeError` in a text mode.
nb::object run_git(nb::handle args, Output mode) {
    nb::object cwd = nb::module_::import_("os").attr("getcwd")();
    nb::object run = self_module().attr("subprocess").attr("run");
    switch (mode) {
    case Output::utf8:
        return run(args, "cwd"_a = cwd, "capture_output"_a = true, "text"_a = true, "encoding"_a = "utf-8",
                   "check"_a = true);
    case Output::locale:
        return run(args, "cwd"_a = cwd, "capture_output"_a = true, "text"_a = true, "check"_a = true);
    case Output::raw:
        break;
    }
    return run(args, "cwd"_a = cwd, "capture_output"_a = true, "check"_a = true);
}

bool is_git_failure(const nb::python_error &error) {
    return error.matches(self_module().attr("subprocess").attr("CalledProcessError"));
}

// The error's own text, as `str(error)` gives it.
nb::str own_text(const nb::python_error &error) { return nb::str(error.value()); }

// Raw output of git: the first of UTF-8, GBK, GB2312 and Latin-1 that decodes it.
nb::str decode_raw(nb::handle data) {
    if (PyUnicode_Check(data.ptr()))
        return nb::borrow<nb::str>(data);
    char *bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &bytes, &size) < 0)
        throw nb::python_error();
    std::string_view view(bytes, (std::size_t) size);
    if (orvo::is_valid_utf8(view))
        return orvo::to_str(view);
    for (const char *encoding : {"gbk", "gb2312"}) {
        try {
            return nb::str(data.attr("decode")(encoding));
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_UnicodeDecodeError))
                throw;
        }
    }
    return nb::str(data.attr("decode")("latin1"));
}

// The error-text rule: for a git run that exited with a non-zero status, git's
// captured standard error when it is not empty (unchanged), else the error's
// own text; for any other error its own text.
nb::str failure_text(const nb::python_error &error) {
    if (is_git_failure(error)) {
        nb::object captured = error.value().attr("stderr");
        if (!captured.is_none() && truthy(captured))
            return decode_raw(captured);
    }
    return own_text(error);
}

// The error text of a command's failure report: the error-text rule for a
// failed git run, a fixed note when git cannot be started, else the error's
// own text.
nb::str command_failure_text(const nb::python_error &error) {
    if (is_git_failure(error))
        return failure_text(error);
    if (error.matches(PyExc_FileNotFoundError))
        return orvo::to_str(GIT_NOT_FOUND);
    return own_text(error);
}

// ----------------------------------------------------------- library functions

bool is_git_repository() {
    try {
        nb::object path = self_module().attr("Path").attr("cwd")() / nb::str(".git");
        return truthy(path.attr("is_dir")());
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        return false;
    }
}

// A diff text: git's output; empty when git refused; nothing after a message
// on any other error.
nb::object read_diff(std::initializer_list<std::string_view> args) {
    try {
        return run_git(git_args(args), Output::utf8).attr("stdout");
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        if (is_git_failure(error))
            return nb::str("");
        orvo::print(text("git_commit_diff_error", own_text(error)));
        return nb::none();
    }
}

nb::object get_staged_changes() { return read_diff({"git", "diff", "--cached"}); }

nb::object get_unstaged_changes() { return read_diff({"git", "diff"}); }

bool stage_all_changes() {
    try {
        run_git(git_args({"git", "add", "."}), Output::utf8);
        return true;
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        orvo::print(text("git_commit_error", failure_text(error)));
        return false;
    }
}

nb::object get_git_diff() {
    try {
        return run_git(git_args({"git", "diff", "--cached"}), Output::utf8).attr("stdout");
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        if (!is_git_failure(error)) {
            orvo::print(text("git_commit_diff_error", own_text(error)));
            return nb::none();
        }
    }
    // git refused the staged command: the unstaged diff instead; errors other
    // than a refusal reach the caller.
    try {
        return run_git(git_args({"git", "diff"}), Output::utf8).attr("stdout");
    } catch (nb::python_error &error) {
        if (orvo::is_exception(error) && is_git_failure(error))
            return nb::str("");
        throw;
    }
}

// ------------------------------------------------------------------ generator

// `create_corvane()` inside the loading animation, used as a `with` block;
// None when the block swallowed an error of the construction.
nb::object build_client() {
    nb::module_ module = self_module();
    nb::object block = module.attr("loading_context")(text("git_commit_generating_message"), "dots");
    auto client = orvo::with_block(block, [&] { return module.attr("create_corvane")(); });
    return client ? *client : nb::none();
}

std::string join_prompt(std::string_view diff) {
    std::string prompt;
    prompt.reserve(HEADER.size() + CUSTOM_INSTRUCTIONS.size() + OUTPUT_RULES.size() + diff.size() +
                   FORMAT_GUIDE.size());
    prompt.append(HEADER).append(CUSTOM_INSTRUCTIONS).append(OUTPUT_RULES).append(diff).append(FORMAT_GUIDE);
    return prompt;
}

// The first `count` characters (code points) of a UTF-8 text.
std::string_view first_chars(std::string_view utf8, std::size_t count) {
    std::size_t i = 0;
    for (; i < utf8.size(); ++i)
        if (((unsigned char) utf8[i] & 0xC0) != 0x80 && count-- == 0)
            break;
    return utf8.substr(0, i);
}

// An answer that is a web page rather than a message (the service answered
// with an error page of its own).
bool is_html_page(std::string_view content) {
    return content.starts_with("<!DOCTYPE html>") ||
           first_chars(content, 100).find("<html") != std::string_view::npos;
}

nb::object generate_commit_message(nb::handle diff_content) {
    std::string diff = orvo::arg_str(diff_content, "diff_content");
    try {
        nb::object settings = nb::module_::import_("config").attr("Config");
        if (!truthy(settings.attr("validate_ai_config")())) {
            say("git_commit_no_ai_config");
            return nb::none();
        }
        nb::object client = build_client();

        nb::dict message;
        message["role"] = "user";
        message["content"] = orvo::to_str(join_prompt(diff));
        nb::list messages;
        messages.append(message);
        nb::object result = client.attr("chat_completion")(messages);

        if (result.is_none() || !truthy(result) || !contains(result, "choices") || !truthy(result["choices"])) {
            say("ai_response_error");
            return nb::none();
        }
        nb::object content = result["choices"][0]["message"]["content"];
        if (content.is_none())
            orvo::raise(PyExc_TypeError, "the answer carries no message text");
        if (!PyUnicode_Check(content.ptr()))
            orvo::raise(PyExc_TypeError, "the answer's message is not a text");
        std::string answer = orvo::from_str(content);
        if (is_html_page(answer)) {
            say("ai_service_unavailable");
            return nb::none();
        }
        return orvo::to_str(orvo::strip(answer));
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        orvo::print(text("git_commit_ai_error", own_text(error)));
        return nb::none();
    }
}

// ------------------------------------------------------------- commit command

void commit_steps() {
    nb::module_ module = self_module();
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
        if (!is_yes(ask("git_commit_stage_all_question"))) {
            say("git_commit_cancelled");
            return pause();
        }
        orvo::print("正在暂存所有更改...");
        if (!truthy(module.attr("stage_all_changes")()))
            return pause();
        staged = module.attr("get_staged_changes")();
        if (staged.is_none() || blank(staged)) {
            say("git_commit_no_changes");
            return pause();
        }
    }
    nb::object diff_content = staged;
    orvo::print("发现以下更改：\n" + orvo::text_of(diff_content) + "\n");

    nb::object commit_message;
    for (bool accepted = false; !accepted;) {
        commit_message = module.attr("generate_commit_message")(diff_content);
        if (commit_message.is_none()) {
            say("git_commit_cancelled");
            return pause();
        }
        say_after_blank("git_commit_message_generated");
        orvo::print(rule('-', 40));
        orvo::print(commit_message);
        orvo::print(rule('-', 40));
        for (;;) {
            std::string choice = ask("git_commit_prompt_accept");
            if (one_of(choice, {"", "y", "yes"})) {
                accepted = true;
                break;
            }
            if (one_of(choice, {"n", "no"})) {
                say("git_commit_cancelled");
                return pause();
            }
            if (one_of(choice, {"r", "regenerate"})) {
                say("git_commit_message_regenerated");
                break;
            }
            say("invalid_menu_choice");
        }
    }

    nb::list args = git_args({"git", "commit", "-m"});
    args.append(commit_message);
    nb::object result;
    try {
        result = run_git(args, Output::utf8);
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error) || !is_git_failure(error))
            throw;
        orvo::print(text("git_commit_error", failure_text(error)));
        return pause();
    }
    say_after_blank("git_commit_success");
    show_git_output(result);
    orvo::print();
    if (is_yes(ask("git_commit_push_question"))) {
        module.attr("push_to_remote")();
        return;  // the push dialogue ends with its own pause
    }
    pause();
}

void commit_changes() {
    frame("git_commit", 60);
    try {
        commit_steps();
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        orvo::print(text("git_commit_error", own_text(error)));
        pause();
    }
}

// --------------------------------------------------------------- push command

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
    if (!is_yes(ask("git_push_confirm"))) {
        say("git_push_cancelled");
        return pause();
    }
    say("git_pushing");
    nb::object result = run_git(git_args({"git", "push"}), Output::utf8);
    say("git_push_success");
    show_git_output(result);
    pause();
}

// The hint for a failed git run: the first rule whose phrase occurs in the
// lower-cased error text.
const char *push_hint(std::string_view error_text) {
    std::string lowered = orvo::lower(error_text);
    auto has = [&](std::string_view phrase) { return lowered.find(phrase) != std::string::npos; };
    if (has("nothing to push"))
        return "git_push_nothing_to_push";
    if (has("authentication failed") || has("permission denied"))
        return "git_push_auth_error";
    if (has("no such branch"))
        return "git_push_branch_error";
    return nullptr;
}

void push_to_remote() {
    frame("git_push_to_remote", 60);
    try {
        push_steps();
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        nb::str error_msg = command_failure_text(error);
        orvo::print(text("git_push_error", error_msg));
        if (is_git_failure(error))
            if (const char *hint = push_hint(orvo::from_str(error_msg)))
                say(hint);
        pause();
    }
}

// ------------------------------------------------------------ history pager

constexpr long long COMMITS_PER_PAGE = 10;

// Run `args` decoded as UTF-8, and once more in the locale's encoding when
// that fails.
nb::object run_text_with_fallback(nb::handle args) {
    try {
        return run_git(args, Output::utf8);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_UnicodeDecodeError))
            throw;
    }
    return run_git(args, Output::locale);
}

// One page of the log: UTF-8, the locale's encoding, then the raw bytes
// decoded by the first encoding that accepts them.
nb::str page_output(nb::handle args) {
    try {
        return nb::str(run_text_with_fallback(args).attr("stdout"));
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_UnicodeDecodeError))
            throw;
    }
    return decode_raw(run_git(args, Output::raw).attr("stdout"));
}

void clear_screen() {
    nb::object out = nb::module_::import_("sys").attr("stdout");
    if (!out.is_none())
        out.attr("flush")();  // keep what was printed before the clearing
    nb::object os = nb::module_::import_("os");
    bool windows = orvo::from_str(os.attr("name")) == "nt";
    os.attr("system")(windows ? "cls" : "clear");
}

// Print each line of a page that is not blank, as it stands.
void print_page(std::string_view output) {
    output = orvo::strip(output);
    while (!output.empty()) {
        std::size_t end = output.find('\n');
        std::string_view line = output.substr(0, end);
        if (!orvo::strip(line).empty())
            orvo::print(line);
        if (end == std::string_view::npos)
            break;
        output.remove_prefix(end + 1);
    }
}

// Where an interrupt leaves the pager: the cancel message, and nothing.
void say_cancelled() { orvo::print("\n" + orvo::text_of(text("program_cancelled"))); }

bool is_interrupt(const nb::python_error &error) { return error.matches(PyExc_KeyboardInterrupt); }

std::optional<std::string> ask_or_cancel(const char *key) {
    try {
        return ask(key);
    } catch (nb::python_error &error) {
        if (!is_interrupt(error))
            throw;
    }
    say_cancelled();
    return std::nullopt;
}

bool pause_or_cancel() {
    try {
        pause();
        return true;
    } catch (nb::python_error &error) {
        if (!is_interrupt(error))
            throw;
    }
    say_cancelled();
    return false;
}

void history_steps() {
    say_after_blank("git_history_loading");
    nb::object counted = run_text_with_fallback(git_args({"git", "rev-list", "--count", "HEAD"}));
    nb::object builtins = nb::module_::import_("builtins");
    nb::object total_commits = nb::module_::import_("builtins")
                                   .attr("int")(orvo::to_str(orvo::strip(orvo::text_of(counted.attr("stdout")))));
    // Counts are Python ints: git may print any number.
    if (total_commits <= nb::int_(0)) {
        say("git_history_no_commits");
        return pause();
    }
    nb::object per_page = nb::int_(COMMITS_PER_PAGE);
    nb::object total_pages = (total_commits + per_page - nb::int_(1)).floor_div(per_page);
    nb::object current_page = nb::int_(1);
    for (;;) {
        clear_screen();
        frame("git_history_title", 80);
        orvo::print(self_module().attr("t")("git_history_page_info", "current_page"_a = current_page,
                                            "total_pages"_a = total_pages, "total_commits"_a = total_commits));
        orvo::print(rule('-', 80));
        nb::object skip_count = (current_page - nb::int_(1)) * per_page;
        nb::list git_log_cmd = git_args({"git", "log", "--oneline", "--graph", "--decorate",
                                         "--pretty=format:%h - %an, %ar : %s"});
        git_log_cmd.append(orvo::to_str("--skip=" + orvo::text_of(skip_count)));
        git_log_cmd.append(orvo::to_str("--max-count=" + std::to_string(COMMITS_PER_PAGE)));
        print_page(orvo::from_str(page_output(git_log_cmd)));
        orvo::print(rule('-', 80));
        say("git_history_navigation");

        std::optional<std::string> command = ask_or_cancel("git_history_enter_command");
        if (!command || *command == "q")
            return;
        if (*command == "n" && current_page < total_pages) {
            current_page = current_page + nb::int_(1);
        } else if (*command == "p" && current_page > nb::int_(1)) {
            current_page = current_page - nb::int_(1);
        } else {
            say(*command == "n" ? "git_history_last_page"
                : *command == "p" ? "git_history_first_page"
                                  : "invalid_menu_choice");
            if (!pause_or_cancel())
                return;
        }
    }
}

void view_commit_history() {
    try {
        history_steps();
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        orvo::print(text("git_history_error", command_failure_text(error)));
        pause();
    }
}

// ---------------------------------------------------------------- hard reset

void reset_to_last_commit() {
    frame("git_reset_warning", 60);
    if (one_of(ask("git_reset_confirm"), {"y", "yes", "是"})) {
        try {
            nb::object result = run_git(git_args({"git", "reset", "--hard", "HEAD"}), Output::locale);
            say("git_reset_success");
            show_git_output(result);
        } catch (nb::python_error &error) {
            if (!orvo::is_exception(error))
                throw;
            orvo::print(text("git_reset_error", command_failure_text(error)));
        }
    } else {
        say("git_reset_cancelled");
    }
    pause();
}

// `from <module> import <name>`: a missing name is an ImportError.
nb::object import_name(const char *module, const char *name) {
    nb::object loaded = nb::module_::import_(module);
    if (!nb::hasattr(loaded, name))
        orvo::raise(PyExc_ImportError,
                    std::string("cannot import name '") + name + "' from '" + module + "'");
    return loaded.attr(name);
}

}  // namespace

NB_MODULE(trelwick, m) {
    m.doc() = "Git workflow: diffs, a commit-message generator using the chat model, and the commit, push, "
              "history and hard-reset commands.";
    m.attr("subprocess") = nb::module_::import_("subprocess");
    m.attr("Path") = import_name("pathlib", "Path");
    m.attr("create_corvane") = import_name("corvane", "create_corvane");
    m.attr("loading_context") = import_name("brisolet", "loading_context");
    m.attr("t") = import_name("i18n", "t");

    m.def("is_git_repository", &is_git_repository,
          "True when the working directory holds a directory '.git' (symbolic links followed); false "
          "otherwise and on any error. git is not started.");
    m.def("reset_to_last_commit", &reset_to_last_commit,
          "Command: after a warning and a typed confirmation (y, yes or 是), discard all uncommitted changes "
          "with 'git reset --hard HEAD'.");
    m.def("view_commit_history", &view_commit_history,
          "Command: page through the commit history, 10 commits a page (n: next, p: previous, q: quit).");
    m.def("get_staged_changes", &get_staged_changes, nb::sig("def get_staged_changes() -> str | None"),
          "The output of 'git diff --cached'; the empty text when git refuses; None after a printed "
          "message on any other error.");
    m.def("get_unstaged_changes", &get_unstaged_changes, nb::sig("def get_unstaged_changes() -> str | None"),
          "The output of 'git diff'; the empty text when git refuses; None after a printed message on any "
          "other error.");
    m.def("stage_all_changes", &stage_all_changes,
          "Run 'git add .'; True on success, False after a printed message otherwise.");
    m.def("get_git_diff", &get_git_diff, nb::sig("def get_git_diff() -> str | None"),
          "The staged diff, or the unstaged one when git refuses the staged command; None after a printed "
          "message when git cannot be run.");
    m.def("generate_commit_message", &generate_commit_message, nb::sig("def generate_commit_message(diff_content: str) -> str | None"), "diff_content"_a.none(),
          "Ask the chat model for a conventional commit message (English, then Chinese) describing the diff; "
          "the trimmed answer, or None after a printed message.");
    m.def("commit_changes", &commit_changes,
          "Command: show the staged changes (offering to stage everything), have a commit message written, "
          "accept, regenerate or cancel it, commit, and offer to push.");
    m.def("push_to_remote", &push_to_remote,
          "Command: show the remotes, ask for confirmation and run 'git push', with a hint after a failure.");
}
