// A one-line terminal spinner drawn by a background thread while slow work runs.
#include <orvo/support.hpp>

#include <utility>

namespace nb = nanobind;
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

nb::module_ self_module() { return nb::module_::import_("brisolet"); }

using orvo::truthy;

// The message argument: a text, or the default text when it is None.
nb::object message_or_default(nb::handle message) {
    orvo::arg_opt_str(message, "message");
    return message.is_none() ? orvo::t("loading_default") : nb::borrow(message);
}

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
nb::object active() { return self_module().attr("_active"); }

void start(nb::handle self) {
    if (truthy(self.attr("_running")))
        return;
    // A worker that outlived the wait of `stop` gets a moment to blank its
    // line; once `_thread` names another worker it never draws again.
    nb::object previous = self.attr("_thread");
    if (!previous.is_none() && truthy(previous.attr("is_alive")()))
        previous.attr("join")("timeout"_a = 0.2);
    nb::object thread = nb::module_::import_("threading")
                            .attr("Thread")("target"_a = self.attr("_animate"), "daemon"_a = true);
    self.attr("_thread") = thread;
    self.attr("_running") = true;
    active().attr("add")(self);
    thread.attr("start")();
}

void stop(nb::handle self) {
    if (!truthy(self.attr("_running")))
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

// ----------------------------------------------------------------- worker
//
// The worker is written against the plain C API, without handlers, owning
// objects or noexcept frames: if the interpreter ends the thread at shutdown
// by unwinding its stack, the unwind passes through and nothing is released
// without the interpreter lock.

int write_out(PyObject *text) {
    PyObject *out = PySys_GetObject("stdout");  // borrowed, looked up per write
    if (!out || out == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return -1;
    }
    Py_INCREF(out);
    PyObject *result = PyObject_CallMethod(out, "write", "O", text);
    if (result) {
        Py_DECREF(result);
        result = PyObject_CallMethod(out, "flush", nullptr);
    }
    Py_DECREF(out);
    if (!result)
        return -1;
    Py_DECREF(result);
    return 0;
}

int pause_a_tenth() {
    PyObject *time = PyImport_ImportModule("time");
    if (!time)
        return -1;
    PyObject *result = PyObject_CallMethod(time, "sleep", "d", 0.1);
    Py_DECREF(time);
    if (!result)
        return -1;
    Py_DECREF(result);
    return 0;
}

// The frames of the animation's style, or of "dots" for a style it lacks.
PyObject *pick_frames(PyObject *self) {
    PyObject *animations = PyObject_GetAttrString(self, "animations");
    if (!animations)
        return nullptr;
    PyObject *style = PyObject_GetAttrString(self, "style");
    PyObject *frames = nullptr;
    if (style) {
        int known = PySequence_Contains(animations, style);
        if (known >= 0) {
            PyObject *chosen = known ? PyObject_GetItem(animations, style)
                                     : PyMapping_GetItemString(animations, "dots");
            if (chosen) {
                frames = PySequence_List(chosen);
                Py_DECREF(chosen);
            }
        }
        Py_DECREF(style);
    }
    Py_DECREF(animations);
    return frames;
}

// 1 while this worker should draw: the animation runs and `_thread` is still
// this worker's thread; 0 when it should end; -1 on an error.
int keeps_running(PyObject *self, PyObject *me) {
    PyObject *running = PyObject_GetAttrString(self, "_running");
    if (!running)
        return -1;
    int result = PyObject_IsTrue(running);
    Py_DECREF(running);
    if (result != 1)
        return result;
    PyObject *thread = PyObject_GetAttrString(self, "_thread");
    if (!thread)
        return -1;
    result = thread == me;
    Py_DECREF(thread);
    return result;
}

PyObject *current_thread() {
    PyObject *threading = PyImport_ImportModule("threading");
    if (!threading)
        return nullptr;
    PyObject *thread = PyObject_CallMethod(threading, "current_thread", nullptr);
    Py_DECREF(threading);
    return thread;
}

int draw_frame(PyObject *self, PyObject *frame) {
    PyObject *message = PyObject_GetAttrString(self, "message");
    if (!message)
        return -1;
    PyObject *line = PyUnicode_FromFormat("\r%S %S ", message, frame);
    Py_DECREF(message);
    if (!line)
        return -1;
    int result = write_out(line);
    Py_DECREF(line);
    return result;
}

// A carriage return, blanks over the message and ten more, a carriage return.
int blank_line(PyObject *self) {
    PyObject *message = PyObject_GetAttrString(self, "message");
    if (!message)
        return -1;
    PyObject *text = PyObject_Str(message);
    Py_DECREF(message);
    if (!text)
        return -1;
    Py_ssize_t width = PyUnicode_GET_LENGTH(text) + 10;
    Py_DECREF(text);
    PyObject *line = PyUnicode_New(width + 2, 127);
    if (!line)
        return -1;
    PyUnicode_WriteChar(line, 0, '\r');
    for (Py_ssize_t i = 1; i <= width; ++i)
        PyUnicode_WriteChar(line, i, ' ');
    PyUnicode_WriteChar(line, width + 1, '\r');
    int result = write_out(line);
    Py_DECREF(line);
    return result;
}

PyObject *animate(PyObject *self, PyObject *) {
    PyObject *frames = pick_frames(self);
    if (!frames)
        return nullptr;
    PyObject *me = current_thread();
    if (!me) {
        Py_DECREF(frames);
        return nullptr;
    }
    Py_ssize_t count = PyList_GET_SIZE(frames), index = 0;
    int status;
    while ((status = keeps_running(self, me)) == 1) {
        if (count == 0) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            status = -1;
            break;
        }
        if (draw_frame(self, PyList_GET_ITEM(frames, index)) < 0 || pause_a_tenth() < 0) {
            status = -1;
            break;
        }
        index = (index + 1) % count;
    }
    if (status == 0) {
        // Blank the line unless a newer worker of this animation has taken over.
        PyObject *thread = PyObject_GetAttrString(self, "_thread");
        if (!thread)
            status = -1;
        else if (thread == me)
            status = blank_line(self);
        Py_XDECREF(thread);
    }
    Py_DECREF(me);
    Py_DECREF(frames);
    if (status < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef ANIMATE = {"_animate", animate, METH_NOARGS,
                       "_animate(self) -> None\n\nThe worker's body: draw frames until the animation stops."};

// ------------------------------------------------------------- front ends

nb::object loading_context(nb::handle message, nb::handle style) {
    nb::object text = message_or_default(message);
    orvo::arg_str(style, "style");
    return self_module().attr("LoadingAnimation")(text, style);
}

// A callable that runs `func` under a fresh animation; its state lives in its
// instance dictionary: `func`, `message`, `style`.
struct Wrapper {};
// The decorator that `show_loading` returns: `message` and `style`.
struct Decorator {};

nb::object call_wrapped(nb::handle self, nb::args args, nb::kwargs kwargs) {
    nb::object animation = self_module().attr("LoadingAnimation")(self.attr("message"), self.attr("style"));
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
    return nb::module_::import_("types").attr("MethodType")(self, instance);
}

nb::object decorate(nb::handle self, nb::handle func) {
    nb::object wrapper = self_module().attr("_Wrapper")();
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
    nb::object decorator = self_module().attr("_Decorator")();
    decorator.attr("__name__") = "decorator";
    decorator.attr("__qualname__") = "show_loading.<locals>.decorator";
    decorator.attr("message") = text;
    decorator.attr("style") = style;
    return decorator;
}

nb::object factory(nb::handle message, const char *style) {
    return self_module().attr("LoadingAnimation")(message_or_default(message), style);
}

// Demonstration: four styles, two seconds each.
void main_entry() {
    orvo::set_language_from_env();
    orvo::print(orvo::t("test_loading_styles"));
    nb::object sleep = nb::module_::import_("time").attr("sleep");
    for (auto [key, style] : {std::pair{"connect_to_server", "dots"}, {"sending_request", "circle"},
                              {"processing_response", "bar"}, {"parsing_data", "arrow"}}) {
        nb::object animation = loading_context(orvo::t(key), nb::str(style));
        animation.attr("__enter__")();
        try {
            sleep(2);
        } catch (...) {
            animation.attr("__exit__")(nb::none(), nb::none(), nb::none());
            throw;
        }
        animation.attr("__exit__")(nb::none(), nb::none(), nb::none());
    }
    orvo::print(orvo::t("all_tests_complete"));
}

}  // namespace

NB_MODULE(brisolet, m) {
    m.doc() = "A one-line terminal spinner drawn by a background thread while slow work runs.";
    m.attr("t") = nb::module_::import_("i18n").attr("t");
    m.attr("_active") = nb::steal(PySet_New(nullptr));

    nb::dict ns;
    ns["__module__"] = "brisolet";
    ns["__qualname__"] = "LoadingAnimation";
    ns["__doc__"] = "加载动画类";
    ns["__init__"] = nb::cpp_function(&init, nb::is_method(), nb::name("__init__"), "message"_a = nb::none(),
                                      "style"_a.none() = "dots",
                                      "Build an idle animation; a message of None takes the default loading text.");
    ns["start"] = nb::cpp_function(&start, nb::is_method(), nb::name("start"),
                                   "Begin drawing unless the animation already runs.");
    ns["stop"] = nb::cpp_function(&stop, nb::is_method(), nb::name("stop"),
                                  "End drawing and wait up to 0.2 s for the worker to finish.");
    ns["__enter__"] = nb::cpp_function(
        [](nb::handle self) {
            start(self);
            return nb::borrow(self);
        },
        nb::is_method(), nb::name("__enter__"));
    ns["__exit__"] = nb::cpp_function([](nb::handle self, nb::handle, nb::handle, nb::handle) { stop(self); },
                                      nb::is_method(), nb::name("__exit__"), "exc_type"_a.none(),
                                      "exc_val"_a.none(), "exc_tb"_a.none());
    nb::object builtins = nb::module_::import_("builtins");
    nb::object cls = builtins.attr("type")("LoadingAnimation", nb::make_tuple(builtins.attr("object")), ns);
    nb::object animate_method = nb::steal(PyDescr_NewMethod((PyTypeObject *) cls.ptr(), &ANIMATE));
    if (!animate_method.is_valid())
        throw nb::python_error();
    cls.attr("_animate") = animate_method;
    m.attr("LoadingAnimation") = cls;

    nb::class_<Wrapper>(m, "_Wrapper", nb::dynamic_attr(), "A function run under a loading animation.")
        .def(nb::init<>())
        .def("__call__", &call_wrapped, "args"_a, "kwargs"_a)
        .def("__get__", &bind, "instance"_a.none(), "owner"_a.none() = nb::none());
    nb::class_<Decorator>(m, "_Decorator", nb::dynamic_attr(), "Wraps a function in a loading animation.")
        .def(nb::init<>())
        .def("__call__", &decorate, "func"_a.none());

    m.def("loading_context", &loading_context, "message"_a = nb::none(), "style"_a.none() = "dots",
          "Return an unstarted animation for a `with` block; a message of None takes the default text.");
    m.def("show_loading", &show_loading, "message"_a = nb::none(), "style"_a.none() = "dots",
          "Decorator factory: every call of the decorated function runs under a fresh animation.");
    m.def("loading_dots", [](nb::handle message) { return factory(message, "dots"); }, "message"_a = nb::none(),
          "Return an unstarted animation in the \"dots\" style.");
    m.def("loading_circle", [](nb::handle message) { return factory(message, "circle"); },
          "message"_a = nb::none(), "Return an unstarted animation in the \"circle\" style.");
    m.def("loading_bar", [](nb::handle message) { return factory(message, "bar"); }, "message"_a = nb::none(),
          "Return an unstarted animation in the \"bar\" style.");
    m.def("loading_arrow", [](nb::handle message) { return factory(message, "arrow"); },
          "message"_a = nb::none(), "Return an unstarted animation in the \"arrow\" style.");
    m.def("main", &main_entry, "Demonstration: show four styles for two seconds each.");
    m.def("_stop_all", &stop_all, "Stop every running animation and wait for its worker.");

    nb::module_::import_("atexit").attr("register")(m.attr("_stop_all"));
}
