// Function tables published to other native modules.
//
// A module without Python-level functions hands its work to other native
// modules as a table of function pointers, wrapped in a named capsule that
// is set as an attribute of the package `tavrel`.  A client fetches the
// table once (PyCapsule_Import on the capsule's dotted name) and calls
// through that pointer for the rest of the process.  The capsule owns the
// table and frees it when the capsule dies.
//
// So a published table is never replaced.  When the module is executed again
// (imported anew after its removal from sys.modules, say), a new capsule set
// on the package would drop the old one, and its destructor would free the
// table under the clients that hold it.  publish_table_once() leaves a
// capsule of the same name found on the package in place and builds a table
// only when there is none.  A typical module unit:
//
//   const tv::TableCapsule capsule{"_tavrel_parser_CAPI", "tavrel._tavrel_parser_CAPI",
//                                  "tv_parser could not import module tavrel"};
//   void fill_table(ParserApi *api) noexcept { api->... = ...; }
//   int exec(PyObject *) noexcept { return tv::publish_table_once(capsule, fill_table); }
//   tv::TableModule table_module{"tavrel._libs.tavrel_parser", "Internal module ...", exec};
//   PyMODINIT_FUNC PyInit_tavrel_parser(void) { return PyModuleDef_Init(&table_module.def); }
#pragma once

#include "pyref.hpp"

namespace tv {

struct TableCapsule {
    const char *attribute;     // attribute of the package: "_tavrel_parser_CAPI"
    const char *capsule_name;  // "tavrel._tavrel_parser_CAPI" (static: the capsule keeps the pointer)
    const char *import_error;  // ImportError text when the package cannot be imported
};

// The capsule's destructor: frees the table with the allocator that made it.
inline void free_capsule_table(PyObject *capsule) noexcept
{
    PyMem_Free(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
}

// 1 when the package already carries a capsule of this name, 0 when it
// carries none (or something else under the attribute, which is then
// replaced), -1 with an exception set.
inline int capsule_published(PyObject *package, const TableCapsule &where) noexcept
{
    Ref existing;
    const int status = get_optional_attr(package, where.attribute, existing);
    if (status <= 0)
        return status;
    return PyCapsule_IsValid(existing.get(), where.capsule_name);
}

// Imports the package and publishes a new Table, filled by `fill`, unless a
// table is published already.  Returns 0, or -1 with an exception set (the
// import's own error replaced by ImportError `where.import_error`); nothing
// is left allocated on failure.
template <class Table>
int publish_table_once(const TableCapsule &where, void (*fill)(Table *) noexcept) noexcept
{
    Ref package(PyImport_ImportModule("tavrel"));
    if (!package) {
        PyErr_SetString(PyExc_ImportError, where.import_error);
        return -1;
    }
    int published = capsule_published(package.get(), where);
    if (published != 0)
        return published < 0 ? -1 : 0;

    auto *table = static_cast<Table *>(PyMem_Malloc(sizeof(Table)));
    if (table == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    fill(table);
    Ref capsule(PyCapsule_New(table, where.capsule_name, free_capsule_table));
    if (!capsule) {
        PyMem_Free(table);
        return -1;
    }
    // On failure the capsule's last reference goes with `capsule`, and its
    // destructor frees the table.
    return PyModule_AddObjectRef(package.get(), where.attribute, capsule.get());
}

// The definition of a module whose only work is its exec step: no
// functions, no per-module state.  Kept in static storage, since the
// interpreter holds on to the definition.
struct TableModule {
    PyModuleDef_Slot slots[2];
    PyModuleDef def;

    TableModule(const char *name, const char *doc, int (*exec)(PyObject *) noexcept) noexcept
        : slots{{Py_mod_exec, reinterpret_cast<void *>(exec)}, {0, nullptr}},
          def{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr}
    {}
    TableModule(const TableModule &) = delete;
    TableModule &operator=(const TableModule &) = delete;
};

}  // namespace tv
