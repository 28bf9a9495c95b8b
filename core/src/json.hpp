// A small ordered JSON value and its two layouts (compact and two-space pretty).
// Objects keep insertion order, which is how every record fixes its key order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "matrix.hpp"

namespace tarvix::json {

class Value;
using Array = std::vector<Value>;
using Member = std::pair<std::string, Value>;
using Object = std::vector<Member>;

class Value {
 public:
  Value() : v_(nullptr) {}
  Value(std::nullptr_t) : v_(nullptr) {}
  Value(bool b) : v_(b) {}
  Value(double d) : v_(d) {}
  Value(std::uint64_t u) : v_(u) {}
  Value(unsigned u) : v_(static_cast<std::uint64_t>(u)) {}
  Value(unsigned long long u) : v_(static_cast<std::uint64_t>(u)) {}
  Value(std::int64_t i) : v_(i) {}
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::make_shared<Array>(std::move(a))) {}
  Value(Object o) : v_(std::make_shared<Object>(std::move(o))) {}

  static Value array() { return Value(Array{}); }
  static Value object() { return Value(Object{}); }

  // Appends a member to an object (the value must be an object).
  Value& set(std::string key, Value value);
  // Appends an element to an array (the value must be an array).
  Value& push(Value value);

  bool is_object() const { return std::holds_alternative<std::shared_ptr<Object>>(v_); }
  bool is_array() const { return std::holds_alternative<std::shared_ptr<Array>>(v_); }
  const Object& as_object() const { return *std::get<std::shared_ptr<Object>>(v_); }
  Object& as_object() { return *std::get<std::shared_ptr<Object>>(v_); }
  const Array& as_array() const { return *std::get<std::shared_ptr<Array>>(v_); }
  Array& as_array() { return *std::get<std::shared_ptr<Array>>(v_); }

  using Storage = std::variant<std::nullptr_t, bool, double, std::uint64_t, std::int64_t, std::string,
                               std::shared_ptr<Array>, std::shared_ptr<Object>>;
  const Storage& storage() const { return v_; }

 private:
  Storage v_;
};

// A real that may be absent: null when empty.
template <class T>
Value optional(const T& opt) {
  return opt ? Value(*opt) : Value(nullptr);
}

// Helpers for common shapes.
Value vec3(const Vec3& v);
Value mat3(const Mat3& m);
Value reals(const std::vector<double>& xs);
Value counts(const std::vector<std::uint64_t>& xs);
Value strings(const std::vector<std::string>& xs);

// Compact: no whitespace. Pretty: two spaces per level, one member per line,
// ": " after keys, [] and {} for empty containers, no final newline.
std::string dump(const Value& value, bool pretty = false);

// Appends a JSON string literal with the standard escapes.
void append_string(std::string& out, const std::string& s);

}  // namespace tarvix::json
