// The library's one sort: a stable multi-key odd-even transposition sort over
// records, pumping the thread's messages after every pass.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "base/operation_hooks.h"
#include "format/resource_table.h"
#include "platform/platform.h"

namespace vorn {

// The kinds of key a record can be sorted by.
enum class KeyKind : std::int32_t {
    InlineString = 0,   // a NUL-terminated char array inside the record, case-insensitive
    StringPointer = 1,  // a string owned elsewhere, case-insensitive; null sorts last
    Int8 = 2,
    Int16 = 3,
    Int32 = 4,
    // A resource or type name owned elsewhere, in the order the loader's
    // binary search expects; null sorts last.
    ResourceNamePointer = 5,
};

// One key: a three-way comparison of the key fields of two records.
template <class Record>
using KeyCompare = int (*)(const Record& a, const Record& b);

template <class T>
struct MemberTraits;
template <class R, class F>
struct MemberTraits<F R::*> {
    using Record = R;
    using Field = F;
};

template <auto Member>
using RecordOf = typename MemberTraits<decltype(Member)>::Record;

// Enumerations compare as their underlying integers.
template <class T, bool = std::is_enum_v<T>>
struct IntegerOf {
    using Type = T;
};
template <class T>
struct IntegerOf<T, true> {
    using Type = std::underlying_type_t<T>;
};

// The comparison of one key: `Kind` applied to the field `Member`.
//   &CompareKey<KeyKind::Int32, &ResourceEntry::typeId>
template <KeyKind Kind, auto Member>
int CompareKey(const RecordOf<Member>& a, const RecordOf<Member>& b) {
    using Field = typename MemberTraits<decltype(Member)>::Field;
    const Field& x = a.*Member;
    const Field& y = b.*Member;
    if constexpr (Kind == KeyKind::Int8 || Kind == KeyKind::Int16 || Kind == KeyKind::Int32) {
        constexpr std::size_t width = Kind == KeyKind::Int8 ? 1 : (Kind == KeyKind::Int16 ? 2 : 4);
        using Integer = typename IntegerOf<Field>::Type;
        static_assert(std::is_integral_v<Integer> && sizeof(Integer) == width, "key width differs from the field");
        const auto sx = static_cast<std::make_signed_t<Integer>>(x);
        const auto sy = static_cast<std::make_signed_t<Integer>>(y);
        return sx < sy ? -1 : (sy < sx ? 1 : 0);
    } else if constexpr (Kind == KeyKind::StringPointer || Kind == KeyKind::ResourceNamePointer) {
        // Raw or smart pointers to strings; nulls are equal and sort last.
        if (!x || !y) return (!x && !y) ? 0 : (!x ? 1 : -1);
        if constexpr (Kind == KeyKind::ResourceNamePointer) {
            return CompareResourceNames(std::string_view(*x), std::string_view(*y));
        }
        return platform::CompareIgnoreAsciiCase(std::string_view(*x), std::string_view(*y));
    } else {
        static_assert(Kind == KeyKind::InlineString && std::is_array_v<Field>, "inline strings are char arrays");
        const auto length = [](const Field& text) {
            std::size_t n = 0;
            while (n < std::size(text) && text[n] != '\0') ++n;
            return n;
        };
        return platform::CompareIgnoreAsciiCase(std::string_view(x, length(x)), std::string_view(y, length(y)));
    }
}

// Up to six keys, used in order until the first null.
template <class Record>
struct RecordSortSpec {
    std::span<Record> records;
    std::array<KeyCompare<Record>, 6> keys{};
};

// Compares adjacent records a and b on one key. Returns true when they are
// equal on it (the next key decides); otherwise puts them in order,
// exchanging them and setting `exchanged` when b belongs first.
template <class Record>
bool CompareRecordKey(Record& a, Record& b, KeyCompare<Record> key, bool& exchanged) {
    const int order = key(a, b);
    if (order == 0) return true;
    if (order > 0) {
        using std::swap;
        swap(a, b);
        exchanged = true;
    }
    return false;
}

// Sorts stably by the keys of `spec`, all ascending. Passes alternate between
// even and odd pairs; a clean odd pass ends the sort.
template <class Record>
void SortRecords(const RecordSortSpec<Record>& spec, const OperationHooks& hooks = {}) {
    const std::size_t count = spec.records.size();
    std::size_t parity = 0;
    for (;;) {
        bool exchanged = false;
        for (std::size_t i = parity; i + 1 < count; i += 2) {
            Record& a = spec.records[i];
            Record& b = spec.records[i + 1];
            for (const KeyCompare<Record> key : spec.keys) {
                if (key == nullptr || !CompareRecordKey(a, b, key, exchanged)) break;
            }
        }
        hooks.Pump();
        if (parity == 1 && !exchanged) return;
        parity = 1 - parity;
    }
}

}  // namespace vorn
