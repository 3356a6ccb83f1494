// Shared support for every extension module of the project: argument checks,
// console output and input through the host, host errors, Unicode text helpers,
// environment settings and the translation lookup.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace orvo {

namespace nb = nanobind;

// ---------------------------------------------------------------- host errors

// Raise `type(message)` as a host exception (never returns).
[[noreturn]] void raise(nb::handle type, std::string_view message);
[[noreturn]] void raise(nb::handle type, nb::handle message);

// Raise `type(message)` from `cause`, as `raise type(message) from cause`
// does in Python: `cause` becomes the new error's `__cause__` (never returns).
[[noreturn]] void raise_from(nb::python_error &cause, nb::handle type, std::string_view message);
[[noreturn]] void raise_from(nb::python_error &cause, nb::handle type, nb::handle message);

// The text form of a caught host exception, as `str(error)` gives it.
std::string error_text(const nb::python_error &error);

// True for errors of the `Exception` family; false for `KeyboardInterrupt`,
// `SystemExit`, `GeneratorExit` and the like, which must pass unchanged.
bool is_exception(const nb::python_error &error);

// A field of a record that a service returned: nothing when the record lacks
// it. Records of the `openai` package set absent fields to None, so presence
// is read from their set of given fields; mappings are looked up by key.
std::optional<nb::object> field(nb::handle record, const char *name);

// The truth of a host value, as `bool(value)` gives it.
bool truthy(nb::handle value);

// The name of a value's type, as `type(value).__name__` gives it.
std::string type_name(nb::handle value);

// ------------------------------------------------------------ argument checks
// Each raises `TypeError` naming the argument when the value has another type.

// Raise "argument '<name>' must be <expected>, not <type>" as a `TypeError`.
[[noreturn]] void wrong_type(nb::handle value, const char *name, const char *expected);

std::string arg_str(nb::handle value, const char *name);
std::optional<std::string> arg_opt_str(nb::handle value, const char *name);
nb::list arg_list(nb::handle value, const char *name);
nb::dict arg_dict(nb::handle value, const char *name);
// Any real number, truncated toward zero (`True` counts as 1), as a Python int
// of any size.
nb::int_ arg_int(nb::handle value, const char *name);
// A Python int clamped to the range of a 64-bit integer: exact wherever every
// value beyond that range acts as the nearest bound would.
long long clamp_int64(nb::handle integer);
// Any real number, converted to a float.
double arg_float(nb::handle value, const char *name);
// `str(value)` for any object; texts come back unchanged.
std::string text_of(nb::handle value);

// Call `step(item)` for each item of a list, in order. The length is read
// anew before every item and each item is held while `step` runs, so Python
// code that `step` calls may change the list without harm.
template <typename Step>
void for_each_item(nb::handle list, Step &&step) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
        step(nb::handle(item));
    }
}

// Run `body()` inside the context manager `block`, as a `with` statement
// does: `__enter__`, the body, then `__exit__` with the error that ended the
// body (its type, value and traceback, None for a traceback it lacks) or with
// three Nones. Gives the body's result, or nothing when `__exit__` swallowed
// the body's error.
template <typename Body>
std::optional<nb::object> with_block(nb::handle block, Body &&body) {
    nb::object exit = block.attr("__exit__");
    block.attr("__enter__")();
    nb::object result;
    try {
        result = body();
    } catch (nb::python_error &error) {
        nb::handle trace = error.traceback();
        if (!truthy(exit(error.type(), error.value(), trace.is_valid() ? trace : nb::none())))
            throw;
        return std::nullopt;
    }
    exit(nb::none(), nb::none(), nb::none());
    return result;
}

// ------------------------------------------------------------------- console
// Output goes through the host's `print`, so `sys.stdout` is looked up anew
// for every line; input comes from the host's `input`.

void print(std::string_view text);
void print(nb::handle value);
void print();
// Show `prompt`, read one line (without its line end). End of input raises the
// host's `EOFError`, an interrupt `KeyboardInterrupt`.
std::string read_line(std::string_view prompt);

// ---------------------------------------------------------------------- text
// All texts are UTF-8. A Python str may hold lone surrogates, which UTF-8
// cannot: `from_str` writes each as its three-byte form (Python's
// "surrogatepass") and `to_str` reads that form back, so every str survives
// the round trip. Such bytes are not valid UTF-8 (`is_valid_utf8` refuses
// them), so they never reach a file unnoticed.

nb::str to_str(std::string_view utf8);
std::string from_str(nb::handle text);  // any Python str to UTF-8

std::size_t code_points(std::string_view utf8);
// Remove white space at both ends, by the host's definition of white space
// (the set `str.strip()` removes).
std::string_view strip(std::string_view utf8);
std::string_view rstrip(std::string_view utf8);
// Lower-case as the host's `str.lower()` does.
std::string lower(std::string_view utf8);

// Decoding rules for bytes read from files and child processes.
bool is_valid_utf8(std::string_view bytes);
// Decode, dropping every byte that is not part of a valid sequence (the host's
// `errors="ignore"`).
std::string decode_utf8_lossy(std::string_view bytes);
// "\r\n" and then every remaining "\r" become "\n".
std::string normalize_newlines(std::string_view text);

// --------------------------------------------------------------- environment

// The value of an environment variable, read through `os.environ`; a variable
// that is unset or holds the empty text gives nothing.
std::optional<std::string> env(const char *name);

// -------------------------------------------------------------- translation

// `i18n.t(key, *args)`: the interface text of `key` in the current language.
template <typename... Args>
nb::object t(const char *key, Args &&...args) {
    nb::object fn = nb::module_::import_("i18n").attr("t");
    return fn(key, std::forward<Args>(args)...);
}

// Select the interface language from `ORVO_LANG` ("en" when unset): exactly
// "zh", "zh-cn" or "zh_tw" after lower-casing choose Chinese, anything else
// English.
void set_language_from_env();

}  // namespace orvo
