// Interned names: str objects made once, at module execution, and kept for
// the life of the process, so that attribute lookups and keyword matching
// on hot paths neither build a str nor compare text.
//
//   tv::Name str_cache{"_cache"};
//   int exec(PyObject *m) { if (tv::intern_names({&str_cache, ...}) < 0) ...; }
//   ... PyObject_GetAttr(obj, str_cache.get()) ...
#pragma once

#include <initializer_list>

#include "pyref.hpp"

namespace tv {

class Name {
public:
    // Implicit, so that tables of names read as tables of texts.
    constexpr Name(const char *text) noexcept : text_(text) {}
    Name(const Name &) = delete;
    Name &operator=(const Name &) = delete;

    // Makes the str once; later calls keep it.  0, or -1 with MemoryError.
    int intern() noexcept
    {
        if (object_ == nullptr)
            object_ = PyUnicode_InternFromString(text_);
        return object_ != nullptr ? 0 : -1;
    }

    // The interned str (borrowed); null before intern() succeeded.
    PyObject *get() const noexcept { return object_; }
    const char *text() const noexcept { return text_; }

private:
    const char *text_;
    PyObject *object_ = nullptr;
};

// Interns every name of the list: 0, or -1 at the first failure.
inline int intern_names(std::initializer_list<Name *> names) noexcept
{
    for (Name *name : names)
        if (name->intern() < 0)
            return -1;
    return 0;
}

}  // namespace tv
