// The Python side of prompt enhancement, registered by module.cpp.
#pragma once

#include "definitions.hpp"

#include <orvo/python.hpp>

#include <new>
#include <stdexcept>

namespace quorlin {

namespace nb = nanobind;

void register_checks(nb::module_ &m);  // the definition finder beside `re`

// Python's `\w` and `\s` for the definition finder; the first call must hold
// the GIL.
const CharClasses &python_char_classes();

// Run engine code: its failures become Python errors, and no C++ text of
// them reaches a user.
template <typename Body>
auto engine_call(Body &&body) -> decltype(body()) {
    try {
        return body();
    } catch (const nb::python_error &) {
        throw;
    } catch (const nb::builtin_exception &) {
        throw;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        throw nb::python_error();
    } catch (const std::exception &) {
        orvo::raise(PyExc_RuntimeError, "prompt enhancement failed inside");
    }
}

}  // namespace quorlin
