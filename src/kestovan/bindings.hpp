// The Python side of the quick setup, registered by module.cpp.
#pragma once

#include <orvo/python.hpp>

namespace kestovan {

namespace nb = nanobind;

// main: the banner, the dependency check and the configuration wizard.
void register_setup(nb::module_ &m);

}  // namespace kestovan
