// The chat model's choice of files: the file list as it is shown, the
// selection request, and reading the chosen files below the project root.
#include "bindings.hpp"
#include "prompts.hpp"

#include <orvo/files.hpp>

#include <cerrno>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>

namespace quorlin {

using namespace nb::literals;

namespace {

constexpr Py_ssize_t max_read_files = 8;

// The texts of a list field of a file entry (definitions, comments): none
// when it is missing or empty; its items must be str, as `", ".join` wants.
std::vector<std::string> texts_of(nb::handle entry, const char *field) {
    PyObject *value = PyDict_GetItemString(entry.ptr(), field);
    std::vector<std::string> texts;
    if (!value)
        return texts;
    nb::object held = nb::borrow(value);
    if (!orvo::truthy(held))
        return texts;
    nb::object items = nb::steal(PySequence_Fast(held.ptr(), "a file entry's definitions and comments must be lists"));
    if (!items.is_valid())
        throw nb::python_error();
    for (nb::handle item : items) {
        if (!PyUnicode_Check(item.ptr()))
            orvo::raise(PyExc_TypeError,
                        std::string("a file entry's ") + field + " must be str, not " + orvo::type_name(item));
        texts.push_back(orvo::to_utf8(item));
    }
    return texts;
}

nb::str format_file_list_for_ai(nb::handle, nb::handle file_list) {
    nb::list list = orvo::arg_list(file_list, "file_list");
    std::vector<ListedFile> files;
    orvo::for_each_item(list, [&](nb::handle entry) {
        if (!PyDict_Check(entry.ptr()))
            orvo::wrong_type(entry, "file_list", "a list of dict");
        ListedFile file;
        file.path = orvo::to_utf8(entry["path"]);
        file.definitions = texts_of(entry, "definitions");
        file.comments = texts_of(entry, "comments");
        files.push_back(std::move(file));
    });
    return orvo::to_str(format_file_list(files));
}

// The selection request with `client`: the chosen paths, or None after a
// printed message.
nb::object choose_files(nb::handle self, nb::handle prompt, nb::handle file_list, nb::handle client) {
    const bool zh = chinese();
    nb::object list_text = self.attr("_format_file_list_for_ai")(file_list);
    nb::list messages = chat_messages(selection_system_message(zh),
                                      selection_user_message(orvo::to_utf8(prompt), orvo::to_utf8(list_text)));
    nb::object result = client.attr("chat_completion")(messages, "temperature"_a = 0.3);
    std::optional<nb::str> answer = first_answer(result);
    if (!answer) {
        say("ai_response_error");
        return nb::none();
    }
    nb::object json = orvo::module("json");
    nb::object parsed;
    try {
        parsed = json.attr("loads")(orvo::to_str(without_fences(orvo::to_utf8(*answer))));
    } catch (nb::python_error &error) {
        if (!error.matches(json.attr("JSONDecodeError")))
            throw;
        orvo::print(text("quorlin_json_parse_error", orvo::error_text(error)));
        return nb::none();
    }
    if (!PyDict_Check(parsed.ptr()))
        orvo::raise(PyExc_TypeError, "the reply is a JSON " + orvo::type_name(parsed) + ", not an object");
    PyObject *files = PyDict_GetItemString(parsed.ptr(), "files");
    if (!files || !orvo::truthy(files)) {
        say("quorlin_no_files_selected");
        return nb::none();
    }
    if (!PyList_Check(files))
        orvo::raise(PyExc_TypeError, "the reply's files are a " + orvo::type_name(files) + ", not a list");
    return nb::borrow(files);
}

nb::object ask_ai_for_files(nb::handle self, nb::handle user_prompt, nb::handle file_list) {
    nb::str prompt = orvo::arg_pystr(user_prompt, "user_prompt");
    orvo::arg_list(file_list, "file_list");
    return orvo::guard(
        [&] { return with_client([&](nb::handle client) { return choose_files(self, prompt, file_list, client); }); },
        [](nb::python_error &error) -> nb::object {
            orvo::print(text("quorlin_analysis_error", orvo::error_text(error)));
            return nb::none();
        });
}

enum class Reading { skipped, read, failed };

// A chosen path as it is read below the root: an absolute path under the
// root's name is taken relative to it, so that it too is read through the
// root held open; any other path stays as it is.
std::string below_root(const ProjectRoot &root, const std::string &path) {
    std::string_view name = root.path;
    while (name.size() > 1 && name.ends_with('/'))
        name.remove_suffix(1);
    if (!path.starts_with('/') || !name.starts_with('/'))
        return path;
    if (name.size() > 1 && !(path.starts_with(name) && (path.size() == name.size() || path[name.size()] == '/')))
        return path;
    std::string_view rest = std::string_view(path).substr(name.size() > 1 ? name.size() : 0);
    while (rest.starts_with('/'))
        rest.remove_prefix(1);
    return std::string(rest.empty() ? "." : rest);
}

// Read a chosen file (`relative` to the root, or absolute): skipped when it
// is missing, not a regular file, or lies outside the root. What is read is
// the file that was opened once and found below the root held open, so a
// link turned elsewhere meanwhile shows nothing outside. A file that no
// memory holds throws `std::bad_alloc`.
Reading read_chosen(const ProjectRoot &root, const std::string &relative, std::string &bytes, int &error) {
    nb::gil_scoped_release unlocked;
    struct stat info;
    // The type first, so that a device or a pipe is not even opened.
    if (root.fd < 0 || relative.find('\0') != std::string::npos ||
        ::fstatat(root.fd, relative.c_str(), &info, 0) != 0 || !S_ISREG(info.st_mode))
        return Reading::skipped;
    if (orvo::read_regular_file_beneath(root.fd, relative, root.real, bytes))
        return Reading::read;
    if (errno == EXDEV || errno == EISDIR || errno == EINVAL)
        return Reading::skipped;  // it lies outside the root, or is no longer a regular file
    error = errno;
    return Reading::failed;
}

// A file's bytes as Python's text reading gives them: strict UTF-8, line
// ends made "\n".
nb::str decoded(const std::string &bytes) {
    nb::object text = nb::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
    if (!text.is_valid())
        throw nb::python_error();
    if (bytes.find('\r') == std::string::npos)
        return nb::borrow<nb::str>(text);
    return orvo::to_str(orvo::normalize_newlines(bytes));
}

nb::dict read_files_content(nb::handle self, nb::handle file_paths) {
    nb::list paths = orvo::arg_list(file_paths, "file_paths");
    const Py_ssize_t count = PyList_GET_SIZE(paths.ptr());
    if (count > max_read_files) {
        orvo::print(orvo::joined(
            {nb::str("\n⚠️  "), text("warning"), nb::str(" "), text("quorlin_max_files_exceeded", nb::int_(count))}));
        orvo::print(orvo::joined({nb::str("ℹ️  "), text("quorlin_reading_limited", max_read_files)}));
    }
    nb::object chosen = nb::steal(PyList_GetSlice(paths.ptr(), 0, max_read_files));
    if (!chosen.is_valid())
        throw nb::python_error();
    const ProjectRoot root = project_root_of(self);  // the chosen files are read below it
    nb::dict contents;
    orvo::for_each_item(chosen, [&](nb::handle item) {
        const std::optional<std::string> encoded = encodable_path(item, "file_paths");
        if (!encoded)
            return;  // no file can have that name
        const std::string path = orvo::join_path(root.path, *encoded);
        nb::object value = orvo::guard(
            [&]() -> nb::object {
                std::string bytes;
                int error = 0;
                const Reading reading = read_chosen(root, below_root(root, *encoded), bytes, error);
                if (reading == Reading::skipped)
                    return nb::object();
                if (reading == Reading::failed)
                    orvo::raise_os_error(error, path);
                return decoded(bytes);
            },
            [&](nb::python_error &failure) -> nb::object {
                nb::str error_text = orvo::error_text(failure);
                orvo::print(text("quorlin_read_file_error", item, error_text));
                return orvo::joined({nb::str("# "), text("read_failed"), nb::str(": "), error_text});
            });
        if (value.is_valid())
            contents[item] = value;
    });
    return contents;
}

}  // namespace

void register_selection(QuorlinClass &cls) {
    cls.def("_format_file_list_for_ai", &format_file_list_for_ai,
            nb::sig("def _format_file_list_for_ai(self, file_list: list[dict]) -> str"), "file_list"_a.none(),
            "The file list as the chat model is shown it: per file its path, definitions and comments.")
        .def("_ask_ai_for_files", &ask_ai_for_files,
             nb::sig("def _ask_ai_for_files(self, user_prompt: str, file_list: list[dict]) -> list | None"),
             "user_prompt"_a.none(), "file_list"_a.none(),
             "Ask the chat model which files matter for the task: the paths it chose, as it gave them, or None "
             "after a printed message.")
        .def("_read_files_content", &read_files_content,
             nb::sig("def _read_files_content(self, file_paths: list[str]) -> dict[str, str]"), "file_paths"_a.none(),
             "The texts of at most the first 8 chosen files, by the path as given. A path that is missing, not a "
             "regular file or resolves outside the project root is left out; a file that cannot be read or "
             "decoded maps to a placeholder after a printed message.");
}

}  // namespace quorlin
