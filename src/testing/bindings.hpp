// The test-only module _orvo_testing, registered by module.cpp.
#pragma once

#include <orvo/python.hpp>

namespace orvo_testing {

namespace nb = nanobind;

void register_definitions(nb::module_ &m);  // the definition finder beside `re`
void register_comments(nb::module_ &m);     // the comment matcher beside `re`

}  // namespace orvo_testing
