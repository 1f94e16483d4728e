// Native tests of the Arrow export's pure core: the structures it hands out
// (schemas, batches, streams), their release from any thread and exactly
// once, and the conversions (bits, validity, date-time units, text offsets,
// batch limits, requested schemas).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "column_reader/arrow_core.hpp"

using namespace tv::reader::arrow;
using tv::reader::Buffer;

namespace {

std::atomic<int> drops{0};

void count_drop(void *owner) noexcept
{
    drops.fetch_add(1);
    delete static_cast<int *>(owner);
}

std::vector<Field> two_fields() { return {{"a", "l", ARROW_FLAG_NULLABLE}, {"é", "u", ARROW_FLAG_NULLABLE}}; }

// A batch of one int64 column sharing `values`, with the store's drop counted.
ArrowArray one_column_batch(const int64_t *values, int64_t n)
{
    ColumnStore *store = ColumnStore::create(count_drop, new int(1));
    Chunk c;
    c.store = store;
    c.length = n;
    c.buffers[1] = values;
    ArrowArray out;
    EXPECT_TRUE(export_batch(n, {c}, &out));
    store->release();  // the array keeps it now
    return out;
}

TEST(ArrowSchemaExport, StructOfFieldsWithNamesFormatsAndFlags)
{
    ArrowSchema s;
    ASSERT_TRUE(export_schema(two_fields(), &s));
    EXPECT_STREQ(s.format, "+s");
    EXPECT_STREQ(s.name, "");
    EXPECT_EQ(s.flags, 0);
    ASSERT_EQ(s.n_children, 2);
    EXPECT_STREQ(s.children[0]->format, "l");
    EXPECT_STREQ(s.children[0]->name, "a");
    EXPECT_STREQ(s.children[1]->name, "é");
    EXPECT_EQ(s.children[1]->flags, ARROW_FLAG_NULLABLE);
    EXPECT_EQ(s.children[1]->n_children, 0);
    EXPECT_EQ(s.dictionary, nullptr);
    s.release(&s);
    EXPECT_EQ(s.release, nullptr);
}

TEST(ArrowSchemaExport, MovedChildOutlivesItsParent)
{
    ArrowSchema s;
    ASSERT_TRUE(export_schema(two_fields(), &s));
    ArrowSchema moved = *s.children[1];
    s.children[1]->release = nullptr;
    s.release(&s);
    EXPECT_STREQ(moved.format, "u");
    EXPECT_STREQ(moved.name, "é");
    moved.release(&moved);
    EXPECT_EQ(moved.release, nullptr);
}

TEST(ArrowSchemaExport, NoFields)
{
    ArrowSchema s;
    ASSERT_TRUE(export_schema({}, &s));
    EXPECT_EQ(s.n_children, 0);
    s.release(&s);
}

TEST(ArrowBatchExport, ChildrenShareTheBuffersAndKeepTheStore)
{
    const int64_t values[3] = {1, 2, 3};
    drops = 0;
    ArrowArray a = one_column_batch(values, 3);
    EXPECT_EQ(a.length, 3);
    EXPECT_EQ(a.n_buffers, 1);
    EXPECT_EQ(a.buffers[0], nullptr);
    ASSERT_EQ(a.n_children, 1);
    EXPECT_EQ(a.children[0]->buffers[1], values);
    EXPECT_EQ(a.children[0]->offset, 0);
    EXPECT_EQ(drops.load(), 0);
    // A child moved out keeps the store after the parent is gone.
    ArrowArray child = *a.children[0];
    a.children[0]->release = nullptr;
    a.release(&a);
    EXPECT_EQ(drops.load(), 0);
    child.release(&child);
    EXPECT_EQ(drops.load(), 1);
}

TEST(ArrowBatchExport, StoreBlocksAreFreedWithTheLastArray)
{
    drops = 0;
    ColumnStore *store = ColumnStore::create(count_drop, new int(2));
    auto *bits = static_cast<uint8_t *>(store->make(3));
    ASSERT_NE(bits, nullptr);
    EXPECT_EQ(bits[0] | bits[7], 0);  // zeroed, padded to 8 bytes
    Buffer b;
    ASSERT_TRUE(b.resize(100));
    ASSERT_TRUE(store->adopt(b.release()));
    Chunk c;
    c.store = store;
    c.length = 0;
    c.buffers[1] = bits;
    ArrowArray x, y;
    ASSERT_TRUE(export_batch(0, {c}, &x));
    ASSERT_TRUE(export_batch(0, {c, c}, &y));
    store->release();
    x.release(&x);
    EXPECT_EQ(drops.load(), 0);
    y.release(&y);
    EXPECT_EQ(drops.load(), 1);  // ASan checks the blocks went too
}

TEST(ArrowBatchExport, ReleasedFromManyThreadsDropsOnce)
{
    const int64_t values[1] = {7};
    for (int round = 0; round < 20; ++round) {
        drops = 0;
        ColumnStore *store = ColumnStore::create(count_drop, new int(3));
        Chunk c;
        c.store = store;
        c.length = 1;
        c.buffers[1] = values;
        std::vector<ArrowArray> arrays(8);
        for (ArrowArray &a : arrays)
            ASSERT_TRUE(export_batch(1, {c}, &a));
        store->release();
        std::vector<std::thread> threads;
        for (ArrowArray &a : arrays)
            threads.emplace_back([&a] { a.release(&a); });
        for (std::thread &t : threads)
            t.join();
        EXPECT_EQ(drops.load(), 1);
    }
}

TEST(ArrowStreamExport, HandsOutEachBatchOnceThenEnds)
{
    const int64_t values[4] = {1, 2, 3, 4};
    drops = 0;
    std::vector<ArrowArray> batches{one_column_batch(values, 4), one_column_batch(values + 2, 2)};
    ArrowArrayStream s;
    ASSERT_TRUE(export_stream({{"a", "l", ARROW_FLAG_NULLABLE}}, batches, &s));
    EXPECT_TRUE(batches.empty());
    ArrowSchema schema;
    ASSERT_EQ(s.get_schema(&s, &schema), 0);
    EXPECT_STREQ(schema.children[0]->name, "a");
    schema.release(&schema);
    ArrowArray a;
    ASSERT_EQ(s.get_next(&s, &a), 0);
    EXPECT_EQ(a.length, 4);
    a.release(&a);
    EXPECT_EQ(drops.load(), 1);
    // The stream released with a batch unread: that batch goes with it.
    s.release(&s);
    EXPECT_EQ(s.release, nullptr);
    EXPECT_EQ(drops.load(), 2);

    std::vector<ArrowArray> none;
    ASSERT_TRUE(export_stream({}, none, &s));
    ASSERT_EQ(s.get_next(&s, &a), 0);
    EXPECT_EQ(a.release, nullptr);  // the end
    ASSERT_EQ(s.get_next(&s, &a), 0);
    EXPECT_EQ(a.release, nullptr);
    EXPECT_EQ(s.get_last_error(&s), nullptr);
    s.release(&s);
}

TEST(ArrowBuffers, PackBitsAndValidity)
{
    std::vector<uint8_t> bytes(19);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = i % 3 == 0 ? static_cast<uint8_t>(i + 1) : 0;  // any non-zero byte is true
    std::vector<uint8_t> bits(bitmap_bytes(19));
    EXPECT_EQ(bits.size(), 8u);
    pack_bits(bytes.data(), 19, bits.data());
    for (int i = 0; i < 19; ++i)
        EXPECT_EQ((bits[i >> 3] >> (i & 7)) & 1, i % 3 == 0 ? 1 : 0) << i;
    EXPECT_EQ(bits[3], 0);

    std::vector<uint8_t> valid(bitmap_bytes(19));
    const int64_t nulls = pack_validity(valid.data(), 19, [](int64_t i) { return i % 5 == 1; });
    EXPECT_EQ(nulls, 4);
    for (int i = 0; i < 19; ++i)
        EXPECT_EQ((valid[i >> 3] >> (i & 7)) & 1, i % 5 == 1 ? 0 : 1) << i;
    EXPECT_EQ(valid[2] >> 3, 0);  // no bit past the end
    EXPECT_EQ(pack_validity(valid.data(), 0, [](int64_t) { return true; }), 0);
}

TEST(ArrowBuffers, DateAndTimeUnits)
{
    auto none = [](int64_t) { return false; };
    // Years, months, weeks and days since 1970 to days.
    const int64_t years[3] = {0, 30, -1};
    int32_t days[3];
    EXPECT_EQ(to_date32(years, 3, 0, days, none), -1);
    EXPECT_EQ(days[0], 0);
    EXPECT_EQ(days[1], 10957);  // 2000-01-01
    EXPECT_EQ(days[2], -365);
    const int64_t months[3] = {1, -1, 361};
    EXPECT_EQ(to_date32(months, 3, 1, days, none), -1);
    EXPECT_EQ(days[0], 31);
    EXPECT_EQ(days[1], -31);    // 1969-12-01
    EXPECT_EQ(days[2], 10988);  // 2000-02-01
    const int64_t weeks[2] = {1, -2};
    EXPECT_EQ(to_date32(weeks, 2, 2, days, none), -1);
    EXPECT_EQ(days[1], -14);
    const int64_t day_counts[3] = {5, INT32_MAX, int64_t(INT32_MAX) + 1};
    EXPECT_EQ(to_date32(day_counts, 3, 4, days, none), 2);
    EXPECT_EQ(to_date32(day_counts, 3, 4, days, [](int64_t i) { return i == 2; }), -1);
    EXPECT_EQ(days[2], 0);
    const int64_t far[2] = {INT64_MAX, INT64_MIN + 1};
    EXPECT_EQ(to_date32(far, 2, 0, days, none), 0);
    EXPECT_EQ(to_date32(far + 1, 1, 1, days, none), 0);
    EXPECT_EQ(to_date32(far, 1, 2, days, none), 0);

    const int64_t hours[3] = {1, -2, INT64_MAX / 3600 + 1};
    int64_t out[3];
    EXPECT_EQ(scale_up(hours, 3, 3600, out, none), 2);
    EXPECT_EQ(out[0], 3600);
    EXPECT_EQ(out[1], -7200);
    const int64_t ps[3] = {5000, -3000, 1};
    EXPECT_EQ(scale_down_exact(ps, 3, 1000, out, none), 2);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[1], -3);
    EXPECT_EQ(scale_down_exact(ps, 3, 1000, out, [](int64_t i) { return i == 2; }), -1);
}

TEST(ArrowBuffers, TextGatherAndOffsets)
{
    TextGather t;
    ASSERT_TRUE(t.begin(4));
    EXPECT_EQ(t.nulls(), nullptr);
    ASSERT_TRUE(t.append("ab", 2));
    ASSERT_TRUE(t.append_null());
    ASSERT_TRUE(t.append("", 0));
    ASSERT_TRUE(t.append("cde", 3));
    EXPECT_FALSE(t.append("x", 1));  // no fifth row
    EXPECT_EQ(std::string(t.data(), 5), "abcde");
    const int64_t want[5] = {0, 2, 2, 2, 5};
    EXPECT_EQ(std::memcmp(t.offsets(), want, sizeof want), 0);
    ASSERT_NE(t.nulls(), nullptr);
    EXPECT_EQ(t.nulls()[1], 1);
    EXPECT_EQ(t.nulls()[3], 0);

    int32_t small[3];
    rebase_offsets(t.offsets(), 2, 2, false, small);
    EXPECT_EQ(small[0], 0);
    EXPECT_EQ(small[1], 0);
    EXPECT_EQ(small[2], 3);
    int64_t large[2];
    rebase_offsets(t.offsets(), 3, 1, true, large);
    EXPECT_EQ(large[1], 3);

    ASSERT_TRUE(t.begin(0));
    EXPECT_EQ(t.offsets()[0], 0);
    EXPECT_STREQ(t.data(), "");
}

TEST(ArrowBuffers, SplitRowsKeepsEachBatchWithinTheLimit)
{
    std::vector<int64_t> starts;
    EXPECT_EQ(split_rows({}, 0, 10, &starts), 0);
    EXPECT_EQ(starts, std::vector<int64_t>{0});
    EXPECT_EQ(split_rows({}, 5, 10, &starts), 0);
    EXPECT_EQ(starts, std::vector<int64_t>{0});

    const int64_t a[6] = {0, 4, 8, 12, 16, 20};  // 4 bytes a row
    const int64_t b[6] = {0, 0, 9, 9, 9, 10};
    EXPECT_EQ(split_rows({a}, 5, 8, &starts), 0);
    EXPECT_EQ(starts, (std::vector<int64_t>{0, 2, 4}));
    EXPECT_EQ(split_rows({a, b}, 5, 9, &starts), 0);
    EXPECT_EQ(starts, (std::vector<int64_t>{0, 2, 4}));
    EXPECT_EQ(split_rows({b}, 5, 9, &starts), 0);
    EXPECT_EQ(starts, (std::vector<int64_t>{0, 4}));
    EXPECT_EQ(split_rows({a}, 5, 3, &starts), 1);  // a 4-byte value never fits
    EXPECT_TRUE(starts.empty());
    EXPECT_EQ(split_rows({a}, 5, 20, &starts), 0);
    EXPECT_EQ(starts, std::vector<int64_t>{0});
}

// A requested schema built the way a consumer would.
struct Requested {
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema *> ptrs;
    ArrowSchema top{};

    static void no_release(ArrowSchema *) {}

    Requested(const char *top_format, std::vector<std::pair<const char *, const char *>> fields, int64_t flags)
    {
        children.resize(fields.size());
        for (size_t i = 0; i < fields.size(); ++i) {
            children[i] = ArrowSchema{};
            children[i].format = fields[i].second;
            children[i].name = fields[i].first;
            children[i].flags = flags;
            children[i].release = no_release;
            ptrs.push_back(&children[i]);
        }
        top.format = top_format;
        top.n_children = static_cast<int64_t>(fields.size());
        top.children = ptrs.data();
        top.release = no_release;
    }
};

TEST(ArrowRequestedSchema, SameOrOtherTextWidthAccepted)
{
    std::vector<Field> fields = two_fields();
    std::string message;
    Requested same("+s", {{"a", "l"}, {"é", "u"}}, ARROW_FLAG_NULLABLE);
    EXPECT_TRUE(match_requested(&same.top, &fields, &message)) << message;
    EXPECT_EQ(fields[1].format, "u");
    Requested large("+s", {{"a", "l"}, {"é", "U"}}, 0);
    EXPECT_TRUE(match_requested(&large.top, &fields, &message)) << message;
    EXPECT_EQ(fields[1].format, "U");
    EXPECT_EQ(fields[0].flags, 0);  // the requested nullability
}

TEST(ArrowRequestedSchema, AnythingElseRefusedWithAMessage)
{
    const std::vector<Field> ours = two_fields();
    struct Case {
        Requested r;
        const char *says;
    } cases[] = {
        {Requested("+s", {{"a", "l"}}, 2), "has 1 columns, the data 2"},
        {Requested("+s", {{"b", "l"}, {"é", "u"}}, 2), "names column 0 'b', the data 'a'"},
        {Requested("+s", {{"a", "g"}, {"é", "u"}}, 2),
         "column 'a' is int64 ('l'); the requested schema asks for "
         "float64 ('g')"},
        {Requested("+s", {{"a", "l"}, {"é", "vu"}}, 2), "utf8_view"},
        {Requested("l", {}, 2), "is int64 ('l'), not a struct"},
    };
    for (Case &c : cases) {
        std::vector<Field> fields = ours;
        std::string message;
        EXPECT_FALSE(match_requested(&c.r.top, &fields, &message));
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
        EXPECT_EQ(fields[0].format, "l");  // untouched
    }
    Requested released("+s", {}, 2);
    released.top.release = nullptr;
    std::vector<Field> fields;
    std::string message;
    EXPECT_FALSE(match_requested(&released.top, &fields, &message));
    Requested no_type("+s", {{"a", nullptr}, {"é", "u"}}, 2);
    fields = ours;
    EXPECT_FALSE(match_requested(&no_type.top, &fields, &message));
    Requested tz("+s", {{"t", "tsu:"}}, 2);
    fields = {{"t", "tsu:UTC", 2}};
    EXPECT_FALSE(match_requested(&tz.top, &fields, &message));
    EXPECT_NE(message.find("timestamp[us, tz=UTC]"), std::string::npos) << message;
}

}  // namespace
