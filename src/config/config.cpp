// Settings of the chat and embeddings services.
//
// A setting comes from the environment; where the environment has none, from
// the per-user configuration file that the configuration wizard writes, and
// then from `.env` in the working directory. On first import the settings found
// in those files are put into the process environment (never replacing a
// variable that is set), so that clients reading the environment see them.
#include <orvo/files.hpp>
#include <orvo/python.hpp>
#include <orvo/settings.hpp>

#include <array>
#include <map>
#include <optional>
#include <string>

namespace nb = nanobind;

namespace {

constexpr std::array<const char *, 7> KEYS = {
    "AI_API_KEY", "AI_API_URL", "AI_MODEL", "ORVO_LANG", "EMBEDDING_API_KEY", "EMBEDDING_API_URL", "EMBEDDING_MODEL",
};

// None where there is no home directory.
nb::object user_config_path() {
    std::optional<nb::object> path = orvo::user_settings_file(orvo::module("os"));
    return path ? *path : nb::none();
}

using Settings = std::map<std::string, std::string>;

// Read the file's `KEY=value` lines as `orvo::read_setting_lines` does (lines
// end at "\n"; a "\r" before it is trimmed away); a later line replaces an
// earlier one. Only a regular file of at most `orvo::settings_file_limit`
// bytes is read (a pipe, a device or a larger file is skipped as an
// unreadable file is), and reading stops quietly at the first line that is not
// UTF-8 (a comment line excepted). A link at its name is read only where it
// leads to a file below the file's folder.
Settings read_file_settings(const std::string &path) {
    Settings found;
    std::string bytes;
    if (!orvo::read_regular_file_in_directory(path, bytes, orvo::settings_file_limit))
        return found;
    orvo::read_setting_lines(bytes, [&](std::string_view name, std::string_view value) {
        for (const char *key : KEYS)
            if (name == key)
                found[std::string(name)] = std::string(value);
    });
    return found;
}

// The same; a file that there is no memory for counts as unreadable.
Settings read_settings(const std::string &path) {
    return orvo::guard([&] { return read_file_settings(path); }, [](nb::python_error &) { return Settings(); });
}

void load_into_environment() {
    // Without a home directory there is no settings file of the user's: it
    // counts as one that cannot be read.
    std::optional<nb::object> user_file = orvo::user_settings_file(orvo::module("os"));
    Settings user = user_file ? read_settings(orvo::arg_path(*user_file, "path")) : Settings();
    Settings local = read_settings(".env");
    nb::object environ = orvo::module("os").attr("environ");
    for (const char *key : KEYS) {
        if (orvo::env(key))
            continue;
        for (const Settings *source : {&user, &local}) {
            auto it = source->find(key);
            if (it != source->end() && !it->second.empty()) {
                environ[key] = orvo::to_str(it->second);
                break;
            }
        }
    }
}

nb::object setting(const char *key) {
    auto value = orvo::env(key);
    return value ? nb::object(orvo::to_str(*value)) : nb::none();
}

}  // namespace

NB_MODULE(config, m) {
    orvo::translate_errors();
    m.doc() = "Settings of the chat and embeddings services, from the environment and the settings files.";
    load_into_environment();

    nb::object builtins = orvo::module("builtins");
    nb::dict ns;
    ns["__module__"] = "config";
    ns["__doc__"] = "Settings of the chat and embeddings services, read when the module is first imported.";
    ns["DEFAULT_MODEL"] = "gpt-3.5-turbo";
    ns["AI_API_KEY"] = setting("AI_API_KEY");
    ns["AI_API_URL"] = setting("AI_API_URL");
    ns["EMBEDDING_API_KEY"] = setting("EMBEDDING_API_KEY");
    ns["EMBEDDING_API_URL"] = setting("EMBEDDING_API_URL");
    auto embedding_model = orvo::env("EMBEDDING_MODEL");
    ns["EMBEDDING_MODEL"] = orvo::to_str(embedding_model ? *embedding_model : "BAAI/bge-m3");
    ns["validate_ai_config"] = builtins.attr("classmethod")(nb::cpp_function(
        [](nb::handle cls) { return orvo::truthy(cls.attr("AI_API_KEY")) && orvo::truthy(cls.attr("AI_API_URL")); },
        nb::name("validate_ai_config"), nb::sig("def validate_ai_config(cls) -> bool"), nb::arg("cls"),
        "True when an API key and a base URL of the chat service are set."));
    m.attr("Config") = builtins.attr("type")("Config", nb::make_tuple(builtins.attr("object")), ns);

    m.def("get_user_config_path", &user_config_path, nb::sig("def get_user_config_path() -> pathlib.Path | None"),
          "Path of the per-user configuration file (~/.config/orvo/config; on Windows ORVO\\config under "
          "APPDATA). The file may not exist; None when there is no home directory (HOME unset and the user "
          "has no entry in the password database).");
    orvo::publish(m);
    orvo::define_all(m);
}
