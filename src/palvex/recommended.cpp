// The recommended configuration: a published JSON document whose key arrives
// scrambled, fetched, tested and saved in one step.
#include "bindings.hpp"

namespace palvex {

using namespace nb::literals;

namespace {

constexpr const char *REQUIRED_FIELDS[] = {"AI_API_KEY", "AI_API_URL", "AI_MODEL"};

// `name in container`, as Python tests it (a TypeError for a number or None).
bool holds(nb::handle container, const char *name) {
    int found = PySequence_Contains(container.ptr(), nb::str(name).ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

nb::object fetch_recommended_config(nb::handle gist_url) {
    orvo::arg_exact_pystr(gist_url, "gist_url");
    return orvo::guard(
        [&]() -> nb::object {
            print_info(text("fetching_recommended_config"));
            nb::object response = self().attr("requests").attr("get")(gist_url, "timeout"_a = 10);
            response.attr("raise_for_status")();
            nb::object config_data = response.attr("json")();
            for (const char *name : REQUIRED_FIELDS) {
                if (!holds(config_data, name)) {
                    print_error(text("invalid_config_format"));
                    return nb::none();
                }
            }
            nb::object scrambled = config_data["AI_API_KEY"];
            config_data["AI_API_KEY"] = self().attr("deobfuscate_key")(scrambled);
            print_success(text("config_fetched_successfully"));
            return config_data;
        },
        [](nb::python_error &error) -> nb::object {
            // A body that is not JSON is told as such, also where the HTTP
            // package counts its JSON error among its own.
            if (error.matches(orvo::module("json").attr("JSONDecodeError")))
                print_error(text("invalid_json_format"));
            else if (error.matches(self().attr("requests").attr("exceptions").attr("RequestException")))
                print_error(text("fetch_config_failed", orvo::error_text(error)));
            else
                print_error(text("unexpected_error", orvo::error_text(error)));
            return nb::none();
        });
}

bool apply_recommended_config(nb::handle skip_test, nb::handle show_upgrade_hint) {
    nb::module_ module = self();
    nb::object config = module.attr("fetch_recommended_config")(module.attr("RECOMMENDED_CONFIG_GIST_URL"));
    if (config.is_none()) {
        if (orvo::truthy(show_upgrade_hint))
            print_warning(text("upgrade_version_hint"));
        return false;
    }
    if (!orvo::truthy(skip_test)) {
        print_info(text("testing_recommended_config"));
        nb::object works =
            module.attr("test_api_connection")(config["AI_API_KEY"], config["AI_API_URL"], config["AI_MODEL"]);
        if (!orvo::truthy(works)) {
            print_warning(text("config_test_failed_continue"));
            if (!confirm(text("use_config_anyway"), true))
                return false;
        }
    }
    module.attr("save_config")(config);
    print_success(text("recommended_config_applied"));
    return true;
}

}  // namespace

void register_recommended(nb::module_ &m) {
    m.def("fetch_recommended_config", &fetch_recommended_config,
          nb::sig("def fetch_recommended_config(gist_url: str) -> dict | None"), "gist_url"_a.none(),
          "Fetch the recommended configuration document (one GET, 10 s time-out) and return it with its "
          "AI_API_KEY unscrambled; None after a printed error when it cannot be fetched, is not JSON or lacks "
          "AI_API_KEY, AI_API_URL or AI_MODEL.");
    m.def("apply_recommended_config", &apply_recommended_config,
          nb::sig("def apply_recommended_config(skip_test: bool = False, show_upgrade_hint: bool = True) -> bool"),
          "skip_test"_a.none() = false, "show_upgrade_hint"_a.none() = true,
          "Fetch the document at RECOMMENDED_CONFIG_GIST_URL (read at each call), test it unless skip_test (and "
          "ask whether to use it anyway when the test fails), and save it as the user configuration. True when "
          "it was saved.");
}

}  // namespace palvex
