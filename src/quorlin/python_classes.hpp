// Python's `\w` and `\s` as the definition finder's table, for the modules
// that run the finder (quorlin, and the test module beside `re`).
#pragma once

#include "engine/classes.hpp"

#include <Python.h>

namespace quorlin {

// The table, made at the first call, which must hold the GIL. `re` tests `\w`
// as "alphanumeric or _" and `\s` as white space, with these very predicates.
inline const CharClasses &python_char_classes() {
    static const CharClasses classes =
        CharClasses::from([](char32_t c) { return c == U'_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)); },
                          [](char32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)) != 0; });
    return classes;
}

}  // namespace quorlin
