// The terminal dialogue of the wizard: the colour table, the banner, the
// status lines, the text prompt and the yes/no question.
#include "bindings.hpp"

#include <orvo/dialogue.hpp>

namespace palvex {

using namespace nb::literals;

namespace {

constexpr Py_ssize_t BANNER_WIDTH = 60;

// The members of Colors, in their order: ANSI SGR sequences, always written.
constexpr std::pair<const char *, const char *> COLORS[] = {
    {"HEADER", "\x1b[95m"}, {"BLUE", "\x1b[94m"},    {"CYAN", "\x1b[96m"}, {"GREEN", "\x1b[92m"},
    {"YELLOW", "\x1b[93m"}, {"RED", "\x1b[91m"},     {"BOLD", "\x1b[1m"},  {"UNDERLINE", "\x1b[4m"},
    {"END", "\x1b[0m"},     {"MAGENTA", "\x1b[35m"},
};

nb::str spaces(Py_ssize_t count) { return orvo::to_str(std::string((std::size_t) count, ' ')); }

void status_line(nb::handle text, const char *colour, const char *prefix) {
    orvo::arg_pystr(text, "text");
    orvo::print(orvo::joined({color(colour), nb::str(prefix), text, color("END")}));
}

}  // namespace

void print_header(nb::handle text) {
    orvo::arg_pystr(text, "text");
    nb::str rule = orvo::to_str(orvo::rule('=', BANNER_WIDTH));
    orvo::print(orvo::joined({nb::str("\n"), color("HEADER"), color("BOLD"), rule, color("END")}));
    // Centred by code points: the smaller half of the room on the left.
    Py_ssize_t room = BANNER_WIDTH - PyUnicode_GET_LENGTH(text.ptr());
    nb::str left = spaces(room > 0 ? room / 2 : 0), right = spaces(room > 0 ? room - room / 2 : 0);
    orvo::print(orvo::joined({color("HEADER"), color("BOLD"), left, text, right, color("END")}));
    orvo::print(orvo::joined({color("HEADER"), color("BOLD"), rule, color("END"), nb::str("\n")}));
}

void print_success(nb::handle text) { status_line(text, "GREEN", "\u2713 "); }
void print_error(nb::handle text) { status_line(text, "RED", "\u2717 "); }
void print_info(nb::handle text) { status_line(text, "CYAN", "\u2139 "); }
void print_warning(nb::handle text) { status_line(text, "YELLOW", "\u26A0 "); }

nb::object get_input(nb::handle prompt, nb::handle default_value, bool required, bool mask) {
    orvo::arg_pystr(prompt, "prompt");
    orvo::arg_opt_pystr(default_value, "default");
    bool has_default = !default_value.is_none() && PyUnicode_GET_LENGTH(default_value.ptr()) > 0;
    nb::str prompt_text =
        has_default ? orvo::joined({color("CYAN"), prompt, nb::str(" ["), default_value, nb::str("]: "), color("END")})
                    : orvo::joined({color("CYAN"), prompt,
                                    required ? orvo::joined({color("RED"), nb::str("*"), color("END")}) : nb::str(""),
                                    nb::str(": "), color("END")});
    for (;;) {
        // A masked entry is taken as typed, without its line end; a plain one trimmed.
        nb::object entry = mask ? orvo::module("getpass").attr("getpass")(orvo::console_text(prompt_text))
                                : nb::object(orvo::to_str(orvo::ask_trimmed(prompt_text)));
        bool empty = !orvo::truthy(entry);
        if (empty && has_default)
            return nb::borrow(default_value);
        if (empty && required) {
            print_error(text("this_field_required"));
            continue;
        }
        return empty ? nb::none() : entry;
    }
}

bool confirm(nb::handle prompt, bool default_value) {
    orvo::arg_pystr(prompt, "prompt");
    nb::str prompt_text =
        orvo::joined({color("CYAN"), prompt, nb::str(default_value ? " [Y/n]: " : " [y/N]: "), color("END")});
    for (;;) {
        std::string answer = orvo::ask(prompt_text);
        if (answer.empty())
            return default_value;
        nb::str said = orvo::to_str(answer);
        // The translations are looked up anew for every answer, and compared as they come.
        if (orvo::one_of(answer, {"y", "yes"}) || said.equal(text("yes")))
            return true;
        if (orvo::one_of(answer, {"n", "no"}) || said.equal(text("no")))
            return false;
        print_error(text("enter_y_n"));
    }
}

void register_dialogue(nb::module_ &m) {
    nb::dict members;
    members["__module__"] = "palvex";
    members["__qualname__"] = "Colors";
    members["__doc__"] = "终端颜色";
    for (auto [name, value] : COLORS)
        members[name] = value;
    nb::object builtins = orvo::module("builtins");
    m.attr("Colors") = builtins.attr("type")("Colors", nb::make_tuple(builtins.attr("object")), members);

    m.def("print_header", &print_header, nb::sig("def print_header(text: str) -> None"), "text"_a.none(),
          "Print a banner: the text centred (by characters) in 60 columns between two rules of '=', in bold "
          "magenta, with an empty line before and after.");
    m.def("print_success", &print_success, nb::sig("def print_success(text: str) -> None"), "text"_a.none(),
          "Print one green line prefixed with '✓ '.");
    m.def("print_error", &print_error, nb::sig("def print_error(text: str) -> None"), "text"_a.none(),
          "Print one red line prefixed with '✗ '.");
    m.def("print_info", &print_info, nb::sig("def print_info(text: str) -> None"), "text"_a.none(),
          "Print one cyan line prefixed with 'ℹ '.");
    m.def("print_warning", &print_warning, nb::sig("def print_warning(text: str) -> None"), "text"_a.none(),
          "Print one yellow line prefixed with '⚠ '.");
    m.def(
        "get_input",
        [](nb::handle prompt, nb::handle default_value, nb::handle required, nb::handle mask) {
            return get_input(prompt, default_value, orvo::truthy(required), orvo::truthy(mask));
        },
        nb::sig("def get_input(prompt: str, default: str | None = None, required: bool = True, mask: bool = False) "
                "-> str | None"),
        "prompt"_a.none(), "default"_a = nb::none(), "required"_a.none() = true, "mask"_a.none() = false,
        "Ask for one entry. A non-empty default is shown in brackets and taken for an empty answer; a required "
        "entry is asked for again until it is given. With mask the entry is read without echo (getpass) and kept "
        "untrimmed; otherwise it is trimmed. Returns None for an empty entry that is not required.");
    m.def(
        "confirm",
        [](nb::handle prompt, nb::handle default_value) { return confirm(prompt, orvo::truthy(default_value)); },
        nb::sig("def confirm(prompt: str, default: bool = True) -> bool"), "prompt"_a.none(), "default"_a.none() = true,
        "Ask a yes/no question until it is answered: y, yes or the translation of yes; n, no or the translation "
        "of no (any case); an empty answer takes the default.");
}

}  // namespace palvex
