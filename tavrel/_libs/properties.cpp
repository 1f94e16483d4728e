// Property descriptors of the library's classes.
//
// CachedProperty (also bound as cache_readonly) computes a value once per
// object and serves it from the object's `_cache` dict afterwards, keyed by
// the wrapped function's name:
//
//   class Frame:
//       @cache_readonly
//       def shape(self): ...       # first frame.shape calls the function,
//                                  # later reads find frame._cache["shape"]
//
// AxisProperty reads obj._mgr.axes[axis] and routes assignment to
// obj._set_axis(axis, value).
//
// Both are data descriptors, so they win over an instance dict entry of the
// same name; both refuse deletion.
#include <cstddef>

#include "common/binding.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/pickling.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace {

tv::ModuleLife life{"properties", "tavrel._libs.properties", "tavrel/_libs/properties.cpp"};

// Interned at module execution.
tv::Name str_cache{"_cache"};
tv::Name str_name{"__name__"};
tv::Name str_doc{"__doc__"};
tv::Name str_mgr{"_mgr"};
tv::Name str_axes{"axes"};
tv::Name str_set_axis{"_set_axis"};
tv::Name str_empty{""};

// ---------------------------------------------------------------------------
// CachedProperty

struct CachedProperty {
    PyObject_HEAD PyObject *fget;
    PyObject *name;
    PyObject *doc;
};

PyTypeObject CachedProperty_Type = tv::empty_type_object();

tv::pickle::ClassLayout<3> cached_property_layout{
    .life = &life,
    .class_name = "CachedProperty",
    .reconstructor = "__pyx_unpickle_CachedProperty",
    .field_names = "__doc__, fget, name",
    .checksum = 0xef86259,
    .accepted = {0xef86259, 0xe8b19c1, 0xd67b376},
    .fields = {{"__doc__", tv::pickle::FieldKind::object, offsetof(CachedProperty, doc)},
               {"fget", tv::pickle::FieldKind::object, offsetof(CachedProperty, fget)},
               {"name", tv::pickle::FieldKind::object, offsetof(CachedProperty, name)}},
    .type = &CachedProperty_Type,
};

tv::Signature<1> cached_property_init_sig{"__init__", {"fget"}};

PyObject *cached_property_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    auto *p = reinterpret_cast<CachedProperty *>(self);
    p->fget = Py_NewRef(Py_None);
    p->name = Py_NewRef(Py_None);
    p->doc = Py_NewRef(Py_None);
    return self;
}

int cached_property_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    auto *p = reinterpret_cast<CachedProperty *>(self);
    PyObject *values[1] = {};
    if (tv::bind_tuple_dict(cached_property_init_sig, args, kwargs, values) == 0) {
        PyObject *fget = values[0];
        Py_SETREF(p->fget, Py_NewRef(fget));
        PyObject *name = PyObject_GetAttr(fget, str_name.get());
        if (name != nullptr) {
            Py_SETREF(p->name, name);
            tv::Ref doc;
            int found = tv::get_optional_attr(fget, str_doc.get(), doc);
            if (found >= 0) {
                Py_SETREF(p->doc, found ? doc.release() : Py_NewRef(Py_None));
                return 0;
            }
        }
    }
    life.traceback("CachedProperty.__init__", __LINE__);
    return -1;
}

// The object's cache dict, made and attached on first use.  Returns a new
// reference; null with an exception set on error; null without an
// exception when the object refuses the `_cache` attribute.
PyObject *object_cache(PyObject *obj)
{
    tv::Ref cache;
    if (tv::get_optional_attr(obj, str_cache.get(), cache) < 0)
        return nullptr;
    if (cache && cache.get() != Py_None) {
        if (PyDict_Check(cache.get()))
            return cache.release();
        PyErr_Format(PyExc_TypeError,
                     "the '_cache' attribute of a '%.200s' object must be a dict or None, not '%.200s'",
                     Py_TYPE(obj)->tp_name, Py_TYPE(cache.get())->tp_name);
        return nullptr;
    }
    cache.reset(PyDict_New());
    if (!cache)
        return nullptr;
    if (PyObject_SetAttr(obj, str_cache.get(), cache.get()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Clear();
        return nullptr;
    }
    return cache.release();
}

PyObject *cached_property_get(PyObject *self, PyObject *obj, PyObject *)
{
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    auto *p = reinterpret_cast<CachedProperty *>(self);
    tv::Ref cache(object_cache(obj));
    if (!cache) {
        if (!PyErr_Occurred())
            return Py_NewRef(self);  // the object takes no `_cache`: nothing is computed
        life.traceback("CachedProperty.__get__", __LINE__);
        return nullptr;
    }
    // Held for the whole call: fget may run code that re-initialises this
    // descriptor.
    tv::Ref name = tv::Ref::borrow(p->name);
    PyObject *cached = PyDict_GetItemWithError(cache.get(), name.get());
    if (cached != nullptr)
        return Py_NewRef(cached);
    if (!PyErr_Occurred()) {
        tv::Ref fget = tv::Ref::borrow(p->fget);
        tv::Ref value(PyObject_CallOneArg(fget.get(), obj));
        if (value && PyDict_SetItem(cache.get(), name.get(), value.get()) == 0)
            return value.release();
    }
    life.traceback("CachedProperty.__get__", __LINE__);
    return nullptr;
}

int refuse_delete()
{
    PyErr_SetString(PyExc_NotImplementedError, "__delete__");
    return -1;
}

int cached_property_set(PyObject *, PyObject *, PyObject *value)
{
    if (value == nullptr) {
        refuse_delete();
        life.traceback("CachedProperty.__delete__", __LINE__);
        return -1;
    }
    PyErr_SetString(PyExc_AttributeError, "Can't set attribute");
    life.traceback("CachedProperty.__set__", __LINE__);
    return -1;
}

int cached_property_traverse(PyObject *self, visitproc visit, void *arg)
{
    auto *p = reinterpret_cast<CachedProperty *>(self);
    Py_VISIT(p->fget);
    Py_VISIT(p->name);
    Py_VISIT(p->doc);
    return 0;
}

int cached_property_clear(PyObject *self)
{
    auto *p = reinterpret_cast<CachedProperty *>(self);
    Py_SETREF(p->fget, Py_NewRef(Py_None));
    Py_SETREF(p->name, Py_NewRef(Py_None));
    Py_SETREF(p->doc, Py_NewRef(Py_None));
    return 0;
}

// A property can hold another one (fget, __doc__), so a long chain of them is
// released through the interpreter's trashcan, which defers the inner
// deallocations once the nesting gets deep instead of recursing once per
// link.  The object must be untracked before.
void cached_property_dealloc(PyObject *self)
{
    auto *p = reinterpret_cast<CachedProperty *>(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, cached_property_dealloc) Py_CLEAR(p->fget);
    Py_CLEAR(p->name);
    Py_CLEAR(p->doc);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyMemberDef cached_property_members[] = {
    {"fget", Py_T_OBJECT_EX, offsetof(CachedProperty, fget), Py_READONLY, nullptr},
    {"name", Py_T_OBJECT_EX, offsetof(CachedProperty, name), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(CachedProperty, doc), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef cached_property_methods[] = {
    tv::pickle::reduce_method<cached_property_layout>(),
    tv::pickle::setstate_method<cached_property_layout>(),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// AxisProperty

struct AxisProperty {
    PyObject_HEAD Py_ssize_t axis;
    PyObject *doc;
};

PyTypeObject AxisProperty_Type = tv::empty_type_object();

tv::pickle::ClassLayout<2> axis_property_layout{
    .life = &life,
    .class_name = "AxisProperty",
    .reconstructor = "__pyx_unpickle_AxisProperty",
    .field_names = "__doc__, axis",
    .checksum = 0xd2e4e33,
    .accepted = {0xd2e4e33, 0xd654b7d, 0xdc8cce6},
    .fields = {{"__doc__", tv::pickle::FieldKind::object, offsetof(AxisProperty, doc)},
               {"axis", tv::pickle::FieldKind::index, offsetof(AxisProperty, axis)}},
    .type = &AxisProperty_Type,
};

tv::Signature<2> axis_property_init_sig{"__init__", {"axis", "doc"}, 0};

PyObject *axis_property_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    auto *p = reinterpret_cast<AxisProperty *>(self);
    p->axis = 0;
    p->doc = Py_NewRef(Py_None);
    return self;
}

int axis_property_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    auto *p = reinterpret_cast<AxisProperty *>(self);
    PyObject *values[2] = {nullptr, str_empty.get()};
    Py_ssize_t axis = 0;
    if (tv::bind_tuple_dict(axis_property_init_sig, args, kwargs, values) == 0 &&
        (values[0] == nullptr || tv::to_ssize_t(values[0], &axis) == 0)) {
        p->axis = axis;
        Py_SETREF(p->doc, Py_NewRef(values[1]));
        return 0;
    }
    life.traceback("AxisProperty.__init__", __LINE__);
    return -1;
}

PyObject *axis_property_get(PyObject *self, PyObject *obj, PyObject *)
{
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    auto *p = reinterpret_cast<AxisProperty *>(self);
    tv::Ref mgr(PyObject_GetAttr(obj, str_mgr.get()));
    if (mgr) {
        tv::Ref axes(PyObject_GetAttr(mgr.get(), str_axes.get()));
        if (axes) {
            PyObject *list = axes.get();
            if (PyList_CheckExact(list)) {
                const Py_ssize_t size = PyList_GET_SIZE(list);
                Py_ssize_t i = p->axis;
                if (i < 0)
                    i += size;
                if (i >= 0 && i < size)
                    return Py_NewRef(PyList_GET_ITEM(list, i));
                PyErr_SetString(PyExc_IndexError, "list index out of range");
            } else if (list == Py_None) {
                PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
            } else {
                tv::raise_expected_type("list", list);
            }
        }
    }
    life.traceback("AxisProperty.__get__", __LINE__);
    return nullptr;
}

int axis_property_set(PyObject *self, PyObject *obj, PyObject *value)
{
    if (value == nullptr) {
        refuse_delete();
        life.traceback("AxisProperty.__delete__", __LINE__);
        return -1;
    }
    auto *p = reinterpret_cast<AxisProperty *>(self);
    tv::Ref axis(PyLong_FromSsize_t(p->axis));
    if (axis) {
        PyObject *call_args[3] = {obj, axis.get(), value};
        tv::Ref result(PyObject_VectorcallMethod(str_set_axis.get(), call_args, 3, nullptr));
        if (result)
            return 0;
    }
    life.traceback("AxisProperty.__set__", __LINE__);
    return -1;
}

int axis_property_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<AxisProperty *>(self)->doc);
    return 0;
}

int axis_property_clear(PyObject *self)
{
    Py_SETREF(reinterpret_cast<AxisProperty *>(self)->doc, Py_NewRef(Py_None));
    return 0;
}

// Through the trashcan, as CachedProperty: __doc__ may be another property.
void axis_property_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, axis_property_dealloc) Py_CLEAR(reinterpret_cast<AxisProperty *>(self)->doc);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyMemberDef axis_property_members[] = {
    {"axis", Py_T_PYSSIZET, offsetof(AxisProperty, axis), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(AxisProperty, doc), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef axis_property_methods[] = {
    tv::pickle::reduce_method<axis_property_layout>(),
    tv::pickle::setstate_method<axis_property_layout>(),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Module

PyMethodDef module_functions[] = {
    tv::pickle::unpickle_function<cached_property_layout>(),
    tv::pickle::unpickle_function<axis_property_layout>(),
    {nullptr, nullptr, 0, nullptr},
};

void fill_descriptor_type(PyTypeObject *type, const char *name, Py_ssize_t size, newfunc tp_new, initproc tp_init,
                          descrgetfunc get, descrsetfunc set, traverseproc traverse, inquiry clear, destructor dealloc,
                          PyMemberDef *members, PyMethodDef *methods)
{
    type->tp_name = name;
    type->tp_basicsize = size;
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type->tp_new = tp_new;
    type->tp_init = tp_init;
    type->tp_descr_get = get;
    type->tp_descr_set = set;
    type->tp_traverse = traverse;
    type->tp_clear = clear;
    type->tp_dealloc = dealloc;
    type->tp_members = members;
    type->tp_methods = methods;
}

// Readies a class, binds it in the module and sets up its pickling.
template <auto &Layout>
int add_class(PyObject *m, PyTypeObject *type, const char *attribute)
{
    if (PyType_Ready(type) < 0)
        return -1;
    if (PyModule_AddObjectRef(m, attribute, reinterpret_cast<PyObject *>(type)) < 0)
        return -1;
    return tv::pickle::install<Layout>(type);
}

PyObject *module_create(PyObject *spec, PyModuleDef *) { return life.create(spec); }

int module_exec(PyObject *m)
{
    int state = life.begin_exec(m);
    if (state <= 0)
        return state;
    if (tv::intern_names({&str_cache, &str_name, &str_doc, &str_mgr, &str_axes, &str_set_axis, &str_empty}) < 0 ||
        cached_property_init_sig.init() < 0 || axis_property_init_sig.init() < 0 || cached_property_layout.init() < 0 ||
        axis_property_layout.init() < 0)
        return life.fail_exec();

    fill_descriptor_type(&CachedProperty_Type, "tavrel._libs.properties.CachedProperty", sizeof(CachedProperty),
                         cached_property_new, cached_property_init, cached_property_get, cached_property_set,
                         cached_property_traverse, cached_property_clear, cached_property_dealloc,
                         cached_property_members, cached_property_methods);
    fill_descriptor_type(&AxisProperty_Type, "tavrel._libs.properties.AxisProperty", sizeof(AxisProperty),
                         axis_property_new, axis_property_init, axis_property_get, axis_property_set,
                         axis_property_traverse, axis_property_clear, axis_property_dealloc, axis_property_members,
                         axis_property_methods);

    if (add_class<cached_property_layout>(m, &CachedProperty_Type, "CachedProperty") < 0 ||
        add_class<axis_property_layout>(m, &AxisProperty_Type, "AxisProperty") < 0 ||
        PyModule_AddObjectRef(m, "cache_readonly", reinterpret_cast<PyObject *>(&CachedProperty_Type)) < 0 ||
        PyModule_AddFunctions(m, module_functions) < 0)
        return life.fail_exec();
    return 0;
}

PyModuleDef_Slot slots[] = {TV_MODULE_SLOTS(module_create, module_exec)};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "properties", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_properties(void) { return PyModuleDef_Init(&module_def); }
