#include "bindings.hpp"

NB_MODULE(_orvo_testing, m) {
    orvo::translate_errors();
    m.doc() = "Test-only (ORVO_TESTING=ON): the native engines' work on a text, for the tests against re.";
    orvo_testing::register_definitions(m);
    orvo_testing::register_comments(m);
    orvo::publish(m);
    orvo::define_all(m);
}
