// The class Osmeran: comments of the comment document written into the source
// files, one line at a time.
#include "bindings.hpp"
#include "lines.hpp"

#include <orvo/files.hpp>
#include <orvo/languages.hpp>
#include <orvo/replace.hpp>

#include <cstring>
#include <optional>
#include <string>

#include <sys/stat.h>

namespace osmeran {

using namespace nb::literals;

namespace {

// All state of an instance lives in its dictionary: `extractor` (a Nestrel).
struct Osmeran {};

// A member of a record, the empty str when it is absent.
nb::object member(nb::handle record, const char *key) {
    PyObject *value = PyDict_GetItemString(record.ptr(), key);
    return value ? nb::borrow(value) : nb::object(nb::str(""));
}

// Put `comment` on line `line_num` of the file at `path` (see `with_comment`).
// A comment that already stands there (`entry` is the document's text,
// trimmed, before the prefix is taken off) leaves the file as it is, line ends
// and all; otherwise the file is rewritten whole, with "\n" line ends. False
// when it cannot be read, decoded or written, has no such line, or the comment
// cannot be written as UTF-8, would break its line or is not writable.
bool inject_line(InPlace &in_place, const std::string &path, long long line_num, std::string_view entry,
                 std::string_view comment, std::string_view prefix, std::string_view language) {
    std::string raw;
    if (!orvo::is_valid_utf8(comment) || !orvo::read_regular_file(path, raw) || !orvo::is_valid_utf8(raw))
        return false;
    return orvo::guard(
        [&] {
            std::string content =
                std::memchr(raw.data(), '\r', raw.size()) ? orvo::normalize_newlines(raw) : std::move(raw);
            if (in_place.stands_on_line(content, line_num, entry, language))
                return true;
            const std::optional<std::string> updated = with_comment(content, line_num, comment, prefix, language);
            if (!updated)
                return false;
            orvo::replace_file(path, *updated);
            return true;
        },
        [](nb::python_error &) { return false; });  // out of memory, or not written
}

// The language that the extractor gives a path, "" when none.
std::string language_of(nb::handle self, nb::handle path) {
    nb::object language = self.attr("extractor").attr("_get_language")(path);
    return PyUnicode_Check(language.ptr()) ? orvo::to_utf8(language) : std::string();
}

void init(Osmeran *self) {
    new (self) Osmeran();
    nb::find(self).attr("extractor") = orvo::module("osmeran").attr("Nestrel")();
}

nb::object comment_prefix(nb::handle self, nb::handle file_path) {
    nb::object language = self.attr("extractor").attr("_get_language")(file_path);
    if (!PyUnicode_Check(language.ptr()))
        return nb::none();
    const char *prefix = orvo::line_prefix(orvo::to_utf8(language));
    return prefix ? nb::object(nb::str(prefix)) : nb::none();
}

// The line number a str names, or None when it is not one positive number.
nb::object validate_line_number(nb::handle, nb::handle line_str) {
    std::string text = orvo::arg_str(line_str, "line_str");
    if (text.find('-') != std::string::npos)
        return nb::none();                             // a range, or a negative number
    PyObject *number = PyNumber_Long(line_str.ptr());  // Python's int(): blanks and "+" allowed
    if (!number) {
        PyErr_Clear();
        return nb::none();
    }
    nb::object value = nb::steal(number);
    return value > nb::int_(0) ? value : nb::none();
}

bool inject_to_file(nb::handle self, nb::handle file_path, nb::handle line_num, nb::handle comment,
                    nb::handle comment_prefix) {
    std::string path = orvo::arg_path(file_path, "file_path");
    long long line = orvo::clamp_int64(orvo::arg_int(line_num, "line_num"));
    std::string text = orvo::arg_str(comment, "comment");
    std::string prefix = orvo::arg_str(comment_prefix, "comment_prefix");
    return orvo::guard(
        [&] {
            InPlace in_place;
            return inject_line(in_place, path, line, orvo::strip(text), text, prefix, language_of(self, file_path));
        },
        [](nb::python_error &) { return false; });
}

nb::object load_comments_from_json(nb::handle, nb::handle json_path) {
    std::string path = orvo::arg_path(json_path, "json_path");
    return orvo::guard(
        [&]() -> nb::object {
            struct stat info;
            std::string raw;
            if (::stat(path.c_str(), &info) != 0 || !orvo::read_regular_file(path, raw) || !orvo::is_valid_utf8(raw))
                return nb::none();
            nb::object document = orvo::module("json").attr("loads")(orvo::to_str(raw));
            return PyList_Check(document.ptr()) ? document : nb::none();
        },
        [](nb::python_error &) { return nb::none(); });
}

// The resolved form of a path, or nothing when the path cannot name a file
// (an embedded NUL, a lone surrogate): Python's `os.path.exists` is false for
// such a path.
std::optional<std::string> resolved(nb::handle realpath, nb::handle path) {
    try {
        return orvo::arg_path(realpath(path), "file");
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_ValueError))
            throw;
        return std::nullopt;
    }
}

nb::dict inject_comments(nb::handle self, nb::handle comments_data, nb::handle current_dir) {
    nb::list document = orvo::arg_list(comments_data, "comments_data");
    std::string base = current_dir.is_none() ? orvo::working_directory() : orvo::arg_path(current_dir, "current_dir");
    nb::object os_path = orvo::module("os").attr("path");
    nb::object realpath = os_path.attr("realpath");
    nb::object base_path = orvo::module("pathlib").attr("Path")(orvo::path_to_str(base));
    std::string real_base = orvo::arg_path(realpath(base_path), "current_dir");

    long long files_modified = 0, comments_injected = 0, skipped_multiline = 0;
    nb::list errors;
    InPlace in_place;
    // Python code runs between the steps (a subclass's methods, a value's
    // `__bool__`) and may change the document: it is read item by item.
    orvo::for_each_item(document, [&](nb::handle item) {
        nb::dict element = element_of(item);
        nb::object file = member(element, "file");
        if (!orvo::truthy(file))
            return;  // no file named: skipped without a word
        if (!PyUnicode_Check(file.ptr()))
            orvo::raise(PyExc_TypeError, "the 'file' of an element must be str, not " + orvo::type_name(file));
        nb::object path = base_path / file;
        std::optional<std::string> real = resolved(realpath, path);
        if (!real) {
            errors.append(orvo::joined("File not found: ", file));
            return;
        }
        // The document may come from elsewhere: nothing outside the base
        // directory is touched, whatever ".." or links say.
        if (!orvo::lies_below(*real, real_base)) {
            errors.append(orvo::joined("Path outside the base directory: ", file));
            return;
        }
        if (!orvo::truthy(os_path.attr("exists")(path))) {
            errors.append(orvo::joined("File not found: ", file));
            return;
        }
        nb::object prefix_object = self.attr("_get_language_comment_prefix")(path);
        if (prefix_object.is_none()) {
            errors.append(orvo::joined("Unsupported file type: ", file));
            return;
        }
        std::string prefix = orvo::arg_str(prefix_object, "comment prefix");
        std::string language = language_of(self, path);
        std::string file_bytes = orvo::arg_path(path, "file");

        bool file_modified = false;
        orvo::for_each_item(entries_of(element), [&](nb::handle entry) {
            if (!PyDict_Check(entry.ptr()))
                orvo::raise(PyExc_TypeError, "each comment entry must be a dict, not " + orvo::type_name(entry));
            nb::object line = member(entry, "line");
            nb::object content = member(entry, "content");
            if (!orvo::truthy(line) || !orvo::truthy(content))
                return;
            if (!PyUnicode_Check(line.ptr()))
                orvo::raise(PyExc_TypeError, "the 'line' of a comment entry must be str, not " + orvo::type_name(line));
            nb::object number = validate_line_number(self, line);
            if (number.is_none()) {
                ++skipped_multiline;
                return;
            }
            if (!PyUnicode_Check(content.ptr()))
                orvo::raise(PyExc_TypeError,
                            "the 'content' of a comment entry must be str, not " + orvo::type_name(content));
            std::string text = orvo::to_utf8(content);
            std::string_view stripped = orvo::strip(text);
            std::string_view comment = stripped;
            if (comment.substr(0, prefix.size()) == prefix)
                comment = orvo::strip(comment.substr(prefix.size()));  // "# note" is written as "note"
            if (orvo::has_line_break(comment)) {
                ++skipped_multiline;  // a comment of several lines has no single line to go on
                return;
            }
            if (inject_line(in_place, file_bytes, orvo::clamp_int64(number), stripped, comment, prefix, language)) {
                ++comments_injected;
                file_modified = true;
            } else {
                errors.append(orvo::joined("Failed to inject comment at line " + orvo::to_utf8(number) + " in ", file));
            }
        });
        if (file_modified)
            ++files_modified;
    });
    nb::dict stats;
    stats["files_modified"] = files_modified;
    stats["comments_injected"] = comments_injected;
    stats["skipped_multiline"] = skipped_multiline;
    stats["errors"] = errors;
    return stats;
}

}  // namespace

nb::dict element_of(nb::handle element) {
    if (!PyDict_Check(element.ptr()))
        orvo::raise(PyExc_TypeError,
                    "each element of the comment document must be a dict, not " + orvo::type_name(element));
    return nb::borrow<nb::dict>(element);
}

nb::list entries_of(nb::handle element) {
    PyObject *value = PyDict_GetItemString(element.ptr(), "comments");
    if (!value)
        return nb::list();
    if (PyList_Check(value))
        return nb::borrow<nb::list>(value);
    if ((PyUnicode_Check(value) || PyDict_Check(value)) && PyObject_Length(value) == 0)
        return nb::list();
    orvo::raise(PyExc_TypeError,
                "the 'comments' of an element must be a list, not " + orvo::type_name(nb::handle(value)));
}

void register_injector(nb::module_ &m) {
    nb::class_<Osmeran>(m, "Osmeran", nb::dynamic_attr(),
                        "Writes comments of the comment document into source files, one line at a time.")
        .def("__init__", &init, nb::sig("def __init__(self) -> None"),
             "Build an injector with its own Nestrel (which reads the ignore list).")
        .def("_get_language_comment_prefix", &comment_prefix,
             nb::sig("def _get_language_comment_prefix(self, file_path: str | os.PathLike) -> str | None"),
             "file_path"_a.none(), "The text that opens a single-line comment in the language of a path, or None.")
        .def("_validate_line_number", &validate_line_number,
             nb::sig("def _validate_line_number(self, line_str: str) -> int | None"), "line_str"_a.none(),
             "The line number a str names as an int, or None when it is not one positive number.")
        .def("_inject_comment_to_file", &inject_to_file,
             nb::sig("def _inject_comment_to_file(self, file_path: str | os.PathLike, line_num: int, comment: str, "
                     "comment_prefix: str) -> bool"),
             "file_path"_a.none(), "line_num"_a.none(), "comment"_a.none(), "comment_prefix"_a.none(),
             "Put one comment on one line of a file; True when the file was rewritten or the comment already "
             "stood on that line.")
        .def("load_comments_from_json", &load_comments_from_json,
             nb::sig("def load_comments_from_json(self, json_path: str | os.PathLike) -> list | None"),
             "json_path"_a.none(),
             "The comment document at a path as a list, or None when it is missing, unreadable or not a "
             "JSON array.")
        .def("inject_comments", &inject_comments,
             nb::sig("def inject_comments(self, comments_data: list, current_dir: str | os.PathLike | None = None) "
                     "-> dict"),
             "comments_data"_a.none(), "current_dir"_a = nb::none(),
             "Apply a comment document under a base directory (default: the working directory) and return "
             "the statistics: files_modified, comments_injected, skipped_multiline, errors.");
}

}  // namespace osmeran
