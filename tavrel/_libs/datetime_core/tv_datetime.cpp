// The tavrel._libs.tavrel_datetime module: no Python-level functions; its
// execution publishes the date-time function table (tavrel/datetime_api.h)
// in the capsule "tavrel._tavrel_datetime_CAPI", attribute
// "_tavrel_datetime_CAPI" of the package `tavrel`.
#include "pydatetime.h"  // first: names NumPy's shared function table

#include <numpy/ndarrayobject.h>

#include "common/capsule.hpp"
#include "datetime_slots.h"
#include "tavrel/datetime_api.h"

namespace {

void fill_table(tv_datetime_capi *table) noexcept
{
    namespace py = tv::dt::py;
    table->npy_datetimestruct_to_datetime = py::npy_datetimestruct_to_datetime;
    table->scaleNanosecToUnit = py::scaleNanosecToUnit;
    table->int64_to_iso_string = py::int64_to_iso_string;
    table->pydatetime_to_iso_string = py::pydatetime_to_iso_string;
    table->pydatetime_to_epoch = py::pydatetime_to_epoch;
    table->int64_to_iso_duration_string = py::int64_to_iso_duration_string;
    table->datetime_to_datetimestruct = py::datetime_to_datetimestruct;
    table->timedelta_to_durationstruct = py::timedelta_to_durationstruct;
    table->pydatetime_to_datetimestruct = py::pydatetime_to_datetimestruct;
    table->cmp_datetimestruct = py::cmp_datetimestruct;
    table->datetime_metadata_from_dtype = py::datetime_metadata_from_dtype;
    table->parse_iso8601 = py::parse_iso8601;
    table->iso8601_length = py::iso8601_length;
    table->format_iso8601 = py::format_iso8601;
    table->format_iso8601_duration = py::format_iso8601_duration;
}

const tv::TableCapsule table_capsule{TV_DATETIME_PACKAGE_ATTR, TV_DATETIME_CAPSULE_NAME,
                                     "tv_datetime could not import module tavrel"};

int module_exec(PyObject *) noexcept
{
    // Clients of the table expect the standard datetime C API to be loaded.
    if (PyCapsule_Import("datetime.datetime_CAPI", 0) == nullptr)
        return -1;
    // Publishes the table, or keeps the one an earlier execution published
    // (clients hold its pointer for the life of the process).
    return tv::publish_table_once(table_capsule, fill_table);
}

tv::TableModule table_module{"tavrel._libs.tavrel_datetime",
                             "Internal module with datetime support for other extensions", module_exec};

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
    return PyModuleDef_Init(&table_module.def);
}
