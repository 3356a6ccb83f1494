// The class Nestrel: the language tables, the ignore list of the working
// directory, extraction per file and over a tree, and JSON output.
#include "bindings.hpp"
#include "engine.hpp"
#include "json_text.hpp"
#include "records.hpp"

#include <orvo/files.hpp>
#include <orvo/languages.hpp>
#include <orvo/replace.hpp>

#include <stdexcept>

#include <sys/stat.h>

namespace nestrel {

using namespace nb::literals;

namespace {

// All state of an instance lives in its dictionary: `gitignore_patterns`.
struct Nestrel {};

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
    // Unreadable, or more than memory holds: silently nothing.
    if (!orvo::guard([&] { return orvo::read_regular_file(path, bytes); }, [](nb::python_error &) { return false; }))
        return;
    nb::object patterns = self.attr("gitignore_patterns");
    for (const std::string &pattern : parse_ignore_file(bytes))
        patterns.attr("append")(orvo::to_str(pattern));
}

bool is_ignored_path(nb::handle self, nb::handle file_path) {
    std::string path = normalize_path(orvo::arg_path(file_path, "file_path"));
    auto relative = relative_to(path, orvo::working_directory());
    return relative && is_ignored(*relative, ignore_list(self));
}

nb::object get_language(nb::handle, nb::handle file_path) {
    const char *language = language_of_path(normalize_path(orvo::arg_path(file_path, "file_path")));
    return language ? nb::object(nb::str(language)) : nb::none();
}

nb::list extract_from_content(nb::handle, nb::handle content, nb::handle language) {
    std::string text = orvo::arg_str(content, "content");
    std::string name = orvo::arg_str(language, "language");
    nb::list triples;
    const Language *patterns = patterns_of(name);
    if (!patterns)
        return triples;
    Comments comments;
    extract(*patterns, text, comments);
    for (const Comment &comment : comments.items)
        triples.append(nb::make_tuple(comment.start_line, comment.end_line, orvo::to_str(comments.text(comment))));
    return triples;
}

nb::object extract_from_file(nb::handle self, nb::handle file_path) {
    std::string path = normalize_path(orvo::arg_path(file_path, "file_path"));
    std::string cwd = orvo::working_directory();
    std::optional<std::string_view> relative;
    const Language *patterns = patterns_for(path, cwd, ignore_list(self), relative);
    if (!patterns)
        return nb::none();  // ignored, no language, or one without comment patterns
    return orvo::guard(
        [&]() -> nb::object {
            Comments comments;
            Extractor extractor;
            if (!extractor.extract_file(path, *patterns, comments) || comments.items.empty())
                return nb::none();
            return RecordBuilder().record(relative ? *relative : std::string_view(path), comments);
        },
        [](nb::python_error &) { return nb::none(); });
}

// The comment records of the tree below `directory_path` (the working
// directory when None), found natively.
std::vector<FileResult> scan_natively(nb::handle self, nb::handle directory_path) {
    std::string cwd = orvo::working_directory();
    std::string root =
        directory_path.is_none() ? cwd : normalize_path(orvo::arg_path(directory_path, "directory_path"));
    std::vector<std::string> ignore = ignore_list(self);

    orvo::NativeWork work;
    return work.run([&] { return scan(root, cwd, ignore, [&] { return work.checkpoint(); }); });
}

nb::list scan_directory(nb::handle self, nb::handle directory_path) {
    std::vector<FileResult> results = scan_natively(self, directory_path);
    RecordBuilder builder;
    nb::list records;
    for (FileResult &result : results) {
        records.append(builder.record(result.file, result.comments));
        result = FileResult{};  // hand the memory back as we go
    }
    return records;
}

void save_to_json(nb::handle, nb::handle results, nb::handle output_file) {
    nb::list list = orvo::arg_list(results, "results");
    std::string path = orvo::arg_path(output_file, "output_file");
    orvo::guard(
        [&] {
            orvo::FileReplacement file(path);
            JsonWriter writer([&](std::string_view piece) { file.write(piece); });
            if (writer.value(list)) {
                writer.flush();
            } else {
                // Something only Python's json module can write: its text, whole.
                file.restart();
                nb::object dumps = orvo::module("json").attr("dumps");
                file.write(orvo::to_utf8_strict(dumps(list, "indent"_a = 2, "ensure_ascii"_a = false)));
            }
            file.commit();
        },
        [](nb::python_error &error) { save_failed(error); });
}

nb::dict supported_extensions() {
    nb::dict table;
    for (const orvo::SuffixRow &row : orvo::SUFFIX_ROWS)
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
    for (const orvo::LanguageRow &row : orvo::LANGUAGE_ROWS) {
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

std::vector<std::string> ignore_list(nb::handle self) {
    return orvo::str_items(self.attr("gitignore_patterns"), "gitignore_patterns");
}

void save_failed(nb::python_error &error) {
    orvo::raise_from(error, PyExc_Exception, orvo::joined("保存JSON文件失败: ", orvo::error_text(error)));
}

void register_extractor(nb::module_ &m) {
    auto cls = nb::class_<Nestrel>(m, "Nestrel", nb::dynamic_attr(),
                                   "Comment extractor: the language tables, the ignore list of the working "
                                   "directory, extraction per file and over a whole tree, and JSON output.");
    cls.attr("SUPPORTED_EXTENSIONS") = supported_extensions();
    cls.attr("COMMENT_PATTERNS") = comment_patterns();
    cls.def("__init__", &init, nb::sig("def __init__(self) -> None"),
            "Build an extractor and read the ignore list of the working directory.")
        .def("_load_gitignore", &load_gitignore, nb::sig("def _load_gitignore(self) -> None"),
             "Append the lines of .gitignore in the working directory to gitignore_patterns: stripped, "
             "without empty lines and lines that begin with '#'.")
        .def("_is_ignored", &is_ignored_path, nb::sig("def _is_ignored(self, file_path: str | os.PathLike) -> bool"),
             "file_path"_a.none(), "Whether the ignore list names a path below the working directory.")
        .def("_get_language", &get_language,
             nb::sig("def _get_language(self, file_path: str | os.PathLike) -> str | None"), "file_path"_a.none(),
             "The language of a path by its lower-cased suffix, or None.")
        .def("_extract_comments_from_content", &extract_from_content,
             nb::sig("def _extract_comments_from_content(self, content: str, language: str) -> list[tuple[int, "
                     "int, str]]"),
             "content"_a.none(), "language"_a.none(),
             "The comments of a text as (start line, end line, text) triples: single-line comments first, "
             "then block comments.")
        .def("extract_comments_from_file", &extract_from_file,
             nb::sig("def extract_comments_from_file(self, file_path: str | os.PathLike) -> dict | None"),
             "file_path"_a.none(),
             "The comments of one file as {'file': ..., 'comments': [{'line': ..., 'content': ...}]}, or None "
             "when it is ignored, has no language, cannot be read or has no comments.")
        .def("scan_directory", &scan_directory,
             nb::sig("def scan_directory(self, directory_path: str | os.PathLike | None = None) -> list[dict]"),
             "directory_path"_a = nb::none(),
             "The comment records of every file below a directory (default: the working directory), in "
             "walk order.")
        .def("save_to_json", &save_to_json,
             nb::sig("def save_to_json(self, results: list, output_file: str | os.PathLike = 'comments.json') "
                     "-> None"),
             "results"_a.none(), "output_file"_a = "comments.json",
             "Write results as JSON (indent 2, non-ASCII characters unescaped). The file is replaced whole "
             "or not at all.");

}

}  // namespace nestrel
