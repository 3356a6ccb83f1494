#include "json_text.hpp"

#include <cmath>
#include <cstring>

namespace nb = nanobind;

namespace nestrel {

namespace {

constexpr int MAX_DEPTH = 400;

struct Escapes {
    // 0: written as it stands; otherwise the character after the backslash,
    // or 'u' for the \u00XX form.
    char table[256] = {};
    Escapes() {
        for (int c = 0; c < 0x20; ++c)
            table[c] = 'u';
        table[(unsigned char) '"'] = '"';
        table[(unsigned char) '\\'] = '\\';
        table[(unsigned char) '\b'] = 'b';
        table[(unsigned char) '\f'] = 'f';
        table[(unsigned char) '\n'] = 'n';
        table[(unsigned char) '\r'] = 'r';
        table[(unsigned char) '\t'] = 't';
    }
};

const Escapes escapes;

void write_string(nb::handle text, std::string &out) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        throw nb::python_error();
    out.push_back('"');
    const char *run = data;
    const char *end = data + size;
    for (const char *p = data; p < end; ++p) {
        char kind = escapes.table[(unsigned char) *p];
        if (!kind)
            continue;
        out.append(run, (std::size_t) (p - run));
        out.push_back('\\');
        if (kind == 'u') {
            static const char hex[] = "0123456789abcdef";
            unsigned char c = (unsigned char) *p;
            out.append("u00");
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        } else {
            out.push_back(kind);
        }
        run = p + 1;
    }
    out.append(run, (std::size_t) (end - run));
    out.push_back('"');
}

void newline(std::string &out, int depth) {
    out.push_back('\n');
    out.append((std::size_t) depth * 2, ' ');
}

bool write_value(nb::handle value, std::string &out, int depth) {
    PyObject *object = value.ptr();
    if (PyUnicode_CheckExact(object)) {
        write_string(value, out);
        return true;
    }
    if (object == Py_None) {
        out.append("null");
        return true;
    }
    if (object == Py_True) {
        out.append("true");
        return true;
    }
    if (object == Py_False) {
        out.append("false");
        return true;
    }
    if (PyLong_CheckExact(object)) {
        nb::str digits(value);
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(digits.ptr(), &size);
        if (!data)
            throw nb::python_error();
        out.append(data, (std::size_t) size);
        return true;
    }
    if (PyFloat_CheckExact(object)) {
        double number = PyFloat_AS_DOUBLE(object);
        if (std::isnan(number)) {
            out.append("NaN");
        } else if (std::isinf(number)) {
            out.append(number > 0 ? "Infinity" : "-Infinity");
        } else {
            char *text = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!text)
                throw nb::python_error();
            out.append(text);
            PyMem_Free(text);
        }
        return true;
    }
    if (depth >= MAX_DEPTH)
        return false;
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        bool is_list = PyList_CheckExact(object);
        Py_ssize_t size = is_list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object);
        if (size == 0) {
            out.append("[]");
            return true;
        }
        out.push_back('[');
        // Only exact built-in types are written here, so no code of the
        // caller runs meanwhile and borrowed items stay valid.
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i)
                out.push_back(',');
            newline(out, depth + 1);
            PyObject *item = is_list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i);
            if (!write_value(item, out, depth + 1))
                return false;
        }
        newline(out, depth);
        out.push_back(']');
        return true;
    }
    if (PyDict_CheckExact(object)) {
        if (PyDict_GET_SIZE(object) == 0) {
            out.append("{}");
            return true;
        }
        out.push_back('{');
        Py_ssize_t position = 0;
        PyObject *key, *item;
        bool first = true;
        while (PyDict_Next(object, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key))
                return false;
            if (!first)
                out.push_back(',');
            first = false;
            newline(out, depth + 1);
            write_string(key, out);
            out.append(": ");
            if (!write_value(item, out, depth + 1))
                return false;
        }
        newline(out, depth);
        out.push_back('}');
        return true;
    }
    return false;
}

}  // namespace

bool write_json(nb::handle value, std::string &out) { return write_value(value, out, 0); }

}  // namespace nestrel
