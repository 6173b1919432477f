#pragma once
// The payload of each request: its fields, in wire order, with their names
// and kinds. The library writes requests through put_fields, which checks
// at compile time that what it is given matches this table; the trace and
// the stub read requests by walking it.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "protocol/message.h"

namespace quel {

enum class FieldKind {
    text,       // 4-byte length, then the bytes
    u32,        // unsigned, 4 bytes little-endian
    lock_mode,  // signed, 4 bytes; -1 ends the request
    pairs,      // u32 count, then count name and value texts
};

struct RequestField {
    const char* name;
    FieldKind kind;
};

struct RequestLayout {
    const RequestField* fields;
    std::size_t count;
};

namespace layout {
inline constexpr RequestField three_texts[] = {
    {"text1", FieldKind::text}, {"text2", FieldKind::text}, {"text3", FieldKind::text}};
inline constexpr RequestField calc_auto_inc[] = {{"text1", FieldKind::text},
                                                 {"text2", FieldKind::text},
                                                 {"text3", FieldKind::text},
                                                 {"fields", FieldKind::pairs}};
inline constexpr RequestField save_result[] = {{"text1", FieldKind::text}, {"text2", FieldKind::text},
                                               {"text3", FieldKind::text}, {"text4", FieldKind::text},
                                               {"text5", FieldKind::text}};
inline constexpr RequestField lock[] = {{"text1", FieldKind::text},
                                        {"text2", FieldKind::text},
                                        {"lock_mode", FieldKind::lock_mode},
                                        {"text4", FieldKind::text},
                                        {"number", FieldKind::u32}};
}  // namespace layout

// The fields of a request type; none for other types.
constexpr RequestLayout request_layout(int type) {
    switch (type) {
    case ExecSQL:
    case GetAutoInc: return {layout::three_texts, 3};
    case CalcAutoInc: return {layout::calc_auto_inc, 4};
    case SaveResult: return {layout::save_result, 5};
    case Lock: return {layout::lock, 5};
    default: return {nullptr, 0};
    }
}

// A field list already encoded as pairs: its count and its bytes.
struct EncodedPairs {
    std::uint32_t count;
    std::string_view bytes;
};

namespace detail {

template <typename Value>
constexpr bool fits(FieldKind kind) {
    using V = std::decay_t<Value>;
    switch (kind) {
    case FieldKind::text: return std::is_convertible_v<V, std::string_view>;
    case FieldKind::u32: return std::is_same_v<V, unsigned int>;
    case FieldKind::lock_mode: return std::is_same_v<V, int>;
    case FieldKind::pairs: return std::is_same_v<V, EncodedPairs>;
    }
    return false;
}

// The values match the first fields of the layout, in kind and order.
template <MessageType Type, typename... Values>
constexpr bool matches() {
    constexpr RequestLayout l = request_layout(Type);
    if (sizeof...(Values) > l.count) return false;
    std::size_t i = 0;
    return (fits<Values>(l.fields[i++].kind) && ...);
}

template <typename Out>
void put(Out& out, std::string_view text) { out << text; }
template <typename Out>
void put(Out& out, unsigned int number) { out << number; }
template <typename Out>
void put(Out& out, int number) { out << number; }
template <typename Out>
void put(Out& out, const EncodedPairs& pairs) {
    out << static_cast<unsigned int>(pairs.count);
    out.write_encoded(pairs.bytes);
}

}  // namespace detail

// Writes the fields of a request of `Type` to a serializer, in the layout's
// order. A request may end early only where its layout allows it (a lock
// mode of -1); the caller decides, the compiler checks kinds and order.
template <MessageType Type, typename Out, typename... Values>
void put_fields(Out& out, const Values&... values) {
    static_assert(detail::matches<Type, Values...>(), "fields do not match the request's layout");
    (detail::put(out, values), ...);
}

}  // namespace quel
