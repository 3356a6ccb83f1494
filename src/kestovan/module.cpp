#include "bindings.hpp"

NB_MODULE(kestovan, m) {
    orvo::translate_errors();
    m.doc() = "Quick setup: installs the HTTP package when it is missing, then starts the configuration wizard.";
    m.attr("os") = orvo::module("os");
    m.attr("set_language") = orvo::import_name("i18n", "set_language");
    m.attr("t") = orvo::import_name("i18n", "t");
    kestovan::register_setup(m);
    orvo::publish(m);
    orvo::define_all(m);
}
