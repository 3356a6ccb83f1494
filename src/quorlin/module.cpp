#include "bindings.hpp"

namespace nb = nanobind;

NB_MODULE(quorlin, m) {
    orvo::translate_errors();
    m.doc() = "Prompt enhancement: turns a task or question into one chat-model request with the project's "
              "context (file list with definitions and comments, project tree, the files the model chose).";
    m.attr("pathspec") = orvo::module("pathspec");
    m.attr("create_corvane") = orvo::import_name("corvane", "create_corvane");
    m.attr("loading_context") = orvo::import_name("brisolet", "loading_context");
    m.attr("t") = orvo::import_name("i18n", "t");
    m.attr("get_language") = orvo::import_name("i18n", "get_language");
    m.attr("get_staged_changes") = orvo::import_name("trelwick", "get_staged_changes");
    m.attr("get_unstaged_changes") = orvo::import_name("trelwick", "get_unstaged_changes");
    m.attr("Nestrel") = orvo::import_name("nestrel", "Nestrel");
    quorlin::QuorlinClass cls(m, "Quorlin", nb::dynamic_attr(),
                              "Prompt enhancement for the project in the working directory: its file list, tree and "
                              "the chat requests of the seven modes.");
    quorlin::register_rule_set(m);
    quorlin::register_project(cls);
    quorlin::register_selection(cls);
    quorlin::register_request(cls);
    quorlin::register_command(m);
    orvo::publish(m);
    orvo::define_all(m);
}
