// Routing of NumPy universal functions to the operator methods of library
// objects.
//
//   add(obj, 1)      -> obj.__add__(1)
//   subtract(1, obj) -> obj.__rsub__(1)
//   less(1, obj)     -> obj.__gt__(1)         (comparisons swap, see REVERSED_NAMES)
//   negative(obj)    -> obj.__neg__()
//   add.reduce(obj), add(obj, 1, out=buf), sin(obj) -> NotImplemented
//
// The four tables are ordinary module globals, read by name on every call,
// so rebinding one changes later calls.  When the tables are still the
// exact builtin dict and set the module built, their lookups go straight to
// the dict and set (a subclass or another object is called through its own
// `get` / membership test).
#include "common/binding.hpp"
#include "common/module.hpp"
#include "common/names.hpp"

namespace {

tv::ModuleLife life{"ufunc_bridge", "tavrel._libs.ufunc_bridge", "tavrel/_libs/ufunc_bridge.cpp"};

tv::Signature<3> sig_dispatch{
    "maybe_dispatch_ufunc_to_dunder_op", {"self", "ufunc", "method"}, 3, /*star_args=*/true, /*star_kwargs=*/true};

// Interned at module execution.
struct Names {
    tv::Name name_attr{"__name__"}, nin_attr{"nin"}, get_attr{"get"}, call_method{"__call__"};
    tv::Name aliases{"UFUNC_ALIASES"}, dispatched{"DISPATCHED_UFUNCS"}, unary{"UNARY_UFUNCS"},
        reversed{"REVERSED_NAMES"};
    tv::Name empty{""};
} names;

PyObject *int_two = nullptr;  // 2

int make_names()
{
    if (tv::intern_names({&names.name_attr, &names.nin_attr, &names.get_attr, &names.call_method, &names.aliases,
                          &names.dispatched, &names.unary, &names.reversed, &names.empty}) < 0)
        return -1;
    if (int_two == nullptr && (int_two = PyLong_FromLong(2)) == nullptr)
        return -1;
    return 0;
}

// table.get(key, default) on the object bound to the global `table_name`.
PyObject *table_get(PyObject *table_name, PyObject *key, PyObject *deflt)
{
    tv::Ref table(life.global(table_name));
    if (!table)
        return nullptr;
    if (PyDict_CheckExact(table.get())) {
        PyObject *v = PyDict_GetItemWithError(table.get(), key);
        if (v == nullptr) {
            if (PyErr_Occurred())
                return nullptr;
            v = deflt;
        }
        Py_INCREF(v);
        return v;
    }
    tv::Ref get(PyObject_GetAttr(table.get(), names.get_attr.get()));
    if (!get)
        return nullptr;
    PyObject *args[] = {key, deflt};
    return PyObject_Vectorcall(get.get(), args, 2, nullptr);
}

// `key in <global table_name>`: 1, 0 or -1.
int table_contains(PyObject *table_name, PyObject *key)
{
    tv::Ref table(life.global(table_name));
    if (!table)
        return -1;
    if (PyAnySet_CheckExact(table.get()))
        return PySet_Contains(table.get(), key);
    return PySequence_Contains(table.get(), key);
}

// The text of op_name as an f-string would show it.
PyObject *name_text(PyObject *op_name)
{
    if (PyUnicode_CheckExact(op_name)) {
        Py_INCREF(op_name);
        return op_name;
    }
    return PyObject_Format(op_name, names.empty.get());
}

PyObject *format_dunder_name(const char *prefix, PyObject *op_name)
{
    tv::Ref text(name_text(op_name));
    if (!text)
        return nullptr;
    return PyUnicode_FromFormat("%s%U__", prefix, text.get());
}

// prefix + op_name + "__".  The names built for str operator names are kept
// (a few dozen at most), since every dispatch needs one.
PyObject *dunder_name(PyObject *&cache, const char *prefix, PyObject *op_name)
{
    constexpr Py_ssize_t max_cached = 256;
    if (!PyUnicode_CheckExact(op_name))
        return format_dunder_name(prefix, op_name);
    if (cache == nullptr && (cache = PyDict_New()) == nullptr)
        return nullptr;
    PyObject *name = PyDict_GetItemWithError(cache, op_name);
    if (name != nullptr) {
        Py_INCREF(name);
        return name;
    }
    if (PyErr_Occurred())
        return nullptr;
    name = format_dunder_name(prefix, op_name);
    if (name != nullptr && PyDict_GET_SIZE(cache) < max_cached) {
        PyUnicode_InternInPlace(&name);
        if (PyDict_SetItem(cache, op_name, name) < 0)
            Py_CLEAR(name);
    }
    return name;
}

PyObject *forward_names = nullptr;    // "add" -> "__add__"
PyObject *reflected_names = nullptr;  // "add" -> "__radd__"

// getattr(obj, name, <fallback>): a new reference to the attribute, or null
// with no error set when the attribute is missing (the caller then behaves
// as the fallback, which returns NotImplemented), or null with an error.
PyObject *lookup_method(PyObject *obj, PyObject *name)
{
    tv::Ref meth;
    tv::get_optional_attr(obj, name, meth);
    return meth.release();
}

PyObject *not_implemented()
{
    Py_INCREF(Py_NotImplemented);
    return Py_NotImplemented;
}

// The positional values after (self, ufunc, method): the `inputs` tuple of
// the Python signature, read in place from the argument vector.
struct Inputs {
    PyObject *const *items;
    Py_ssize_t count;

    PyObject *at(Py_ssize_t i) const
    {
        if (i >= count) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return nullptr;
        }
        return items[i];
    }
};

// The truth of `ufunc.nin > 2`: 1, 0, or -1 with the error set.  An exact
// int is compared directly; anything else through its rich comparison.
int more_than_two_inputs(PyObject *ufunc)
{
    tv::Ref nin(PyObject_GetAttr(ufunc, names.nin_attr.get()));
    if (!nin)
        return -1;
    if (PyLong_CheckExact(nin.get())) {
        int overflow;
        long n = PyLong_AsLongAndOverflow(nin.get(), &overflow);
        return overflow > 0 || (overflow == 0 && n > 2);
    }
    tv::Ref above(PyObject_RichCompare(nin.get(), int_two, Py_GT));
    if (!above)
        return -1;
    return tv::to_truth(above.get());
}

PyObject *dispatch(PyObject *self, PyObject *ufunc, PyObject *method, Inputs inputs, bool has_kwargs)
{
    tv::Ref op_name(PyObject_GetAttr(ufunc, names.name_attr.get()));
    if (!op_name)
        return nullptr;
    op_name.reset(table_get(names.aliases.get(), op_name.get(), op_name.get()));
    if (!op_name)
        return nullptr;

    if (has_kwargs)
        return not_implemented();

    int many_inputs = more_than_two_inputs(ufunc);
    if (many_inputs != 0)
        return many_inputs < 0 ? nullptr : not_implemented();

    if (method != names.call_method.get()) {
        if (method == Py_None)
            return not_implemented();
        int eq = PyUnicode_Compare(method, names.call_method.get());
        if (eq == -1 && PyErr_Occurred())
            return nullptr;
        if (eq != 0)
            return not_implemented();
    }

    int member = table_contains(names.dispatched.get(), op_name.get());
    if (member <= 0)
        return member < 0 ? nullptr : not_implemented();

    PyObject *first = inputs.at(0);
    if (first == nullptr)
        return nullptr;
    if (first == self) {
        tv::Ref name(dunder_name(forward_names, "__", op_name.get()));
        if (!name)
            return nullptr;
        tv::Ref meth(lookup_method(self, name.get()));
        if (!meth && PyErr_Occurred())
            return nullptr;
        int unary = table_contains(names.unary.get(), op_name.get());
        if (unary < 0)
            return nullptr;
        if (unary) {
            if (life.assertions && inputs.count != 1) {
                tv::raise_assertion();
                return nullptr;
            }
            return meth ? PyObject_CallNoArgs(meth.get()) : not_implemented();
        }
        PyObject *other = inputs.at(1);
        if (other == nullptr)
            return nullptr;
        return meth ? PyObject_CallOneArg(meth.get(), other) : not_implemented();
    }

    PyObject *second = inputs.at(1);
    if (second == nullptr)
        return nullptr;
    if (second == self) {
        tv::Ref deflt(dunder_name(reflected_names, "__r", op_name.get()));
        if (!deflt)
            return nullptr;
        tv::Ref name(table_get(names.reversed.get(), op_name.get(), deflt.get()));
        if (!name)
            return nullptr;
        tv::Ref meth(lookup_method(self, name.get()));
        if (!meth && PyErr_Occurred())
            return nullptr;
        return meth ? PyObject_CallOneArg(meth.get(), first) : not_implemented();
    }
    return not_implemented();
}

PyObject *maybe_dispatch_ufunc_to_dunder_op(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    PyObject *values[3];
    tv::Ref kwargs;
    PyObject *result = nullptr;
    if (tv::bind_arguments(sig_dispatch, args, nargsf, kwnames, values, nullptr, &kwargs) == 0 &&
        tv::check_exact_type_or_none(values[2], &PyUnicode_Type, "method") == 0) {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Inputs inputs{args + 3, nargs > 3 ? nargs - 3 : 0};
        result = dispatch(values[0], values[1], values[2], inputs, static_cast<bool>(kwargs));
    }
    if (result == nullptr)
        life.traceback(sig_dispatch.func, __LINE__);
    return result;
}

const char dispatch_doc[] =
    "Dispatch a ufunc to the equivalent dunder method.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "self : ArrayLike\n"
    "    The array whose dunder method we dispatch to\n"
    "ufunc : Callable\n"
    "    A NumPy ufunc\n"
    "method : {'reduce', 'accumulate', 'reduceat', 'outer', 'at', '__call__'}\n"
    "inputs : ArrayLike\n"
    "    The input arrays.\n"
    "kwargs : Any\n"
    "    The additional keyword arguments, e.g. ``out``.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "result : Any\n"
    "    The result of applying the ufunc\n";

PyMethodDef methods[] = {
    tv::fastcall_method(sig_dispatch.func, maybe_dispatch_ufunc_to_dunder_op, dispatch_doc),
    {nullptr, nullptr, 0, nullptr},
};

// Builds a set of str from a null-terminated list.
PyObject *make_set(const char *const *items)
{
    tv::Ref set(PySet_New(nullptr));
    if (!set)
        return nullptr;
    for (; *items; ++items) {
        tv::Ref s(PyUnicode_InternFromString(*items));
        if (!s || PySet_Add(set.get(), s.get()) < 0)
            return nullptr;
    }
    return set.release();
}

// Builds a dict from a null-terminated list of key/value pairs, in order.
PyObject *make_dict(const char *const (*pairs)[2])
{
    tv::Ref dict(PyDict_New());
    if (!dict)
        return nullptr;
    for (; (*pairs)[0]; ++pairs) {
        tv::Ref value(PyUnicode_InternFromString((*pairs)[1]));
        if (!value || PyDict_SetItemString(dict.get(), (*pairs)[0], value.get()) < 0)
            return nullptr;
    }
    return dict.release();
}

const char *const dispatched_ufuncs[] = {
    "add", "sub", "mul",       "pow",    "mod", "floordiv", "truediv", "divmod", "eq",  "ne",  "lt",    "gt",
    "le",  "ge",  "remainder", "matmul", "or",  "xor",      "and",     "neg",    "pos", "abs", nullptr,
};
const char *const unary_ufuncs[] = {"neg", "pos", "abs", nullptr};
const char *const ufunc_aliases[][2] = {
    {"subtract", "sub"},     {"multiply", "mul"},  {"floor_divide", "floordiv"}, {"true_divide", "truediv"},
    {"power", "pow"},        {"remainder", "mod"}, {"divide", "truediv"},        {"equal", "eq"},
    {"not_equal", "ne"},     {"less", "lt"},       {"less_equal", "le"},         {"greater", "gt"},
    {"greater_equal", "ge"}, {"bitwise_or", "or"}, {"bitwise_and", "and"},       {"bitwise_xor", "xor"},
    {"negative", "neg"},     {"absolute", "abs"},  {"positive", "pos"},          {nullptr, nullptr},
};
const char *const reversed_names[][2] = {
    {"lt", "__gt__"}, {"le", "__ge__"}, {"gt", "__lt__"},   {"ge", "__le__"},
    {"eq", "__eq__"}, {"ne", "__ne__"}, {nullptr, nullptr},
};

int add_table(PyObject *m, const char *name, PyObject *table)
{
    tv::Ref owned(table);
    if (!owned)
        return -1;
    return PyModule_AddObjectRef(m, name, owned.get());
}

PyObject *module_create(PyObject *spec, PyModuleDef *) { return life.create(spec); }

int module_exec(PyObject *m)
{
    int state = life.begin_exec(m);
    if (state <= 0)
        return state;
    if (make_names() < 0 || sig_dispatch.init() < 0)
        return life.fail_exec();
    if (add_table(m, "DISPATCHED_UFUNCS", make_set(dispatched_ufuncs)) < 0 ||
        add_table(m, "UNARY_UFUNCS", make_set(unary_ufuncs)) < 0 ||
        add_table(m, "UFUNC_ALIASES", make_dict(ufunc_aliases)) < 0 ||
        add_table(m, "REVERSED_NAMES", make_dict(reversed_names)) < 0 || PyModule_AddFunctions(m, methods) < 0)
        return life.fail_exec();
    return 0;
}

PyModuleDef_Slot slots[] = {TV_MODULE_SLOTS(module_create, module_exec)};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ufunc_bridge", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_ufunc_bridge(void) { return PyModuleDef_Init(&module_def); }
