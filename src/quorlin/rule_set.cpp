// The matcher of a long .gitignore: a pathspec backend that tries the
// patterns one by one for the first paths and matches all of them in one
// pass with a set of google-re2 (`re2`) once enough paths have been asked.
#include "bindings.hpp"

#include <algorithm>
#include <cstdint>

namespace quorlin {

using namespace nb::literals;

namespace {

// The memory that the set of one matcher may take, its program and the cache
// of its automaton together (re2's `max_mem`; re2's own default, 8 MiB, does
// not hold the set of 5,000 patterns). 5,000 patterns need about 12 MiB; a set
// that does not fit is never used, and the patterns are then tried one by one.
constexpr std::int64_t SET_MEMORY = std::int64_t(64) << 20;

// Paths matched one pattern at a time before the set is built. Building it
// costs about as much per pattern as trying one pattern on 30 to 40 paths, so
// a matcher asked about few paths never pays for a set, and one asked about
// many pays at most that much more than the set alone would have cost.
constexpr std::int64_t PATHS_BEFORE_SET = 32;

// A `_RuleSet` keeps all its state in its instance dictionary: `_patterns`
// (the patterns it was given, a list), `_paths` (the paths matched before the
// set was built), `_set` (None until it is built, False when it cannot be,
// else the `re2.Set`) and `_rules` (for each expression of the set, the
// result of its pattern: (include, index)).
struct RuleSet {};

void init(RuleSet *rules, nb::handle patterns) {
    new (rules) RuleSet();
    nb::object self = nb::find(rules);
    nb::object copied = nb::steal(PySequence_List(patterns.ptr()));
    if (!copied.is_valid())
        throw nb::python_error();
    self.attr("_patterns") = copied;
    self.attr("_paths") = nb::int_(0);
    self.attr("_set") = nb::none();
    self.attr("_rules") = nb::tuple();
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
// the regular expression pathspec made of it; False when re2 refuses an
// expression or the set does not fit in its memory.
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
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(patterns.ptr()); ++i) {
                nb::object pattern = nb::borrow(PyList_GET_ITEM(patterns.ptr(), i));
                nb::object include = pattern.attr("include");
                if (include.is_none())
                    continue;
                set.attr("Add")(pattern.attr("regex").attr("pattern"));
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

nb::object match_file(nb::handle self, nb::handle file) {
    nb::object set = self.attr("_set");
    if (set.is_none()) {
        const std::int64_t paths = nb::cast<std::int64_t>(self.attr("_paths")) + 1;
        self.attr("_paths") = nb::int_(paths);
        if (paths > PATHS_BEFORE_SET) {
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

}  // namespace

void register_rule_set(nb::module_ &m) {
    nb::class_<RuleSet>(m, "_RuleSet", nb::dynamic_attr(),
                        "pathspec's matcher of a .gitignore's patterns: one by one for the first paths, then all "
                        "at once with a set of re2 expressions; the answers of pathspec's default backend.")
        .def("__init__", &init, nb::sig("def __init__(self, patterns: Sequence[pathspec.Pattern]) -> None"),
             "patterns"_a.none())
        .def("match_file", &match_file,
             nb::sig("def match_file(self, file: str) -> tuple[bool | None, int | None]"), "file"_a.none(),
             "Whether the last pattern that matches the normalized path includes it, and its index; "
             "(None, None) when none matches.");
}

}  // namespace quorlin
