// Comment extraction: the language tables, the class Nestrel and the command
// that writes the comment document of the working directory.
#include "engine.hpp"
#include "json_text.hpp"
#include "tables.hpp"

#include <orvo/files.hpp>
#include <orvo/support.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// All state of an instance lives in its dictionary: `gitignore_patterns`.
struct Nestrel {};

[[noreturn]] void raise_os_error(int error, const std::string &path) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw nb::python_error();
}

std::vector<std::string> ignore_list(nb::handle self) {
    nb::object patterns = self.attr("gitignore_patterns");
    std::vector<std::string> list;
    for (nb::handle item : patterns) {
        if (!PyUnicode_Check(item.ptr()))
            orvo::raise(PyExc_TypeError, "gitignore_patterns must hold texts, not " +
                                             orvo::type_name(item));
        list.push_back(orvo::from_str(item));
    }
    return list;
}

// ------------------------------------------------------------ host records

// Builds the host records of extracted comments. Equal `line` texts of one
// number share one host text; the host's cyclic garbage collector is paused
// meanwhile (the records hold no cycles), as it would otherwise walk the
// growing heap again and again.
class RecordBuilder {
public:
    RecordBuilder() : gc_was_enabled_(PyGC_Disable()) {
        nb::dict entry;
        entry[keys_.line] = nb::none();
        entry[keys_.content] = nb::none();
        entry_template_ = entry;
    }
    ~RecordBuilder() {
        if (gc_was_enabled_)
            PyGC_Enable();
    }
    RecordBuilder(const RecordBuilder &) = delete;
    RecordBuilder &operator=(const RecordBuilder &) = delete;

    nb::dict record(std::string_view file, const nestrel::Comments &comments) {
        nb::list entries = nb::steal<nb::list>(PyList_New((Py_ssize_t) comments.items.size()));
        if (!entries.is_valid())
            throw nb::python_error();
        for (std::size_t i = 0; i < comments.items.size(); ++i) {
            const nestrel::Comment &comment = comments.items[i];
            // A copy of a two-member template is cheaper than a dictionary
            // grown member by member.
            nb::object entry = nb::steal(PyDict_Copy(entry_template_.ptr()));
            if (!entry.is_valid())
                throw nb::python_error();
            set_item(entry.ptr(), keys_.line, line_object(comment));
            std::string_view text = comments.text(comment);
            set_item(entry.ptr(), keys_.content, make_text(text));
            PyList_SET_ITEM(entries.ptr(), (Py_ssize_t) i, entry.release().ptr());
        }
        nb::dict record;
        record[keys_.file] = orvo::path_str(file);
        record[keys_.comments] = entries;
        return record;
    }

private:
    // A new host text from valid UTF-8, built straight into its storage.
    static PyObject *make_text(std::string_view utf8) {
        const auto *bytes = (const unsigned char *) utf8.data();
        std::size_t size = utf8.size(), ascii = 0;
        while (ascii + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, bytes + ascii, 8);
            if (word & 0x8080808080808080ull)
                break;
            ascii += 8;
        }
        while (ascii < size && bytes[ascii] < 0x80)
            ++ascii;
        if (ascii == size) {
            PyObject *text = PyUnicode_New((Py_ssize_t) size, 127);
            if (text)
                std::memcpy(PyUnicode_DATA(text), bytes, size);
            return text;
        }
        auto next = [&](std::size_t &i) -> Py_UCS4 {
            unsigned char c = bytes[i];
            if (c < 0x80)
                return ++i, c;
            int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
            Py_UCS4 code = c & (0x3F >> extra);
            for (int k = 1; k <= extra; ++k)
                code = (code << 6) | (bytes[i + k] & 0x3F);
            i += (std::size_t) extra + 1;
            return code;
        };
        std::size_t count = ascii;
        Py_UCS4 widest = 127;
        for (std::size_t i = ascii; i < size; ++count)
            widest = std::max(widest, next(i));
        PyObject *text = PyUnicode_New((Py_ssize_t) count, widest);
        if (!text)
            return nullptr;
        int kind = PyUnicode_KIND(text);
        void *data = PyUnicode_DATA(text);
        for (std::size_t i = 0, at = 0; i < size; ++at)
            PyUnicode_WRITE(kind, data, (Py_ssize_t) at, next(i));
        return text;
    }

    static void set_item(PyObject *dict, nb::handle key, PyObject *value) {
        if (!value)
            throw nb::python_error();
        int failed = PyDict_SetItem(dict, key.ptr(), value);
        Py_DECREF(value);
        if (failed)
            throw nb::python_error();
    }

    // A new reference to the `line` text of a comment.
    PyObject *line_object(const nestrel::Comment &comment) {
        char text[48];
        std::size_t number = comment.start_line;
        bool single = comment.end_line == number;
        if (single && number < lines_.size() && lines_[number].is_valid())
            return lines_[number].inc_ref().ptr();
        char *end = std::to_chars(text, text + 20, number).ptr;
        if (!single) {
            *end++ = '-';
            end = std::to_chars(end, text + sizeof text, comment.end_line).ptr;
        }
        PyObject *made = PyUnicode_FromStringAndSize(text, end - text);
        if (made && single && number < 65536) {
            if (lines_.size() <= number)
                lines_.resize(number + 1);
            lines_[number] = nb::borrow(made);
        }
        return made;
    }

    struct Keys {
        nb::str file{"file"}, comments{"comments"}, line{"line"}, content{"content"};
    } keys_;
    nb::dict entry_template_;
    std::vector<nb::object> lines_;
    bool gc_was_enabled_;
};

// ------------------------------------------------------------------ methods

void init(Nestrel *self) {
    new (self) Nestrel();
    nb::object py = nb::find(self);
    py.attr("gitignore_patterns") = nb::list();
    py.attr("_load_gitignore")();
}

void load_gitignore(nb::handle self) {
    std::string path = orvo::working_directory() + "/.gitignore";
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return;  // no ignore file: nothing is ignored
    std::string bytes;
    if (!orvo::read_regular_file(path, bytes))
        return;  // unreadable: silently nothing
    nb::object patterns = self.attr("gitignore_patterns");
    for (const std::string &pattern : nestrel::parse_ignore_file(bytes))
        patterns.attr("append")(orvo::to_str(pattern));
}

bool is_ignored(nb::handle self, nb::handle file_path) {
    std::string path = nestrel::normalize_path(orvo::arg_path(file_path, "file_path"));
    std::string cwd = orvo::working_directory();
    auto relative = nestrel::relative_to(path, cwd);
    return relative && nestrel::is_ignored(*relative, ignore_list(self));
}

nb::object get_language(nb::handle, nb::handle file_path) {
    std::string path = nestrel::normalize_path(orvo::arg_path(file_path, "file_path"));
    const char *language = nestrel::language_of_path(path);
    return language ? nb::object(nb::str(language)) : nb::none();
}

nb::list extract_from_content(nb::handle, nb::handle content, nb::handle language) {
    std::string text = orvo::arg_str(content, "content");
    std::string name = orvo::arg_str(language, "language");
    nb::list triples;
    const nestrel::Language *patterns = nestrel::patterns_of(name);
    if (!patterns)
        return triples;
    nestrel::Comments comments;
    nestrel::extract(*patterns, text, comments);
    for (const nestrel::Comment &comment : comments.items)
        triples.append(nb::make_tuple(comment.start_line, comment.end_line, orvo::to_str(comments.text(comment))));
    return triples;
}

nb::object extract_from_file(nb::handle self, nb::handle file_path) {
    std::string path = nestrel::normalize_path(orvo::arg_path(file_path, "file_path"));
    std::string cwd = orvo::working_directory();
    auto relative = nestrel::relative_to(path, cwd);
    if (relative && nestrel::is_ignored(*relative, ignore_list(self)))
        return nb::none();
    const char *language = nestrel::language_of_path(path);
    const nestrel::Language *patterns = language ? nestrel::patterns_of(language) : nullptr;
    if (!patterns)
        return nb::none();  // no language, or one without comment patterns
    nestrel::Comments comments;
    try {
        nestrel::Extractor extractor;
        if (!extractor.extract_file(path, *patterns, comments) || comments.items.empty())
            return nb::none();
        return RecordBuilder().record(relative ? *relative : std::string_view(path), comments);
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        return nb::none();
    } catch (const std::exception &) {
        return nb::none();
    }
}

// The comment records of the tree below `directory_path` (the working
// directory when None), found natively.
std::vector<nestrel::FileResult> scan_natively(nb::handle self, nb::handle directory_path) {
    std::string cwd = orvo::working_directory();
    std::string root = directory_path.is_none()
                           ? cwd
                           : nestrel::normalize_path(orvo::arg_path(directory_path, "directory_path"));
    std::vector<std::string> ignore = ignore_list(self);

    // The walk runs without the host's lock; now and then it takes the lock
    // back to let an interrupt (Ctrl-C) end it.
    PyObject *error_type = nullptr, *error_value = nullptr, *error_trace = nullptr;
    auto interrupted = [&] {
        nb::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() == 0)
            return false;
        PyErr_Fetch(&error_type, &error_value, &error_trace);
        return true;
    };
    std::vector<nestrel::FileResult> results;
    {
        nb::gil_scoped_release release;
        results = nestrel::scan(root, cwd, ignore, interrupted);
    }
    if (error_type) {
        PyErr_Restore(error_type, error_value, error_trace);
        throw nb::python_error();
    }
    return results;
}

nb::list host_records(std::vector<nestrel::FileResult> &results) {
    RecordBuilder builder;
    nb::list records;
    for (nestrel::FileResult &result : results) {
        records.append(builder.record(result.file, result.comments));
        result = nestrel::FileResult{};  // hand the memory back as we go
    }
    return records;
}

nb::list scan_directory(nb::handle self, nb::handle directory_path) {
    std::vector<nestrel::FileResult> results = scan_natively(self, directory_path);
    return host_records(results);
}

[[noreturn]] void save_failed(nb::python_error &error) {
    orvo::raise_from(error, PyExc_Exception, "保存JSON文件失败: " + orvo::error_text(error));
}

void save_to_json(nb::handle, nb::handle results, nb::handle output_file) {
    nb::list list = orvo::arg_list(results, "results");
    std::string path = orvo::arg_path(output_file, "output_file");
    try {
        orvo::FileReplacement file(path);
        nestrel::JsonWriter writer([&](std::string_view piece) { file.write(piece); });
        if (writer.value(list)) {
            writer.flush();
        } else {
            // Something only the host's json module can write: its text, whole.
            file.restart();
            nb::object dumps = nb::module_::import_("json").attr("dumps");
            file.write(orvo::from_str(dumps(list, "indent"_a = 2, "ensure_ascii"_a = false)));
        }
        file.commit();
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        save_failed(error);
    }
}

// ------------------------------------------------------------------ command


void make_directory(const std::string &path) {
    if (::mkdir(path.c_str(), 0777) == 0)
        return;
    int error = errno;
    struct stat info;
    if (error == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return;
    raise_os_error(error, path);
}

// The comment document being written by the command: created at the first
// record, so that a tree without comments leaves ".orvo" alone. It is written
// only where it lies inside the working directory: a cloned tree may bring
// ".orvo" or the document as a link to any place.
class DocumentStream {
public:
    explicit DocumentStream(std::string working_directory)
        : base_(std::move(working_directory)), directory_(base_ + "/.orvo") {}

    void add(const nestrel::FileResult &result) {
        if (!file_) {
            make_directory(directory_);
            saving([&] {
                std::string target = orvo::resolved_path(path());
                if (!orvo::lies_below(target, base_))
                    leads_out(target);
                file_.emplace(target);
                writer_.emplace([this](std::string_view piece) { file_->write(piece); });
                writer_->begin_records();
            });
        }
        saving([&] {
            if (!orvo::is_valid_utf8(result.file)) {
                // A name that is no UTF-8 cannot be written: the host's
                // encoder tells why.
                nb::str name = orvo::path_str(result.file);
                PyUnicode_AsUTF8AndSize(name.ptr(), nullptr);
                throw nb::python_error();
            }
            writer_->record(result);
        });
        ++records_;
        entries_ += result.comments.items.size();
    }

    void finish() {
        saving([&] {
            writer_->end_records();
            writer_->flush();
            file_->commit();
        });
    }

    std::string path() const { return directory_ + "/comments.json"; }
    std::size_t records() const { return records_; }
    std::size_t entries() const { return entries_; }

private:
    [[noreturn]] void leads_out(const std::string &target) const {
        nb::str text = nb::str("{!r} leads out of the working directory, to {!r}")
                           .format(orvo::path_str(path()), orvo::path_str(target));
        PyErr_SetObject(PyExc_OSError, text.ptr());
        throw nb::python_error();
    }

    // Errors of writing the document carry the saving message.
    template <typename Step>
    static void saving(Step &&step) {
        try {
            step();
        } catch (nb::python_error &error) {
            if (!orvo::is_exception(error))
                throw;
            save_failed(error);
        }
    }

    std::string base_, directory_;
    std::optional<orvo::FileReplacement> file_;
    std::optional<nestrel::JsonWriter> writer_;
    std::size_t records_ = 0, entries_ = 0;
};

// The extraction command. Each record goes into the document as soon as its
// file is read: the host form of the records would only be written and
// dropped, and memory stays bounded by the largest file.
void extract_comments() {
    try {
        nb::object extractor = nb::module_::import_("nestrel").attr("Nestrel")();
        orvo::print("正在扫描目录并提取注释...");
        std::string cwd = orvo::working_directory();
        std::vector<std::string> ignore = ignore_list(extractor);
        DocumentStream document(cwd);
        auto interrupted = [] {
            if (PyErr_CheckSignals() != 0)
                throw nb::python_error();
            return false;
        };
        nestrel::scan(cwd, cwd, ignore, interrupted,
                      [&](const nestrel::FileResult &result) { document.add(result); });
        if (document.records() == 0) {
            orvo::print("未找到任何包含注释的编程语言文件。");
            return;
        }
        document.finish();
        orvo::print("注释提取完成！");
        orvo::print("扫描的文件数量: " + std::to_string(document.records()));
        orvo::print("提取的注释总数: " + std::to_string(document.entries()));
        orvo::print(nb::str("结果已保存到: {}").format(orvo::path_str(document.path())));
    } catch (nb::python_error &error) {
        if (!orvo::is_exception(error))
            throw;
        orvo::print("注释提取过程中发生错误: " + orvo::error_text(error));
    }
}

// ------------------------------------------------------------------- checks

// The matches of one comment pattern in a text, as the native matcher finds
// them: (start, end, group 1), positions counted in characters.
nb::list pattern_matches(nb::handle pattern, nb::handle text, bool dotall) {
    std::string source = orvo::arg_str(pattern, "pattern");
    std::string subject = orvo::arg_str(text, "text");
    nestrel::Pattern compiled;
    try {
        compiled = nestrel::Pattern::compile(source);
    } catch (const std::invalid_argument &error) {
        orvo::raise(PyExc_ValueError, error.what());
    }
    nb::list matches;
    std::string_view view = subject;
    std::size_t counted_bytes = 0, counted_chars = 0;
    auto chars_at = [&](std::size_t byte) {
        counted_chars += orvo::code_points(view.substr(counted_bytes, byte - counted_bytes));
        counted_bytes = byte;
        return counted_chars;
    };
    nestrel::for_each_match(compiled, view, dotall, [&](const nestrel::Match &m) {
        std::size_t start = chars_at(m.start);
        std::size_t end = start + orvo::code_points(view.substr(m.start, m.end - m.start));
        matches.append(nb::make_tuple(start, end, orvo::to_str(view.substr(m.group_start, m.group_end - m.group_start))));
    });
    return matches;
}

nb::dict supported_extensions() {
    nb::dict table;
    for (const nestrel::SuffixRow &row : nestrel::SUFFIX_ROWS)
        if (!table.contains(row.suffix))
            table[row.suffix] = row.language;
    return table;
}

nb::list pattern_list(const char *const (&texts)[2]) {
    nb::list list;
    for (const char *text : texts)
        if (text)
            list.append(text);
    return list;
}

nb::dict comment_patterns() {
    nb::dict table;
    for (const nestrel::PatternRow &row : nestrel::PATTERN_ROWS) {
        nb::dict set;
        if (row.has_single)
            set["single_line"] = row.single_is_text ? nb::object(nb::str(row.single[0])) : pattern_list(row.single);
        if (row.has_multi)
            set["multiline"] = pattern_list(row.multi);
        table[row.language] = set;
    }
    return table;
}

}  // namespace

NB_MODULE(nestrel, m) {
    m.doc() = "Comment extraction: finds the comments of a project's source files by language and writes "
              "them as the comment document .orvo/comments.json.";

    auto cls = nb::class_<Nestrel>(m, "Nestrel", nb::dynamic_attr(),
                                   "Comment extractor: the language tables, the ignore list of the working "
                                   "directory, extraction per file and over a whole tree, and JSON output.");
    cls.attr("SUPPORTED_EXTENSIONS") = supported_extensions();
    cls.attr("COMMENT_PATTERNS") = comment_patterns();
    cls.def("__init__", &init, "Build an extractor and read the ignore list of the working directory.")
        .def("_load_gitignore", &load_gitignore,
             "Append the lines of .gitignore in the working directory to gitignore_patterns: stripped, "
             "without empty lines and lines that begin with '#'.")
        .def("_is_ignored", &is_ignored, "file_path"_a.none(),
             "Whether the ignore list names a path below the working directory.")
        .def("_get_language", &get_language, "file_path"_a.none(),
             "The language of a path by its lower-cased suffix, or None.")
        .def("_extract_comments_from_content", &extract_from_content, "content"_a.none(), "language"_a.none(),
             "The comments of a text as (start line, end line, text) triples: single-line comments first, "
             "then block comments.")
        .def("extract_comments_from_file", &extract_from_file, "file_path"_a.none(),
             "The comments of one file as {'file': ..., 'comments': [{'line': ..., 'content': ...}]}, or None "
             "when it is ignored, has no language, cannot be read or has no comments.")
        .def("scan_directory", &scan_directory, "directory_path"_a = nb::none(),
             "The comment records of every file below a directory (default: the working directory), in "
             "walk order.")
        .def("save_to_json", &save_to_json, "results"_a.none(), "output_file"_a = "comments.json",
             "Write results as JSON (indent 2, non-ASCII characters unescaped). The file is replaced whole "
             "or not at all.");

    m.def("extract_comments", &extract_comments,
          "Extract the comments of the working directory's tree into .orvo/comments.json and print a summary.");
    m.def("main", &extract_comments, "Run the comment extraction command once.");
    m.def("_pattern_matches", &pattern_matches, "pattern"_a.none(), "text"_a.none(), "dotall"_a = false,
          "The matches of one comment pattern as the native matcher finds them: (start, end, group 1), "
          "positions in characters. Serves to check the matcher against the host's re.");
}
