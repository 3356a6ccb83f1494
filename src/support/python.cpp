#include "orvo/python.hpp"
#include "orvo/files.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include <structmember.h>
#include <unistd.h>

namespace orvo {

// --------------------------------------------------------------------- errors

void raise(nb::handle type, std::string_view message) { raise(type, to_str(message)); }

void raise(nb::handle type, nb::handle message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    throw nb::python_error();
}

void raise_from(nb::python_error &cause, nb::handle type, nb::handle message) {
    nb::object text = nb::str(message);
    cause.restore();
    nb::chain_error(type, "%U", text.ptr());
    throw nb::python_error();
}

// ------------------------------------------------------- native work, Ctrl-C

bool NativeWork::checkpoint() {
    if (error_)
        return true;
    nb::gil_scoped_acquire held;
    if (PyErr_CheckSignals() != 0)
        error_.emplace();  // takes the error raised
    return stopped();
}

// ------------------------------------------------------------------- values

std::optional<nb::object> field(nb::handle record, const char *name) {
    if (PyDict_Check(record.ptr())) {
        PyObject *value = PyDict_GetItemString(record.ptr(), name);
        if (!value)
            return std::nullopt;
        return nb::borrow(value);
    }
    if (nb::hasattr(record, "model_fields_set")) {
        nb::object given = record.attr("model_fields_set");
        int present = PySequence_Contains(given.ptr(), nb::str(name).ptr());
        if (present < 0)
            throw nb::python_error();
        if (!present)
            return std::nullopt;
    }
    if (!nb::hasattr(record, name))
        return std::nullopt;
    return record.attr(name);
}

bool is_exception(const nb::python_error &error) { return error.matches(PyExc_Exception); }

nb::str error_text(nb::handle error) {
    nb::str text = nb::str(error);
    if (!strip(to_utf8(text)).empty())
        return text;
    const int memory = PyObject_IsInstance(error.ptr(), PyExc_MemoryError);
    if (memory < 0)
        throw nb::python_error();
    return memory ? nb::str("out of memory") : nb::str(error.type().attr("__name__"));
}

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

std::string type_name(nb::handle value) { return to_utf8(value.type().attr("__name__")); }

bool is_native_method(nb::handle object, nb::handle cls, const char *name) {
    if (object.type().ptr() != cls.ptr())
        return false;
    nb::object own = nb::getattr(object, "__dict__", nb::none());
    if (PyDict_Check(own.ptr()) && PyDict_GetItemString(own.ptr(), name))
        return false;  // put in place on the instance
    nb::object defined = nb::steal(PyMapping_GetItemString(nb::getattr(cls, "__dict__").ptr(), name));
    if (!defined.is_valid()) {
        PyErr_Clear();
        return false;  // inherited, or removed
    }
    // nanobind's functions are of a type that Python code cannot make.
    return orvo::type_name(defined) == "nb_method" && to_utf8(nb::getattr(defined, "__name__", nb::str())) == name;
}

namespace {

// Set the `OSError` (of the subclass that the error number names) of `error`
// on `path`.
void set_os_error(int error, const std::string &path) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
}

// What a user is shown of a C++ failure that has no Python meaning.
constexpr const char *internal_failure = "an internal error stopped the operation";

void translate(const std::exception_ptr &failure, void *) { set_error_from(failure); }

}  // namespace

void raise_os_error(int error, const std::string &path) {
    set_os_error(error, path);
    throw nb::python_error();
}

void set_error_from(const std::exception_ptr &failure) {
    try {
        std::rethrow_exception(failure);
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const OsError &error) {
        set_os_error(error.error, error.path);
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, internal_failure);
    }
}

// ------------------------------------------------------------ argument checks

void wrong_type(nb::handle value, const char *name, const char *expected) {
    std::string message = "argument '";
    message += name;
    message += "' must be ";
    message += expected;
    message += ", not ";
    message += orvo::type_name(value);
    raise(PyExc_TypeError, message);
}

namespace {

bool is_real_number(nb::handle value) {
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))
        return true;
    nb::object real = module("numbers").attr("Real");
    return PyObject_IsInstance(value.ptr(), real.ptr()) == 1;
}

}  // namespace

std::string arg_str(nb::handle value, const char *name) {
    if (!PyUnicode_Check(value.ptr()))
        wrong_type(value, name, "str");
    return to_utf8(value);
}

std::vector<std::string> str_items(nb::handle iterable, const char *name) {
    std::vector<std::string> items;
    for (nb::handle item : iterable) {
        if (!PyUnicode_Check(item.ptr()))
            raise(PyExc_TypeError, std::string(name) + " must hold str, not " + orvo::type_name(item));
        items.push_back(to_utf8(item));
    }
    return items;
}

std::optional<std::string> arg_opt_str(nb::handle value, const char *name) {
    if (value.is_none())
        return std::nullopt;
    if (!PyUnicode_Check(value.ptr()))
        wrong_type(value, name, "str or None");
    return to_utf8(value);
}

nb::str arg_pystr(nb::handle value, const char *name) {
    if (!PyUnicode_Check(value.ptr()))
        wrong_type(value, name, "str");
    return nb::borrow<nb::str>(value);
}

nb::object arg_opt_pystr(nb::handle value, const char *name) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr()))
        wrong_type(value, name, "str or None");
    return nb::borrow(value);
}

nb::str arg_exact_pystr(nb::handle value, const char *name) {
    if (!PyUnicode_CheckExact(value.ptr()))
        wrong_type(value, name, "str");
    return nb::borrow<nb::str>(value);
}

nb::list arg_list(nb::handle value, const char *name) {
    if (!PyList_Check(value.ptr()))
        wrong_type(value, name, "list");
    return nb::borrow<nb::list>(value);
}

nb::dict arg_dict(nb::handle value, const char *name) {
    if (!PyDict_Check(value.ptr()))
        wrong_type(value, name, "dict");
    return nb::borrow<nb::dict>(value);
}

nb::int_ arg_int(nb::handle value, const char *name) {
    if (!is_real_number(value))
        wrong_type(value, name, "int");
    PyObject *whole = PyNumber_Long(value.ptr());
    if (!whole)
        throw nb::python_error();
    return nb::steal<nb::int_>(whole);
}

long long clamp_int64(nb::handle integer) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow)
        return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return value;
}

double arg_float(nb::handle value, const char *name) {
    if (!is_real_number(value))
        wrong_type(value, name, "float");
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

std::string arg_path(nb::handle value, const char *name) {
    PyObject *path = PyOS_FSPath(value.ptr());
    if (!path || !PyUnicode_Check(path)) {
        PyErr_Clear();
        Py_XDECREF(path);
        wrong_type(value, name, "str or os.PathLike");
    }
    nb::object text = nb::steal(path);
    nb::object bytes = nb::steal(PyUnicode_EncodeFSDefault(text.ptr()));
    if (!bytes.is_valid())
        throw nb::python_error();
    return std::string(PyBytes_AS_STRING(bytes.ptr()), (std::size_t) PyBytes_GET_SIZE(bytes.ptr()));
}

// ---------------------------------------------------------------- conversions

nb::str to_str(std::string_view utf8) {
    PyObject *text = PyUnicode_DecodeUTF8(utf8.data(), (Py_ssize_t) utf8.size(), "surrogatepass");
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

std::string to_utf8(nb::handle value) {
    if (!PyUnicode_Check(value.ptr()))
        return to_utf8(nb::str(value));
    nb::handle text = value;
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size))
        return std::string(data, (std::size_t) size);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        throw nb::python_error();
    PyErr_Clear();  // lone surrogates: their three-byte form
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!bytes.is_valid())
        throw nb::python_error();
    return std::string(PyBytes_AS_STRING(bytes.ptr()), (std::size_t) PyBytes_GET_SIZE(bytes.ptr()));
}

std::string to_utf8_strict(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string(data, (std::size_t) size);
}

nb::str joined(std::string_view head, nb::handle value) {
    PyObject *result = PyUnicode_Concat(to_str(head).ptr(), nb::str(value).ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal<nb::str>(result);
}

nb::str joined(std::initializer_list<nb::handle> values) {
    nb::list parts;
    for (nb::handle value : values)
        parts.append(nb::str(value));
    PyObject *result = PyUnicode_Join(nb::str("").ptr(), parts.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal<nb::str>(result);
}

nb::str path_to_str(std::string_view bytes) {
    PyObject *text = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), (Py_ssize_t) bytes.size());
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

// -------------------------------------------------------------------- console

namespace {

nb::object builtin(const char *name) { return module("builtins").attr(name); }

}  // namespace

PyObject *console_text_new(PyObject *value) {
    PyObject *text = PyObject_Str(value);
    if (!text || PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND)
        return text;
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text), i = 0;
    auto is_surrogate = [&](Py_ssize_t at) {
        Py_UCS4 c = PyUnicode_READ(kind, data, at);
        return c >= 0xD800 && c <= 0xDFFF;
    };
    while (i < length && !is_surrogate(i))
        ++i;
    if (i == length)
        return text;
    PyObject *shown = PyUnicode_New(length, PyUnicode_MAX_CHAR_VALUE(text));
    if (shown && PyUnicode_CopyCharacters(shown, 0, text, 0, length) >= 0) {
        for (; i < length; ++i)
            if (is_surrogate(i))
                PyUnicode_WRITE(PyUnicode_KIND(shown), PyUnicode_DATA(shown), i, 0xFFFD);
    } else {
        Py_CLEAR(shown);
    }
    Py_DECREF(text);
    return shown;
}

nb::str console_text(nb::handle value) {
    PyObject *shown = console_text_new(value.ptr());
    if (!shown)
        throw nb::python_error();
    return nb::steal<nb::str>(shown);
}

void print(std::string_view text) { builtin("print")(console_text(to_str(text))); }

void print(nb::handle value) { builtin("print")(console_text(value)); }

void print() { builtin("print")(); }

std::string read_line(nb::handle prompt) { return to_utf8(builtin("input")(console_text(prompt))); }

std::string lower(std::string_view utf8) {
    std::string result(utf8);
    bool ascii = true;
    for (char &c : result) {
        if ((unsigned char) c >= 0x80) {
            ascii = false;
            break;
        }
        if (c >= 'A' && c <= 'Z')
            c = (char) (c - 'A' + 'a');
    }
    if (ascii)
        return result;
    return to_utf8(to_str(utf8).attr("lower")());
}

// ---------------------------------------------------------------- environment

std::optional<std::string> env(const char *name) {
    nb::object value = module("os").attr("environ").attr("get")(name);
    if (value.is_none())
        return std::nullopt;
    std::string text = to_utf8(value);
    if (text.empty())
        return std::nullopt;
    return text;
}

std::string working_directory() {
    std::string buffer(PATH_MAX, '\0');
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) {
            PyErr_SetFromErrno(PyExc_OSError);
            throw nb::python_error();
        }
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

std::optional<nb::object> user_settings_file(nb::handle os) {
    nb::object path = module("pathlib").attr("Path");
    if (to_utf8(os.attr("name")) == "nt")
        return path(os.attr("environ").attr("get")("APPDATA", "")) / nb::str("ORVO") / nb::str("config");
    // What `Path.home()` finds, without its error: `expanduser` leaves "~" as
    // it is when neither HOME nor the password database names a home.
    nb::object home = os.attr("path").attr("expanduser")("~");
    if (truthy(home.attr("startswith")("~")))
        return std::nullopt;
    return path(home) / nb::str(".config") / nb::str("orvo") / nb::str("config");
}

// -------------------------------------------------------------------- modules

nb::module_ module(const char *name) { return nb::module_::import_(name); }

nb::object import_name(const char *module_name, const char *name) {
    nb::object loaded = module(module_name);
    if (!nb::hasattr(loaded, name))
        raise(PyExc_ImportError, std::string("cannot import name '") + name + "' from '" + module_name + "'");
    return loaded.attr(name);
}

void translate_errors() { nb::register_exception_translator(translate); }

namespace {

// A built-in function of a module that calls a function defined with
// nanobind. It answers to `inspect` and `pydoc` as a built-in function does
// (its `__class__` is the built-in function type, its `__self__` the module),
// so that `help()` lists it under FUNCTIONS, with the parameters of its text
// signature. That signature is made from nanobind's at its first use, not
// when the module loads.
struct Builtin {
    PyObject_HEAD
    PyObject *function;        // the nanobind function called
    PyObject *module;          // `__self__`
    PyObject *name;            // `__name__`, a str
    PyObject *text_signature;  // made at first use: a str, or None
    vectorcallfunc vectorcall;
};

Builtin *as_builtin(PyObject *self) { return reinterpret_cast<Builtin *>(self); }

PyObject *builtin_call(PyObject *self, PyObject *const *args, std::size_t count, PyObject *names) {
    return PyObject_Vectorcall(as_builtin(self)->function, args, count, names);
}

int builtin_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_builtin(self)->function);
    Py_VISIT(as_builtin(self)->module);
    Py_VISIT(as_builtin(self)->text_signature);
    return 0;
}

int builtin_clear(PyObject *self) {
    Py_CLEAR(as_builtin(self)->function);
    Py_CLEAR(as_builtin(self)->module);
    Py_CLEAR(as_builtin(self)->name);
    Py_CLEAR(as_builtin(self)->text_signature);
    return 0;
}

void builtin_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    builtin_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *builtin_repr(PyObject *self) {
    return PyUnicode_FromFormat("<built-in function %U>", as_builtin(self)->name);
}

// The parameters of the function's one signature without their annotations,
// as "(a, b=1)"; None where it has several signatures or one that does not
// parse.
nb::object text_signature_of(nb::handle function) {
    nb::object signatures = nb::getattr(function, "__nb_signature__", nb::none());
    if (signatures.is_none() || nb::len(signatures) != 1)
        return nb::none();
    return guard(
        [&]() -> nb::object {
            nb::object ast = module("ast");
            nb::object tree = ast.attr("parse")(joined({signatures[0][0], nb::str(": pass")}));
            nb::object args = tree.attr("body")[0].attr("args");
            for (const char *group : {"posonlyargs", "args", "kwonlyargs"})
                for (nb::handle arg : args.attr(group))
                    arg.attr("annotation") = nb::none();
            for (const char *single : {"vararg", "kwarg"})
                if (nb::object arg = args.attr(single); !arg.is_none())
                    arg.attr("annotation") = nb::none();
            return joined({nb::str("("), ast.attr("unparse")(args), nb::str(")")});
        },
        [](nb::python_error &) -> nb::object { return nb::none(); });
}

// Each getter gives a new reference, or nullptr with the error set.
template <typename Get>
PyObject *getter(Get &&get) {
    try {
        return as_python_error(get).release().ptr();
    } catch (nb::python_error &error) {
        error.restore();
        return nullptr;
    }
}

PyObject *get_text_signature(PyObject *self, void *) {
    return getter([self] {
        Builtin *builtin = as_builtin(self);
        if (!builtin->text_signature)
            builtin->text_signature = text_signature_of(builtin->function).release().ptr();
        return nb::borrow(builtin->text_signature);
    });
}

PyObject *get_doc(PyObject *self, void *) {
    return getter([self]() -> nb::object { return nb::handle(as_builtin(self)->function).attr("__doc__"); });
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_builtin(self)->name); }

PyObject *get_self(PyObject *self, void *) { return Py_NewRef(as_builtin(self)->module); }

PyObject *get_module(PyObject *self, void *) { return PyObject_GetAttrString(as_builtin(self)->module, "__name__"); }

PyObject *get_class(PyObject *, void *) { return Py_NewRef((PyObject *) &PyCFunction_Type); }

// Pickled and copied by name, as a built-in function of a module is.
PyObject *builtin_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_builtin(self)->name); }

PyGetSetDef builtin_getset[] = {
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__self__", get_self, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__class__", get_class, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef builtin_methods[] = {
    {"__reduce__", builtin_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef builtin_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, (Py_ssize_t) offsetof(Builtin, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot builtin_slots[] = {
    {Py_tp_call, (void *) PyVectorcall_Call},
    {Py_tp_repr, (void *) builtin_repr},
    {Py_tp_traverse, (void *) builtin_traverse},
    {Py_tp_clear, (void *) builtin_clear},
    {Py_tp_dealloc, (void *) builtin_dealloc},
    {Py_tp_getset, builtin_getset},
    {Py_tp_methods, builtin_methods},
    {Py_tp_members, builtin_members},
    {0, nullptr},
};

PyType_Spec builtin_spec = {
    "orvo.builtin_function", (int) sizeof(Builtin), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    builtin_slots};

// The type, made at the first use in this extension; held for the life of
// the process.
PyTypeObject *builtin_type() {
    static PyObject *type = nullptr;
    if (!type && !(type = PyType_FromSpec(&builtin_spec)))
        throw nb::python_error();
    return reinterpret_cast<PyTypeObject *>(type);
}

// A built-in function named `name` of the module `m` that calls `function`.
nb::object builtin(nb::module_ &m, nb::handle name, nb::handle function) {
    PyTypeObject *type = builtin_type();
    nb::object made = nb::steal(type->tp_alloc(type, 0));
    if (!made.is_valid())
        throw nb::python_error();
    Builtin *builtin = as_builtin(made.ptr());
    builtin->function = Py_NewRef(function.ptr());
    builtin->module = Py_NewRef(m.ptr());
    builtin->name = Py_NewRef(name.ptr());
    builtin->vectorcall = builtin_call;
    return made;
}

// Whether `value`, found in the module named `name`, is the module's own:
// not a module nor a name imported from elsewhere.
bool own(nb::handle key, nb::handle value, nb::handle name) {
    if (to_utf8(key).starts_with("__") || PyModule_Check(value.ptr()))
        return false;
    return nb::getattr(value, "__module__", name).equal(name);
}

}  // namespace

void publish(nb::module_ &m) {
    nb::object name = m.attr("__name__");
    nb::handle function_type = nb::cpp_function([] {}).type();
    nb::handle names = PyModule_GetDict(m.ptr());
    for (auto [key, value] : nb::borrow<nb::dict>(names))
        if (value.type().is(function_type) && own(key, value, name) &&
            PyDict_SetItem(names.ptr(), key.ptr(), builtin(m, key, value).ptr()) < 0)  // the keys stay as they are
            throw nb::python_error();
}

void define_all(nb::module_ &m) {
    nb::object name = m.attr("__name__");
    nb::list all;
    for (auto [key, value] : nb::borrow<nb::dict>(PyModule_GetDict(m.ptr())))
        if (own(key, value, name) && !to_utf8(key).starts_with("_"))
            all.append(key);
    m.attr("__all__") = all;
}

void def_script(nb::module_ &m, Ending (*entry)()) {
    m.def(
        "_script",
        [entry] {
            return on_interrupt([entry] { return entry() == Ending::failed ? 1 : 0; },
                                [](nb::python_error &) {
                                    // The shell's prompt begins a line of its own after the "^C".
                                    guard([] { print(); }, [](nb::python_error &) {});
                                    return INTERRUPTED;
                                });
        },
        nb::sig("def _script() -> int"),
        "The console script: run the command and give its exit status, 1 when it ended on a failure line, 130 "
        "when it was interrupted (Ctrl-C).");
}

void set_language_from_env() {
    module("config");  // puts the settings files' values where the environment has none
    nb::object value = module("os").attr("getenv")("ORVO_LANG", "en");
    std::string code = lower(to_utf8(value));
    bool chinese = code == "zh" || code == "zh-cn" || code == "zh_tw";
    nb::module_::import_("i18n").attr("set_language")(chinese ? "zh" : "en");
}

}  // namespace orvo
