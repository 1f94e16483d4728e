// Owned Python references.
//
// tv::Ref holds one strong reference and drops it when it goes out of scope,
// so that every early return on an error path releases what was created.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tv {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new (owned) reference, which may be null.
    explicit Ref(PyObject *owned) noexcept : p_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        if (this != &other) {
            PyObject *old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // A new reference to a borrowed object.
    static Ref borrow(PyObject *borrowed) noexcept
    {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Hands the reference to the caller.
    PyObject *release() noexcept
    {
        PyObject *r = p_;
        p_ = nullptr;
        return r;
    }
    // A second strong reference for the caller; this holder keeps its own.
    PyObject *new_ref() const noexcept
    {
        Py_XINCREF(p_);
        return p_;
    }
    void reset(PyObject *owned = nullptr) noexcept
    {
        PyObject *old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject *p_ = nullptr;
};

// getattr(obj, name) that treats a missing attribute as no error: returns 1
// with a new reference in `result`, 0 with `result` empty when the attribute
// is missing (AttributeError, which is cleared or never created at all), or
// -1 with any other error set, so that an error raised by a property is
// reported rather than taken for a missing attribute.
inline int get_optional_attr(PyObject *obj, PyObject *name, Ref &result) noexcept
{
    PyObject *found = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int status = PyObject_GetOptionalAttr(obj, name, &found);
#else
    const int status = _PyObject_LookupAttr(obj, name, &found);
#endif
    result.reset(found);
    return status;
}

// The same, by a name given as text.
inline int get_optional_attr(PyObject *obj, const char *name, Ref &result) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *found = nullptr;
    const int status = PyObject_GetOptionalAttrString(obj, name, &found);
    result.reset(found);
    return status;
#else
    Ref key(PyUnicode_FromString(name));
    if (!key) {
        result.reset();
        return -1;
    }
    return get_optional_attr(obj, key.get(), result);
#endif
}

}  // namespace tv
