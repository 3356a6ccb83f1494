// The class Osmeran: comments of the comment document written into the source
// files, one line at a time.
#include "bindings.hpp"

#include <orvo/files.hpp>
#include <orvo/languages.hpp>
#include <orvo/replace.hpp>

#include <cctype>
#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The language that the extractor gives a path, "" when none.
std::string language_of(nb::handle self, nb::handle path) {
    nb::object language = self.attr("extractor").attr("_get_language")(path);
    return PyUnicode_Check(language.ptr()) ? orvo::to_utf8(language) : std::string();
}

// The comment syntax of a language; a language that has none here gets the
// line comments that `prefix` opens, and nothing more.
orvo::CommentSyntax syntax_of(const std::string &language, const std::string &prefix) {
    if (const orvo::CommentSyntax *syntax = orvo::comment_syntax(language))
        return *syntax;
    orvo::CommentSyntax plain{};
    plain.language = "";
    plain.line[0] = prefix.c_str();
    return plain;
}

// What one file, open at `fd`, gets: the entries applied in memory to its
// content. Nothing when it cannot be read or decoded.
struct Rewrite {
    std::vector<Outcome> outcomes;
    std::optional<std::string> content;  // the new content, where anything changed
};

std::optional<Rewrite> rewrite(Readers &readers, int fd, const std::string &path, const std::string &language,
                               const std::string &prefix, const std::vector<Entry> &entries) {
    std::string raw;
    if (!orvo::read_open_file(fd, raw) || !orvo::is_valid_utf8(raw))
        return std::nullopt;
    const orvo::CommentSyntax syntax = syntax_of(language, prefix);
    std::string suffix(nestrel::suffix_of(path));  // in lower case, as the readers key it
    for (char &c : suffix)
        c = (char) std::tolower((unsigned char) c);
    Injection injection(raw, language, syntax, prefix, [&] { return readers.read(language, suffix, raw); });
    Rewrite result{injection.apply(entries), std::nullopt};
    if (injection.changed())
        result.content = injection.result();
    return result;
}

// The directory part of a path ("." for none) and its last component.
std::pair<std::string, std::string> split_path(const std::string &path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Replace the file open at `fd` by `data`, through the directory it lies in,
// where that directory still holds it under its name: a link or another file
// put in its place is never written. `below` is the base directory the file
// must lie below, or nothing. Failures throw `orvo::OsError` naming `shown`.
void write_back(int fd, const orvo::OpenDirectory *below, const std::string &shown, std::string_view data) {
    std::optional<std::string> real = orvo::real_path_of(fd);
    struct stat opened;
    if (!real || ::fstat(fd, &opened) != 0)
        throw orvo::OsError(ESTALE, shown);
    auto [directory, name] = split_path(*real);
    orvo::Descriptor holder;
    if (!below) {
        holder = orvo::Descriptor(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    } else if (directory == below->real) {
        holder = orvo::Descriptor(::fcntl(below->fd.get(), F_DUPFD_CLOEXEC, 0));
    } else if (!orvo::lies_below(directory, below->real)) {
        throw orvo::OsError(EXDEV, shown);  // moved out of the base directory since it was opened
    } else {
        std::string relative = directory.substr(below->real.size() + (below->real == "/" ? 0 : 1));
        holder = orvo::Descriptor(orvo::open_beneath(below->fd.get(), relative, below->real, O_PATH | O_DIRECTORY));
    }
    if (!holder)
        throw orvo::OsError(errno, shown);
    orvo::replace_file_at(holder.get(), name, shown, data, 0666, &opened);
}

// Apply entries to the file open at `fd`; the outcome of each, with those
// written turned into failures where the file could not be written.
std::optional<std::vector<Outcome>> inject_into(Readers &readers, int fd, const orvo::OpenDirectory *below,
                                                const std::string &path, const std::string &shown,
                                                const std::string &language, const std::string &prefix,
                                                const std::vector<Entry> &entries) {
    std::optional<Rewrite> done = rewrite(readers, fd, path, language, prefix, entries);
    if (!done)
        return std::nullopt;
    if (done->content) {
        bool saved = orvo::guard(
            [&] {
                write_back(fd, below, shown, *done->content);
                return true;
            },
            [](nb::python_error &) { return false; });
        if (!saved)
            for (Outcome &outcome : done->outcomes)
                if (outcome == Outcome::written)
                    outcome = Outcome::refused;
    }
    return std::move(done->outcomes);
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

// Open a file to read it, links followed, never waiting on a pipe.
orvo::Descriptor open_to_read(const std::string &path) {
    return orvo::Descriptor(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
}

bool inject_to_file(nb::handle self, nb::handle file_path, nb::handle line_num, nb::handle comment,
                    nb::handle comment_prefix) {
    std::string path = orvo::arg_path(file_path, "file_path");
    long long line = orvo::clamp_int64(orvo::arg_int(line_num, "line_num"));
    std::string text = orvo::arg_str(comment, "comment");
    std::string prefix = orvo::arg_str(comment_prefix, "comment_prefix");
    return orvo::guard(
        [&] {
            if (path.find('\0') != std::string::npos || !orvo::is_valid_utf8(text))
                return false;
            std::string language = language_of(self, file_path);
            orvo::Descriptor fd = open_to_read(path);
            if (!fd)
                return false;
            Readers readers;
            std::optional<std::vector<Outcome>> outcomes = inject_into(
                readers, fd.get(), nullptr, path, path, language, prefix, {Entry{line, text, false}});
            return outcomes && (outcomes->front() == Outcome::written || outcomes->front() == Outcome::unchanged);
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

// One entry of an element as read from the document: its line number (the
// str `int()` made of it) and its content, trimmed.
struct Read {
    nb::object number;
    std::string content;
};

nb::dict inject_comments(nb::handle self, nb::handle comments_data, nb::handle current_dir) {
    nb::list document = orvo::arg_list(comments_data, "comments_data");
    std::string base = current_dir.is_none() ? orvo::working_directory() : orvo::arg_path(current_dir, "current_dir");
    if (base.find('\0') != std::string::npos)
        orvo::raise(PyExc_ValueError, "embedded null byte");
    nb::object base_path = orvo::module("pathlib").attr("Path")(orvo::path_to_str(base));
    // The base directory is opened once: every file is opened below it, and
    // written through the directory it lies in.
    std::optional<orvo::OpenDirectory> below = orvo::open_directory(base.empty() ? "." : base, O_PATH);

    long long files_modified = 0, comments_injected = 0, skipped_multiline = 0;
    nb::list errors;
    Readers readers;
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
        // A name that cannot be one (a NUL, a lone surrogate that stands for
        // no byte) names no file.
        std::optional<std::string> name = orvo::guard(
            [&]() -> std::optional<std::string> {
                std::string bytes = orvo::arg_path(file, "file");
                if (bytes.find('\0') != std::string::npos)
                    return std::nullopt;
                return bytes;
            },
            [](nb::python_error &) -> std::optional<std::string> { return std::nullopt; });
        orvo::Descriptor fd;
        errno = ENOENT;
        if (name && below) {
            fd = orvo::Descriptor(orvo::open_beneath(below->fd.get(), *name, below->real, O_RDONLY));
            // The base directory itself lies beneath it, but not below.
            std::optional<std::string> real = fd ? orvo::real_path_of(fd.get()) : std::nullopt;
            if (fd && (!real || !orvo::lies_below(*real, below->real))) {
                fd = orvo::Descriptor();
                errno = EXDEV;
            }
        }
        if (!fd) {
            // The document may come from elsewhere: nothing outside the base
            // directory is touched, whatever ".." or links say.
            errors.append(orvo::joined(name && errno == EXDEV ? "Path outside the base directory: " : "File not found: ",
                                       file));
            return;
        }
        nb::object prefix_object = self.attr("_get_language_comment_prefix")(path);
        if (prefix_object.is_none()) {
            errors.append(orvo::joined("Unsupported file type: ", file));
            return;
        }
        std::string prefix = orvo::arg_str(prefix_object, "comment prefix");
        std::string language = language_of(self, path);

        // The entries first, all of them: a value of the wrong type ends the
        // run before this file is touched.
        std::vector<Read> reads;
        std::vector<Entry> entries;
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
            reads.push_back(Read{number, orvo::to_utf8(content)});
        });
        for (const Read &read : reads)
            entries.push_back(Entry{orvo::clamp_int64(read.number), read.content, true});
        // A text that cannot be written as UTF-8 (a lone surrogate) has its
        // place among the entries, but is never written.
        std::vector<bool> writable;
        for (Entry &entry : entries) {
            writable.push_back(orvo::is_valid_utf8(entry.content));
            if (!writable.back())
                entry.content = "\n";
        }

        std::optional<std::vector<Outcome>> outcomes =
            inject_into(readers, fd.get(), &*below, *name, orvo::to_utf8(file), language, prefix, entries);
        bool file_modified = false;
        for (std::size_t i = 0; i < reads.size(); ++i) {
            Outcome outcome = !outcomes ? Outcome::refused : !writable[i] ? Outcome::refused : (*outcomes)[i];
            switch (outcome) {
            case Outcome::written:
            case Outcome::unchanged:
                ++comments_injected;
                file_modified = true;
                break;
            case Outcome::several_lines:
                ++skipped_multiline;  // a comment of several lines has no single line to go on
                break;
            case Outcome::empty:
                break;
            case Outcome::refused:
                errors.append(
                    orvo::joined("Failed to inject comment at line " + orvo::to_utf8(reads[i].number) + " in ", file));
                break;
            }
        }
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
