// Arrow export of columns: schemas, arrays and streams over column stores
// (see arrow_core.hpp).
#include "arrow_core.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace tv::reader::arrow {

// --- column stores -------------------------------------------------------------------

ColumnStore *ColumnStore::create(Drop drop, void *owner) noexcept
{
    ColumnStore *s = new (std::nothrow) ColumnStore(drop, owner);
    if (s == nullptr && owner != nullptr && drop != nullptr)
        drop(owner);
    return s;
}

ColumnStore::~ColumnStore()
{
    for (const Buffer::Block &b : blocks_)
        Buffer::free_block(b);
    if (owner_ != nullptr && drop_ != nullptr)
        drop_(owner_);
}

void ColumnStore::release() noexcept
{
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

bool ColumnStore::adopt(Buffer::Block block) noexcept
{
    try {
        blocks_.push_back(block);
    } catch (...) {
        Buffer::free_block(block);
        return false;
    }
    return true;
}

void *ColumnStore::make(size_t bytes) noexcept
{
    if (bytes > SIZE_MAX - 8)
        return nullptr;
    const size_t size = bytes == 0 ? 8 : (bytes + 7) / 8 * 8;
    void *p = std::calloc(size, 1);
    if (p == nullptr || !adopt(Buffer::Block{static_cast<char *>(p), 0}))
        return nullptr;
    return p;
}

// --- schemas and arrays ------------------------------------------------------------------

namespace {

struct SchemaPrivate {
    std::string format;
    std::string name;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema *> child_ptrs;
};

struct ArrayPrivate {
    ColumnStore *store = nullptr;
    const void *buffers[3] = {nullptr, nullptr, nullptr};
    std::vector<ArrowArray> children;
    std::vector<ArrowArray *> child_ptrs;

    ~ArrayPrivate()
    {
        if (store != nullptr)
            store->release();
    }
};

// The release callback of a schema, an array or a stream, with what it
// holds (children; a stream's batches not handed out).
template <class Node, class Private>
void release_node(Node *node) noexcept
{
    if (node == nullptr || node->release == nullptr)
        return;
    auto *p = static_cast<Private *>(node->private_data);
    // A child a consumer moved out is marked released here; it releases
    // the moved copy itself.
    for (auto &c : p->children) {
        if (c.release != nullptr)
            c.release(&c);
    }
    delete p;
    node->release = nullptr;
    node->private_data = nullptr;
}

constexpr auto release_schema = release_node<ArrowSchema, SchemaPrivate>;
constexpr auto release_array = release_node<ArrowArray, ArrayPrivate>;

void fill_schema(ArrowSchema *s, SchemaPrivate *p, int64_t flags) noexcept
{
    s->format = p->format.c_str();
    s->name = p->name.c_str();
    s->metadata = nullptr;
    s->flags = flags;
    s->n_children = static_cast<int64_t>(p->child_ptrs.size());
    s->children = p->child_ptrs.empty() ? nullptr : p->child_ptrs.data();
    s->dictionary = nullptr;
    s->release = release_schema;
    s->private_data = p;
}

}  // namespace

bool export_schema(const std::vector<Field> &fields, ArrowSchema *out) noexcept
{
    out->release = nullptr;
    std::unique_ptr<SchemaPrivate> top;
    ArrowSchema whole{};
    try {
        top.reset(new SchemaPrivate);
        top->format = "+s";
        top->children.resize(fields.size(), ArrowSchema{});
        top->child_ptrs.resize(fields.size(), nullptr);
        fill_schema(&whole, top.release(), 0);
        auto *p = static_cast<SchemaPrivate *>(whole.private_data);
        for (size_t i = 0; i < fields.size(); ++i) {
            std::unique_ptr<SchemaPrivate> child(new SchemaPrivate);
            child->format = fields[i].format;
            child->name = fields[i].name;
            fill_schema(&p->children[i], child.release(), fields[i].flags);
            p->child_ptrs[i] = &p->children[i];
        }
    } catch (...) {
        release_schema(&whole);
        return false;
    }
    *out = whole;
    return true;
}

// --- arrays -----------------------------------------------------------------------------

namespace {

void fill_array(ArrowArray *a, ArrayPrivate *p, int64_t length, int64_t null_count, int64_t n_buffers) noexcept
{
    a->length = length;
    a->null_count = null_count;
    a->offset = 0;
    a->n_buffers = n_buffers;
    a->n_children = static_cast<int64_t>(p->child_ptrs.size());
    a->buffers = p->buffers;
    a->children = p->child_ptrs.empty() ? nullptr : p->child_ptrs.data();
    a->dictionary = nullptr;
    a->release = release_array;
    a->private_data = p;
}

}  // namespace

bool export_batch(int64_t length, const std::vector<Chunk> &chunks, ArrowArray *out) noexcept
{
    out->release = nullptr;
    ArrowArray whole{};
    try {
        std::unique_ptr<ArrayPrivate> top(new ArrayPrivate);
        top->children.resize(chunks.size(), ArrowArray{});
        top->child_ptrs.resize(chunks.size(), nullptr);
        fill_array(&whole, top.release(), length, 0, 1);
        auto *p = static_cast<ArrayPrivate *>(whole.private_data);
        for (size_t i = 0; i < chunks.size(); ++i) {
            const Chunk &c = chunks[i];
            std::unique_ptr<ArrayPrivate> child(new ArrayPrivate);
            std::copy(c.buffers, c.buffers + 3, child->buffers);
            if (c.store != nullptr)
                c.store->retain();
            child->store = c.store;
            fill_array(&p->children[i], child.release(), c.length, c.null_count, c.n_buffers);
            p->child_ptrs[i] = &p->children[i];
        }
    } catch (...) {
        release_array(&whole);
        return false;
    }
    *out = whole;
    return true;
}

// --- streams ----------------------------------------------------------------------------

namespace {

struct StreamPrivate {
    std::vector<Field> fields;
    std::vector<ArrowArray> children;  // the batches
    size_t next = 0;
    const char *error = nullptr;
};

int stream_get_schema(ArrowArrayStream *s, ArrowSchema *out) noexcept
{
    auto *p = static_cast<StreamPrivate *>(s->private_data);
    p->error = nullptr;
    if (!export_schema(p->fields, out)) {
        p->error = "out of memory";
        return ENOMEM;
    }
    return 0;
}

int stream_get_next(ArrowArrayStream *s, ArrowArray *out) noexcept
{
    auto *p = static_cast<StreamPrivate *>(s->private_data);
    p->error = nullptr;
    if (p->next < p->children.size()) {
        // Moved out: the stream's copy is marked released.
        *out = p->children[p->next];
        p->children[p->next].release = nullptr;
        ++p->next;
    } else {
        std::memset(out, 0, sizeof *out);
    }
    return 0;
}

const char *stream_get_last_error(ArrowArrayStream *s) noexcept
{
    return static_cast<StreamPrivate *>(s->private_data)->error;
}

constexpr auto stream_release = release_node<ArrowArrayStream, StreamPrivate>;

}  // namespace

bool export_stream(const std::vector<Field> &fields, std::vector<ArrowArray> &batches, ArrowArrayStream *out) noexcept
{
    out->release = nullptr;
    StreamPrivate *p = nullptr;
    try {
        p = new StreamPrivate;
        p->fields = fields;
        p->children.swap(batches);
    } catch (...) {
        if (p != nullptr)
            p->children.swap(batches);
        delete p;
        for (ArrowArray &b : batches) {
            if (b.release != nullptr)
                b.release(&b);
        }
        batches.clear();
        return false;
    }
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = stream_release;
    out->private_data = p;
    return true;
}

// --- buffers ----------------------------------------------------------------------------

void pack_bits(const uint8_t *bytes, int64_t n, uint8_t *bits) noexcept
{
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        unsigned b = 0;
        for (int k = 0; k < 8; ++k)
            b |= (bytes[i + k] != 0 ? 1u : 0u) << k;
        bits[i >> 3] = static_cast<uint8_t>(b);
    }
    for (; i < n; ++i) {
        if (bytes[i] != 0)
            bits[i >> 3] = static_cast<uint8_t>(bits[i >> 3] | (1u << (i & 7)));
    }
}

bool TextGather::begin(int64_t rows) noexcept
{
    row_ = 0;
    capacity_ = 0;
    any_null_ = false;
    data_.clear();
    nulls_.clear();
    if (rows < 0 || static_cast<uint64_t>(rows) >= SIZE_MAX / 8 - 1 ||
        !offsets_.resize(static_cast<size_t>(rows + 1) * 8))
        return false;
    capacity_ = rows;
    reinterpret_cast<int64_t *>(offsets_.data())[0] = 0;
    return true;
}

bool TextGather::append(const char *text, size_t size) noexcept
{
    const size_t used = data_.size();
    if (row_ >= capacity_ || size > SIZE_MAX - used || !data_.resize(used + size))
        return false;
    if (size != 0)
        std::memcpy(data_.data() + used, text, size);
    reinterpret_cast<int64_t *>(offsets_.data())[++row_] = static_cast<int64_t>(used + size);
    return true;
}

bool TextGather::append_null() noexcept
{
    if (row_ >= capacity_)
        return false;
    if (!any_null_) {
        if (!nulls_.resize(static_cast<size_t>(capacity_)))
            return false;
        std::memset(nulls_.data(), 0, static_cast<size_t>(capacity_));
        any_null_ = true;
    }
    nulls_.data()[row_] = 1;
    int64_t *o = reinterpret_cast<int64_t *>(offsets_.data());
    o[row_ + 1] = o[row_];
    ++row_;
    return true;
}

void rebase_offsets(const int64_t *offsets, int64_t start, int64_t length, bool large, void *out) noexcept
{
    const int64_t base = offsets[start];
    if (large) {
        int64_t *o = static_cast<int64_t *>(out);
        for (int64_t k = 0; k <= length; ++k)
            o[k] = offsets[start + k] - base;
    } else {
        int32_t *o = static_cast<int32_t *>(out);
        for (int64_t k = 0; k <= length; ++k)
            o[k] = static_cast<int32_t>(offsets[start + k] - base);
    }
}

int split_rows(const std::vector<const int64_t *> &offsets, int64_t n, int64_t limit,
               std::vector<int64_t> *starts) noexcept
{
    starts->clear();
    try {
        int64_t s = 0;
        do {
            starts->push_back(s);
            int64_t e = n;
            for (const int64_t *o : offsets) {
                if (o[e] - o[s] > limit) {
                    // The last row end within the limit.
                    const int64_t *p = std::upper_bound(o + s, o + e + 1, o[s] + limit);
                    e = static_cast<int64_t>(p - o) - 1;
                }
            }
            if (e == s && s < n) {
                starts->clear();
                return 1;
            }
            s = e;
        } while (s < n);
    } catch (...) {
        starts->clear();
        return -1;
    }
    return 0;
}

// --- requested schemas ---------------------------------------------------------------

namespace {

// An Arrow type for messages: its name, and its format.
std::string describe(const std::string &format)
{
    static const struct {
        const char *format, *name;
    } names[] = {
        {"n", "null"},       {"b", "bool"},    {"c", "int8"},         {"C", "uint8"},    {"s", "int16"},
        {"S", "uint16"},     {"i", "int32"},   {"I", "uint32"},       {"l", "int64"},    {"L", "uint64"},
        {"e", "float16"},    {"f", "float32"}, {"g", "float64"},      {"u", "utf8"},     {"U", "large_utf8"},
        {"vu", "utf8_view"}, {"z", "binary"},  {"Z", "large_binary"}, {"tdD", "date32"}, {"tdm", "date64"},
        {"+s", "struct"},    {"+l", "list"},
    };
    for (const auto &n : names) {
        if (format == n.format)
            return std::string(n.name) + " ('" + format + "')";
    }
    if (format.size() >= 4 && format.compare(0, 2, "ts") == 0 && format[3] == ':') {
        static const char *const units[] = {"s", "ms", "us", "ns"};
        const size_t u = std::string("smun").find(format[2]);
        if (u != std::string::npos) {
            std::string tz = format.substr(4);
            return std::string("timestamp[") + units[u] + (tz.empty() ? "" : ", tz=" + tz) + "] ('" + format + "')";
        }
    }
    return "'" + format + "'";
}

}  // namespace

bool match_requested(const ArrowSchema *requested, std::vector<Field> *fields, std::string *message) noexcept
{
    try {
        if (requested == nullptr || requested->release == nullptr) {
            *message = "the requested schema was already released";
            return false;
        }
        const std::string top = requested->format != nullptr ? requested->format : "";
        if (top != "+s") {
            *message = "the requested schema is " + describe(top) + ", not a struct of columns";
            return false;
        }
        const size_t count = fields->size();
        if (requested->n_children != static_cast<int64_t>(count) || (count != 0 && requested->children == nullptr)) {
            *message = "the requested schema has " + std::to_string(requested->n_children) + " columns, the data " +
                       std::to_string(count);
            return false;
        }
        std::vector<Field> out = *fields;
        for (size_t i = 0; i < count; ++i) {
            const ArrowSchema *c = requested->children[i];
            if (c == nullptr || c->format == nullptr) {
                *message = "the requested schema's column " + std::to_string(i) + " has no type";
                return false;
            }
            Field &f = out[i];
            const std::string name = c->name != nullptr ? c->name : "";
            if (name != f.name) {
                *message = "the requested schema names column " + std::to_string(i) + " '" + name + "', the data '" +
                           f.name + "'";
                return false;
            }
            const std::string format = c->format;
            const bool text = (f.format == "u" || f.format == "U") && (format == "u" || format == "U");
            if ((format != f.format && !text) || c->n_children != 0 || c->dictionary != nullptr) {
                *message = "column '" + f.name + "' is " + describe(f.format) + "; the requested schema asks for " +
                           describe(format) + " (only utf8 and large_utf8 are exchanged)";
                return false;
            }
            f.format = format;
            f.flags = c->flags & ARROW_FLAG_NULLABLE;
        }
        fields->swap(out);
        return true;
    } catch (...) {
        *message = "out of memory";
        return false;
    }
}

}  // namespace tv::reader::arrow
