// Life cycle of the Python-level modules, traceback entries and module
// globals looked up at call time.
//
// Each module keeps one ModuleLife in static storage.  Its state is created
// once per process: the create step hands back the module already built
// when the module is imported again (after removal from sys.modules, say),
// refuses a second interpreter, and the exec step refuses a second module
// object.  A typical module unit:
//
//   static tv::ModuleLife life{"orderflip", "tavrel._libs.orderflip", "tavrel/_libs/orderflip.cpp"};
//   static PyObject *create(PyObject *spec, PyModuleDef *) { return life.create(spec); }
//   static int exec(PyObject *m) {
//       int r = life.begin_exec(m);
//       if (r <= 0) return r;            // 0: already done, -1: refused
//       if (...build the module...) return life.fail_exec();
//       return 0;
//   }
#pragma once

#include <cstdint>

#include "pyref.hpp"
#include "saved_error.hpp"
#include <frameobject.h>

#if PY_VERSION_HEX < 0x030B0000
#error "Python 3.11 or later is required"
#endif

namespace tv {

// Adds a traceback entry named `funcname` (a dotted path) in `filename` to
// the pending exception.  Failures while building the entry are swallowed:
// the original exception is what the caller must see.
inline void add_traceback(const char *funcname, const char *filename, int lineno, PyObject *globals) noexcept
{
    if (!PyErr_Occurred())
        return;
    PyCodeObject *code;
    PyFrameObject *frame;
    {
        SavedError saved;
        code = PyCode_NewEmpty(filename, funcname, lineno);
        if (code == nullptr) {
            PyErr_Clear();
            return;
        }
        Ref own_globals;
        if (globals == nullptr) {
            own_globals.reset(PyDict_New());
            globals = own_globals.get();
        }
        frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
        if (frame == nullptr) {
            PyErr_Clear();
            Py_DECREF(code);
            return;
        }
    }
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
    Py_DECREF(code);
}

struct ModuleLife {
    const char *short_name;   // "orderflip"
    const char *dotted_name;  // "tavrel._libs.orderflip"
    const char *source_file;  // file name shown in traceback entries

    PyObject *module = nullptr;   // kept for the life of the process once executed
    PyObject *globals = nullptr;  // the module's dict (borrowed from `module`)
    bool assertions = true;       // builtin __debug__ at import

    // Py_mod_create: the existing module, a refusal in a second interpreter,
    // or a fresh module object named after the import request.
    PyObject *create(PyObject *spec) noexcept
    {
        static int64_t main_interpreter_id = -1;
        int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1)
            return nullptr;
        if (main_interpreter_id == -1)
            main_interpreter_id = current;
        else if (main_interpreter_id != current) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.");
            return nullptr;
        }
        if (module != nullptr) {
            Py_INCREF(module);
            return module;
        }
        Ref name(PyObject_GetAttrString(spec, "name"));
        if (!name)
            return nullptr;
        return PyModule_NewObject(name.get());
    }

    // Py_mod_exec, first half.  Returns 1 to go on building the module,
    // 0 when this module object was built already, -1 on refusal.
    int begin_exec(PyObject *m) noexcept
    {
        if (module != nullptr) {
            if (module == m)
                return 0;
            PyErr_Format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not supported.", short_name);
            return -1;
        }
        Py_INCREF(m);
        module = m;
        globals = PyModule_GetDict(m);
        if (check_binary_version() < 0 || read_debug_flag() < 0)
            return fail_exec();
        Ref test(PyDict_New());
        if (!test || PyDict_SetItemString(globals, "__test__", test.get()) < 0)
            return fail_exec();
        return 1;
    }

    // Py_mod_exec after a failure: names the import in the traceback and
    // forgets the half-built module so that a later import starts afresh.
    int fail_exec() noexcept
    {
        char entry[200];
        PyOS_snprintf(entry, sizeof entry, "init %s", dotted_name);
        if (PyErr_Occurred())
            add_traceback(entry, source_file, 1, globals);
        else
            PyErr_Format(PyExc_ImportError, "init %s", dotted_name);
        globals = nullptr;
        Py_CLEAR(module);
        return -1;
    }

    // Adds a traceback entry for a function of this module, by its short
    // name ("get_days_in_month" becomes "tavrel._libs.tslibs.almanac.get_days_in_month").
    void traceback(const char *funcname, int lineno) const noexcept
    {
        char entry[256];
        PyOS_snprintf(entry, sizeof entry, "%s.%s", dotted_name, funcname);
        add_traceback(entry, source_file, lineno, globals);
    }

    // A module global looked up now: module globals, then builtins.
    // Returns a new reference, or null with NameError set.
    PyObject *global(PyObject *name) const noexcept
    {
        PyObject *v = PyDict_GetItemWithError(globals, name);
        if (v != nullptr) {
            Py_INCREF(v);
            return v;
        }
        if (PyErr_Occurred())
            return nullptr;
        PyObject *builtins = PyEval_GetBuiltins();
        if (builtins != nullptr) {
            v = PyDict_GetItemWithError(builtins, name);
            if (v != nullptr) {
                Py_INCREF(v);
                return v;
            }
            if (PyErr_Occurred())
                return nullptr;
        }
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return nullptr;
    }

private:
    // Warns when the running interpreter is not the one the module was
    // compiled for.
    int check_binary_version() const noexcept
    {
        const char *rt = Py_GetVersion();
        int rt_major = 0, rt_minor = 0;
        const char *p = rt;
        while (*p >= '0' && *p <= '9')
            rt_major = rt_major * 10 + (*p++ - '0');
        if (*p == '.')
            ++p;
        while (*p >= '0' && *p <= '9')
            rt_minor = rt_minor * 10 + (*p++ - '0');
        if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION)
            return 0;
        char message[200];
        PyOS_snprintf(message, sizeof message,
                      "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                      PY_MINOR_VERSION, dotted_name, "does not match", rt_major, rt_minor);
        return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
    }

    int read_debug_flag() noexcept
    {
        PyObject *builtins = PyEval_GetBuiltins();
        if (builtins == nullptr) {
            assertions = true;
            return 0;
        }
        Ref key(PyUnicode_FromString("__debug__"));
        if (!key)
            return -1;
        Ref flag(PyObject_GetItem(builtins, key.get()));
        if (!flag)
            return -1;
        int truth = PyObject_IsTrue(flag.get());
        if (truth < 0)
            return -1;
        assertions = truth != 0;
        return 0;
    }
};

// The slots of a Python-level module: its create and exec functions, and a
// declaration that lets every interpreter reach the create step, which then
// refuses any interpreter but the first with its own ImportError (without
// it, an isolated subinterpreter would be turned away earlier with a
// different message).
#if PY_VERSION_HEX >= 0x030C0000
#define TV_MULTIPLE_INTERPRETERS_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define TV_MULTIPLE_INTERPRETERS_SLOT
#endif
#define TV_MODULE_SLOTS(create_fn, exec_fn)                                                                 \
    {Py_mod_create, reinterpret_cast<void *>(create_fn)}, {Py_mod_exec, reinterpret_cast<void *>(exec_fn)}, \
        TV_MULTIPLE_INTERPRETERS_SLOT                                                                       \
    {                                                                                                       \
        0, nullptr                                                                                          \
    }

// A class object with every slot empty, filled in at module execution
// (static types of the modules are completed there, then readied).
inline PyTypeObject empty_type_object() noexcept
{
    PyTypeObject type{};
    struct {
        PyVarObject head;
    } initial = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.ob_base = initial.head;
    return type;
}

// Raises AssertionError without a message.
inline void raise_assertion() noexcept { PyErr_SetNone(PyExc_AssertionError); }

}  // namespace tv
