// The quick setup: make sure the HTTP package is there, then start the
// configuration wizard.
#include "bindings.hpp"

#include <orvo/dialogue.hpp>

namespace kestovan {

namespace {

nb::module_ self() { return orvo::module("kestovan"); }

void say(const char *key) { orvo::print(orvo::t_of("kestovan", key)); }

// Load `requests`; when it is missing, install it through the system shell
// (once, whatever the outcome).
void check_dependencies() {
    try {
        orvo::module("requests");
        say("dependencies_check_passed");
        return;
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_ImportError))
            throw;
    }
    say("installing_dependencies");
    // What was printed comes before what the installer prints.
    nb::object out = orvo::module("sys").attr("stdout");
    if (!out.is_none())
        out.attr("flush")();
    self().attr("os").attr("system")("pip install requests");
}

// What stopped the wizard. An extension module that fails to load raises an
// ImportError of its own from the error that stopped it (a missing package):
// that error is the one to tell.
nb::object reason(nb::python_error &error) {
    nb::object value = nb::borrow(error.value());
    if (error.matches(PyExc_ImportError)) {
        nb::object cause = value.attr("__cause__");
        if (!cause.is_none())
            return cause;
    }
    return value;
}

void main_entry() {
    orvo::set_language_from_env();
    say("orvo_quick_setup");
    orvo::print(orvo::rule('=', 40));
    say("checking_dependencies");
    check_dependencies();
    say("starting_palvex");
    // The wizard's own exits (SystemExit) pass through unchanged.
    orvo::guard([] { orvo::import_name("palvex", "main")(); },
                [](nb::python_error &error) {
                    orvo::print(orvo::joined("Error running configuration wizard: ", orvo::error_text(reason(error))));
                    orvo::module("sys").attr("exit")(1);
                });
}

}  // namespace

void register_setup(nb::module_ &m) {
    m.def("main", &main_entry, nb::sig("def main() -> None"),
          "Quick setup: check that the requests package loads (running 'pip install requests' through the "
          "system shell when it does not), then run the configuration wizard. Exits with status 1 when the "
          "wizard cannot be loaded or started.");
}

}  // namespace kestovan
