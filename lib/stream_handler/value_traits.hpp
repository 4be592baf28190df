#pragma once
// Conversions between a handler's state type and Value, the form states take on the worker
// channel and in partition-state files. ValueTraits<T> provides
//   static Value to_value(const T&);
//   static T from_value(const Value&);   // TypeError/ValueError naming what did not fit
// for integers, double, bool, std::string, Bytes, vectors, maps, optionals, pairs, tuples, Value
// itself, and records declared with VESK_RECORD. Specialise it for other types.

#include "vesk/loop/errors.hpp"
#include "vesk/values/value.hpp"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vesk {

template <class T>
struct ValueTraits;

template <class T>
Value to_value(const T& value) {
  return ValueTraits<T>::to_value(value);
}

template <class T>
T from_value(const Value& value) {
  return ValueTraits<T>::from_value(value);
}

// True for types that ValueTraits knows how to convert.
template <class T>
concept ValueConvertible = requires(const T& t, const Value& v) {
  { ValueTraits<T>::to_value(t) } -> std::same_as<Value>;
  { ValueTraits<T>::from_value(v) } -> std::same_as<T>;
};

namespace detail {

[[noreturn]] void throw_conversion(const char* wanted, const Value& got);
[[noreturn]] void throw_out_of_range(const char* wanted, std::int64_t got);
[[noreturn]] void throw_arity(std::size_t wanted, std::size_t got);
// Wraps the error being handled with the place (field, index, key) where it arose.
[[noreturn]] void rethrow_within(const std::string& where);

// True when `s` may be written as pickle text (UTF-8 as Python reads it).
bool is_pickle_text(std::string_view s) noexcept;

// The items of a list or a tuple; anything else is a TypeError.
const std::vector<Value>& sequence_items(const Value& value, const char* wanted);

template <class T>
struct RecordField {
  const char* name;
  T member;
};

template <class T>
concept Record = requires {
  vesk_record_fields(static_cast<const T*>(nullptr));
};

template <class T>
concept Integer = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>;

}  // namespace detail

template <>
struct ValueTraits<Value> {
  static Value to_value(const Value& v) { return v; }
  static Value from_value(const Value& v) { return v; }
};

template <>
struct ValueTraits<bool> {
  static Value to_value(bool b) { return Value(b); }
  static bool from_value(const Value& v) {
    if (!v.is_bool()) detail::throw_conversion("bool", v);
    return v.as_bool();
  }
};

template <detail::Integer T>
struct ValueTraits<T> {
  static Value to_value(T i) { return Value(i); }
  static T from_value(const Value& v) {
    if (!v.is_int()) detail::throw_conversion("int", v);
    const std::int64_t i = v.as_int();
    if constexpr (std::is_signed_v<T>) {
      if (i < std::numeric_limits<T>::min() || i > std::numeric_limits<T>::max())
        detail::throw_out_of_range("integer of the state type", i);
    } else {
      if (i < 0 || static_cast<std::uint64_t>(i) > std::numeric_limits<T>::max())
        detail::throw_out_of_range("unsigned integer of the state type", i);
    }
    return static_cast<T>(i);
  }
};

template <std::floating_point T>
struct ValueTraits<T> {
  static Value to_value(T d) { return Value(static_cast<double>(d)); }
  // An integer is accepted too: a float state that happens to be whole may have been written so.
  static T from_value(const Value& v) {
    if (v.is_float()) return static_cast<T>(v.as_float());
    if (v.is_int()) return static_cast<T>(v.as_int());
    detail::throw_conversion("float", v);
  }
};

// A string that is not valid UTF-8 (raw message bytes, say) cannot be text in a pickle: it
// becomes bytes, and bytes read back into a std::string, so no state is lost. Binary data is
// better declared as Bytes.
template <>
struct ValueTraits<std::string> {
  static Value to_value(const std::string& s) { return detail::is_pickle_text(s) ? Value(s) : Value::bytes(s); }
  static std::string from_value(const Value& v) {
    if (v.is_bytes()) return v.as_bytes();
    if (!v.is_text()) detail::throw_conversion("text", v);
    return v.as_text();
  }
};

template <>
struct ValueTraits<Bytes> {
  static Value to_value(const Bytes& b) { return Value(b); }
  static Bytes from_value(const Value& v) {
    if (!v.is_bytes()) detail::throw_conversion("bytes", v);
    return Bytes{v.as_bytes()};
  }
};

template <>
struct ValueTraits<Dict> {
  static Value to_value(const Dict& d) { return Value(d); }
  static Dict from_value(const Value& v) {
    if (!v.is_dict()) detail::throw_conversion("dict", v);
    return v.as_dict();
  }
};

template <class T>
struct ValueTraits<std::optional<T>> {
  static Value to_value(const std::optional<T>& o) { return o ? ValueTraits<T>::to_value(*o) : Value(); }
  static std::optional<T> from_value(const Value& v) {
    if (v.is_none()) return std::nullopt;
    return ValueTraits<T>::from_value(v);
  }
};

// A vector becomes a list; a list or a tuple converts back.
template <class T, class A>
struct ValueTraits<std::vector<T, A>> {
  static Value to_value(const std::vector<T, A>& items) {
    List out;
    out.reserve(items.size());
    for (const auto& item : items) out.push_back(ValueTraits<T>::to_value(item));
    return Value(std::move(out));
  }
  static std::vector<T, A> from_value(const Value& v) {
    const auto& items = detail::sequence_items(v, "list");
    std::vector<T, A> out;
    out.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      try {
        out.push_back(ValueTraits<T>::from_value(items[i]));
      } catch (const std::exception&) {
        detail::rethrow_within("item " + std::to_string(i));
      }
    }
    return out;
  }
};

namespace detail {

template <class M>
struct MapTraits {
  using K = typename M::key_type;
  using V = typename M::mapped_type;
  static Value to_value(const M& map) {
    Dict out;
    out.reserve(map.size());
    // Keys of a map are distinct, and so are their Values.
    for (const auto& [k, v] : map) out.append_unique(ValueTraits<K>::to_value(k), ValueTraits<V>::to_value(v));
    return Value(std::move(out));
  }
  static M from_value(const Value& v) {
    if (!v.is_dict()) throw_conversion("dict", v);
    M out;
    for (const auto& [k, item] : v.as_dict()) {
      try {
        out.emplace(ValueTraits<K>::from_value(k), ValueTraits<V>::from_value(item));
      } catch (const std::exception&) {
        rethrow_within("key " + k.repr());
      }
    }
    return out;
  }
};

}  // namespace detail

// Maps become dicts (text keys for std::string, and so on for every convertible key type).
template <class K, class V, class C, class A>
struct ValueTraits<std::map<K, V, C, A>> : detail::MapTraits<std::map<K, V, C, A>> {};

template <class K, class V, class H, class E, class A>
struct ValueTraits<std::unordered_map<K, V, H, E, A>> : detail::MapTraits<std::unordered_map<K, V, H, E, A>> {};

// Pairs and tuples become tuples; a tuple or a list of the right length converts back.
template <class... Ts>
struct ValueTraits<std::tuple<Ts...>> {
  static Value to_value(const std::tuple<Ts...>& t) {
    return std::apply(
        [](const auto&... items) {
          return Value::tuple({ValueTraits<std::decay_t<decltype(items)>>::to_value(items)...});
        },
        t);
  }
  static std::tuple<Ts...> from_value(const Value& v) {
    const auto& items = detail::sequence_items(v, "tuple");
    if (items.size() != sizeof...(Ts)) detail::throw_arity(sizeof...(Ts), items.size());
    return build(items, std::index_sequence_for<Ts...>{});
  }

 private:
  template <std::size_t... I>
  static std::tuple<Ts...> build(const std::vector<Value>& items, std::index_sequence<I...>) {
    return std::tuple<Ts...>{item<Ts>(items, I)...};
  }
  template <class T>
  static T item(const std::vector<Value>& items, std::size_t i) {
    try {
      return ValueTraits<T>::from_value(items[i]);
    } catch (const std::exception&) {
      detail::rethrow_within("item " + std::to_string(i));
    }
  }
};

template <class A, class B>
struct ValueTraits<std::pair<A, B>> {
  static Value to_value(const std::pair<A, B>& p) {
    return Value::tuple({ValueTraits<A>::to_value(p.first), ValueTraits<B>::to_value(p.second)});
  }
  static std::pair<A, B> from_value(const Value& v) {
    auto [a, b] = ValueTraits<std::tuple<A, B>>::from_value(v);
    return {std::move(a), std::move(b)};
  }
};

// A record declared with VESK_RECORD becomes a dict of its fields, in declaration order, keyed
// by field name. Converting back needs every field; unknown fields are refused, so that a state
// written by another version of the record is noticed rather than silently cut.
template <detail::Record T>
struct ValueTraits<T> {
  static Value to_value(const T& record) {
    Dict out;
    std::apply(
        [&](const auto&... fields) {
          (out.append_unique(
               Value(fields.name),
               ValueTraits<std::remove_cvref_t<decltype(record.*(fields.member))>>::to_value(record.*(fields.member))),
           ...);
        },
        vesk_record_fields(static_cast<const T*>(nullptr)));
    return Value(std::move(out));
  }
  static T from_value(const Value& v) {
    if (!v.is_dict()) detail::throw_conversion("dict of record fields", v);
    const Dict& dict = v.as_dict();
    T record{};
    std::size_t found = 0;
    std::apply(
        [&](const auto&... fields) {
          (
              [&] {
                using F = std::remove_cvref_t<decltype(record.*(fields.member))>;
                const Value* item = dict.find_text(fields.name);
                if (item == nullptr) throw ValueError(std::string("record field '") + fields.name + "' is missing");
                try {
                  record.*(fields.member) = ValueTraits<F>::from_value(*item);
                } catch (const std::exception&) {
                  detail::rethrow_within(std::string("record field '") + fields.name + "'");
                }
                ++found;
              }(),
              ...);
        },
        vesk_record_fields(static_cast<const T*>(nullptr)));
    if (found != dict.size()) {
      for (const auto& [key, item] : dict) {
        bool known = false;
        std::apply([&](const auto&... fields) { known = ((key.is_text() && key.as_text() == fields.name) || ...); },
                   vesk_record_fields(static_cast<const T*>(nullptr)));
        if (!known) throw ValueError("unknown record field " + key.repr());
      }
    }
    return record;
  }
};

}  // namespace vesk

// Field-list machinery: applies a macro to every field name (up to 64 fields).
#define VESK_DETAIL_PARENS ()
#define VESK_DETAIL_EXPAND(...) \
  VESK_DETAIL_EXPAND3(VESK_DETAIL_EXPAND3(VESK_DETAIL_EXPAND3(VESK_DETAIL_EXPAND3(__VA_ARGS__))))
#define VESK_DETAIL_EXPAND3(...) \
  VESK_DETAIL_EXPAND2(VESK_DETAIL_EXPAND2(VESK_DETAIL_EXPAND2(VESK_DETAIL_EXPAND2(__VA_ARGS__))))
#define VESK_DETAIL_EXPAND2(...) \
  VESK_DETAIL_EXPAND1(VESK_DETAIL_EXPAND1(VESK_DETAIL_EXPAND1(VESK_DETAIL_EXPAND1(__VA_ARGS__))))
#define VESK_DETAIL_EXPAND1(...) __VA_ARGS__
#define VESK_DETAIL_FOR_EACH(macro, type, ...) \
  __VA_OPT__(VESK_DETAIL_EXPAND(VESK_DETAIL_FOR_EACH_STEP(macro, type, __VA_ARGS__)))
#define VESK_DETAIL_FOR_EACH_STEP(macro, type, field, ...) \
  macro(type, field) __VA_OPT__(VESK_DETAIL_FOR_EACH_AGAIN VESK_DETAIL_PARENS(macro, type, __VA_ARGS__))
#define VESK_DETAIL_FOR_EACH_AGAIN() VESK_DETAIL_FOR_EACH_STEP
#define VESK_DETAIL_RECORD_FIELD(type, field) \
  std::make_tuple(::vesk::detail::RecordField<decltype(&type::field)>{#field, &type::field}),

// VESK_RECORD(Type, field1, field2, ...): declares Type's fields for conversion to and from a
// dict. Use it at namespace scope, in the namespace of Type (it is found by argument lookup).
#define VESK_RECORD(Type, ...)                                                                               \
  [[maybe_unused]] inline auto vesk_record_fields(const Type*) {                                             \
    return std::tuple_cat(VESK_DETAIL_FOR_EACH(VESK_DETAIL_RECORD_FIELD, Type, __VA_ARGS__) std::tuple<>{}); \
  }
