// The Python side of comment injection, registered by module.cpp.
#pragma once

#include "lines.hpp"

#include <orvo/python.hpp>

#include <map>
#include <string>
#include <string_view>
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

// The readers of the languages, loaded at first use and kept for one call:
// each reports the spans of a file's content (see `Spans`).
class Readers {
public:
    // The spans of `content` for a file of `language` (and `suffix`, where
    // the language has a reader per suffix), or nothing where no reader of
    // it can be had here.
    Spans read(std::string_view language, std::string_view suffix, std::string_view content);

private:
    struct Reader {
        nb::object parser, cursor;
        bool whole = false;  // trusted only for a file it reads without an error
        bool usable() const;
    };
    const Reader &reader(std::string_view language, std::string_view suffix);
    std::map<std::string, Reader> readers_;
};

template <typename... Args>
nb::object text(const char *key, Args &&...values) {
    return lookup(nb::str(key), nb::make_tuple(std::forward<Args>(values)...), nb::dict());
}

}  // namespace osmeran
