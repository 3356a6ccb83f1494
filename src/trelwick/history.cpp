// The commit history pager: 10 commits a page, fetched from git page by page.
#include "bindings.hpp"

#include <optional>
#include <string>

namespace trelwick {

using namespace nb::literals;

namespace {

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
    nb::object out = orvo::module("sys").attr("stdout");
    if (!out.is_none())
        out.attr("flush")();  // keep what was printed before the clearing
    nb::object os = orvo::module("os");
    bool windows = orvo::to_utf8(os.attr("name")) == "nt";
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
void say_cancelled(nb::python_error &) { orvo::print_after_blank(text("program_cancelled")); }

std::optional<std::string> ask_or_cancel(const char *key) {
    return orvo::on_interrupt([&]() -> std::optional<std::string> { return orvo::ask(text(key)); },
                              [](nb::python_error &error) -> std::optional<std::string> {
                                  say_cancelled(error);
                                  return std::nullopt;
                              });
}

bool pause_or_cancel() {
    return orvo::on_interrupt(
        [] {
            pause();
            return true;
        },
        [](nb::python_error &error) {
            say_cancelled(error);
            return false;
        });
}

void history_steps() {
    orvo::print_after_blank(text("git_history_loading"));
    nb::object counted = run_text_with_fallback(git_args({"git", "rev-list", "--count", "HEAD"}));
    // Counts are Python ints: git may print any number.
    nb::object total_commits =
        orvo::module("builtins").attr("int")(orvo::to_str(orvo::strip(orvo::to_utf8(counted.attr("stdout")))));
    if (total_commits <= nb::int_(0)) {
        say("git_history_no_commits");
        return pause();
    }
    nb::object per_page = nb::int_(COMMITS_PER_PAGE);
    nb::object total_pages = (total_commits + per_page - nb::int_(1)).floor_div(per_page);
    nb::object current_page = nb::int_(1);
    for (;;) {
        clear_screen();
        orvo::frame(text("git_history_title"), 80);
        orvo::print(text("git_history_page_info", "current_page"_a = current_page, "total_pages"_a = total_pages,
                         "total_commits"_a = total_commits));
        orvo::print(orvo::rule('-', 80));
        nb::object skip_count = (current_page - nb::int_(1)) * per_page;
        nb::list git_log_cmd =
            git_args({"git", "log", "--oneline", "--graph", "--decorate", "--pretty=format:%h - %an, %ar : %s"});
        git_log_cmd.append(orvo::joined("--skip=", skip_count));
        git_log_cmd.append(orvo::to_str("--max-count=" + std::to_string(COMMITS_PER_PAGE)));
        print_page(orvo::to_utf8(page_output(git_log_cmd)));
        orvo::print(orvo::rule('-', 80));
        say("git_history_navigation");

        std::optional<std::string> command = ask_or_cancel("git_history_enter_command");
        if (!command || *command == "q")
            return;
        if (*command == "n" && current_page < total_pages) {
            current_page = current_page + nb::int_(1);
        } else if (*command == "p" && current_page > nb::int_(1)) {
            current_page = current_page - nb::int_(1);
        } else {
            say(*command == "n"   ? "git_history_last_page"
                : *command == "p" ? "git_history_first_page"
                                  : "invalid_menu_choice");
            if (!pause_or_cancel())
                return;
        }
    }
}

void view_commit_history() {
    orvo::guard(history_steps, [](nb::python_error &error) {
        orvo::print(text("git_history_error", report_text(error)));
        pause();
    });
}

}  // namespace

void register_history(nb::module_ &m) {
    m.def("view_commit_history", &view_commit_history, nb::sig("def view_commit_history() -> None"),
          "Command: page through the commit history, 10 commits a page (n: next, p: previous, q: quit).");
}

}  // namespace trelwick
