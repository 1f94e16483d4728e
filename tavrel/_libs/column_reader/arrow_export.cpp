// Arrow export of a table of NumPy columns through the Arrow PyCapsule
// interface (see arrow_export.hpp and arrow_core.hpp).
//
//   arrow_schema(columns, nrows)                    -> "arrow_schema" capsule
//   arrow_stream(columns, nrows, requested_schema=None, batch_text_bytes=2**31-1)
//                                                   -> "arrow_array_stream" capsule
//
// `columns` is a tuple of (name, array, missing mask or None, utc) tuples.
// Types: signed and unsigned integers, floats (the values buffer is the
// array's own memory: no copy), bool (bit-packed), datetime64 as timestamp
// (s, ms, us, ns shared; hours and minutes in seconds; ps, fs, as in ns when
// exact; "UTC" for utc columns) or date32 (days, weeks, months, years), and
// text (StringDType, or objects of str) as utf8, in batches of at most
// batch_text_bytes of text per column, or as large_utf8 when asked for.
// Missing values (the mask, NaT, NA strings, None objects) are nulls.
//
// Everything is built when the stream is made, with the interpreter lock
// held; the stream's callbacks and the arrays' releases then need no lock,
// except the last release of a shared column, which drops its array.
#include "arrow_export.hpp"

#define NO_IMPORT_UFUNC
#include <numpy/arrayobject.h>

#include <tavrel/datetime_api.h>

#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/pyref.hpp"

namespace tv::reader {
namespace {

using arrow::Chunk;
using arrow::ColumnStore;
using arrow::Field;
using arrow::TextGather;

const tv_datetime_capi *dt = nullptr;
bool numpy2_strings = false;

const char kSchemaCapsule[] = "arrow_schema";
const char kStreamCapsule[] = "arrow_array_stream";

bool finalizing() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// The drop callback of a column store that shares an array's memory: the
// array's reference goes, under the interpreter lock, from whichever thread
// releases last.  While the interpreter shuts down it is left alone (a
// thread other than the finalizing one may not take the lock then; the
// process is ending anyway).
void drop_array(void *owner) noexcept
{
    if (!Py_IsInitialized() || finalizing())
        return;
    const PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(static_cast<PyObject *>(owner));
    PyGILState_Release(state);
}

// Releases the stores this function holds a reference to, on every path.
struct Stores {
    std::vector<ColumnStore *> all;
    ~Stores()
    {
        for (ColumnStore *s : all) {
            if (s != nullptr)
                s->release();
        }
    }
};

// Releases arrays not handed over.
struct Batches {
    std::vector<ArrowArray> all;
    ~Batches()
    {
        for (ArrowArray &b : all) {
            if (b.release != nullptr)
                b.release(&b);
        }
    }
};

// --- the columns ---------------------------------------------------------------------

enum class Way : uint8_t {
    Share,      // the array's own values
    Bits,       // bools packed
    Date32,     // date-time counts as int32 days
    ScaleUp,    // counts times `factor`
    ScaleDown,  // counts divided by `factor`, exactly
    Strings,    // StringDType text
    Objects,    // objects of str
};

struct Plan {
    std::string name;  // UTF-8
    const char *format = "";
    int64_t flags = ARROW_FLAG_NULLABLE;
    Way way = Way::Share;
    Ref array;  // 1-d; for Share .. ScaleDown C-contiguous, aligned, native byte order
    Ref mask;   // C-contiguous bool, or null
    int itemsize = 0;
    int unit = -1;  // date-time unit (NumPy's code)
    int64_t factor = 1;
    bool nat = false;  // NaT is null
    TextGather text;
};

using Plans = std::deque<Plan>;  // a Plan cannot move (its text buffers)

bool is_text(const Plan &p) noexcept { return p.way == Way::Strings || p.way == Way::Objects; }

bool is_large(const Plan &p) noexcept { return std::strcmp(p.format, "U") == 0; }

bool no_memory() noexcept
{
    PyErr_NoMemory();
    return false;
}

std::vector<Field> fields_of(const Plans &plans)
{
    std::vector<Field> fields;
    fields.reserve(plans.size());
    for (const Plan &p : plans)
        fields.push_back(Field{p.name, p.format, p.flags});
    return fields;
}

// The Arrow format of a date-time unit and the way to get there.
bool plan_datetime(Plan &p, PyArray_Descr *descr, bool utc, const std::string &shown)
{
    const PyArray_DatetimeMetaData meta = dt->datetime_metadata_from_dtype(descr);
    if (meta.base == NPY_FR_ERROR)
        return false;
    if (meta.num != 1 || meta.base == NPY_FR_GENERIC) {
        PyErr_Format(PyExc_TypeError, "column %s: a datetime64 of generic or multiplied unit has no Arrow type",
                     shown.c_str());
        return false;
    }
    p.unit = static_cast<int>(meta.base);
    p.nat = true;
    static const char *const plain[4] = {"tss:", "tsm:", "tsu:", "tsn:"};
    static const char *const zoned[4] = {"tss:UTC", "tsm:UTC", "tsu:UTC", "tsn:UTC"};
    int resolution;  // s, ms, us, ns
    switch (meta.base) {
    case NPY_FR_Y:
    case NPY_FR_M:
    case NPY_FR_W:
    case NPY_FR_D:
        p.way = Way::Date32;
        p.format = "tdD";
        return true;
    case NPY_FR_h:
    case NPY_FR_m:
        p.way = Way::ScaleUp;
        p.factor = meta.base == NPY_FR_h ? 3600 : 60;
        resolution = 0;
        break;
    case NPY_FR_s:
    case NPY_FR_ms:
    case NPY_FR_us:
    case NPY_FR_ns:
        resolution = static_cast<int>(meta.base) - NPY_FR_s;
        break;
    case NPY_FR_ps:
    case NPY_FR_fs:
    case NPY_FR_as:
        p.way = Way::ScaleDown;
        p.factor = meta.base == NPY_FR_ps ? 1000 : meta.base == NPY_FR_fs ? 1000000 : 1000000000;
        resolution = 3;
        break;
    default:
        PyErr_Format(PyExc_TypeError, "column %s: datetime64 unit %d has no Arrow type", shown.c_str(),
                     static_cast<int>(meta.base));
        return false;
    }
    p.format = utc ? zoned[resolution] : plain[resolution];
    return true;
}

// The format and way of one column from its dtype.
bool plan_type(Plan &p, PyArrayObject *arr, bool utc, const std::string &shown)
{
    PyArray_Descr *descr = PyArray_DESCR(arr);
    const int size = static_cast<int>(PyArray_ITEMSIZE(arr));
    const char *format = nullptr;
    switch (descr->kind) {
    case 'b':
        p.way = Way::Bits;
        p.format = "b";
        return true;
    case 'i':
        format = size == 1 ? "c" : size == 2 ? "s" : size == 4 ? "i" : size == 8 ? "l" : nullptr;
        break;
    case 'u':
        format = size == 1 ? "C" : size == 2 ? "S" : size == 4 ? "I" : size == 8 ? "L" : nullptr;
        break;
    case 'f':
        format = size == 2 ? "e" : size == 4 ? "f" : size == 8 ? "g" : nullptr;
        break;
    case 'M':
        return plan_datetime(p, descr, utc, shown);
    case 'O':
        p.way = Way::Objects;
        p.format = "u";
        return true;
    case 'T':
        if (numpy2_strings) {
            p.way = Way::Strings;
            p.format = "u";
            return true;
        }
        break;
    default:
        break;
    }
    if (format == nullptr) {
        Ref type(PyObject_Str(reinterpret_cast<PyObject *>(descr)));
        PyErr_Format(PyExc_TypeError,
                     "column %s has dtype %S, which has no Arrow type here (integers, floats, bool, datetime64 "
                     "and text have)",
                     shown.c_str(), type ? type.get() : Py_None);
        return false;
    }
    p.way = Way::Share;
    p.itemsize = size;
    p.format = format;
    return true;
}

// One (name, array, mask, utc) item of `columns`.  With `data`, the array
// is made ready to be read (a copy only when it is not contiguous, aligned
// and in native byte order) and the mask converted.
bool plan_column(PyObject *item, int64_t nrows, bool data, Plan &p)
{
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4) {
        PyErr_SetString(PyExc_TypeError, "columns must hold (name, array, mask or None, utc) tuples");
        return false;
    }
    PyObject *name = PyTuple_GET_ITEM(item, 0);
    PyObject *array = PyTuple_GET_ITEM(item, 1);
    PyObject *mask = PyTuple_GET_ITEM(item, 2);
    PyObject *utc_obj = PyTuple_GET_ITEM(item, 3);
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "an Arrow column name must be a str, not %s (%R)", Py_TYPE(name)->tp_name, name);
        return false;
    }
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr)
        return false;
    if (std::memchr(utf8, 0, static_cast<size_t>(size)) != nullptr) {
        PyErr_Format(PyExc_ValueError, "column name %R contains NUL, which an Arrow field name cannot", name);
        return false;
    }
    const int utc = PyObject_IsTrue(utc_obj);
    if (utc < 0)
        return false;
    try {
        p.name.assign(utf8, static_cast<size_t>(size));
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    Ref shown_obj(PyObject_Repr(name));
    const char *shown_utf8 = shown_obj ? PyUnicode_AsUTF8(shown_obj.get()) : nullptr;
    if (shown_utf8 == nullptr)
        return false;
    const std::string shown(shown_utf8);
    if (!PyArray_Check(array)) {
        PyErr_Format(PyExc_TypeError, "column %s is a %s, not a NumPy array", shown.c_str(), Py_TYPE(array)->tp_name);
        return false;
    }
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(array);
    if (PyArray_NDIM(arr) != 1 || PyArray_DIM(arr, 0) != nrows) {
        PyErr_Format(PyExc_ValueError, "column %s must be a 1-d array of %lld rows", shown.c_str(),
                     static_cast<long long>(nrows));
        return false;
    }
    if (!plan_type(p, arr, utc != 0, shown))
        return false;
    if (!data)
        return true;
    if (is_text(p)) {
        p.array = Ref::borrow(array);
    } else {
        PyArray_Descr *descr = PyArray_DESCR(arr);
        if (PyArray_ISBYTESWAPPED(arr))
            descr = PyArray_DescrNewByteorder(descr, NPY_NATIVE);
        else
            Py_INCREF(descr);
        if (descr == nullptr)
            return false;
        p.array.reset(PyArray_FromArray(arr, descr, NPY_ARRAY_CARRAY_RO));
        if (!p.array)
            return false;
    }
    if (mask != Py_None) {
        p.mask.reset(PyArray_FromAny(mask, PyArray_DescrFromType(NPY_BOOL), 1, 1, NPY_ARRAY_CARRAY_RO, nullptr));
        if (!p.mask)
            return false;
        if (PyArray_DIM(reinterpret_cast<PyArrayObject *>(p.mask.get()), 0) != nrows) {
            PyErr_Format(PyExc_ValueError, "the missing mask of column %s must have %lld rows", shown.c_str(),
                         static_cast<long long>(nrows));
            return false;
        }
    }
    return true;
}

bool plan_columns(PyObject *columns, long long nrows, bool data, Plans &plans)
{
    if (!PyTuple_Check(columns)) {
        PyErr_SetString(PyExc_TypeError, "columns must be a tuple");
        return false;
    }
    if (nrows < 0) {
        PyErr_SetString(PyExc_ValueError, "nrows must not be negative");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns); ++i) {
        try {
            plans.emplace_back();
        } catch (...) {
            return no_memory();
        }
        if (!plan_column(PyTuple_GET_ITEM(columns, i), nrows, data, plans.back()))
            return false;
    }
    return true;
}

template <class T>
const T *values_of(const Plan &p) noexcept
{
    return static_cast<const T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(p.array.get())));
}

const uint8_t *mask_of(const Plan &p) noexcept
{
    return p.mask ? static_cast<const uint8_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(p.mask.get())))
                  : nullptr;
}

// The text of an object column: str values as UTF-8, None as null.
bool gather_objects(Plan &p)
{
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(p.array.get());
    const npy_intp n = PyArray_DIM(arr, 0);
    const npy_intp stride = PyArray_STRIDE(arr, 0);
    const char *base = PyArray_BYTES(arr);
    const uint8_t *missing = mask_of(p);
    if (!p.text.begin(n)) {
        PyErr_NoMemory();
        return false;
    }
    for (npy_intp i = 0; i < n; ++i) {
        bool ok;
        PyObject *item;
        std::memcpy(&item, base + i * stride, sizeof item);
        if ((missing != nullptr && missing[i] != 0)) {
            ok = p.text.append("", 0);
        } else if (item == nullptr || item == Py_None) {
            ok = p.text.append_null();
        } else if (PyUnicode_Check(item)) {
#if PY_VERSION_HEX < 0x030C0000
            if (PyUnicode_READY(item) < 0)
                return false;
#endif
            if (PyUnicode_IS_ASCII(item)) {
                ok = p.text.append(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(item)),
                                   static_cast<size_t>(PyUnicode_GET_LENGTH(item)));
            } else {
                // Encoded into a temporary: PyUnicode_AsUTF8 would keep a
                // UTF-8 copy in every string of the column.
                Ref bytes(PyUnicode_AsUTF8String(item));
                if (!bytes)
                    return false;
                ok = p.text.append(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
            }
        } else {
            PyErr_Format(PyExc_TypeError, "column '%s', row %zd: a %s in a text column (str or None expected)",
                         p.name.c_str(), static_cast<Py_ssize_t>(i), Py_TYPE(item)->tp_name);
            return false;
        }
        if (!ok) {
            PyErr_NoMemory();
            return false;
        }
    }
    return true;
}

// --- batches -------------------------------------------------------------------------

// What one column needs for every batch: its store, and the text's start.
struct Prepared {
    ColumnStore *store = nullptr;
    const char *text = nullptr;   // the gathered text, owned by the store
    bool shared_offsets = false;  // one batch of large_utf8: the gathered offsets as they are
    const int64_t *offsets = nullptr;
};

bool prepare(Plan &p, size_t batches, Stores &stores, Prepared &out)
{
    // A shared array is the store's to keep, dropped by drop_array (also
    // when the store cannot be made).
    PyObject *owner = p.way == Way::Share ? p.array.new_ref() : nullptr;
    ColumnStore *store = ColumnStore::create(drop_array, owner);
    if (store == nullptr)
        return no_memory();
    try {
        stores.all.push_back(store);
    } catch (...) {
        store->release();
        PyErr_NoMemory();
        return false;
    }
    out.store = store;
    if (!is_text(p))
        return true;
    const Buffer::Block data = p.text.data_buffer().release();
    if (!store->adopt(data))
        return no_memory();
    out.text = data.data != nullptr ? data.data : "";
    out.offsets = p.text.offsets();
    if (batches == 1 && is_large(p)) {
        const Buffer::Block offsets = p.text.offsets_buffer().release();
        if (!store->adopt(offsets))
            return no_memory();
        out.offsets = reinterpret_cast<const int64_t *>(offsets.data);
        out.shared_offsets = true;
    }
    return true;
}

bool value_error(const Plan &p, int64_t row, const char *what)
{
    PyErr_Format(PyExc_ValueError, "column '%s', row %lld: %s", p.name.c_str(), static_cast<long long>(row), what);
    return false;
}

// The chunk of rows [start, start + length) of a column.
bool make_chunk(const Plan &p, const Prepared &prep, int64_t start, int64_t length, Chunk &c)
{
    ColumnStore *store = prep.store;
    c.store = store;
    c.length = length;
    const uint8_t *mask = mask_of(p);
    const uint8_t *own_nulls = is_text(p) ? p.text.nulls() : nullptr;
    const int64_t *counts = p.nat ? values_of<int64_t>(p) + start : nullptr;
    auto null = [&](int64_t i) {
        return (mask != nullptr && mask[start + i] != 0) || (own_nulls != nullptr && own_nulls[start + i] != 0) ||
               (counts != nullptr && counts[i] == NPY_MIN_INT64);
    };
    if (mask != nullptr || own_nulls != nullptr || counts != nullptr) {
        auto *bits = static_cast<uint8_t *>(store->make(arrow::bitmap_bytes(length)));
        if (bits == nullptr)
            return no_memory();
        c.null_count = arrow::pack_validity(bits, length, null);
        c.buffers[0] = c.null_count != 0 ? bits : nullptr;
    }
    if (c.null_count != 0 && !(p.flags & ARROW_FLAG_NULLABLE)) {
        int64_t first = 0;
        while (!null(first))
            ++first;
        return value_error(p, start + first, "a missing value, but the requested schema says the column has none");
    }
    const size_t n = static_cast<size_t>(length);
    c.n_buffers = 2;
    int64_t bad = -1;
    switch (p.way) {
    case Way::Share:
        c.buffers[1] = static_cast<const char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(p.array.get()))) +
                       start * p.itemsize;
        return true;
    case Way::Bits: {
        auto *bits = static_cast<uint8_t *>(store->make(arrow::bitmap_bytes(length)));
        if (bits == nullptr)
            return no_memory();
        arrow::pack_bits(values_of<uint8_t>(p) + start, length, bits);
        c.buffers[1] = bits;
        return true;
    }
    case Way::Date32: {
        auto *days = static_cast<int32_t *>(store->make(n * 4));
        if (days == nullptr)
            return no_memory();
        bad = arrow::to_date32(counts, length, p.unit, days, null);
        c.buffers[1] = days;
        break;
    }
    case Way::ScaleUp:
    case Way::ScaleDown: {
        if (n > SIZE_MAX / 8)
            return no_memory();
        auto *scaled = static_cast<int64_t *>(store->make(n * 8));
        if (scaled == nullptr)
            return no_memory();
        bad = p.way == Way::ScaleUp ? arrow::scale_up(counts, length, p.factor, scaled, null)
                                    : arrow::scale_down_exact(counts, length, p.factor, scaled, null);
        c.buffers[1] = scaled;
        break;
    }
    case Way::Strings:
    case Way::Objects: {
        const bool large = is_large(p);
        c.n_buffers = 3;
        c.buffers[2] = prep.text + prep.offsets[start];
        if (prep.shared_offsets) {
            c.buffers[1] = prep.offsets;
            return true;
        }
        const size_t width = large ? 8 : 4;
        if (n + 1 > SIZE_MAX / width)
            return no_memory();
        void *offsets = store->make((n + 1) * width);
        if (offsets == nullptr)
            return no_memory();
        arrow::rebase_offsets(prep.offsets, start, length, large, offsets);
        c.buffers[1] = offsets;
        return true;
    }
    }
    if (bad >= 0) {
        return value_error(p, start + bad,
                           p.way == Way::Date32    ? "the date is outside the range of Arrow's date32"
                           : p.way == Way::ScaleUp ? "the date-time is outside the range of a 64-bit count of seconds"
                                                   : "the date-time is finer than nanoseconds, Arrow's finest unit");
    }
    return true;
}

// The whole stream: columns gathered, split into batches, exported.
bool build_stream(Plans &plans, int64_t nrows, int64_t text_limit, ArrowArrayStream *out)
{
    std::vector<const int64_t *> utf8;
    std::vector<int64_t> starts;
    try {
        for (Plan &p : plans) {
            if (p.way == Way::Strings && !arrow_strings_np2_gather(p.array.get(), mask_of(p), &p.text))
                return false;
            if (p.way == Way::Objects && !gather_objects(p))
                return false;
            if (is_text(p) && !is_large(p))
                utf8.push_back(p.text.offsets());
        }
        const int split = arrow::split_rows(utf8, nrows, text_limit, &starts);
        if (split < 0)
            return no_memory();
        if (split > 0) {
            PyErr_Format(PyExc_ValueError,
                         "a text value is longer than %lld bytes, too long for utf8 (ask for large_utf8 in "
                         "requested_schema)",
                         static_cast<long long>(text_limit));
            return false;
        }
        Stores stores;
        std::vector<Prepared> prepared(plans.size());
        for (size_t j = 0; j < plans.size(); ++j) {
            if (!prepare(plans[j], starts.size(), stores, prepared[j]))
                return false;
        }
        Batches batches;
        batches.all.reserve(starts.size());
        std::vector<Chunk> chunks(plans.size());
        for (size_t b = 0; b < starts.size(); ++b) {
            const int64_t start = starts[b];
            const int64_t length = (b + 1 < starts.size() ? starts[b + 1] : nrows) - start;
            for (size_t j = 0; j < plans.size(); ++j) {
                chunks[j] = Chunk{};
                if (!make_chunk(plans[j], prepared[j], start, length, chunks[j]))
                    return false;
            }
            batches.all.push_back(ArrowArray{});
            if (!arrow::export_batch(length, chunks, &batches.all.back()))
                return no_memory();
        }
        if (!arrow::export_stream(fields_of(plans), batches.all, out))
            return no_memory();
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// --- capsules -------------------------------------------------------------------------

// A capsule's destructor: the structure is released unless a consumer took
// it (and marked it released), then freed.
template <class T, const char *name>
void capsule_destructor(PyObject *capsule)
{
    auto *p = static_cast<T *>(PyCapsule_GetPointer(capsule, name));
    if (p == nullptr) {
        PyErr_Clear();
        return;
    }
    if (p->release != nullptr)
        p->release(p);
    std::free(p);
}

constexpr auto schema_capsule_destructor = capsule_destructor<ArrowSchema, kSchemaCapsule>;
constexpr auto stream_capsule_destructor = capsule_destructor<ArrowArrayStream, kStreamCapsule>;

// arrow_schema(columns, nrows): the table's schema.
PyObject *arrow_schema(PyObject *, PyObject *args)
{
    PyObject *columns;
    long long nrows;
    if (!PyArg_ParseTuple(args, "OL:arrow_schema", &columns, &nrows))
        return nullptr;
    Plans plans;
    if (!plan_columns(columns, nrows, false, plans))
        return nullptr;
    auto *schema = static_cast<ArrowSchema *>(std::malloc(sizeof(ArrowSchema)));
    if (schema == nullptr)
        return PyErr_NoMemory();
    bool ok;
    try {
        ok = arrow::export_schema(fields_of(plans), schema);
    } catch (...) {
        ok = false;
    }
    if (!ok) {
        std::free(schema);
        return PyErr_NoMemory();
    }
    PyObject *capsule = PyCapsule_New(schema, kSchemaCapsule, schema_capsule_destructor);
    if (capsule == nullptr) {
        schema->release(schema);
        std::free(schema);
    }
    return capsule;
}

// arrow_stream(columns, nrows, requested_schema=None, batch_text_bytes=2**31-1)
PyObject *arrow_stream(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *kwlist[] = {"columns", "nrows", "requested_schema", "batch_text_bytes", nullptr};
    PyObject *columns, *requested = Py_None;
    long long nrows, text_limit = INT32_MAX;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OL|OL:arrow_stream", const_cast<char **>(kwlist), &columns, &nrows,
                                     &requested, &text_limit))
        return nullptr;
    if (text_limit < 1 || text_limit > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "batch_text_bytes must be between 1 and 2**31 - 1");
        return nullptr;
    }
    if (requested != Py_None && !PyCapsule_IsValid(requested, kSchemaCapsule)) {
        PyErr_Format(PyExc_TypeError, "requested_schema must be an \"arrow_schema\" capsule or None, not %s",
                     Py_TYPE(requested)->tp_name);
        return nullptr;
    }
    Plans plans;
    if (!plan_columns(columns, nrows, true, plans))
        return nullptr;
    if (requested != Py_None) {
        auto *schema = static_cast<const ArrowSchema *>(PyCapsule_GetPointer(requested, kSchemaCapsule));
        if (schema == nullptr)
            return nullptr;
        std::vector<Field> fields;
        std::string message;
        try {
            fields = fields_of(plans);
        } catch (...) {
            return PyErr_NoMemory();
        }
        if (!arrow::match_requested(schema, &fields, &message)) {
            PyErr_Format(PyExc_ValueError, "requested_schema: %s", message.c_str());
            return nullptr;
        }
        for (size_t j = 0; j < plans.size(); ++j) {
            // Only the text's offset width may differ.
            if (is_text(plans[j]))
                plans[j].format = fields[j].format == "U" ? "U" : "u";
            plans[j].flags = fields[j].flags;
        }
    }
    auto *stream = static_cast<ArrowArrayStream *>(std::malloc(sizeof(ArrowArrayStream)));
    if (stream == nullptr)
        return PyErr_NoMemory();
    if (!build_stream(plans, nrows, text_limit, stream)) {
        std::free(stream);
        return nullptr;
    }
    PyObject *capsule = PyCapsule_New(stream, kStreamCapsule, stream_capsule_destructor);
    if (capsule == nullptr) {
        stream->release(stream);
        std::free(stream);
    }
    return capsule;
}

PyMethodDef arrow_methods[] = {
    {"arrow_schema", arrow_schema, METH_VARARGS,
     "arrow_schema(columns, nrows): an \"arrow_schema\" capsule of the columns, a tuple of (name, array, mask "
     "or None, utc) tuples."},
    {"arrow_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "arrow_stream(columns, nrows, requested_schema=None, batch_text_bytes=2**31-1): an \"arrow_array_stream\" "
     "capsule of the columns; numeric values are shared, not copied."},
    {nullptr, nullptr, 0, nullptr},
};

int import_numpy() noexcept
{
    import_array1(-1);
    return 0;
}

}  // namespace

int arrow_export_init(PyObject *module) noexcept
{
    if (import_numpy() < 0)
        return -1;
    if (dt == nullptr) {
        dt = tavrel_datetime_api_import();
        if (dt == nullptr)
            return -1;
    }
    if (!numpy2_strings && PyArray_GetNDArrayCFeatureVersion() >= 0x12) {
        if (!arrow_strings_np2_init())
            return -1;
        numpy2_strings = true;
    }
    return PyModule_AddFunctions(module, arrow_methods);
}

}  // namespace tv::reader
