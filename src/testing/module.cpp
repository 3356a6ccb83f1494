#include "bindings.hpp"

namespace nb = nanobind;

NB_MODULE(_orvo_testing, m) {
    orvo::translate_errors();
    m.doc() = "Test-only functions that show the native engines' work on a text, so that the tests can hold it "
              "against Python's re. Built with ORVO_TESTING=ON; no shipped module needs it.";
    orvo_testing::register_definitions(m);
    orvo_testing::register_comments(m);
    orvo::publish(m);
    orvo::define_all(m);
}
