// The engine's one JSON value model, its strict parser and its compact writer.
//
// Numbers keep the three kinds the parser produced apart: non-negative integers (u64),
// negative integers (i64 below zero) and floats (every literal with a fraction or an
// exponent, every integer literal too large for the two integer kinds, and "-0").
// Objects hold each key once and keep their members in ascending byte order of the
// UTF-8 keys, which is also the order the writer emits them in.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read. A `Value`
// is a plain value: many threads may read one, and one that is being changed belongs to one thread.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace kest::json {

class Value;
struct Member;

using Array = std::vector<Value>;

// An object: members sorted by key bytes, each key present once.
class Object {
 public:
  Object() = default;
  Object(std::initializer_list<Member> members);
  // Copying, moving and destroying the members need Member complete; they are defined below it.
  Object(const Object& other);
  Object(Object&& other) noexcept;
  Object& operator=(const Object& other);
  Object& operator=(Object&& other) noexcept;
  ~Object();

  // Builds an object from members in any order; a repeated key keeps its last value.
  static Object from_members(std::vector<Member> members);

  [[nodiscard]] std::size_t size() const noexcept;
  [[nodiscard]] bool empty() const noexcept;
  [[nodiscard]] const Value* find(std::string_view key) const noexcept;
  [[nodiscard]] Value* find(std::string_view key) noexcept;
  [[nodiscard]] bool contains(std::string_view key) const noexcept;

  // Inserts the member, or replaces the value of an existing one; returns the stored value.
  Value& insert_or_assign(std::string key, Value value);
  bool erase(std::string_view key);

  [[nodiscard]] std::vector<Member>::const_iterator begin() const noexcept;
  [[nodiscard]] std::vector<Member>::const_iterator end() const noexcept;
  [[nodiscard]] std::vector<Member>::iterator begin() noexcept;
  [[nodiscard]] std::vector<Member>::iterator end() noexcept;

  friend bool operator==(const Object& a, const Object& b);

 private:
  std::vector<Member> members_;
};

enum class Kind : std::uint8_t { kNull, kBool, kUint, kInt, kDouble, kString, kArray, kObject };

class Value {
 public:
  Value() noexcept = default;
  Value(std::nullptr_t) noexcept {}
  Value(bool b) noexcept : data_(b) {}
  // Integers take the kind their sign gives them: a non-negative integer is always a Uint.
  template <std::integral T>
  requires(!std::same_as<T, bool>) Value(T n)
  noexcept {
    if constexpr (std::is_signed_v<T>) {
      if (n < 0) {
        data_ = static_cast<std::int64_t>(n);
        return;
      }
    }
    data_ = static_cast<std::uint64_t>(n);
  }
  Value(double d) noexcept : data_(d) {}
  Value(std::string s) noexcept : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(Array a) noexcept : data_(std::move(a)) {}
  Value(Object o) noexcept : data_(std::move(o)) {}

  [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(data_.index()); }
  [[nodiscard]] bool is_null() const noexcept { return kind() == Kind::kNull; }
  [[nodiscard]] bool is_bool() const noexcept { return kind() == Kind::kBool; }
  [[nodiscard]] bool is_uint() const noexcept { return kind() == Kind::kUint; }
  [[nodiscard]] bool is_int() const noexcept { return kind() == Kind::kInt; }
  [[nodiscard]] bool is_double() const noexcept { return kind() == Kind::kDouble; }
  [[nodiscard]] bool is_integer() const noexcept { return is_uint() || is_int(); }
  [[nodiscard]] bool is_number() const noexcept { return is_integer() || is_double(); }
  [[nodiscard]] bool is_string() const noexcept { return kind() == Kind::kString; }
  [[nodiscard]] bool is_array() const noexcept { return kind() == Kind::kArray; }
  [[nodiscard]] bool is_object() const noexcept { return kind() == Kind::kObject; }

  // Unchecked accessors: the caller has tested the kind.
  [[nodiscard]] bool as_bool() const { return std::get<bool>(data_); }
  [[nodiscard]] std::uint64_t as_uint() const { return std::get<std::uint64_t>(data_); }
  [[nodiscard]] std::int64_t as_int() const { return std::get<std::int64_t>(data_); }
  [[nodiscard]] double as_double() const { return std::get<double>(data_); }
  [[nodiscard]] const std::string& as_string() const { return std::get<std::string>(data_); }
  [[nodiscard]] const Array& as_array() const { return std::get<Array>(data_); }
  [[nodiscard]] Array& as_array() { return std::get<Array>(data_); }
  [[nodiscard]] const Object& as_object() const { return std::get<Object>(data_); }
  [[nodiscard]] Object& as_object() { return std::get<Object>(data_); }

  // Checked accessors: nullptr when the value is of another kind.
  [[nodiscard]] const std::string* if_string() const noexcept { return std::get_if<std::string>(&data_); }
  [[nodiscard]] const Array* if_array() const noexcept { return std::get_if<Array>(&data_); }
  [[nodiscard]] Array* if_array() noexcept { return std::get_if<Array>(&data_); }
  [[nodiscard]] const Object* if_object() const noexcept { return std::get_if<Object>(&data_); }
  [[nodiscard]] Object* if_object() noexcept { return std::get_if<Object>(&data_); }

  // The member `key` of an object, or nullptr (also when this is not an object).
  [[nodiscard]] const Value* find(std::string_view key) const noexcept;
  [[nodiscard]] Value* find(std::string_view key) noexcept;
  // The member `key`, read as null when this is not an object or has no such member.
  [[nodiscard]] const Value& operator[](std::string_view key) const noexcept;

  // Deep equality; numbers are equal only within the same kind, floats by bit pattern.
  friend bool operator==(const Value& a, const Value& b);

 private:
  std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object> data_{nullptr};
};

struct Member {
  std::string key;
  Value value;

  friend bool operator==(const Member&, const Member&) = default;
};

inline Object::Object(const Object& other) = default;
inline Object::Object(Object&& other) noexcept = default;
inline Object& Object::operator=(const Object& other) = default;
inline Object& Object::operator=(Object&& other) noexcept = default;
inline Object::~Object() = default;

// A null value with static lifetime, for lookups that find nothing.
const Value& null_value() noexcept;

// Arrays and objects may nest this many levels; one more is a parse error.
inline constexpr std::size_t kMaxParseDepth = 127;

// Parses exactly one JSON value, with nothing but JSON whitespace after it. Strings must be
// valid UTF-8 and escapes must not leave a lone surrogate. The error text is the parser's
// own description of the fault, with the byte offset where it was found.
std::expected<Value, std::string> parse(std::string_view text);

// Compact JSON text: no whitespace, members in ascending key-byte order, integers in plain
// decimal, floats in shortest round-trip form (with ".0" when integral, so the kind survives a
// re-parse; NaN and the infinities, which JSON cannot express, as null like JSON.stringify),
// strings quoted as ECMAScript's JSON.stringify quotes them.
std::string write(const Value& value);
void write_to(std::string& out, const Value& value);

// Appends `s` quoted and escaped as ECMAScript's JSON.stringify does for a well-formed string:
// the two-character escapes \b \t \n \f \r \" \\, \u00XX (lowercase hex) for the other control
// characters below U+0020, and every other character as its own UTF-8 bytes.
void write_string(std::string& out, std::string_view s);

}  // namespace kest::json
