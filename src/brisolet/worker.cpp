// The worker that draws an animation.
//
// It is written against the plain C API, without handlers, owning objects or
// noexcept frames: if the interpreter ends the thread at shutdown by unwinding
// its stack, the unwind passes through and nothing is released without the
// GIL.
#include "bindings.hpp"

namespace brisolet {

namespace {

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
            PyObject *chosen =
                known ? PyObject_GetItem(animations, style) : PyMapping_GetItemString(animations, "dots");
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
    PyObject *shown = orvo::console_text_new(line);
    Py_DECREF(line);
    if (!shown)
        return -1;
    int result = write_out(shown);
    Py_DECREF(shown);
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

}  // namespace

PyMethodDef ANIMATE = {"_animate", animate, METH_NOARGS,
                       "_animate(self) -> None\n\nThe worker's body: draw frames until the animation stops."};

}  // namespace brisolet
