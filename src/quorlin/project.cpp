// A Quorlin's view of its project: the root, the matcher of the root's
// .gitignore, the definitions of one file, the file list and the tree.
#include "bindings.hpp"
#include "walk.hpp"

#include <nestrel/engine.hpp>

#include <orvo/files.hpp>
#include <orvo/text.hpp>

#include <cerrno>
#include <mutex>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>

namespace quorlin {

using namespace nb::literals;

namespace {

// One path matched at a time in this process. A matcher on the Hyperscan
// backend has one scratch space and lets other threads run while it scans,
// so a second scan of the same matcher meanwhile would fail ("scratch in
// use"). Recursive, for a matcher of the caller's that walks again.
std::recursive_mutex matching;

// The walk's questions answered with Python, for a walk that runs without
// the GIL (`work`): the ignore matcher's `match_file`, asked with the GIL
// held; the listing of a directory, after which a checkpoint lets Ctrl-C stop
// the walk. Once stopped, every directory lists as empty and every path is
// left out, so that the walk ends at once.
class PythonHooks : public WalkHooks {
public:
    PythonHooks(nb::handle matcher, orvo::NativeWork &work) : work_(work) {
        // A matcher without patterns (or none at all) leaves nothing out.
        if (!matcher.is_none() && orvo::truthy(matcher)) {
            matcher_ = nb::borrow(matcher);
            match_file_ = matcher.attr("match_file");
            rules_ = rule_set_of(matcher);
        }
    }

    bool ignored(std::string_view relative) override {
        if (!match_file_.is_valid())
            return false;
        if (work_.stopped())
            return true;
        // Taken without the GIL: the holder may need the GIL to finish.
        std::lock_guard<std::recursive_mutex> lock(matching);
        return work_.with_gil([&] {
            nb::str path = orvo::path_to_str(relative);
            // A path of the walk is relative and holds no "." step: pathspec's
            // normalization keeps it, and its `match_file` answers what its
            // backend does (which matches any str, UTF-8 or not).
            if (rules_.is_valid() && !relative.starts_with('/') && !relative.starts_with("./"))
                return orvo::truthy(rule_set_match(rules_, path)[0]);
            if (!orvo::is_valid_utf8(relative))
                return orvo::truthy(by_code_points()(path));
            return orvo::truthy(match_file_(path));
        });
    }

    int list(int directory, const std::string &real_root, std::vector<Entry> &out) override {
        if (!work_.stopped()) {
            const int error = list_entries(directory, real_root, out);
            if (!work_.checkpoint())  // Ctrl-C ends a long walk
                return error;
        }
        out.clear();
        return 0;
    }

private:
    // A name that is not UTF-8 (its str holds lone surrogates) cannot be
    // handed to Hyperscan, which scans UTF-8: a `PathSpec` matches it with a
    // copy of its patterns on the default backend, which gives the same answers.
    nb::object by_code_points() {
        if (!by_code_points_.is_valid()) {
            nb::object path_spec = quorlin::self().attr("pathspec").attr("PathSpec");
            const int is_spec = PyObject_IsInstance(matcher_.ptr(), path_spec.ptr());
            if (is_spec < 0)
                throw nb::python_error();
            if (!is_spec)
                by_code_points_ = match_file_;  // a matcher of the caller's own
            else
                by_code_points_ =
                    nb::handle(matcher_.type())(matcher_.attr("patterns"), "backend"_a = "simple").attr("match_file");
        }
        return by_code_points_;
    }

    orvo::NativeWork &work_;
    nb::object matcher_;
    nb::object match_file_;
    nb::object rules_;  // its `_RuleSet`, asked directly
    nb::object by_code_points_;
};

// ----------------------------------------------------------------- the root

// A root held open: a Quorlin's `_root`. It holds no Python object.
struct HeldRoot {
    std::string path;     // the `current_dir` it was opened for
    orvo::Descriptor fd;  // O_PATH
    std::string real;     // its real path when it was opened
    int error = 0;        // why it could not be opened
};

HeldRoot open_root(const std::string &path) {
    HeldRoot held;
    held.path = path;
    nb::gil_scoped_release unlocked;
    if (std::optional<orvo::OpenDirectory> opened = orvo::open_directory(path, O_PATH)) {
        held.fd = std::move(opened->fd);
        held.real = std::move(opened->real);
    } else {
        held.error = errno;
    }
    return held;
}

// ------------------------------------------------------------- construction

void init(Quorlin *quorlin) {
    new (quorlin) Quorlin();
    nb::object self = nb::find(quorlin);
    self.attr("current_dir") = orvo::path_to_str(orvo::working_directory());
    project_root_of(self);  // the root is opened now, once
    self.attr("gitignore_spec") = self.attr("_load_gitignore")();
    self.attr("nestrel") = quorlin::self().attr("Nestrel")();
}

// The matcher of the kept lines. pathspec's default backend tries every
// pattern in turn in Python, so each path costs time in proportion to the
// number of patterns. For more than a few lines, where google-re2 (`re2`)
// loads, the matcher is the module's `_RuleSet`: the same answers, all
// patterns in one pass with a set of re2 expressions that may take at most
// 64 MiB (see rule_set.cpp). Its patterns are `_GitignorePattern`s, pathspec's
// patterns whose Python expressions are compiled only where they are used
// (compiling them all would cost more than the whole set). pathspec takes a backend of the caller's only
// through `_test_backend_factory`. Where `re2` does not load, or the matcher
// cannot be made, the default backend matches; a pattern that pathspec
// rejects fails on both, with the default backend's error.
nb::object compiled_gitignore(const nb::list &lines) {
    // Up to this many lines the default backend's loop costs no more than one
    // pass of the set per path.
    constexpr std::size_t FEW_LINES = 4;
    nb::object from_lines = quorlin::self().attr("pathspec").attr("PathSpec").attr("from_lines");
    bool re2 = false;
    if (nb::len(lines) > FEW_LINES)
        re2 = orvo::guard(
            [] {
                orvo::module("re2");
                return true;
            },
            [](nb::python_error &) { return false; });
    if (re2) {
        nb::object matcher = orvo::guard(
            [&] {
                return from_lines(quorlin::self().attr("_GitignorePattern"), lines, "backend"_a = "re2",
                                  "_test_backend_factory"_a = quorlin::self().attr("_RuleSet"));
            },
            [](nb::python_error &) { return nb::object(); });
        if (matcher.is_valid())
            return matcher;
    }
    return from_lines("gitwildmatch", lines, "backend"_a = "simple");
}

nb::object load_gitignore(nb::handle self) {
    // A root holding a NUL has no .gitignore, as os.path.exists answers.
    const std::string root_path = orvo::arg_path(self.attr("current_dir"), "current_dir");
    if (root_path.find('\0') != std::string::npos)
        return nb::none();
    // The root held open: the rules are those of the project the Quorlin
    // works on, whatever its name has come to mean.
    // An empty root is the working directory, as a join with it says.
    const ProjectRoot root = project_root_of(self);
    const int directory = root_path.empty() ? AT_FDCWD : root.fd;
    const std::string path = orvo::join_path(root_path, ".gitignore");
    struct stat info;
    if (directory == -1 || ::fstatat(directory, ".gitignore", &info, 0) != 0)
        return nb::none();  // nothing there: no matcher, and no message
    return orvo::guard(
        [&]() -> nb::object {
            std::string bytes;
            if (!S_ISREG(info.st_mode))  // not even opened
                orvo::raise_os_error(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, path);
            const orvo::Descriptor file(::openat(directory, ".gitignore", O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
            if (!file || !orvo::read_open_file(file.get(), bytes))
                orvo::raise_os_error(errno, path);
            nb::object text =
                nb::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
            if (!text.is_valid())
                throw nb::python_error();
            nb::list kept;
            for (nb::handle line : text.attr("splitlines")()) {
                const std::string utf8 = orvo::to_utf8(line);
                const std::string_view stripped = orvo::strip(utf8);
                if (!stripped.empty() && stripped.front() != '#')
                    kept.append(line);
            }
            return compiled_gitignore(kept);
        },
        [](nb::python_error &error) -> nb::object {
            orvo::print(text("quorlin_gitignore_load_error", orvo::error_text(error)));
            return nb::none();
        });
}

// ---------------------------------------------------------------- the scan

nb::list definitions_of(nb::handle, nb::handle file_path) {
    const std::optional<std::string> path = encodable_path(file_path, "file_path");
    const CharClasses &classes = python_char_classes();
    std::vector<std::string> names;
    if (path && path->find('\0') == std::string::npos) {
        nb::gil_scoped_release unlocked;
        names = definitions_of_file(*path, classes);
    }
    nb::list list;
    for (const std::string &name : names)
        list.append(orvo::to_str(name));
    return list;
}

// The first three comment texts of a file, each cut to 100 characters;
// nothing when the extraction found none.
std::optional<nb::list> first_comments(nb::handle extracted) {
    if (extracted.is_none() || !orvo::truthy(extracted))
        return std::nullopt;
    std::optional<nb::object> comments = orvo::field(extracted, "comments");
    if (!comments || !orvo::truthy(*comments))
        return std::nullopt;
    nb::object first = nb::steal(PySequence_GetSlice(comments->ptr(), 0, 3));
    if (!first.is_valid())
        throw nb::python_error();
    nb::list cut;
    for (nb::handle comment : first) {
        nb::object content = comment["content"];
        nb::object head = nb::steal(PySequence_GetSlice(content.ptr(), 0, 100));
        if (!head.is_valid())
            throw nb::python_error();
        cut.append(head);
    }
    return cut;
}

// The first three of the comment texts found, each cut to 100 characters.
nb::list first_of(const nestrel::Comments &comments) {
    nb::list cut;
    for (std::size_t k = 0; k < comments.items.size() && k < 3; ++k) {
        nb::str content = orvo::to_str(comments.text(comments.items[k]));
        nb::object head = nb::steal(PySequence_GetSlice(content.ptr(), 0, 100));
        if (!head.is_valid())
            throw nb::python_error();
        cut.append(head);
    }
    return cut;
}

// What the scan reads and extracts of the project's source files itself:
// each file is read once, through the root held open and checked to lie
// below it, for the Nestrel's own comment extraction and for the definition
// finder, where neither has been replaced. An extraction that a caller put in
// place is asked by path.
class SourceReader {
public:
    SourceReader(nb::handle self, nb::handle extractor, const ProjectRoot &root)
        : root_(root), classes_(python_char_classes()),
          own_comments_(
              orvo::is_native_method(extractor, orvo::module("nestrel").attr("Nestrel"), "extract_comments_from_file")),
          own_definitions_(orvo::is_native_method(self, nb::type<Quorlin>(), "_extract_definitions_from_file")) {
        if (own_comments_) {
            ignore_ = orvo::str_items(extractor.attr("gitignore_patterns"), "gitignore_patterns");
            working_directory_ = orvo::working_directory();
        }
    }

    // Read the file at `relative` (its full path `path`) when an extraction
    // of the system's own has rules for it; a file that cannot be read, or
    // that no memory holds, gives nothing. The Nestrel's rules go by path:
    // its ignore list, relative to the working directory, and the language of
    // the suffix.
    void read(const std::string &relative, const std::string &path) {
        path_ = path;
        relative_ = relative;
        read_ = false;
        std::optional<std::string_view> below;
        patterns_ = own_comments_ ? nestrel::patterns_for(nestrel::normalize_path(path_), working_directory_, ignore_,
                                                          below)
                                  : nullptr;
        if (!patterns_ && !(own_definitions_ && suffix_group(file_suffix(relative))))
            return;
        read_ = orvo::guard(
            [&] {
                nb::gil_scoped_release unlocked;
                return orvo::read_regular_file_beneath(root_.fd, relative, root_.real, bytes_);
            },
            [](nb::python_error &) { return false; });
    }

    // The first comments of the file read, as the Nestrel's
    // `extract_comments_from_file(path)` finds them; nothing when it finds none.
    std::optional<nb::list> comments(nb::handle extractor) {
        if (!own_comments_)
            return first_comments(extractor.attr("extract_comments_from_file")(orvo::path_to_str(path_)));
        if (!read_ || !patterns_)
            return std::nullopt;
        nestrel::Comments found;
        const bool extracted = orvo::guard(
            [&] {
                nb::gil_scoped_release unlocked;
                extractor_.extract_bytes(bytes_, *patterns_, found);
                return true;
            },
            [](nb::python_error &) { return false; });
        if (!extracted || found.items.empty())
            return std::nullopt;
        return first_of(found);
    }

    // The definitions of the file read, as `_extract_definitions_from_file(path)` gives them.
    nb::object definitions(nb::handle self) {
        if (!own_definitions_)
            return self.attr("_extract_definitions_from_file")(orvo::path_to_str(path_));
        std::vector<std::string> names;
        if (read_) {
            nb::gil_scoped_release unlocked;
            names = definitions_of_bytes(relative_, bytes_, classes_);
        }
        nb::list list;
        for (const std::string &name : names)
            list.append(orvo::to_str(name));
        return list;
    }

private:
    const ProjectRoot &root_;
    const CharClasses &classes_;
    const bool own_comments_, own_definitions_;
    std::vector<std::string> ignore_;
    std::string working_directory_;
    nestrel::Extractor extractor_;
    std::string path_, relative_, bytes_;
    const nestrel::Language *patterns_ = nullptr;  // the file's comment patterns, where the Nestrel extracts it
    bool read_ = false;
};

nb::list get_file_list(nb::handle self) {
    const ProjectRoot root = project_root_of(self);
    orvo::NativeWork work;
    PythonHooks hooks(self.attr("gitignore_spec"), work);
    const std::vector<ProjectFile> files =
        root.fd < 0 ? std::vector<ProjectFile>()
                    : work.run([&] { return project_files(root.fd, root.real, hooks); });

    nb::object extractor = self.attr("nestrel");
    nb::object supported = extractor.attr("SUPPORTED_EXTENSIONS");
    SourceReader reader(self, extractor, root);
    nb::list file_list;
    for (const auto &[relative, readable] : files) {
        nb::dict entry;
        entry["path"] = orvo::path_to_str(relative);
        const std::string_view suffix = file_suffix(relative);
        int known = 0;
        // Only a regular file below the root is read for its comments and
        // definitions: not a device or a pipe, and nothing a link leads to
        // outside.
        if (readable && !suffix.empty()) {
            nb::object lowered = orvo::path_to_str(suffix).attr("lower")();
            known = PySequence_Contains(supported.ptr(), lowered.ptr());
            if (known < 0)
                throw nb::python_error();
        }
        if (known) {
            const std::string path = orvo::join_path(root.path, relative);
            reader.read(relative, path);
            if (std::optional<nb::list> comments = reader.comments(extractor))
                entry["comments"] = *comments;
            nb::object definitions = reader.definitions(self);
            if (orvo::truthy(definitions))
                entry["definitions"] = definitions;
        }
        file_list.append(entry);
    }
    return file_list;
}

// ---------------------------------------------------------------- the tree

nb::str generate_project_tree(nb::handle self) {
    const ProjectRoot root = project_root_of(self);
    orvo::NativeWork work;
    PythonHooks hooks(self.attr("gitignore_spec"), work);
    const std::size_t slash = root.path.rfind('/');
    const std::string name = slash == std::string::npos ? root.path : root.path.substr(slash + 1);
    if (root.fd < 0) {
        if (root.error == EACCES || root.error == EPERM)
            return orvo::path_to_str(name + "/");  // the root line alone
        orvo::raise_os_error(root.error, root.path);
    }
    return orvo::path_to_str(work.run([&] { return project_tree(root.fd, root.real, root.path, name, hooks); }));
}

}  // namespace

namespace {

// The root that the holder `held` holds.
ProjectRoot root_in(nb::object held) {
    const HeldRoot &opened = nb::cast<const HeldRoot &>(held);
    ProjectRoot root;
    root.path = opened.path;
    root.fd = opened.fd.get();
    root.error = opened.error;
    if (root.fd >= 0)
        root.real = orvo::real_path_of(root.fd).value_or(opened.real);  // where it lies now
    root.holder = std::move(held);
    return root;
}

}  // namespace

ProjectRoot project_root_of(nb::handle self) {
    const std::string path = project_root(self);
    nb::object held = nb::getattr(self, "_root", nb::none());
    if (!nb::isinstance<HeldRoot>(held) || nb::cast<const HeldRoot &>(held).path != path ||
        !nb::cast<const HeldRoot &>(held).fd) {
        held = nb::cast(open_root(path), nb::rv_policy::move);  // a root named anew, or not yet open
        self.attr("_root") = held;
    }
    return root_in(std::move(held));
}

ProjectRoot open_project_root(const std::string &path) {
    return root_in(nb::cast(open_root(path), nb::rv_policy::move));
}

void register_project(QuorlinClass &cls) {
    nb::class_<HeldRoot>(cls, "_Root",
                         "The project root held open: the directory that current_dir named when it was opened.");
    cls.def("__init__", &init, nb::sig("def __init__(self) -> None"),
            "Take the working directory as the project root, hold it open, load the matcher of its .gitignore "
            "and make a Nestrel for the comments.")
        .def("_load_gitignore", &load_gitignore, nb::sig("def _load_gitignore(self) -> pathspec.PathSpec | None"),
             "The matcher of the root's .gitignore (git's wildmatch rules), or None when there is none; None "
             "after a printed message when it cannot be read, decoded or compiled.")
        .def("_extract_definitions_from_file", &definitions_of,
             nb::sig("def _extract_definitions_from_file(self, file_path: str | os.PathLike) -> list[str]"),
             "file_path"_a.none(),
             "The names a source file defines (classes, functions, ...), found by its suffix's patterns: at "
             "most 20, without repeats, in the order found; [] when the file cannot be read.")
        .def("_get_file_list", &get_file_list, nb::sig("def _get_file_list(self) -> list[dict]"),
             "Every file of the project that is not ignored, as {'path', 'comments', 'definitions'} (the last "
             "two for supported source files that have them), sorted by path.")
        .def("_generate_project_tree", &generate_project_tree, nb::sig("def _generate_project_tree(self) -> str"),
             "The drawing of the project's directory tree, directories first, ignored entries left out.");
}

}  // namespace quorlin
