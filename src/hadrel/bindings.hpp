// The Python side of key scrambling, registered by module.cpp.
#pragma once

#include <orvo/python.hpp>

namespace hadrel {

namespace nb = nanobind;

// OBFUSCATION_MAP, DEOBFUSCATION_MAP, obfuscate_key and deobfuscate_key.
void register_scrambling(nb::module_ &m);

}  // namespace hadrel
