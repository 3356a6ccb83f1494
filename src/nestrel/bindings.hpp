// The Python side of comment extraction, registered by module.cpp.
#pragma once

#include <orvo/python.hpp>

#include <string>
#include <vector>

namespace nestrel {

namespace nb = nanobind;

// The class Nestrel.
void register_extractor(nb::module_ &m);
// The command extract_comments (also the stand-alone entry main).
void register_command(nb::module_ &m);

// An extractor's `gitignore_patterns`, which Python code may have changed.
std::vector<std::string> ignore_list(nb::handle self);

// Raise the error of a failed save: "保存JSON文件失败: " and the cause.
[[noreturn]] void save_failed(nb::python_error &error);

}  // namespace nestrel
