// Private functions that show the definition finder's work on a text, so
// that tests can hold it against Python's `re`.
#include "bindings.hpp"

namespace quorlin {

using namespace nb::literals;

namespace {

nb::list str_list(const std::vector<std::string> &names) {
    nb::list list;
    for (const std::string &name : names)
        list.append(orvo::to_str(name));
    return list;
}

std::optional<SuffixGroup> group_of(nb::handle suffix) { return suffix_group(orvo::arg_str(suffix, "suffix")); }

nb::list finds_of(nb::handle suffix, nb::handle pattern, nb::handle text) {
    const std::optional<SuffixGroup> group = group_of(suffix);
    if (!group)
        orvo::raise(PyExc_ValueError, orvo::joined("no definition patterns for the suffix ", nb::repr(suffix)));
    const long long which = orvo::clamp_int64(orvo::arg_int(pattern, "pattern"));
    if (which != 0 && which != 1)
        orvo::raise(PyExc_ValueError, orvo::joined("pattern must be 0 or 1, not ", nb::repr(pattern)));
    const std::string utf8 = orvo::arg_str(text, "text");
    const bool pairs = *group == SuffixGroup::script && which == 1;
    const std::vector<Find> finds =
        engine_call([&] { return quorlin::definition_finds(*group, (int) which, utf8, python_char_classes()); });
    nb::list list;
    for (const Find &find : finds) {
        if (pairs)
            list.append(nb::make_tuple(orvo::to_str(find.first), orvo::to_str(find.second)));
        else
            list.append(orvo::to_str(find.first));
    }
    return list;
}

nb::list definitions_of_text(nb::handle suffix, nb::handle text) {
    const std::optional<SuffixGroup> group = group_of(suffix);
    const std::string utf8 = orvo::arg_str(text, "text");
    if (!group)
        return nb::list();
    return str_list(engine_call([&] { return extract_definitions(*group, utf8, python_char_classes()); }));
}

}  // namespace

void register_checks(nb::module_ &m) {
    m.def("_definition_finds", &finds_of,
          nb::sig("def _definition_finds(suffix: str, pattern: int, text: str) -> list[str] | list[tuple[str, str]]"),
          "suffix"_a.none(), "pattern"_a.none(), "text"_a.none(),
          "The finds of pattern 0 or 1 of the suffix's group in a text, as re.finditer gives them: the "
          "group's text, or the pair of group texts for the pattern with two groups (a group that took no "
          "part counts as ''). Serves to check the finder against Python's re.");
    m.def("_extract_definitions_from_text", &definitions_of_text,
          nb::sig("def _extract_definitions_from_text(suffix: str, text: str) -> list[str]"), "suffix"_a.none(),
          "text"_a.none(),
          "The defined names of a text with the given file suffix: at most 20, without repeats, in the "
          "order found.");
}

}  // namespace quorlin
