// The tavrel._libs.tavrel_datetime module: no Python-level functions; its
// execution publishes the date-time function table (tavrel/datetime_api.h)
// in the capsule "tavrel._tavrel_datetime_CAPI", attribute
// "_tavrel_datetime_CAPI" of the package `tavrel`.
#include "pydatetime.h"  // first: names NumPy's shared function table

#include <numpy/ndarrayobject.h>

#include "common/pyref.hpp"
#include "datetime_slots.h"
#include "tavrel/datetime_api.h"

namespace {

using tv::Ref;

// Frees the table when the package drops the capsule.
void free_table(PyObject *capsule) noexcept
{
    PyMem_Free(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
}

// Whether the package already carries a table from an earlier execution of
// this module (a second import after removal from sys.modules creates and
// executes a new module object).  Clients keep the table's pointer for the life of the
// process, so a published table is never replaced, which would free it.
int table_published(PyObject *package) noexcept
{
    Ref existing(PyObject_GetAttrString(package, TV_DATETIME_PACKAGE_ATTR));
    if (!existing) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    return PyCapsule_IsValid(existing.get(), TV_DATETIME_CAPSULE_NAME);
}

tv_datetime_capi *new_table() noexcept
{
    auto *table = static_cast<tv_datetime_capi *>(PyMem_Malloc(sizeof(tv_datetime_capi)));
    if (table == nullptr)
        return nullptr;
    table->npy_datetimestruct_to_datetime = npy_datetimestruct_to_datetime;
    table->scaleNanosecToUnit = scaleNanosecToUnit;
    table->int64_to_iso_string = int64_to_iso_string;
    table->pydatetime_to_iso_string = tv::dt::pydatetime_to_iso_string;
    table->pydatetime_to_epoch = tv::dt::pydatetime_to_epoch;
    table->int64_to_iso_duration_string = int64_to_iso_duration_string;
    table->datetime_to_datetimestruct = datetime_to_datetimestruct;
    table->timedelta_to_durationstruct = timedelta_to_durationstruct;
    table->pydatetime_to_datetimestruct = tv::dt::pydatetime_to_datetimestruct;
    table->cmp_datetimestruct = cmp_datetimestruct;
    table->datetime_metadata_from_dtype = tv::dt::datetime_metadata_from_dtype;
    table->parse_iso8601 = parse_iso8601;
    table->iso8601_length = iso8601_length;
    table->format_iso8601 = format_iso8601;
    table->format_iso8601_duration = format_iso8601_duration;
    return table;
}

int module_exec(PyObject *) noexcept
{
    // Clients of the table expect the standard datetime C API to be loaded.
    if (PyCapsule_Import("datetime.datetime_CAPI", 0) == nullptr)
        return -1;

    Ref package(PyImport_ImportModule("tavrel"));
    if (!package) {
        PyErr_SetString(PyExc_ImportError, "tv_datetime could not import module tavrel");
        return -1;
    }
    int published = table_published(package.get());
    if (published != 0)
        return published < 0 ? -1 : 0;

    tv_datetime_capi *table = new_table();
    if (table == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    Ref capsule(PyCapsule_New(table, TV_DATETIME_CAPSULE_NAME, free_table));
    if (!capsule) {
        PyMem_Free(table);
        return -1;
    }
    // On failure the capsule's last reference goes with `capsule`, and its
    // destructor frees the table.
    return PyModule_AddObjectRef(package.get(), TV_DATETIME_PACKAGE_ATTR, capsule.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tavrel._libs.tavrel_datetime",
    "Internal module with datetime support for other extensions",
    0,        // no per-module state
    nullptr,  // no methods
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tavrel_datetime(void)
{
    if (PyCapsule_Import("datetime.datetime_CAPI", 0) == nullptr)
        return nullptr;
    // NumPy's own import: checks the ABI and C-API versions and the byte
    // order, prints the cause and raises ImportError
    // "numpy._core.multiarray failed to import" on any failure, and records
    // the running C-API version used to read dtype metadata.
    import_array();
    return PyModuleDef_Init(&module_def);
}
