// The Python side of the configuration wizard, registered by module.cpp.
//
// Names imported at load (`requests`, `os`, `t`, `set_language`,
// `deobfuscate_key`, ...) and the module's own operations that other steps
// call (`get_user_config_path`, `load_existing_config`, `save_config`,
// `show_common_providers`, `test_api_connection`, `fetch_recommended_config`)
// and `Colors` are looked up through the module at each call, so that a
// caller may replace them; so is RECOMMENDED_CONFIG_GIST_URL.
#pragma once

#include <orvo/python.hpp>

#include <initializer_list>
#include <utility>

namespace palvex {

namespace nb = nanobind;

void register_dialogue(nb::module_ &m);     // Colors, print_header and the status lines, get_input, confirm
void register_connection(nb::module_ &m);   // test_api_connection
void register_config_file(nb::module_ &m);  // get_user_config_path, load_existing_config, save_config
void register_providers(nb::module_ &m);    // show_common_providers
void register_recommended(nb::module_ &m);  // fetch_recommended_config, apply_recommended_config
void register_wizard(nb::module_ &m);       // main

inline nb::module_ self() { return orvo::module("palvex"); }

// The interface text of `key`, through the module's `t`.
template <typename... Args>
nb::object text(const char *key, Args &&...args) {
    return orvo::t_of("palvex", key, std::forward<Args>(args)...);
}

// A member of the module's `Colors`.
inline nb::object color(const char *name) { return self().attr("Colors").attr(name); }


// The dialogue, for the other steps of the wizard.
void print_header(nb::handle text);
void print_success(nb::handle text);
void print_error(nb::handle text);
void print_info(nb::handle text);
void print_warning(nb::handle text);
nb::object get_input(nb::handle prompt, nb::handle default_value, bool required, bool mask);
bool confirm(nb::handle prompt, bool default_value);

}  // namespace palvex
