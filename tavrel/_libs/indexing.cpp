// The base class of the library's indexer objects (.loc, .iloc and the
// like).  Indexers are created on every indexing expression, so the class is
// native: construction is one vectorcall, and the container's dimension
// count is read once and cached.
//
// `ndim` states, held in `_ndim`:
//    0  bare instance (allocated without __init__): reads as 0, obj unused
//   -1  set by __init__: the next read asks obj.ndim, stores it, and raises
//       ValueError when it exceeds 2 (the stored value stays, so only the
//       first read of such a container raises)
//   n   cached: returned without consulting obj
#include <cstddef>

#include "common/binding.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/pickling.hpp"
#include "common/saved_error.hpp"

namespace {

tv::ModuleLife life{"indexing", "tavrel._libs.indexing", "tavrel/_libs/indexing.cpp"};

tv::Name str_ndim{"ndim"};
PyObject *int_two = nullptr;  // 2

struct NDFrameIndexerBase {
    PyObject_HEAD Py_ssize_t ndim;
    PyObject *name;  // exactly a str, or None
    PyObject *obj;
};

PyTypeObject NDFrameIndexerBase_Type = tv::empty_type_object();

tv::pickle::ClassLayout<3> indexer_layout{
    .life = &life,
    .class_name = "NDFrameIndexerBase",
    .reconstructor = "__pyx_unpickle_NDFrameIndexerBase",
    .field_names = "_ndim, name, obj",
    .checksum = 0xc17d480,
    .accepted = {0xc17d480, 0x5374d65, 0x41661aa},
    .fields = {{"_ndim", tv::pickle::FieldKind::index, offsetof(NDFrameIndexerBase, ndim)},
               {"name", tv::pickle::FieldKind::exact_str, offsetof(NDFrameIndexerBase, name)},
               {"obj", tv::pickle::FieldKind::object, offsetof(NDFrameIndexerBase, obj)}},
    .type = &NDFrameIndexerBase_Type,
};

tv::Signature<2> init_sig{"__init__", {"name", "obj"}};

inline NDFrameIndexerBase *as_indexer(PyObject *self) { return reinterpret_cast<NDFrameIndexerBase *>(self); }

// Attaches `note` to the pending exception through its add_note method.
// A failure to attach is dropped: the original exception is what counts.
void add_note_to_pending(const char *note)
{
    tv::SavedError pending;
    PyObject *exc = pending.get();
    if (exc != nullptr) {
        tv::Ref text(PyUnicode_FromString(note));
        tv::Ref done(text ? PyObject_CallMethod(exc, "add_note", "O", text.get()) : nullptr);
        if (!done)
            PyErr_Clear();
    }
}

// The constructor's `name`: exactly a str (None and str subclasses refused).
int check_name_argument(PyObject *name)
{
    if (PyUnicode_CheckExact(name))
        return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "name", "str",
                 Py_TYPE(name)->tp_name);
    if (PyUnicode_Check(name))
        add_note_to_pending(
            "This argument check rejects subclasses of builtin types: "
            "pass an exact str, for example str(name).");
    return -1;
}

// A value stored into `name`: exactly a str, or None.
int check_name_field(PyObject *value)
{
    if (value == Py_None || PyUnicode_CheckExact(value))
        return 0;
    return tv::raise_expected_type("str", value);
}

PyObject *indexer_alloc(PyTypeObject *type)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    NDFrameIndexerBase *p = as_indexer(self);
    p->ndim = 0;
    p->name = Py_NewRef(Py_None);
    p->obj = Py_NewRef(Py_None);
    return self;
}

PyObject *indexer_new(PyTypeObject *type, PyObject *, PyObject *) { return indexer_alloc(type); }

void store_init_values(PyObject *self, PyObject *name, PyObject *obj)
{
    NDFrameIndexerBase *p = as_indexer(self);
    Py_SETREF(p->obj, Py_NewRef(obj));
    Py_SETREF(p->name, Py_NewRef(name));
    p->ndim = -1;
}

int indexer_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *values[2] = {};
    if (tv::bind_tuple_dict(init_sig, args, kwargs, values) == 0 && check_name_argument(values[0]) == 0) {
        store_init_values(self, values[0], values[1]);
        return 0;
    }
    life.traceback("NDFrameIndexerBase.__init__", __LINE__);
    return -1;
}

// NDFrameIndexerBase(name, obj) in one step.  Subclasses go the usual way
// (their own __new__ and __init__ may differ).
PyObject *indexer_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    auto *tp = reinterpret_cast<PyTypeObject *>(type);
    if (tp != &NDFrameIndexerBase_Type) {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        tv::Ref tuple(PyTuple_New(nargs));
        if (!tuple)
            return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i)
            PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        tv::Ref kwargs;
        if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
            kwargs.reset(PyDict_New());
            if (!kwargs)
                return nullptr;
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
                if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                    return nullptr;
        }
        return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
    }
    PyObject *values[2] = {};
    if (tv::bind_arguments(init_sig, args, static_cast<Py_ssize_t>(nargsf), kwnames, values) == 0 &&
        check_name_argument(values[0]) == 0) {
        PyObject *self = indexer_alloc(tp);
        if (self == nullptr)
            return nullptr;
        store_init_values(self, values[0], values[1]);
        return self;
    }
    life.traceback("NDFrameIndexerBase.__init__", __LINE__);
    return nullptr;
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_indexer(self)->name); }

int set_name(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr)
        value = Py_None;
    if (check_name_field(value) < 0) {
        life.traceback("NDFrameIndexerBase.name.__set__", __LINE__);
        return -1;
    }
    Py_SETREF(as_indexer(self)->name, Py_NewRef(value));
    return 0;
}

PyObject *get_obj(PyObject *self, void *) { return Py_NewRef(as_indexer(self)->obj); }

int set_obj(PyObject *self, PyObject *value, void *)
{
    Py_SETREF(as_indexer(self)->obj, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject *get_ndim(PyObject *self, void *)
{
    NDFrameIndexerBase *p = as_indexer(self);
    if (p->ndim != -1)
        return PyLong_FromSsize_t(p->ndim);

    tv::Ref obj = tv::Ref::borrow(p->obj);
    tv::Ref ndim(PyObject_GetAttr(obj.get(), str_ndim.get()));
    if (ndim) {
        Py_ssize_t n;
        if (tv::to_ssize_t(ndim.get(), &n) == 0) {
            p->ndim = n;
            int too_many = -1;
            if (n > 2 && PyLong_CheckExact(ndim.get())) {
                too_many = 1;
            } else if (n <= 2 && PyLong_CheckExact(ndim.get())) {
                too_many = 0;
            } else {
                tv::Ref above(PyObject_RichCompare(ndim.get(), int_two, Py_GT));
                if (above)
                    too_many = PyObject_IsTrue(above.get());
            }
            if (too_many == 0)
                return ndim.release();
            if (too_many == 1)
                PyErr_SetString(PyExc_ValueError, "NDFrameIndexer does not support NDFrame objects with ndim > 2");
        }
    }
    life.traceback("NDFrameIndexerBase.ndim.__get__", __LINE__);
    return nullptr;
}

PyGetSetDef indexer_getset[] = {
    {"name", get_name, set_name, nullptr, nullptr},
    {"obj", get_obj, set_obj, nullptr, nullptr},
    {"ndim", get_ndim, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef indexer_methods[] = {
    tv::pickle::reduce_method<indexer_layout>(),
    tv::pickle::setstate_method<indexer_layout>(),
    {nullptr, nullptr, 0, nullptr},
};

// Only `obj` can close a reference cycle: `name` is a str or None.
int indexer_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(as_indexer(self)->obj);
    return 0;
}

int indexer_clear(PyObject *self)
{
    Py_SETREF(as_indexer(self)->obj, Py_NewRef(Py_None));
    return 0;
}

// `obj` may be another indexer, so a long chain of them is released through
// the interpreter's trashcan, which defers the inner deallocations once the
// nesting gets deep instead of recursing once per link.  The object must be
// untracked before.
void indexer_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, indexer_dealloc) Py_CLEAR(as_indexer(self)->name);
    Py_CLEAR(as_indexer(self)->obj);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

const char class_doc[] = "\n    A base class for _NDFrameIndexer for fast instantiation and attribute access.\n    ";

PyMethodDef module_functions[] = {
    tv::pickle::unpickle_function<indexer_layout>(),
    {nullptr, nullptr, 0, nullptr},
};

PyObject *module_create(PyObject *spec, PyModuleDef *) { return life.create(spec); }

int module_exec(PyObject *m)
{
    int state = life.begin_exec(m);
    if (state <= 0)
        return state;
    if (str_ndim.intern() < 0)
        return life.fail_exec();
    if (int_two == nullptr && (int_two = PyLong_FromLong(2)) == nullptr)
        return life.fail_exec();
    if (init_sig.init() < 0 || indexer_layout.init() < 0)
        return life.fail_exec();

    PyTypeObject *type = &NDFrameIndexerBase_Type;
    type->tp_name = "tavrel._libs.indexing.NDFrameIndexerBase";
    type->tp_basicsize = sizeof(NDFrameIndexerBase);
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type->tp_doc = class_doc;
    type->tp_new = indexer_new;
    type->tp_init = indexer_init;
    type->tp_vectorcall = indexer_vectorcall;
    type->tp_traverse = indexer_traverse;
    type->tp_clear = indexer_clear;
    type->tp_dealloc = indexer_dealloc;
    type->tp_getset = indexer_getset;
    type->tp_methods = indexer_methods;

    if (PyType_Ready(type) < 0 ||
        PyModule_AddObjectRef(m, "NDFrameIndexerBase", reinterpret_cast<PyObject *>(type)) < 0 ||
        tv::pickle::install<indexer_layout>(type) < 0 || PyModule_AddFunctions(m, module_functions) < 0)
        return life.fail_exec();
    return 0;
}

PyModuleDef_Slot slots[] = {TV_MODULE_SLOTS(module_create, module_exec)};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "indexing", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_indexing(void) { return PyModuleDef_Init(&module_def); }
