// What every module needs of Python: errors, native work without the GIL
// that Ctrl-C stops, argument checks that name the argument, conversions
// between str and UTF-8, printing and input through Python's own `print` and
// `input`, settings from the environment, modules by name, the module's
// functions as built-in functions and the translation lookup.
//
// Only binding code includes this header. Engines include the core's headers
// alone (text.hpp, files.hpp, replace.hpp, walk.hpp, settings.hpp,
// languages.hpp), which need no Python: an engine target links `orvo_core`
// only, without nanobind, so that this header does not compile there.
#pragma once

#include "text.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace orvo {

namespace nb = nanobind;

// --------------------------------------------------------------------- errors

// Raise `type(message)` as a Python exception (never returns).
[[noreturn]] void raise(nb::handle type, std::string_view message);
[[noreturn]] void raise(nb::handle type, nb::handle message);

// Raise `type(message)` from `cause`, as `raise type(message) from cause` does:
// `cause` becomes the new error's `__cause__` (never returns).
[[noreturn]] void raise_from(nb::python_error &cause, nb::handle type, nb::handle message);

// Raise `OSError` for the system error number `error` on `path` (never returns).
[[noreturn]] void raise_os_error(int error, const std::string &path);

// The one translation of C++ failures into Python errors: `std::bad_alloc`
// becomes `MemoryError`, an `OsError` (files.hpp) the `OSError` of its error
// number and file name, anything else a `RuntimeError` with a fixed English
// text, so that no C++ text or type name reaches a user. `translate_errors`
// registers it with nanobind for every function of the module; `guard` and
// `as_python_error` use it where C++ code catches.
void set_error_from(const std::exception_ptr &failure);

// Run `step()`; a C++ failure (anything but a Python error) leaves it as the
// Python error that `set_error_from` makes of it.
template <typename Step>
auto as_python_error(Step &&step) -> decltype(step()) {
    try {
        return step();
    } catch (nb::python_error &) {
        throw;
    } catch (nb::builtin_exception &) {
        throw;
    } catch (...) {
        set_error_from(std::current_exception());
    }
    throw nb::python_error();
}

// The text an error line shows of the exception `error`: `str(error)`, or
// where that is empty or white space alone, what the error is: "out of
// memory" for a `MemoryError` (which Python and the error translation raise
// without a text), else the name of its type. Every error line shows its
// error through this, so that none ends on nothing.
nb::str error_text(nb::handle error);
inline nb::str error_text(const nb::python_error &error) { return error_text(error.value()); }

// True for errors of the `Exception` family; false for `KeyboardInterrupt`,
// `SystemExit`, `GeneratorExit` and the like, which must pass unchanged.
bool is_exception(const nb::python_error &error);

// Run `step()`. When it raises an error of the `Exception` family, give the
// error to `on_error` and return what that returns (it may also rethrow with
// `throw;`); an interrupt, `SystemExit` and the like pass unchanged. A C++
// failure in the step counts as the Python error it becomes (a
// `MemoryError`, an `OSError`, a `RuntimeError`: see `set_error_from`). The
// one way the modules catch errors.
template <typename Step, typename OnError>
auto guard(Step &&step, OnError &&on_error) -> decltype(step()) {
    try {
        return as_python_error(std::forward<Step>(step));
    } catch (nb::python_error &error) {
        if (!is_exception(error))
            throw;
        return on_error(error);
    }
}

// Run `step()`. When the user interrupts it (Ctrl-C, `KeyboardInterrupt`),
// give the error to `on_interrupt` and return what that returns.
template <typename Step, typename OnInterrupt>
auto on_interrupt(Step &&step, OnInterrupt &&on_interrupt) -> decltype(step()) {
    try {
        return step();
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_KeyboardInterrupt))
            throw;
        return on_interrupt(error);
    }
}

// ------------------------------------------------------- native work, Ctrl-C

// Native work that runs without the GIL and that Ctrl-C stops, as Python's
// own matcher (`re`) is stopped. `run(work)` lets go of the GIL and calls
// `work()`, which calls `checkpoint()` every so many items (files,
// directories). The checkpoint takes the GIL back to run Python's signal
// handlers (`PyErr_CheckSignals`) and answers true once one of them raised
// (Ctrl-C: `KeyboardInterrupt`), and from then on: the work should end soon,
// its result unused. `run` raises that error once the work has returned,
// whatever the work did after it. A step of the work that needs Python runs
// through `with_gil`, which holds the GIL for it; its errors pass through the
// work (which lets exceptions pass) and out of `run`. The one way native code
// runs without the GIL and stays interruptible.
class NativeWork {
public:
    // Run `work()` without the GIL (the caller holds it) and give its result.
    template <typename Work>
    auto run(Work &&work) -> decltype(work()) {
        using Result = decltype(work());
        if constexpr (std::is_void_v<Result>) {
            released(work);
        } else {
            std::optional<Result> result;
            released([&] { result.emplace(work()); });
            return std::move(*result);
        }
    }

    // For the work, without the GIL: whether it should stop (a signal handler
    // raised, now or before).
    bool checkpoint();

    // Whether a checkpoint has stopped the work; the GIL is not needed.
    bool stopped() const { return error_.has_value(); }

    // For the work, without the GIL: `step()` with the GIL held.
    template <typename Step>
    auto with_gil(Step &&step) -> decltype(step()) {
        nb::gil_scoped_acquire held;
        return step();
    }

private:
    template <typename Body>
    void released(Body &&body) {
        try {
            nb::gil_scoped_release unlocked;
            body();
        } catch (...) {
            if (!error_)
                throw;  // the work's own failure (one after a stop gives way to the stop's error)
        }
        if (error_) {
            error_->restore();
            error_.reset();
            throw nb::python_error();
        }
    }

    std::optional<nb::python_error> error_;  // what a signal handler raised
};

// ------------------------------------------------------------------- values

// A field of a record that a service returned: nothing when the record lacks
// it. Records of the `openai` package set absent fields to None, so presence
// is read from their set of given fields; mappings are looked up by key.
std::optional<nb::object> field(nb::handle record, const char *name);

// `bool(value)`.
bool truthy(nb::handle value);

// `type(value).__name__`.
std::string type_name(nb::handle value);

// Whether `object.<name>(...)` runs the native method that the class `cls`
// defines: `object` is of exactly that class (no subclass), its instance
// dictionary holds nothing of that name, and the class still holds a native
// method of that name (none put in its place). Native code may then do the
// method's work itself, on what it has checked, instead of calling it.
bool is_native_method(nb::handle object, nb::handle cls, const char *name);

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

// ------------------------------------------------------------ argument checks
// Each raises `TypeError` naming the argument when the value has another type.

// Raise "argument '<name>' must be <expected>, not <type>" as a `TypeError`.
[[noreturn]] void wrong_type(nb::handle value, const char *name, const char *expected);

std::string arg_str(nb::handle value, const char *name);
std::optional<std::string> arg_opt_str(nb::handle value, const char *name);
// A str argument kept as the Python str it is (lone surrogates and all).
nb::str arg_pystr(nb::handle value, const char *name);
// The same, or None.
nb::object arg_opt_pystr(nb::handle value, const char *name);
// A str argument of exactly the type str (a subclass is refused), kept as it is.
nb::str arg_exact_pystr(nb::handle value, const char *name);
nb::list arg_list(nb::handle value, const char *name);
// The items of an iterable of str (an attribute that callers may set), as
// UTF-8; an item of another type raises "<name> must hold str, not <type>".
std::vector<std::string> str_items(nb::handle iterable, const char *name);
nb::dict arg_dict(nb::handle value, const char *name);
// Any real number, truncated toward zero (`True` counts as 1), as a Python int
// of any size.
nb::int_ arg_int(nb::handle value, const char *name);
// A Python int clamped to the range of a 64-bit integer: exact wherever every
// value beyond that range acts as the nearest bound would.
long long clamp_int64(nb::handle integer);
// Any real number, converted to a float.
double arg_float(nb::handle value, const char *name);
// A str or an `os.PathLike` whose path is a str, as the file system's bytes
// (as `os.fsencode` gives them).
std::string arg_path(nb::handle value, const char *name);

// ---------------------------------------------------------------- conversions
// A Python str may hold lone surrogates, which UTF-8 cannot: `to_utf8` writes
// each as its three-byte form (Python's "surrogatepass") and `to_str` reads
// that form back, so every str survives the round trip. Such bytes are not
// valid UTF-8 (`is_valid_utf8` refuses them), so they never reach a file
// unnoticed. A str that C++ only passes on stays a Python str.

nb::str to_str(std::string_view utf8);
// `str(value)` as UTF-8 (a str as it stands).
std::string to_utf8(nb::handle value);
// A str as UTF-8 for writing to a file: a lone surrogate raises
// `UnicodeEncodeError`, as Python's own writing would.
std::string to_utf8_strict(nb::handle text);
// `head + str(value)`, as a Python str.
nb::str joined(std::string_view head, nb::handle value);
// `str(a) + str(b) + ...`, as a Python str.
nb::str joined(std::initializer_list<nb::handle> values);
// A file-system name as a str (as `os.fsdecode` gives it).
nb::str path_to_str(std::string_view bytes);

// -------------------------------------------------------------------- console
// Output goes through Python's `print`, so `sys.stdout` is looked up anew for
// every line; input comes from Python's `input`. No stream can encode a lone
// surrogate, so every text shown (lines and prompts alike) is first made a
// console text, each lone surrogate written as U+FFFD; the objects the text
// came from keep theirs.

// `str(value)` with every lone surrogate replaced by U+FFFD.
nb::str console_text(nb::handle value);
// The same on the plain C API, for code that runs without handlers (the
// spinner's worker): a new reference, or nullptr with the error set.
PyObject *console_text_new(PyObject *value);

void print(std::string_view text);
void print(nb::handle value);
void print();
// Show `prompt`, read one line (without its line end). End of input raises
// `EOFError`, an interrupt `KeyboardInterrupt`.
std::string read_line(nb::handle prompt);

// `str.lower()`.
std::string lower(std::string_view utf8);

// ---------------------------------------------------------------- environment

// The value of an environment variable, read through `os.environ`; a variable
// that is unset or holds the empty text gives nothing.
std::optional<std::string> env(const char *name);

// The working directory (as `os.getcwd` gives it, in the file system's
// bytes); raises `OSError` when it cannot be read.
std::string working_directory();

// The per-user settings file that the wizard writes and `config` reads, as a
// `pathlib.Path`: `.config/orvo/config` in the home directory, or on Windows
// `ORVO/config` under APPDATA. `os` is the module (or a stand-in for it)
// whose `name`, `environ` and `path.expanduser` are asked. Nothing when there
// is no home directory (HOME unset and no entry for the user in the password
// database, as in many containers): then there is no settings file to read
// or to write.
std::optional<nb::object> user_settings_file(nb::handle os);

// -------------------------------------------------------------------- modules

// The module of that name, imported when it is not yet.
nb::module_ module(const char *name);

// `from <module> import <name>`: a missing name is an `ImportError`.
nb::object import_name(const char *module, const char *name);

// Register the error translation (`set_error_from`) with nanobind for the
// functions of the module being initialised: the first step of every module's
// initialisation.
void translate_errors();

// The module's functions become built-in functions of the module (each calls
// the function as it was defined), so that `help()` and `inspect` see
// routines: `help()` lists them under FUNCTIONS with their parameters, which
// `inspect.signature` gives too, read from nanobind's signature the first time
// they are asked for. Call it once the module's functions are defined.
void publish(nb::module_ &m);

// Set `__all__` to the names the module defines itself (not those beginning
// with "_"): not modules nor names that it imports from others.
void define_all(nb::module_ &m);

// `i18n.t(key, *args)`: the interface text of `key` in the current language.
template <typename... Args>
nb::object t(const char *key, Args &&...args) {
    return module("i18n").attr("t")(key, std::forward<Args>(args)...);
}

// The same through the `t` that module `owner` holds, which a caller may
// replace.
template <typename... Args>
nb::object t_of(const char *owner, const char *key, Args &&...args) {
    return module(owner).attr("t")(key, std::forward<Args>(args)...);
}

// How a command ended, for the exit status of its console script: on a
// failure line of its own, or otherwise (its work done, or cancelled by the
// user). The command's Python function returns what it always returns.
enum class Ending { done, failed };

// The exit status after Ctrl-C, as shells report an interrupted command.
inline constexpr int INTERRUPTED = 130;

// Define `_script`, the entry of the module's console script: it runs `entry`
// and gives the exit status, 1 when the command ended on a failure line of its
// own, else 0. An interrupt (Ctrl-C) that the command lets through ends it
// with `INTERRUPTED` and an empty line, without a traceback; the file being
// written is left as it was (files are written whole or not at all). The
// command's Python function still raises `KeyboardInterrupt`.
void def_script(nb::module_ &m, Ending (*entry)());

// Select the interface language from `ORVO_LANG` ("en" when unset): exactly
// "zh", "zh-cn" or "zh_tw" after lower-casing choose Chinese, anything else
// English. `config` is imported first, so that a language stored in the
// settings files counts where the environment sets none.
void set_language_from_env();

}  // namespace orvo
