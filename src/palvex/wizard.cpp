// The configuration wizard: the stored settings, three questions, a summary
// and the saved user configuration file.
#include "bindings.hpp"
#include "settings.hpp"

namespace palvex {

namespace {

constexpr const char *DEFAULT_BASE_URL = "https://api.openai.com/v1";
constexpr const char *DEFAULT_MODEL = "gpt-3.5-turbo";

// A setting counts as set when it holds a non-empty text.
bool is_set(nb::handle value) { return !value.is_none() && orvo::truthy(value); }

// A key as it is shown: never whole (`listed_key`).
nb::str masked(nb::handle key) { return orvo::to_str(listed_key(orvo::to_utf8(key))); }

void plain_bold(const char *key) { orvo::print(orvo::joined({nb::str("\n"), color("BOLD"), text(key), color("END")})); }

// The stored value of `key` when it is set, else `fallback`.
nb::object stored_or(nb::handle stored, const char *key, const char *fallback) {
    nb::object value = stored.attr("get")(key);
    return is_set(value) ? value : nb::object(nb::str(fallback));
}

void wizard_steps() {
    nb::module_ module = self();
    nb::object stored = module.attr("load_existing_config")();

    // A copy of the entries: printing runs Python code, which may change the map.
    nb::object entries = nb::steal(PySequence_List(stored.attr("items")().ptr()));
    if (!entries.is_valid())
        throw nb::python_error();
    bool any_set = false;
    for (nb::handle entry : entries)
        any_set = any_set || is_set(entry[1]);
    if (any_set) {
        print_warning(text("existing_config_found"));
        for (nb::handle entry : entries) {
            nb::object key = entry[0], value = entry[1];
            if (!is_set(value))
                continue;
            nb::object shown = key.equal(nb::str("AI_API_KEY")) ? masked(value) : value;
            orvo::print(orvo::joined({nb::str("  "), key, nb::str(": "), shown}));
        }
        orvo::print("");
        if (!confirm(text("update_config_question"), true)) {
            print_info(text("config_unchanged"));
            return;
        }
    }

    if (confirm(text("show_providers_question"), false))
        module.attr("show_common_providers")();

    plain_bold("configure_api_key");
    print_info(text("enter_ai_api_key"));
    nb::object api_key = get_input(text("api_key_prompt"), stored.attr("get")("AI_API_KEY"), true, true);

    plain_bold("configure_api_url");
    print_info(text("enter_api_base_url", text("api_url_example")));
    nb::object api_url =
        get_input(text("api_url_prompt"), stored_or(stored, "AI_API_URL", DEFAULT_BASE_URL), true, false);

    plain_bold("configure_model_name");
    print_info(text("enter_model_name"));
    print_info(text("common_models"));
    nb::object model = get_input(text("model_prompt"), stored_or(stored, "AI_MODEL", DEFAULT_MODEL), true, false);

    print_header(text("config_summary_line"));
    orvo::print(orvo::joined({text("api_key_colon"), nb::str(": "), masked(api_key)}));
    orvo::print(orvo::joined({text("api_url_colon"), nb::str(": "), api_url}));
    orvo::print(orvo::joined({text("model_name_colon"), nb::str(": "), model, nb::str("\n")}));

    if (!confirm(text("confirm_save_config"), true)) {
        print_warning(text("config_canceled_line"));
        return;
    }
    nb::dict settings;
    settings["AI_API_KEY"] = api_key;
    settings["AI_API_URL"] = api_url;
    settings["AI_MODEL"] = model;
    module.attr("save_config")(settings);
    print_success(orvo::joined({nb::str("\n"), text("config_saved_line")}));
}

// Exit status after the dialogue: none when it ended normally.
std::optional<int> dialogue() {
    return orvo::on_interrupt(
        [] {
            return orvo::guard(
                []() -> std::optional<int> {
                    wizard_steps();
                    return std::nullopt;
                },
                [](nb::python_error &error) -> std::optional<int> {
                    print_error(text("config_error_line", orvo::error_text(error)));
                    return 1;
                });
        },
        [](nb::python_error &) -> std::optional<int> {
            orvo::print(orvo::joined({nb::str("\n\n"), color("YELLOW"), text("config_canceled_line"), color("END")}));
            return 0;
        });
}

void main_entry() {
    orvo::set_language_from_env();
    print_header(text("palvex_title"));
    print_info(text("palvex_subtitle"));
    print_info(orvo::joined({text("palvex_interrupt"), nb::str("\n")}));
    if (std::optional<int> status = dialogue())
        orvo::module("sys").attr("exit")(*status);  // raises SystemExit
}

}  // namespace

void register_wizard(nb::module_ &m) {
    m.def("main", &main_entry, nb::sig("def main() -> None"),
          "The configuration wizard: show the stored settings, ask for the API key (masked), the base URL and the "
          "model, show a summary and save them. Exits with status 0 after Ctrl-C and 1 after an error.");
}

}  // namespace palvex
