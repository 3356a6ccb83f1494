// The user configuration file: where it lies, how the settings are read from
// it (or from .env), and how they are written.
#include "bindings.hpp"
#include "settings.hpp"

#include <orvo/files.hpp>
#include <orvo/replace.hpp>
#include <orvo/settings.hpp>

#include <cerrno>
#include <optional>

#include <sys/stat.h>

namespace palvex {

using namespace nb::literals;

namespace {

// The file holds an API key: a new one is for its owner's eyes only.
constexpr mode_t NEW_FILE_MODE = 0600;

bool on_windows() { return orvo::to_utf8(self().attr("os").attr("name")) == "nt"; }

// Whether a file exists, as `Path.exists()` tells it: a missing name, a
// dangling link or a name below a non-directory is no file; any other error
// of the test is raised.
bool exists(const std::string &path) {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0)
        return true;
    if (errno == ENOENT || errno == ENOTDIR || errno == EBADF || errno == ELOOP)
        return false;
    orvo::raise_os_error(errno, path);
}

enum class Keep { latest, first_non_empty };

// Store the settings read from the file at `path` in `config`. False when the
// file could not be read to its end (values stored until then stay). A link
// at its name is read only where it leads to a file below its folder.
bool read_into(nb::dict &config, const std::string &path, Keep keep) {
    // A file that there is no memory for is unreadable as well.
    const std::optional<Reading> reading = orvo::guard(
        [&]() -> std::optional<Reading> {
            std::string bytes;
            if (!orvo::read_regular_file_in_directory(path, bytes, orvo::settings_file_limit))
                return std::nullopt;
            return read_settings(bytes);
        },
        [](nb::python_error &) -> std::optional<Reading> { return std::nullopt; });
    if (!reading)
        return false;
    for (const Setting &setting : reading->settings) {
        const char *key = KEYS[setting.key];
        if (keep == Keep::first_non_empty) {
            nb::object current = config[key];
            if (!current.is_none() && orvo::truthy(current))
                continue;
        }
        config[key] = orvo::to_str(setting.value);
    }
    return reading->complete;
}

nb::object get_user_config_path() {
    std::optional<nb::object> path = orvo::user_settings_file(self().attr("os"));
    if (!path)
        return nb::none();
    path->attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    return *path;
}

// The environment's language, or "en" when ORVO_LANG is not set.
nb::object environment_language() { return self().attr("os").attr("environ").attr("get")("ORVO_LANG", "en"); }

nb::dict load_existing_config() {
    nb::dict config;
    for (const char *key : KEYS)
        config[key] = nb::none();
    nb::object user_config_file = self().attr("get_user_config_path")();
    // A file read to its end is the whole answer; one that fails to read (or
    // none at all, without a home directory) is topped up from .env.
    if (!user_config_file.is_none()) {
        std::string user_path = orvo::arg_path(user_config_file, "user_config_file");
        if (exists(user_path) && read_into(config, user_path, Keep::latest))
            return config;
    }
    if (exists(".env"))
        read_into(config, ".env", Keep::first_non_empty);
    nb::object language = config["ORVO_LANG"];
    if (language.is_none() || !orvo::truthy(language))
        config["ORVO_LANG"] = environment_language();
    return config;
}

// `config[key]`: a missing key is a KeyError naming it.
nb::object value_of(nb::dict &config, const char *key) {
    PyObject *value = PyDict_GetItemWithError(config.ptr(), nb::str(key).ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_KeyError, nb::str(key).ptr());
        throw nb::python_error();
    }
    return nb::borrow(value);
}

// A value as the file holds it: its str(), which must be writable as UTF-8.
std::string file_text(nb::handle value) { return orvo::to_utf8_strict(nb::str(value)); }

// The value of the setting `key` as the file holds it, on its own line: a line
// break would begin a further line of settings, so it is refused.
std::string value_text(nb::handle value, const char *key) {
    std::string text = file_text(value);
    if (text.find_first_of("\r\n") != std::string::npos)
        orvo::raise(PyExc_ValueError, std::string("the value of ") + key + " holds a line break");
    return text;
}

// The location comment line: the path's own bytes, also where they are not
// UTF-8 (a str holds such bytes as lone surrogates, as os.fsdecode made them).
std::string location_line(nb::handle line) {
    PyObject *bytes = PyUnicode_AsEncodedString(nb::str(line).ptr(), "utf-8", "surrogateescape");
    if (!bytes)
        throw nb::python_error();
    nb::object held = nb::steal(bytes);
    return std::string(PyBytes_AS_STRING(held.ptr()), (std::size_t) PyBytes_GET_SIZE(held.ptr()));
}

void save_config(nb::handle config_arg) {
    if (!PyDict_CheckExact(config_arg.ptr()))
        orvo::wrong_type(config_arg, "config", "dict");
    nb::dict config = nb::borrow<nb::dict>(config_arg);
    nb::object user_config_file = self().attr("get_user_config_path")();
    if (user_config_file.is_none())
        orvo::raise(PyExc_RuntimeError, text("no_home_for_config"));

    nb::object lang_setting;
    PyObject *given = PyDict_GetItemWithError(config.ptr(), nb::str("ORVO_LANG").ptr());
    if (!given && PyErr_Occurred())
        throw nb::python_error();
    nb::object given_language = given ? nb::borrow(given) : nb::none();
    bool empty_text = PyUnicode_Check(given_language.ptr()) && PyUnicode_GET_LENGTH(given_language.ptr()) == 0;
    lang_setting = given_language.is_none() || empty_text ? environment_language() : given_language;

    // Every line is complete before the file is touched.
    FileTexts texts;
    texts.title = file_text(text("ai_api_config_file"));
    texts.origin = file_text(text("generated_by_wizard"));
    texts.location = location_line(text("config_file_location", user_config_file));
    texts.key_comment = file_text(text("ai_api_key_comment"));
    texts.key = value_text(value_of(config, "AI_API_KEY"), "AI_API_KEY");
    texts.url_comment = file_text(text("ai_api_url_comment"));
    texts.url = value_text(value_of(config, "AI_API_URL"), "AI_API_URL");
    texts.model_comment = file_text(text("ai_model_name_comment"));
    texts.model = value_text(value_of(config, "AI_MODEL"), "AI_MODEL");
    texts.language = value_text(lang_setting, "ORVO_LANG");
    std::string content = settings_file(texts, on_windows());

    // Whole or not at all: a failed write leaves the former file as it was.
    // Written as an entry of its folder, never through a link out of it.
    orvo::replace_file_in_directory(orvo::arg_path(user_config_file, "user_config_file"), content, NEW_FILE_MODE);
    print_success(text("config_saved_to", user_config_file));
    print_info(text("personal_config_note"));
}

}  // namespace

void register_config_file(nb::module_ &m) {
    m.def("get_user_config_path", &get_user_config_path, nb::sig("def get_user_config_path() -> pathlib.Path | None"),
          "Path of the user configuration file: ~/.config/orvo/config (on Windows ORVO\\config under APPDATA). "
          "Its directory is created; the file may not exist. None when there is no home directory (HOME unset "
          "and the user has no entry in the password database).");
    m.def("load_existing_config", &load_existing_config, nb::sig("def load_existing_config() -> dict[str, str | None]"),
          "The stored settings AI_API_KEY, AI_API_URL, AI_MODEL and ORVO_LANG (None where unset): from the user "
          "configuration file when it exists and reads to its end; otherwise topped up from .env in the working "
          "directory, and the language from ORVO_LANG or 'en'.");
    m.def("save_config", &save_config, nb::sig("def save_config(config: dict[str, str]) -> None"), "config"_a.none(),
          "Write AI_API_KEY, AI_API_URL, AI_MODEL and the language (the map's ORVO_LANG, else the environment's, "
          "else 'en') into the user configuration file, whole or not at all. A new file is readable by its owner "
          "only; an existing one keeps its permissions. A link at the file is followed only to a file in its "
          "folder; one that leads out of it is refused (OSError) and nothing is written. A value holding a line "
          "break is refused (ValueError) before anything is written, and so is a save without a home directory "
          "(RuntimeError).");
}

}  // namespace palvex
