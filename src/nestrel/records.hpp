// The Python records of extracted comments: {"file": ..., "comments":
// [{"line": ..., "content": ...}, ...]} (see orvo/languages.hpp).
#pragma once

#include "engine.hpp"

#include <orvo/python.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace nestrel {

namespace nb = nanobind;

// Builds the Python records of extracted comments. Equal `line` texts of one
// number share one str; Python's cyclic garbage collector is paused
// meanwhile (the records hold no cycles), as it would otherwise walk the
// growing heap again and again.
class RecordBuilder {
public:
    RecordBuilder() : gc_was_enabled_(PyGC_Disable()) {
        nb::dict entry;
        entry[keys_.line] = nb::none();
        entry[keys_.content] = nb::none();
        entry_template_ = entry;
    }
    ~RecordBuilder() {
        if (gc_was_enabled_)
            PyGC_Enable();
    }
    RecordBuilder(const RecordBuilder &) = delete;
    RecordBuilder &operator=(const RecordBuilder &) = delete;

    nb::dict record(std::string_view file, const Comments &comments) {
        nb::list entries = nb::steal<nb::list>(PyList_New((Py_ssize_t) comments.items.size()));
        if (!entries.is_valid())
            throw nb::python_error();
        for (std::size_t i = 0; i < comments.items.size(); ++i) {
            const Comment &comment = comments.items[i];
            // A copy of a two-member template is cheaper than a dictionary
            // grown member by member.
            nb::object entry = nb::steal(PyDict_Copy(entry_template_.ptr()));
            if (!entry.is_valid())
                throw nb::python_error();
            set_item(entry.ptr(), keys_.line, line_object(comment));
            std::string_view text = comments.text(comment);
            set_item(entry.ptr(), keys_.content, make_text(text));
            PyList_SET_ITEM(entries.ptr(), (Py_ssize_t) i, entry.release().ptr());
        }
        nb::dict record;
        record[keys_.file] = orvo::path_to_str(file);
        record[keys_.comments] = entries;
        return record;
    }

private:
    // A new str from valid UTF-8, built straight into its storage.
    static PyObject *make_text(std::string_view utf8) {
        const auto *bytes = (const unsigned char *) utf8.data();
        std::size_t size = utf8.size(), ascii = 0;
        while (ascii + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, bytes + ascii, 8);
            if (word & 0x8080808080808080ull)
                break;
            ascii += 8;
        }
        while (ascii < size && bytes[ascii] < 0x80)
            ++ascii;
        if (ascii == size) {
            PyObject *text = PyUnicode_New((Py_ssize_t) size, 127);
            if (text)
                std::memcpy(PyUnicode_DATA(text), bytes, size);
            return text;
        }
        auto next = [&](std::size_t &i) { return (Py_UCS4) orvo::next_code_point(utf8, i); };
        std::size_t count = ascii;
        Py_UCS4 widest = 127;
        for (std::size_t i = ascii; i < size; ++count)
            widest = std::max(widest, next(i));
        PyObject *text = PyUnicode_New((Py_ssize_t) count, widest);
        if (!text)
            return nullptr;
        int kind = PyUnicode_KIND(text);
        void *data = PyUnicode_DATA(text);
        for (std::size_t i = 0, at = 0; i < size; ++at)
            PyUnicode_WRITE(kind, data, (Py_ssize_t) at, next(i));
        return text;
    }

    static void set_item(PyObject *dict, nb::handle key, PyObject *value) {
        if (!value)
            throw nb::python_error();
        int failed = PyDict_SetItem(dict, key.ptr(), value);
        Py_DECREF(value);
        if (failed)
            throw nb::python_error();
    }

    // A new reference to the `line` text of a comment.
    PyObject *line_object(const Comment &comment) {
        char text[48];
        std::size_t number = comment.start_line;
        bool single = comment.end_line == number;
        if (single && number < lines_.size() && lines_[number].is_valid())
            return lines_[number].inc_ref().ptr();
        char *end = std::to_chars(text, text + 20, number).ptr;
        if (!single) {
            *end++ = '-';
            end = std::to_chars(end, text + sizeof text, comment.end_line).ptr;
        }
        PyObject *made = PyUnicode_FromStringAndSize(text, end - text);
        if (made && single && number < 65536) {
            if (lines_.size() <= number)
                lines_.resize(number + 1);
            lines_[number] = nb::borrow(made);
        }
        return made;
    }

    struct Keys {
        nb::str file{"file"}, comments{"comments"}, line{"line"}, content{"content"};
    } keys_;
    nb::dict entry_template_;
    std::vector<nb::object> lines_;
    bool gc_was_enabled_;
};

}  // namespace nestrel
