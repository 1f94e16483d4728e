// The pending exception, set aside for the length of a scope.
//
// Work that must run without a pending exception (building a traceback
// entry, a conversion that reports through the error indicator, a note
// added to the exception) takes it out first and puts it back afterwards:
//
//   {
//       tv::SavedError saved;        // no exception is pending from here on
//       ...                          // calls that may raise; their errors cleared
//   }                                // the saved exception is pending again
//
// The exception object itself is reachable (normalised) through get(), and
// release() hands it over instead of restoring it, for callers that chain
// it to a new exception.
#pragma once

#include "pyref.hpp"

namespace tv {

class SavedError {
public:
    SavedError() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    ~SavedError()
    {
        if (released_)
            return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
#endif
    }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;

    // The saved exception (borrowed), or null when none was pending.
    PyObject *get() noexcept
    {
#if PY_VERSION_HEX < 0x030C0000
        if (type_ != nullptr) {
            PyErr_NormalizeException(&type_, &exc_, &tb_);
            if (tb_ != nullptr && exc_ != nullptr)
                PyException_SetTraceback(exc_, tb_);
        }
#endif
        return exc_;
    }

    // Hands the saved exception to the caller (a new reference, or null);
    // the scope's end then leaves the error indicator as it finds it.
    PyObject *release() noexcept
    {
        PyObject *exc = get();
#if PY_VERSION_HEX < 0x030C0000
        Py_CLEAR(type_);
        Py_CLEAR(tb_);
#endif
        exc_ = nullptr;
        released_ = true;
        return exc;
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type_ = nullptr;
    PyObject *tb_ = nullptr;
#endif
    PyObject *exc_ = nullptr;
    bool released_ = false;
};

}  // namespace tv
