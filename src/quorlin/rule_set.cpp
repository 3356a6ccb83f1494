// The matcher of a long .gitignore: a pathspec backend that matches all the
// patterns in one pass with a set of google-re2 (`re2`), and the patterns it
// is made of, whose Python regular expressions are compiled on first use.
#include "bindings.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quorlin {

using namespace nb::literals;

namespace {

// The memory that the set of one matcher may take, its program and the cache
// of its automaton together (re2's `max_mem`; re2's own default, 8 MiB, does
// not hold the set of 5,000 patterns). 5,000 patterns need about 12 MiB; a set
// that does not fit is never used, and the patterns are then tried one by one.
constexpr std::int64_t SET_MEMORY = std::int64_t(64) << 20;

// Paths matched one pattern at a time before the set is built, where every
// pattern's Python expression has already been compiled. Building the set
// costs about as much per pattern as trying one pattern on 30 to 40 paths, so
// a matcher asked about few paths never pays for a set, and one asked about
// many pays at most that much more than the set alone would have cost. Where
// some expression is not compiled yet (a `_GitignorePattern`), compiling it
// costs several times more than adding it to the set: the set is built for
// the first path.
constexpr std::int64_t PATHS_BEFORE_SET = 32;

// Answers kept, by path. A request asks about every path of the project
// twice, for its file list and for its tree; the second answer is a look-up.
// 65,536 paths take a few MiB; a larger project has its first ones kept.
constexpr Py_ssize_t KEPT_ANSWERS = Py_ssize_t(1) << 16;

// ------------------------------------------------- the patterns of the lines

// A `_GitignorePattern` is pathspec's pattern of a "gitwildmatch" line, its
// expression made by pathspec (`pattern_to_regex`) when the pattern is made
// but compiled by `re` only when its `regex` is first read: a long .gitignore
// is matched by the set, which takes the text, and most expressions are never
// compiled. Its instances keep the text in the slot `_regex_text` and the
// compiled expression in the slot `regex` of pathspec's `RegexPattern`, which
// the class reaches as `_compiled_regex`.

// Whether `pattern` is a `_GitignorePattern` whose expression is not compiled yet.
bool uncompiled(nb::handle pattern, nb::handle lazy_type) {
    const int is_lazy = PyObject_IsInstance(pattern.ptr(), lazy_type.ptr());
    if (is_lazy < 0)
        throw nb::python_error();
    return is_lazy && !nb::hasattr(pattern, "_compiled_regex");
}

nb::object pattern_regex(nb::handle self) {
    if (nb::hasattr(self, "_compiled_regex"))
        return self.attr("_compiled_regex");
    nb::object text = self.attr("_regex_text");
    nb::object regex = text.is_none() ? nb::none() : orvo::module("re").attr("compile")(text);
    self.attr("_compiled_regex") = regex;
    return regex;
}

void pattern_set_regex(nb::handle self, nb::handle regex) { self.attr("_compiled_regex") = regex; }

void pattern_init(nb::handle self, nb::handle pattern, nb::handle include) {
    if ((!PyUnicode_Check(pattern.ptr()) && !PyBytes_Check(pattern.ptr())) || !include.is_none()) {
        // A compiled expression (as `copy` gives it) or None: made as pathspec makes it.
        self.type().attr("_compiled_init")(self, pattern, include);
        return;
    }
    nb::tuple translated = nb::borrow<nb::tuple>(self.type().attr("_translate")(pattern));
    self.attr("include") = translated[1];
    self.attr("pattern") = pattern;
    self.attr("_regex_text") = translated[1].is_none() ? nb::none() : nb::object(translated[0]);
    // pathspec's expression is escaped text and groups of its own but for a
    // class ("[...]"), which it hands to `re` as written and which `re` may
    // refuse ("[z-a]"): such a line is compiled now, to fail (or warn) where
    // pathspec's own pattern does.
    const bool bracket = PyUnicode_Check(pattern.ptr())
                             ? PyUnicode_FindChar(pattern.ptr(), '[', 0, PY_SSIZE_T_MAX, 1) != -1
                             : std::memchr(PyBytes_AS_STRING(pattern.ptr()), '[',
                                           static_cast<std::size_t>(PyBytes_GET_SIZE(pattern.ptr()))) != nullptr;
    if (bracket)
        pattern_regex(self);
}

// ------------------------------------------------------------- the matcher

// A `_RuleSet` keeps all its state in its instance dictionary: `_patterns`
// (the patterns it was given, a list), `_paths` (the paths matched before the
// set was built), `_wait` (how many paths are matched one by one before the
// set is built: none when some expression is not compiled yet), `_set` (None
// until it is built, False when it cannot be, else the `re2.Set`) and
// `_rules` (for each expression of the set, the result of its pattern:
// (include, index)) and `_answers` (the answers given, by path).
struct RuleSet {};

void init(RuleSet *rules, nb::handle patterns) {
    new (rules) RuleSet();
    nb::object self = nb::find(rules);
    nb::object copied = nb::steal(PySequence_List(patterns.ptr()));
    if (!copied.is_valid())
        throw nb::python_error();
    self.attr("_patterns") = copied;
    self.attr("_paths") = nb::int_(0);
    nb::object lazy_type = quorlin::self().attr("_GitignorePattern");
    bool compiled = true;
    for (nb::handle pattern : copied)
        compiled = compiled && !uncompiled(pattern, lazy_type);
    self.attr("_wait") = nb::int_(compiled ? PATHS_BEFORE_SET : 0);
    self.attr("_set") = nb::none();
    self.attr("_rules") = nb::tuple();
    self.attr("_answers") = nb::dict();
}

// The result of the last pattern that matches, trying each in turn from the
// last one: what pathspec's default backend answers.
nb::object one_by_one(nb::handle self, nb::handle file) {
    nb::list patterns = orvo::arg_list(self.attr("_patterns"), "_patterns");
    for (Py_ssize_t i = PyList_GET_SIZE(patterns.ptr()) - 1; i >= 0; --i) {
        if (i >= PyList_GET_SIZE(patterns.ptr()))
            continue;  // the list was shortened meanwhile
        nb::object pattern = nb::borrow(PyList_GET_ITEM(patterns.ptr(), i));
        nb::object include = pattern.attr("include");
        if (!include.is_none() && !pattern.attr("match_file")(file).is_none())
            return nb::make_tuple(include, i);
    }
    return nb::make_tuple(nb::none(), nb::none());
}

// The set of every pattern that includes or excludes, each added in order as
// the regular expression pathspec made of it (its text, where it is not
// compiled yet); False when re2 refuses an expression or the set does not fit
// in its memory.
nb::object built_set(nb::handle self) {
    return orvo::guard(
        [&]() -> nb::object {
            nb::module_ re2 = orvo::module("re2");
            nb::object options = re2.attr("Options")();
            options.attr("max_mem") = nb::int_(SET_MEMORY);
            options.attr("log_errors") = false;
            options.attr("never_capture") = true;
            nb::object set = re2.attr("Set").attr("SearchSet")(options);
            nb::list rules;
            nb::list patterns = orvo::arg_list(self.attr("_patterns"), "_patterns");
            nb::object lazy_type = quorlin::self().attr("_GitignorePattern");
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(patterns.ptr()); ++i) {
                nb::object pattern = nb::borrow(PyList_GET_ITEM(patterns.ptr(), i));
                nb::object include = pattern.attr("include");
                if (include.is_none())
                    continue;
                set.attr("Add")(uncompiled(pattern, lazy_type) ? pattern.attr("_regex_text")
                                                                : pattern.attr("regex").attr("pattern"));
                rules.append(nb::make_tuple(include, i));
            }
            set.attr("Compile")();
            self.attr("_rules") = nb::tuple(rules);
            return set;
        },
        [](nb::python_error &) -> nb::object { return nb::bool_(false); });
}

// The highest expression number in a `re2.Set.Match` answer (None or a list
// of numbers), or -1.
Py_ssize_t highest(nb::handle matches, Py_ssize_t best) {
    if (matches.is_none())
        return best;
    for (nb::handle number : matches)
        best = std::max(best, nb::cast<Py_ssize_t>(number));
    return best;
}

nb::object answer_of(nb::handle self, nb::handle file) {
    nb::object set = self.attr("_set");
    if (set.is_none()) {
        const std::int64_t paths = nb::cast<std::int64_t>(self.attr("_paths")) + 1;
        self.attr("_paths") = nb::int_(paths);
        if (paths > nb::cast<std::int64_t>(self.attr("_wait"))) {
            set = built_set(self);
            self.attr("_set") = set;
        }
    }
    // The set reads UTF-8: a str that has none (it holds a lone surrogate),
    // or anything else, is matched pattern by pattern.
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_Check(file.ptr()) ? PyUnicode_AsUTF8AndSize(file.ptr(), &size) : nullptr;
    if (!utf8)
        PyErr_Clear();
    if (set.is_none() || !orvo::truthy(set) || !utf8)
        return one_by_one(self, file);
    Py_ssize_t best = highest(set.attr("Match")(file), -1);
    // pathspec's expressions end with "$", which in Python's `re` also
    // matches before a line break that ends the text and in re2 only at its
    // end: a name ending in "\n" is matched without it too.
    if (size > 0 && utf8[size - 1] == '\n') {
        nb::object shorter = nb::steal(PyUnicode_Substring(file.ptr(), 0, PyUnicode_GET_LENGTH(file.ptr()) - 1));
        if (!shorter.is_valid())
            throw nb::python_error();
        best = highest(set.attr("Match")(shorter), best);
    }
    if (best < 0)
        return nb::make_tuple(nb::none(), nb::none());
    return self.attr("_rules")[best];
}

nb::object match_file(nb::handle self, nb::handle file) {
    // Only a str itself: a subclass may compare and hash as it likes.
    const bool keyed = PyUnicode_CheckExact(file.ptr());
    nb::dict kept = orvo::arg_dict(self.attr("_answers"), "_answers");
    if (keyed) {
        if (PyObject *found = PyDict_GetItemWithError(kept.ptr(), file.ptr()))
            return nb::borrow(found);
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    nb::object answer = answer_of(self, file);
    if (keyed && PyDict_GET_SIZE(kept.ptr()) < KEPT_ANSWERS && PyDict_SetItem(kept.ptr(), file.ptr(), answer.ptr()) != 0)
        throw nb::python_error();
    return answer;
}

}  // namespace

nb::object rule_set_of(nb::handle matcher) {
    nb::module_ pathspec = orvo::module("pathspec");
    if (!matcher.type().is(pathspec.attr("PathSpec")) || orvo::truthy(pathspec.attr("util").attr("NORMALIZE_PATH_SEPS")))
        return nb::object();
    nb::object backend = nb::getattr(matcher, "_backend", nb::none());
    return nb::isinstance<RuleSet>(backend) ? backend : nb::object();
}

nb::object rule_set_match(nb::handle rules, nb::handle file) { return match_file(rules, file); }

void register_rule_set(nb::module_ &m) {
    nb::module_ pathspec = orvo::module("pathspec");
    nb::object wild = orvo::import_name("pathspec.patterns.gitwildmatch", "GitWildMatchPattern");
    nb::object gitignore_pattern = orvo::import_name("pathspec.gitignore", "GitIgnoreSpecPattern");
    nb::object builtins = orvo::module("builtins");
    nb::dict ns;
    ns["__module__"] = "quorlin";
    ns["__qualname__"] = "_GitignorePattern";
    ns["__doc__"] = "pathspec's pattern of a gitwildmatch line, whose regular expression `re` compiles when "
                    "`regex` is first read.";
    ns["__slots__"] = nb::make_tuple("_regex_text");
    ns["__init__"] = nb::cpp_function(&pattern_init, nb::is_method(), nb::name("__init__"),
                                      nb::sig("def __init__(self, pattern: str | bytes | re.Pattern | None, "
                                              "include: bool | None = None) -> None"),
                                      "pattern"_a.none(), "include"_a.none() = nb::none());
    ns["_translate"] = gitignore_pattern.attr("pattern_to_regex");
    ns["_compiled_init"] = wild.attr("__init__");
    ns["_compiled_regex"] = pathspec.attr("pattern").attr("RegexPattern").attr("__dict__")["regex"];
    ns["regex"] = builtins.attr("property")(
        nb::cpp_function(&pattern_regex, nb::sig("def regex(self) -> re.Pattern | None")),
        nb::cpp_function(&pattern_set_regex, nb::sig("def regex(self, value: re.Pattern | None) -> None"),
                         "self"_a, "value"_a.none()),
        nb::none(), "The compiled regular expression of the pattern, or None for a line that matches nothing.");
    m.attr("_GitignorePattern") = builtins.attr("type")("_GitignorePattern", nb::make_tuple(wild), ns);

    nb::class_<RuleSet>(m, "_RuleSet", nb::dynamic_attr(),
                        "pathspec's matcher of a .gitignore's patterns: all at once with a set of re2 expressions "
                        "(where every pattern is compiled, one by one for the first paths); the answers of "
                        "pathspec's default backend, kept by path.")
        .def("__init__", &init, nb::sig("def __init__(self, patterns: Sequence[pathspec.Pattern]) -> None"),
             "patterns"_a.none())
        .def("match_file", &match_file,
             nb::sig("def match_file(self, file: str) -> tuple[bool | None, int | None]"), "file"_a.none(),
             "Whether the last pattern that matches the normalized path includes it, and its index; "
             "(None, None) when none matches.");
}

}  // namespace quorlin
