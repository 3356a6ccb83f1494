// The class LoadingAnimation: state in the instance dictionary, a worker
// thread of Python's `threading` started and stopped by the caller.
#include "bindings.hpp"

namespace brisolet {

using namespace nb::literals;

namespace {

struct Style {
    const char *name;
    const char *frames[10];  // up to the first null
};

const Style STYLES[] = {
    {"dots", {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"}},
    {"circle", {"◐", "◓", "◑", "◒"}},
    {"bar", {"□", "■", "□", "■", "□", "■"}},
    {"arrow", {"→", "↘", "↓", "↙", "←", "↖", "↑", "↗"}},
    {"simple", {".", "..", "..."}},
    {"progress", {"█   ", " █  ", "  █ ", "   █"}},
};

// LoadingAnimation is a plain Python class whose methods are native: all state
// of an animation lives in its instance dictionary, where Python code sees and
// may replace it (`message`, `style`, `_running`, `_thread`, `animations`).
// Its instances are not nanobind instances, so a worker that the interpreter
// freezes at exit (still blocked writing, or started by an exit handler after
// ours ran) holds nothing that nanobind would report as leaked.

void init(nb::handle py, nb::handle message, nb::handle style) {
    orvo::arg_opt_str(message, "message");
    orvo::arg_str(style, "style");
    py.attr("message") = message_or_default(message);
    py.attr("style") = style;
    py.attr("_running") = false;
    py.attr("_thread") = nb::none();
    nb::dict animations;
    for (const Style &entry : STYLES) {
        nb::list frames;
        for (const char *frame : entry.frames)
            if (frame)
                frames.append(orvo::to_str(frame));
        animations[entry.name] = frames;
    }
    py.attr("animations") = animations;
}

// Animations that run now; stopped before the interpreter shuts down.
nb::object active() { return orvo::module("brisolet").attr("_active"); }

void start(nb::handle self) {
    if (orvo::truthy(self.attr("_running")))
        return;
    // A worker that outlived the wait of `stop` gets a moment to blank its
    // line; once `_thread` names another worker it never draws again.
    nb::object previous = self.attr("_thread");
    if (!previous.is_none() && orvo::truthy(previous.attr("is_alive")()))
        previous.attr("join")("timeout"_a = 0.2);
    nb::object thread = orvo::module("threading").attr("Thread")("target"_a = self.attr("_animate"), "daemon"_a = true);
    self.attr("_thread") = thread;
    self.attr("_running") = true;
    active().attr("add")(self);
    thread.attr("start")();
}

void stop(nb::handle self) {
    if (!orvo::truthy(self.attr("_running")))
        return;
    self.attr("_running") = false;
    nb::object thread = self.attr("_thread");
    if (!thread.is_none())
        thread.attr("join")("timeout"_a = 0.2);
    active().attr("discard")(self);
}

// Stop every running animation and wait for its worker, so that no worker is
// still inside native code when the interpreter ends daemon threads.
void stop_all() {
    nb::object running = nb::steal(PySequence_List(active().ptr()));
    if (!running.is_valid())
        throw nb::python_error();
    orvo::for_each_item(running, [](nb::handle animation) {
        stop(animation);
        nb::object thread = animation.attr("_thread");
        if (!thread.is_none())
            thread.attr("join")("timeout"_a = 1.0);
    });
}

}  // namespace

nb::object message_or_default(nb::handle message) {
    orvo::arg_opt_str(message, "message");
    return message.is_none() ? orvo::t("loading_default") : nb::borrow(message);
}

void register_animation(nb::module_ &m) {
    m.attr("_active") = nb::steal(PySet_New(nullptr));

    nb::dict ns;
    ns["__module__"] = "brisolet";
    ns["__qualname__"] = "LoadingAnimation";
    ns["__doc__"] = "加载动画类";
    ns["__init__"] = nb::cpp_function(&init, nb::is_method(), nb::name("__init__"),
                                      nb::sig("def __init__(self, message: str | None = None, style: str = 'dots') "
                                              "-> None"),
                                      "message"_a = nb::none(), "style"_a.none() = "dots",
                                      "Build an idle animation; a message of None takes the default loading text.");
    ns["start"] = nb::cpp_function(&start, nb::is_method(), nb::name("start"), nb::sig("def start(self) -> None"),
                                   "Begin drawing unless the animation already runs.");
    ns["stop"] = nb::cpp_function(&stop, nb::is_method(), nb::name("stop"), nb::sig("def stop(self) -> None"),
                                  "End drawing and wait up to 0.2 s for the worker to finish.");
    ns["__enter__"] = nb::cpp_function(
        [](nb::handle self) {
            start(self);
            return nb::borrow(self);
        },
        nb::is_method(), nb::name("__enter__"), nb::sig("def __enter__(self) -> LoadingAnimation"));
    ns["__exit__"] =
        nb::cpp_function([](nb::handle self, nb::handle, nb::handle, nb::handle) { stop(self); }, nb::is_method(),
                         nb::name("__exit__"), nb::sig("def __exit__(self, exc_type, exc_val, exc_tb) -> None"),
                         "exc_type"_a.none(), "exc_val"_a.none(), "exc_tb"_a.none());
    nb::object builtins = orvo::module("builtins");
    nb::object cls = builtins.attr("type")("LoadingAnimation", nb::make_tuple(builtins.attr("object")), ns);
    nb::object animate_method = nb::steal(PyDescr_NewMethod((PyTypeObject *) cls.ptr(), &ANIMATE));
    if (!animate_method.is_valid())
        throw nb::python_error();
    cls.attr("_animate") = animate_method;
    m.attr("LoadingAnimation") = cls;

    m.def("_stop_all", &stop_all, nb::sig("def _stop_all() -> None"),
          "Stop every running animation and wait for its worker.");
    orvo::module("atexit").attr("register")(m.attr("_stop_all"));
}

}  // namespace brisolet
