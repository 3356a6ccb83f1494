// The front ends of the loading animation: a `with` block, a decorator, one
// factory per style, and the demonstration.
#include "bindings.hpp"

#include <utility>

namespace brisolet {

using namespace nb::literals;

namespace {

nb::object loading_context(nb::handle message, nb::handle style) {
    nb::object text = message_or_default(message);
    orvo::arg_str(style, "style");
    return orvo::module("brisolet").attr("LoadingAnimation")(text, style);
}

// A callable that runs `func` under a fresh animation; its state lives in its
// instance dictionary: `func`, `message`, `style`.
struct Wrapper {};
// The decorator that `show_loading` returns: `message` and `style`.
struct Decorator {};

nb::object call_wrapped(nb::handle self, nb::args args, nb::kwargs kwargs) {
    nb::object animation = orvo::module("brisolet").attr("LoadingAnimation")(self.attr("message"), self.attr("style"));
    animation.attr("start")();
    nb::object result;
    try {
        result = self.attr("func")(*args, **kwargs);
    } catch (...) {
        animation.attr("stop")();
        throw;
    }
    animation.attr("stop")();
    return result;
}

// Functions bind to instances as methods; so does a decorated function.
nb::object bind(nb::handle self, nb::handle instance, nb::handle) {
    if (instance.is_none())
        return nb::borrow(self);
    return orvo::module("types").attr("MethodType")(self, instance);
}

nb::object decorate(nb::handle self, nb::handle func) {
    nb::object wrapper = orvo::module("brisolet").attr("_Wrapper")();
    wrapper.attr("__name__") = "wrapper";
    wrapper.attr("__qualname__") = "show_loading.<locals>.decorator.<locals>.wrapper";
    wrapper.attr("func") = func;
    wrapper.attr("message") = self.attr("message");
    wrapper.attr("style") = self.attr("style");
    return wrapper;
}

nb::object show_loading(nb::handle message, nb::handle style) {
    nb::object text = message_or_default(message);
    orvo::arg_str(style, "style");
    nb::object decorator = orvo::module("brisolet").attr("_Decorator")();
    decorator.attr("__name__") = "decorator";
    decorator.attr("__qualname__") = "show_loading.<locals>.decorator";
    decorator.attr("message") = text;
    decorator.attr("style") = style;
    return decorator;
}

nb::object factory(nb::handle message, const char *style) {
    return orvo::module("brisolet").attr("LoadingAnimation")(message_or_default(message), style);
}

// Demonstration: four styles, two seconds each.
void main_entry() {
    orvo::set_language_from_env();
    orvo::print(orvo::t("test_loading_styles"));
    nb::object sleep = orvo::module("time").attr("sleep");
    for (auto [key, style] : {std::pair{"connect_to_server", "dots"},
                              {"sending_request", "circle"},
                              {"processing_response", "bar"},
                              {"parsing_data", "arrow"}}) {
        orvo::with_block(loading_context(orvo::t(key), nb::str(style)), [&] { return sleep(2); });
    }
    orvo::print(orvo::t("all_tests_complete"));
}

}  // namespace

void register_front_ends(nb::module_ &m) {
    nb::class_<Wrapper>(m, "_Wrapper", nb::dynamic_attr(), "A function run under a loading animation.")
        .def(nb::init<>(), nb::sig("def __init__(self) -> None"))
        .def("__call__", &call_wrapped, nb::sig("def __call__(self, *args, **kwargs)"), "args"_a, "kwargs"_a,
             "Call `func` with the arguments while an animation of `message` and `style` runs; give its result.")
        .def("__get__", &bind, nb::sig("def __get__(self, instance, owner=None)"), "instance"_a.none(),
             "owner"_a.none() = nb::none(), "The wrapper bound to `instance` as a method, or itself without one.");
    nb::class_<Decorator>(m, "_Decorator", nb::dynamic_attr(), "Wraps a function in a loading animation.")
        .def(nb::init<>(), nb::sig("def __init__(self) -> None"))
        .def("__call__", &decorate, nb::sig("def __call__(self, func: Callable) -> Callable"), "func"_a.none(),
             "Wrap `func`: each call runs it under an animation of the decorator's `message` and `style`.");

    m.def("loading_context", &loading_context,
          nb::sig("def loading_context(message: str | None = None, style: str = 'dots') -> LoadingAnimation"),
          "message"_a = nb::none(), "style"_a.none() = "dots",
          "Return an unstarted animation for a `with` block; a message of None takes the default text.");
    m.def("show_loading", &show_loading,
          nb::sig("def show_loading(message: str | None = None, style: str = 'dots') -> Callable"),
          "message"_a = nb::none(), "style"_a.none() = "dots",
          "Decorator factory: every call of the decorated function runs under a fresh animation.");
    m.def(
        "loading_dots", [](nb::handle message) { return factory(message, "dots"); },
        nb::sig("def loading_dots(message: str | None = None) -> LoadingAnimation"), "message"_a = nb::none(),
        "Return an unstarted animation in the \"dots\" style.");
    m.def(
        "loading_circle", [](nb::handle message) { return factory(message, "circle"); },
        nb::sig("def loading_circle(message: str | None = None) -> LoadingAnimation"), "message"_a = nb::none(),
        "Return an unstarted animation in the \"circle\" style.");
    m.def(
        "loading_bar", [](nb::handle message) { return factory(message, "bar"); },
        nb::sig("def loading_bar(message: str | None = None) -> LoadingAnimation"), "message"_a = nb::none(),
        "Return an unstarted animation in the \"bar\" style.");
    m.def(
        "loading_arrow", [](nb::handle message) { return factory(message, "arrow"); },
        nb::sig("def loading_arrow(message: str | None = None) -> LoadingAnimation"), "message"_a = nb::none(),
        "Return an unstarted animation in the \"arrow\" style.");
    m.def("main", &main_entry, nb::sig("def main() -> None"), "Demonstration: show four styles for two seconds each.");
}

}  // namespace brisolet
