// Comment injection: writes the single-line comments of the comment document
// back into the source files, after the user has typed a confirmation word.
#include <orvo/files.hpp>
#include <orvo/support.hpp>

#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <sys/stat.h>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// All state of an instance lives in its dictionary: `extractor` (a Nestrel).
struct Osmeran {};

nb::module_ self_module() { return nb::module_::import_("osmeran"); }

// The text that opens a single-line comment, per language.
constexpr std::pair<std::string_view, std::string_view> COMMENT_PREFIXES[] = {
    {"python", "#"},    {"javascript", "//"}, {"typescript", "//"}, {"java", "//"},   {"c", "//"},
    {"cpp", "//"},      {"csharp", "//"},     {"php", "//"},        {"go", "//"},     {"rust", "//"},
    {"swift", "//"},    {"kotlin", "//"},     {"scala", "//"},      {"ruby", "#"},    {"shell", "#"},
    {"sql", "--"},      {"dart", "//"},       {"lua", "--"},        {"haskell", "--"}, {"elixir", "#"},
    {"erlang", "%"},    {"lisp", ";"},        {"scheme", ";"},      {"racket", ";"},  {"julia", "#"},
    {"matlab", "%"},    {"nim", "#"},         {"zig", "//"},        {"odin", "//"},   {"vlang", "//"},
    {"elm", "--"},      {"purescript", "--"}, {"idris", "--"},      {"agda", "--"},   {"prolog", "%"},
    {"ocaml", "(*"},    {"fsharp", "//"},
};
static_assert(std::size(COMMENT_PREFIXES) == 37);

// "(*" opens a block comment, so its comment is closed on the same line.
constexpr std::string_view BLOCK_PREFIX = "(*";

using orvo::truthy;

// A member of a record, the empty text when it is absent.
nb::object member(nb::handle record, const char *key) {
    PyObject *value = PyDict_GetItemString(record.ptr(), key);
    return value ? nb::borrow(value) : nb::object(nb::str(""));
}

// `head` followed by a host text.
nb::str joined(std::string_view head, nb::handle text) {
    PyObject *result = PyUnicode_Concat(orvo::to_str(head).ptr(), nb::str(text).ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal<nb::str>(result);
}

// --------------------------------------------------------- document records

nb::dict element_of(nb::handle element) {
    if (!PyDict_Check(element.ptr()))
        orvo::raise(PyExc_TypeError,
                    "each element of the comment document must be a dict, not " + orvo::type_name(element));
    return nb::borrow<nb::dict>(element);
}

// The `comments` of an element as a list; an absent, empty text or empty map
// holds no entries.
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

// ------------------------------------------------------------------ engine

std::string_view prefix_of_language(std::string_view language) {
    for (const auto &[name, prefix] : COMMENT_PREFIXES)
        if (name == language)
            return prefix;
    return {};
}

// Whether a text holds a character at which `str.splitlines()` breaks a line:
// such a comment would add lines of code to the file.
bool breaks_lines(std::string_view utf8) {
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = (unsigned char) utf8[i];
        if ((c >= 0x0A && c <= 0x0D) || (c >= 0x1C && c <= 0x1E))
            return true;
        if (c == 0xC2 && i + 1 < utf8.size() && (unsigned char) utf8[i + 1] == 0x85)
            return true;  // U+0085
        if (c == 0xE2 && i + 2 < utf8.size() && (unsigned char) utf8[i + 1] == 0x80 &&
            ((unsigned char) utf8[i + 2] == 0xA8 || (unsigned char) utf8[i + 2] == 0xA9))
            return true;  // U+2028, U+2029
    }
    return false;
}

// Put `comment` on line `line_num` (from 1) of the file at `path`: after the
// code of the line, replacing everything from the first `prefix` on, or alone
// on a blank line. The file is rewritten whole, with "\n" line ends; false
// when it cannot be read, decoded or written, or has no such line.
bool inject_line(const std::string &path, long long line_num, std::string_view comment, std::string_view prefix) {
    try {
        std::string raw;
        if (line_num < 1 || !orvo::is_valid_utf8(comment) || breaks_lines(orvo::strip(comment)) ||
            !orvo::read_regular_file(path, raw) || !orvo::is_valid_utf8(raw))
            return false;
        std::string content = std::memchr(raw.data(), '\r', raw.size()) ? orvo::normalize_newlines(raw)
                                                                          : std::move(raw);
        std::size_t start = 0;
        for (long long line = 1; line < line_num; ++line) {
            std::size_t newline = content.find('\n', start);
            if (newline == std::string::npos)
                return false;
            start = newline + 1;
        }
        if (start >= content.size())
            return false;  // the file has fewer lines
        std::size_t end = content.find('\n', start);
        std::size_t next = end == std::string::npos ? content.size() : end + 1;
        if (end == std::string::npos)
            end = content.size();

        std::string_view target = orvo::rstrip(std::string_view(content).substr(start, end - start));
        std::string tail;
        tail.append(prefix).append(" ").append(orvo::strip(comment));
        if (prefix == BLOCK_PREFIX)
            tail.append(" *)");
        tail.push_back('\n');
        std::string line;
        if (orvo::strip(target).empty()) {
            line = tail;
        } else {
            line = target.substr(0, target.find(prefix));
            line.append(" ").append(tail);
        }

        std::string updated;
        updated.reserve(content.size() + line.size());
        updated.append(content, 0, start).append(line).append(content, next, std::string::npos);
        orvo::replace_file(path, updated);
        return true;
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        return false;
    } catch (const std::exception &) {
        return false;
    }
}

// ------------------------------------------------------------------ methods

void init(Osmeran *self) {
    new (self) Osmeran();
    nb::object py = nb::find(self);
    py.attr("extractor") = self_module().attr("Nestrel")();
}

nb::object comment_prefix(nb::handle self, nb::handle file_path) {
    nb::object language = self.attr("extractor").attr("_get_language")(file_path);
    if (!PyUnicode_Check(language.ptr()))
        return nb::none();
    std::string_view prefix = prefix_of_language(orvo::from_str(language));
    return prefix.empty() ? nb::none() : nb::object(orvo::to_str(prefix));
}

// The line number a text names, or None when it is not one positive number.
nb::object validate_line_number(nb::handle, nb::handle line_str) {
    std::string text = orvo::arg_str(line_str, "line_str");
    if (text.find('-') != std::string::npos)
        return nb::none();  // a range, or a negative number
    PyObject *number = PyNumber_Long(line_str.ptr());  // the host's int(): blanks and "+" allowed
    if (!number) {
        PyErr_Clear();
        return nb::none();
    }
    nb::object value = nb::steal(number);
    return PyObject_RichCompareBool(value.ptr(), nb::int_(0).ptr(), Py_GT) == 1 ? value : nb::none();
}

bool inject_to_file(nb::handle, nb::handle file_path, nb::handle line_num, nb::handle comment,
                    nb::handle comment_prefix) {
    std::string path = orvo::arg_path(file_path, "file_path");
    long long line = orvo::clamp_int64(orvo::arg_int(line_num, "line_num"));
    std::string text = orvo::arg_str(comment, "comment");
    std::string prefix = orvo::arg_str(comment_prefix, "comment_prefix");
    return inject_line(path, line, text, prefix);
}

nb::object load_comments_from_json(nb::handle, nb::handle json_path) {
    std::string path = orvo::arg_path(json_path, "json_path");
    try {
        struct stat info;
        std::string raw;
        if (::stat(path.c_str(), &info) != 0 || !orvo::read_regular_file(path, raw))
            return nb::none();
        nb::object document = nb::module_::import_("json").attr("loads")(orvo::to_str(raw));
        return PyList_Check(document.ptr()) ? document : nb::none();
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        return nb::none();
    }
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
    nb::object os_path = nb::module_::import_("os").attr("path");
    nb::object realpath = os_path.attr("realpath");
    nb::object base_path = nb::module_::import_("pathlib").attr("Path")(orvo::path_str(base));
    std::string real_base = orvo::arg_path(realpath(base_path), "current_dir");

    long long files_modified = 0, comments_injected = 0, skipped_multiline = 0;
    nb::list errors;
    // Python code runs between the steps (a subclass's methods, a value's
    // `__bool__`) and may change the document: it is read item by item.
    orvo::for_each_item(document, [&](nb::handle item) {
        nb::dict element = element_of(item);
        nb::object file = member(element, "file");
        if (!truthy(file))
            return;  // no file named: skipped without a word
        if (!PyUnicode_Check(file.ptr()))
            orvo::raise(PyExc_TypeError, "the 'file' of an element must be str, not " + orvo::type_name(file));
        nb::object path = base_path / file;
        std::optional<std::string> real = resolved(realpath, path);
        if (!real) {
            errors.append(joined("File not found: ", file));
            return;
        }
        // The document may come from elsewhere: nothing outside the base
        // directory is touched, whatever ".." or links say.
        if (!orvo::lies_below(*real, real_base)) {
            errors.append(joined("Path outside the base directory: ", file));
            return;
        }
        if (!truthy(os_path.attr("exists")(path))) {
            errors.append(joined("File not found: ", file));
            return;
        }
        nb::object prefix_object = self.attr("_get_language_comment_prefix")(path);
        if (prefix_object.is_none()) {
            errors.append(joined("Unsupported file type: ", file));
            return;
        }
        std::string prefix = orvo::arg_str(prefix_object, "comment prefix");
        std::string file_bytes = orvo::arg_path(path, "file");

        bool file_modified = false;
        nb::list entries = entries_of(element);
        orvo::for_each_item(entries, [&](nb::handle entry) {
            if (!PyDict_Check(entry.ptr()))
                orvo::raise(PyExc_TypeError, "each comment entry must be a dict, not " + orvo::type_name(entry));
            nb::object line = member(entry, "line");
            nb::object content = member(entry, "content");
            if (!truthy(line) || !truthy(content))
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
            std::string text = orvo::from_str(content);
            std::string_view comment = orvo::strip(text);
            if (comment.substr(0, prefix.size()) == prefix)
                comment = orvo::strip(comment.substr(prefix.size()));  // "# note" is written as "note"
            if (breaks_lines(comment)) {
                ++skipped_multiline;  // a comment of several lines has no single line to go on
                return;
            }
            if (inject_line(file_bytes, orvo::clamp_int64(number), comment, prefix)) {
                ++comments_injected;
                file_modified = true;
            } else {
                errors.append(joined("Failed to inject comment at line " + orvo::text_of(number) + " in ", file));
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

// ------------------------------------------------------------ message table

nb::dict translations() {
    nb::dict table;
    table["warning_title"] = "DANGER WARNING";
    table["warning_message"] = "This operation will MODIFY your source code files and CANNOT BE UNDORED!";
    nb::list details;
    for (const char *line : {"\u2022 This will overwrite existing comments in your source files",
                             "\u2022 Only single-line comments (with specific line numbers) will be injected",
                             "\u2022 Multi-line comment ranges (like \"1-3\") will be ignored",
                             "\u2022 This operation is IRREVERSIBLE and may damage your code",
                             "\u2022 Please backup your code before proceeding"})
        details.append(line);
    table["warning_details"] = details;
    table["backup_recommendation"] = "\u26A0\uFE0F  Please create a backup of your code before this operation!";
    table["warning_prompt"] = "Type \"CONFIRM\" to proceed with comment injection: ";
    table["invalid_confirmation"] = "Invalid confirmation. Operation cancelled.";
    table["operation_cancelled"] = "Operation cancelled by user.";
    table["no_comments_file_found"] = "No comments.json file found in .orvo directory.";
    table["comment_file_path"] = "Comments file path: {}";
    table["reading_comments_file"] = "Reading comments file...";
    table["injecting_comments"] = "Injecting comments to source files...";
    table["comment_injection_complete"] = "Comment injection completed!";
    table["files_modified_count"] = "Number of files modified: {}";
    table["comments_injected_count"] = "Total comments injected: {}";
    table["comment_injection_error"] = "Error during comment injection: {}";
    return table;
}

// The table's text of `key` (the key itself when it has none), filled from
// the arguments by str.format rules, or unfilled when they do not fit.
nb::object lookup(nb::handle key, nb::handle args, nb::handle kwargs) {
    orvo::arg_str(key, "key");
    nb::object table = self_module().attr("translations");
    nb::object text = table.attr("get")(key, key);
    if (PyList_Check(text.ptr()))
        return text;
    try {
        nb::object format = text.attr("format");
        PyObject *filled = PyObject_Call(format.ptr(), args.ptr(), kwargs.ptr());
        if (!filled)
            throw nb::python_error();
        return nb::steal(filled);
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        return text;  // a placeholder without its value: the text unfilled
    }
}

nb::object t(nb::handle key, nb::args args, nb::kwargs kwargs) { return lookup(key, args, kwargs); }

template <typename... Args>
nb::object text(const char *key, Args &&...values) {
    return lookup(nb::str(key), nb::make_tuple(std::forward<Args>(values)...), nb::dict());
}

std::string rule(char c) { return std::string(80, c); }

bool show_warning_and_get_confirmation() {
    orvo::print("\n" + rule('='));
    orvo::print(joined("\u26A0\uFE0F  ", text("warning_title").attr("upper")()));
    orvo::print(rule('='));
    orvo::print(text("warning_message"));
    orvo::print();
    for (nb::handle detail : text("warning_details"))
        orvo::print(joined("  ", detail));
    orvo::print();
    orvo::print(text("backup_recommendation"));
    orvo::print();
    for (;;) {
        std::string choice(orvo::strip(orvo::read_line(orvo::text_of(text("warning_prompt")))));
        if (choice == "CONFIRM")
            return true;
        std::string lowered = orvo::lower(choice);
        if (lowered == "cancel" || lowered == "c" || lowered == "no" || lowered == "n")
            return false;
        orvo::print(text("invalid_confirmation"));
    }
}

void inject_comments_from_files() {
    try {
        nb::object base = nb::module_::import_("pathlib").attr("Path")(orvo::path_str(orvo::working_directory()));
        nb::object path = base / nb::str(".orvo") / nb::str("comments.json");
        if (!truthy(nb::module_::import_("os").attr("path").attr("exists")(path))) {
            orvo::print(text("no_comments_file_found"));
            return;
        }
        orvo::print(text("comment_file_path", path));
        orvo::print(text("reading_comments_file"));
        nb::object injector = self_module().attr("Osmeran")();
        nb::object document = injector.attr("load_comments_from_json")(path);
        if (document.is_none() || (PyList_Check(document.ptr()) && nb::len(document) == 0)) {
            orvo::print(joined("\u274C ", text("comment_injection_error", "Failed to load comments data")));
            return;
        }
        std::size_t files = 0, comments = 0;
        for (nb::handle element : document) {
            ++files;
            comments += entries_of(element_of(element)).size();
        }
        orvo::print("\n\U0001F4CA 将处理 " + std::to_string(files) + " 个文件中的 " + std::to_string(comments) +
                    " 个注释");
        if (!show_warning_and_get_confirmation()) {
            orvo::print(text("operation_cancelled"));
            return;
        }
        orvo::print(joined("\n", text("injecting_comments")));
        nb::object stats = injector.attr("inject_comments")(document, base);
        orvo::print(joined("\n", text("comment_injection_complete")));
        orvo::print(text("files_modified_count", stats["files_modified"]));
        orvo::print(text("comments_injected_count", stats["comments_injected"]));
        nb::object skipped = stats["skipped_multiline"];
        if (PyObject_RichCompareBool(skipped.ptr(), nb::int_(0).ptr(), Py_GT) == 1)
            orvo::print(joined("跳过多行注释: ", skipped));
        nb::object errors = nb::steal(PySequence_List(nb::object(stats["errors"]).ptr()));
        if (!errors.is_valid())
            throw nb::python_error();
        std::size_t count = nb::len(errors);
        if (count > 0) {
            orvo::print("\n\u26A0\uFE0F  发生 " + std::to_string(count) + " 个错误:");
            for (std::size_t i = 0; i < count && i < 5; ++i)
                orvo::print(joined("  \u2022 ", errors[i]));
            if (count > 5)
                orvo::print("  \u2022 ... 还有 " + std::to_string(count - 5) + " 个错误");
        }
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        orvo::print(joined("\u274C ", text("comment_injection_error", error.value())));
    }
}

}  // namespace

NB_MODULE(osmeran, m) {
    m.doc() = "Comment injection: writes the single-line comments of .orvo/comments.json back into the "
              "source files after a typed confirmation.";
    m.attr("Nestrel") = nb::module_::import_("nestrel").attr("Nestrel");
    m.attr("translations") = translations();

    nb::class_<Osmeran>(m, "Osmeran", nb::dynamic_attr(),
                        "Writes comments of the comment document into source files, one line at a time.")
        .def("__init__", &init, "Build an injector with its own Nestrel (which reads the ignore list).")
        .def("_get_language_comment_prefix", &comment_prefix, "file_path"_a.none(),
             "The text that opens a single-line comment in the language of a path, or None.")
        .def("_validate_line_number", &validate_line_number, "line_str"_a.none(),
             "The line number a text names as an int, or None when it is not one positive number.")
        .def("_inject_comment_to_file", &inject_to_file, "file_path"_a.none(), "line_num"_a.none(),
             "comment"_a.none(), "comment_prefix"_a.none(),
             "Put one comment on one line of a file; True when the file was rewritten.")
        .def("load_comments_from_json", &load_comments_from_json, "json_path"_a.none(),
             "The comment document at a path as a list, or None when it is missing, unreadable or not a "
             "JSON array.")
        .def("inject_comments", &inject_comments, "comments_data"_a.none(), "current_dir"_a = nb::none(),
             "Apply a comment document under a base directory (default: the working directory) and return "
             "the statistics: files_modified, comments_injected, skipped_multiline, errors.");

    m.def("t", &t, "key"_a.none(), "args"_a, "kwargs"_a,
          "The text of a key in the module's own English table, with placeholders filled by str.format "
          "rules; a key without a text is returned as it stands.");
    m.def("show_warning_and_get_confirmation", &show_warning_and_get_confirmation,
          "Show the danger warning and ask until the user types CONFIRM (True) or a cancel word (False).");
    m.def("inject_comments_from_files", &inject_comments_from_files,
          "Write the comments of .orvo/comments.json into the sources after the typed confirmation.");
    m.def("main", &inject_comments_from_files, "Run the comment injection command once.");
}
