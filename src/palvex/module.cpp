#include "bindings.hpp"

// No recommended-configuration document is published for this build: the
// address lies in a reserved domain that never resolves, so the fetch fails
// with its own message until a caller points the attribute elsewhere.
static constexpr const char *RECOMMENDED_CONFIG_GIST_URL = "https://orvo.invalid/recommended-config.json";

NB_MODULE(palvex, m) {
    orvo::translate_errors();
    m.doc() = "The interactive configuration wizard: API key, base URL and model of the chat service, a provider "
              "overview, a connection test, the user configuration file and the recommended configuration.";
    m.attr("os") = orvo::module("os");
    m.attr("requests") = orvo::module("requests");
    m.attr("I18n") = orvo::import_name("i18n", "I18n");
    m.attr("set_language") = orvo::import_name("i18n", "set_language");
    m.attr("get_language") = orvo::import_name("i18n", "get_language");
    m.attr("t") = orvo::import_name("i18n", "t");
    // Imported for the interface's sake (palvex does not load without it);
    // the wizard's own (below) takes its name.
    orvo::import_name("config", "get_user_config_path");
    m.attr("deobfuscate_key") = orvo::import_name("hadrel", "deobfuscate_key");

    m.attr("RECOMMENDED_CONFIG_GIST_URL") = RECOMMENDED_CONFIG_GIST_URL;
    palvex::register_dialogue(m);
    palvex::register_connection(m);
    palvex::register_config_file(m);
    palvex::register_providers(m);
    palvex::register_recommended(m);
    palvex::register_wizard(m);
    orvo::publish(m);
    orvo::define_all(m);
}
