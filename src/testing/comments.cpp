// The comment matcher of nestrel's engine on one pattern and text.
#include "bindings.hpp"

#include "nestrel/matcher.hpp"

#include <orvo/text.hpp>

#include <stdexcept>

namespace orvo_testing {

using namespace nb::literals;

namespace {

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
        matches.append(
            nb::make_tuple(start, end, orvo::to_str(view.substr(m.group_start, m.group_end - m.group_start))));
    });
    return matches;
}

}  // namespace

void register_comments(nb::module_ &m) {
    m.def("comment_pattern_matches", &pattern_matches,
          nb::sig("def comment_pattern_matches(pattern: str, text: str, dotall: bool = False) -> list[tuple[int, "
                  "int, str]]"),
          "pattern"_a.none(), "text"_a.none(), "dotall"_a = false,
          "The matches of one comment pattern as nestrel's native matcher finds them: (start, end, group 1), "
          "positions in characters.");
}

}  // namespace orvo_testing
