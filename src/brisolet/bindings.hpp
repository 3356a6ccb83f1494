// The Python side of the loading animation, registered by module.cpp.
#pragma once

#include <orvo/python.hpp>

namespace brisolet {

namespace nb = nanobind;

// The class LoadingAnimation and the exit hook that stops running animations.
void register_animation(nb::module_ &m);
// loading_context, show_loading, the style factories and the demonstration.
void register_front_ends(nb::module_ &m);

// The method `_animate`: the worker's body, on the plain C API.
extern PyMethodDef ANIMATE;

// The message argument: a str, or the default text when it is None.
nb::object message_or_default(nb::handle message);

}  // namespace brisolet
