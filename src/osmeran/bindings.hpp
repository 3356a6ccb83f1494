// The Python side of comment injection, registered by module.cpp.
#pragma once

#include <orvo/python.hpp>

#include <utility>

namespace osmeran {

namespace nb = nanobind;

// The class Osmeran.
void register_injector(nb::module_ &m);
// The message table `translations` and its lookup `t`.
void register_messages(nb::module_ &m);
// The confirmation and the command inject_comments_from_files (also main).
void register_command(nb::module_ &m);

// An element of the comment document as a dict; a `TypeError` otherwise.
nb::dict element_of(nb::handle element);
// The `comments` of an element as a list; an absent, empty str or empty dict
// holds no entries; a `TypeError` for anything else.
nb::list entries_of(nb::handle element);

// The text of `key` in the module's own table, filled from `args` and
// `kwargs` by str.format rules.
nb::object lookup(nb::handle key, nb::handle args, nb::handle kwargs);

template <typename... Args>
nb::object text(const char *key, Args &&...values) {
    return lookup(nb::str(key), nb::make_tuple(std::forward<Args>(values)...), nb::dict());
}

}  // namespace osmeran
