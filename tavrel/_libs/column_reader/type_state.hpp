// The type of a column, decided by all of its values.
//
// Each present value is classified into the families it parses as
// (integer, float, bool, date-time); the column keeps the families every
// value so far belongs to.  Its type is the first of the ladder that is
// still possible:
//
//     int64  -> uint64 (some value above the int64 maximum, none negative)
//            -> float64 -> bool -> datetime64[finest unit seen] -> text
//
// Every integer text is also a float text (its float is the integer's
// correctly rounded value), so the float family is never lost before the
// integer one.  An integer column that meets a value above the int64
// maximum and a negative one is no integer column any more: the unsigned
// scan record (the parser table's UintScan) tracks that conflict, and the
// caller supplies the table's conflict test.  A date-time column needs all
// of its values with a zone or all without, and its earliest and latest
// instant must be counts of the finest unit seen; otherwise it is text.
// A column without any present value is Empty.
#pragma once

#include <cstdint>

#include <tavrel/parser_api.h>

#include "civil_time.hpp"

namespace tv::reader {

enum Family : uint8_t { kFamInt = 1, kFamFloat = 2, kFamBool = 4, kFamDatetime = 8, kFamAll = 15 };

enum class Kind : uint8_t { Empty, Int64, UInt64, Float64, Bool, Datetime, Text };

// What one present value parses as.
struct ValueClass {
    uint8_t families = 0;
    bool negative = false;     // an integer below zero
    bool above_int64 = false;  // an integer above the int64 maximum
    bool aware = false;        // a date-time with a zone
    int unit = 0;              // a date-time's unit, refined for its offset
    Instant instant{0, 0, 0};  // a date-time's instant in UTC
};

using ConflictTest = int (*)(UintScan *);

class TypeState {
public:
    TypeState() noexcept { reset(kFamAll, nullptr); }

    void reset(uint8_t allowed, ConflictTest conflict) noexcept
    {
        mask_ = allowed;
        conflict_ = conflict;
        any_ = false;
        scan_ = UintScan{0, 0, 0};
        unit_ = -1;
        aware_ = false;
        min_ = max_ = Instant{0, 0, 0};
    }

    void add(const ValueClass &v) noexcept
    {
        mask_ &= v.families;
        if (mask_ & kFamInt) {
            if (v.negative)
                scan_.seen_negative = 1;
            if (v.above_int64)
                scan_.seen_above_signed = 1;
            if (conflict_ != nullptr ? conflict_(&scan_) != 0 : (scan_.seen_above_signed && scan_.seen_negative))
                mask_ &= static_cast<uint8_t>(~kFamInt);
        }
        if (mask_ & kFamDatetime)
            add_datetime(v);
        any_ = true;
    }

    void drop(uint8_t families) noexcept { mask_ &= static_cast<uint8_t>(~families); }

    Kind kind() const noexcept
    {
        if (!any_)
            return Kind::Empty;
        if (mask_ & kFamInt)
            return scan_.seen_above_signed ? Kind::UInt64 : Kind::Int64;
        if (mask_ & kFamFloat)
            return Kind::Float64;
        if (mask_ & kFamBool)
            return Kind::Bool;
        if (mask_ & kFamDatetime)
            return Kind::Datetime;
        return Kind::Text;
    }

    // Families other than those of the decided kind are still possible, so
    // each value must be classified in full.
    bool unsettled() const noexcept
    {
        switch (kind()) {
        case Kind::Int64:
        case Kind::UInt64:
            return (mask_ & ~(kFamInt | kFamFloat)) != 0;
        case Kind::Float64:
            return mask_ != kFamFloat;
        case Kind::Bool:
            return mask_ != kFamBool;
        default:
            return false;
        }
    }

    // A date-time value that changes nothing: the same kind of zone, no
    // finer unit, within the instants seen.
    bool holds(const ValueClass &v) const noexcept
    {
        return v.aware == aware_ && v.unit <= unit_ && !(v.instant < min_) && !(max_ < v.instant);
    }

    uint8_t mask() const noexcept { return mask_; }
    int unit() const noexcept { return unit_; }
    bool aware() const noexcept { return aware_; }
    bool any() const noexcept { return any_; }
    UintScan *scan() noexcept { return &scan_; }

private:
    void add_datetime(const ValueClass &v) noexcept
    {
        bool changed = true;
        if (unit_ < 0) {
            aware_ = v.aware;
            min_ = max_ = v.instant;
        } else if (aware_ != v.aware) {
            mask_ &= static_cast<uint8_t>(~kFamDatetime);
            return;
        } else if (v.instant < min_) {
            min_ = v.instant;
        } else if (max_ < v.instant) {
            max_ = v.instant;
        } else {
            changed = false;
        }
        if (v.unit > unit_) {
            unit_ = v.unit;
            changed = true;
        }
        int64_t ignored;
        if (changed && (!instant_to_count(min_, unit_, &ignored) || !instant_to_count(max_, unit_, &ignored)))
            mask_ &= static_cast<uint8_t>(~kFamDatetime);
    }

    uint8_t mask_;
    bool any_;
    bool aware_;
    ConflictTest conflict_;
    UintScan scan_;
    int unit_;
    Instant min_, max_;
};

}  // namespace tv::reader
