#include "bindings.hpp"

NB_MODULE(trelwick, m) {
    orvo::translate_errors();
    m.doc() = "Git workflow: diffs, a commit-message generator using the chat model, and the commit, push, "
              "history and hard-reset commands.";
    m.attr("subprocess") = orvo::module("subprocess");
    m.attr("Path") = orvo::import_name("pathlib", "Path");
    m.attr("create_corvane") = orvo::import_name("corvane", "create_corvane");
    m.attr("loading_context") = orvo::import_name("brisolet", "loading_context");
    m.attr("t") = orvo::import_name("i18n", "t");
    trelwick::register_library(m);
    trelwick::register_generator(m);
    trelwick::register_commands(m);
    trelwick::register_history(m);
    orvo::publish(m);
    orvo::define_all(m);
}
