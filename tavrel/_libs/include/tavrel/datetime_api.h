/*
 * tavrel/datetime_api.h: the date-time function table for native client
 * modules.
 *
 * Usage from a client extension (C or C++), with the GIL held:
 *
 *     #include <Python.h>
 *     #include <tavrel/datetime_api.h>
 *
 *     static const tv_datetime_capi *dt_api;
 *     ...
 *     dt_api = tavrel_datetime_api_import();   // once, e.g. in module exec
 *     if (dt_api == NULL) return -1;           // an exception is set
 *     npy_datetimestruct dts;
 *     if (dt_api->pydatetime_to_datetimestruct(obj, &dts) < 0) ...
 *
 * The table is a plain array of 15 function pointers owned by the capsule
 * "tavrel._tavrel_datetime_CAPI" (attribute "_tavrel_datetime_CAPI" of the
 * package `tavrel`, published by importing tavrel._libs.tavrel_datetime).
 * `tv_datetime_capi` names the slots in order and `TV_DATETIME_SLOT_*` gives
 * each slot's index for clients that index the array by position.  The table
 * never changes once published, so the pointer may be kept for the life of
 * the process.
 *
 * Units are NumPy's datetime unit codes (NPY_DATETIMEUNIT) passed as int.
 * Failures set a Python exception; where -1 is also a legal count (slots 0
 * and 4) test PyErr_Occurred().  Texts returned by slots 2, 3 and 5 are
 * allocated with PyObject_Malloc and belong to the caller (PyObject_Free).
 *
 * Slots 3, 4, 8 and 10 read Python objects and, like every slot that can
 * raise, need the GIL held.  Slot 0 takes the GIL itself to report its
 * errors; slots 1, 9, 12 and 14, slot 11 with the raise flag zero and slots
 * 6, 7, 13 given valid arguments touch no Python state.
 *
 * Needs NumPy's include directory (numpy.get_include()) on the include path
 * for npy_datetimestruct and PyArray_DatetimeMetaData.
 */
#ifndef TAVREL_DATETIME_API_H
#define TAVREL_DATETIME_API_H

#include <stddef.h>

#include <numpy/ndarraytypes.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TV_DATETIME_CAPSULE_NAME "tavrel._tavrel_datetime_CAPI"
#define TV_DATETIME_PACKAGE_ATTR "_tavrel_datetime_CAPI"
#define TV_DATETIME_MODULE_NAME "tavrel._libs.tavrel_datetime"
#define TV_DATETIME_API_SLOTS 15

/* Modes of parse_iso8601's format matching. */
enum {
    TV_FORMAT_PARTIAL = 0, /* the text may continue after the format ends */
    TV_FORMAT_EXACT = 1,   /* text and format must end together */
    TV_FORMAT_INFER = 2    /* the format is ignored (pass length 0) */
};

/* Broken-down duration.  Negative durations have negative days and a
 * non-negative time of day (hour and minute units truncate instead). */
typedef struct {
    npy_int64 days;
    npy_int32 hours;
    npy_int32 minutes;
    npy_int32 seconds;
    npy_int32 milliseconds;
    npy_int32 microseconds;               /* within the millisecond */
    npy_int32 nanoseconds;                /* within the microsecond */
    npy_int32 seconds_of_day;             /* hours*3600 + minutes*60 + seconds */
    npy_int32 microseconds_of_second;     /* milliseconds*1000 + microseconds */
    npy_int32 nanoseconds_of_microsecond; /* equal to nanoseconds */
} tv_durationstruct;

typedef struct tv_datetime_capi {
    /* 0: count of `unit` since 1970-01-01, or -1 with OverflowError or
     * ValueError set. */
    npy_int64 (*npy_datetimestruct_to_datetime)(int unit, const npy_datetimestruct *dts);
    /* 1: rescales a nanosecond count to s, ms, us or ns (truncating); -1 and
     * no exception for any other unit. */
    int (*scaleNanosecToUnit)(npy_int64 *value, int unit);
    /* 2: ISO text of a count of `value_unit` at the precision of
     * `text_unit`, without zone suffix; *length receives the text length. */
    char *(*int64_to_iso_string)(npy_int64 value, int value_unit, int text_unit, size_t *length);
    /* 3: ISO text of a Python date or datetime (aware ones in UTC with "Z"). */
    char *(*pydatetime_to_iso_string)(PyObject *obj, int unit, size_t *length);
    /* 4: count of `unit` (s, ms, us or ns) of a Python date or datetime, or
     * -1 with an exception set. */
    npy_int64 (*pydatetime_to_epoch)(PyObject *obj, int unit);
    /* 5: ISO duration text of a nanosecond count, e.g. "P1DT2H0M0.500S". */
    char *(*int64_to_iso_duration_string)(npy_int64 nanoseconds, size_t *length);
    /* 6: record of a count of `unit`; an invalid unit leaves RuntimeError set
     * and the record at the epoch. */
    void (*datetime_to_datetimestruct)(npy_int64 value, int unit, npy_datetimestruct *out);
    /* 7: duration record of a count of `unit`; an invalid unit leaves
     * RuntimeError set and the record zero. */
    void (*timedelta_to_durationstruct)(npy_int64 value, int unit, tv_durationstruct *out);
    /* 8: record of a Python date or datetime (aware ones shifted to UTC);
     * 0, or -1 with an exception set. */
    int (*pydatetime_to_datetimestruct)(PyObject *obj, npy_datetimestruct *out);
    /* 9: -1, 0 or 1. */
    int (*cmp_datetimestruct)(const npy_datetimestruct *a, const npy_datetimestruct *b);
    /* 10: unit and multiplier of a datetime64 or timedelta64 dtype; for any
     * other object TypeError is set and the base is NPY_FR_ERROR. */
    PyArray_DatetimeMetaData (*datetime_metadata_from_dtype)(PyArray_Descr *dtype);
    /* 11: 0, or -1 (with ValueError when raise_errors is set; the text must
     * then be NUL-terminated).  best_unit, has_zone, zone_offset may be NULL;
     * `mode` is one of TV_FORMAT_*. */
    int (*parse_iso8601)(const char *text, int length, int raise_errors, npy_datetimestruct *out, int *best_unit,
                         int *has_zone, int *zone_offset, const char *format, int format_length, int mode);
    /* 12: buffer size for format_iso8601 (terminator and zone suffix
     * included); local != 0 leaves room for a numeric offset. */
    int (*iso8601_length)(int local, int unit);
    /* 13: 0, or -1 with RuntimeError when the buffer is too short. */
    int (*format_iso8601)(const npy_datetimestruct *dts, char *buf, int size, int utc, int unit);
    /* 14: writes into a buffer of at least 71 bytes; returns 0. */
    int (*format_iso8601_duration)(const tv_durationstruct *tds, char *buf, size_t *length);
} tv_datetime_capi;

enum {
    TV_DATETIME_SLOT_NPY_DATETIMESTRUCT_TO_DATETIME = 0,
    TV_DATETIME_SLOT_SCALE_NANOSEC_TO_UNIT = 1,
    TV_DATETIME_SLOT_INT64_TO_ISO_STRING = 2,
    TV_DATETIME_SLOT_PYDATETIME_TO_ISO_STRING = 3,
    TV_DATETIME_SLOT_PYDATETIME_TO_EPOCH = 4,
    TV_DATETIME_SLOT_INT64_TO_ISO_DURATION_STRING = 5,
    TV_DATETIME_SLOT_DATETIME_TO_DATETIMESTRUCT = 6,
    TV_DATETIME_SLOT_TIMEDELTA_TO_DURATIONSTRUCT = 7,
    TV_DATETIME_SLOT_PYDATETIME_TO_DATETIMESTRUCT = 8,
    TV_DATETIME_SLOT_CMP_DATETIMESTRUCT = 9,
    TV_DATETIME_SLOT_DATETIME_METADATA_FROM_DTYPE = 10,
    TV_DATETIME_SLOT_PARSE_ISO8601 = 11,
    TV_DATETIME_SLOT_ISO8601_LENGTH = 12,
    TV_DATETIME_SLOT_FORMAT_ISO8601 = 13,
    TV_DATETIME_SLOT_FORMAT_ISO8601_DURATION = 14
};

/* Layout checks: what clients compile against. */
#ifdef __cplusplus
#define TV_DATETIME_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define TV_DATETIME_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

TV_DATETIME_STATIC_ASSERT(sizeof(tv_datetime_capi) == TV_DATETIME_API_SLOTS * sizeof(void (*)(void)),
                          "tv_datetime_capi is an array of 15 function pointers");
TV_DATETIME_STATIC_ASSERT(offsetof(tv_datetime_capi, format_iso8601_duration) == 14 * sizeof(void (*)(void)),
                          "tv_datetime_capi slot order");
TV_DATETIME_STATIC_ASSERT(offsetof(tv_durationstruct, hours) == 8, "tv_durationstruct layout");
TV_DATETIME_STATIC_ASSERT(offsetof(tv_durationstruct, nanoseconds_of_microsecond) == 40, "tv_durationstruct layout");
TV_DATETIME_STATIC_ASSERT(sizeof(tv_durationstruct) == 48, "tv_durationstruct layout");
TV_DATETIME_STATIC_ASSERT(sizeof(npy_datetimestruct) == 40, "npy_datetimestruct layout");

#undef TV_DATETIME_STATIC_ASSERT

/* Imports the date-time module and returns its table; NULL with an exception
 * set on failure.  The GIL must be held. */
static inline const tv_datetime_capi *tavrel_datetime_api_import(void)
{
    PyObject *mod = PyImport_ImportModule(TV_DATETIME_MODULE_NAME);
    if (mod == NULL) {
        return NULL;
    }
    Py_DECREF(mod);
    return (const tv_datetime_capi *)PyCapsule_Import(TV_DATETIME_CAPSULE_NAME, 0);
}

#ifdef __cplusplus
}
#endif

#endif /* TAVREL_DATETIME_API_H */
