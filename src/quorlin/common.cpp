// Python's character classes for the definition finder.
#include "bindings.hpp"

namespace quorlin {

const CharClasses &python_char_classes() {
    // `re` tests `\w` as "alphanumeric or _" and `\s` as white space, with
    // these very predicates.
    static const CharClasses classes = CharClasses::from(
        [](char32_t c) { return c == U'_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)); },
        [](char32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)) != 0; });
    return classes;
}

}  // namespace quorlin
