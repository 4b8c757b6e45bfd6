// PropertyListValue: a parsed property-list document (XML or binary).
//
// The tree is a plain value: dictionaries (keys unique, in no particular
// order), arrays (in document order), strings (UTF-8), integers, reals,
// booleans, data, and dates. A keyed-archiver UID, which the formats allow,
// appears as the dictionary {"CF$UID": <integer>} it is written as in XML.
// Property lists have no null.
//
// parsePropertyList() detects the format from the bytes. It never crashes on
// bad input: empty, truncated, malformed or absurdly nested documents give an
// Error whose description says, for a person, what is wrong. Thread-safe.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/error.h"

namespace quarn::platform {

class PropertyListValue;

using PropertyListArray = std::vector<PropertyListValue>;

// A string → value map. Held through a pointer because the value type is
// still incomplete here.
class PropertyListDictionary {
 public:
  PropertyListDictionary();
  PropertyListDictionary(const PropertyListDictionary& other);
  PropertyListDictionary(PropertyListDictionary&&) noexcept;
  PropertyListDictionary& operator=(const PropertyListDictionary& other);
  PropertyListDictionary& operator=(PropertyListDictionary&&) noexcept;
  ~PropertyListDictionary();

  // The value for `key` (exact match), or null.
  const PropertyListValue* find(std::string_view key) const;
  // Adds or replaces the value for `key`.
  void set(std::string key, PropertyListValue value);
  std::size_t size() const;
  bool empty() const { return size() == 0; }
  const std::map<std::string, PropertyListValue, std::less<>>& entries() const;

  friend bool operator==(const PropertyListDictionary& a, const PropertyListDictionary& b);

 private:
  std::unique_ptr<std::map<std::string, PropertyListValue, std::less<>>> entries_;
};

struct PropertyListData {
  std::string bytes;
  friend bool operator==(const PropertyListData&, const PropertyListData&) = default;
};

struct PropertyListDate {
  double secondsSince1970 = 0;
  friend bool operator==(const PropertyListDate&, const PropertyListDate&) = default;
};

class PropertyListValue {
 public:
  using Storage = std::variant<PropertyListDictionary, PropertyListArray, std::string, std::int64_t,
                               double, bool, PropertyListData, PropertyListDate>;

  // Implicit, so that a value reads like its content.
  PropertyListValue() : storage_(PropertyListDictionary()) {}
  PropertyListValue(PropertyListDictionary value) : storage_(std::move(value)) {}  // NOLINT
  PropertyListValue(PropertyListArray value) : storage_(std::move(value)) {}       // NOLINT
  PropertyListValue(std::string value) : storage_(std::move(value)) {}             // NOLINT
  PropertyListValue(const char* value) : storage_(std::string(value)) {}           // NOLINT
  template <std::integral I>
  requires(!std::same_as<I, bool>) PropertyListValue(I value)
      : storage_(static_cast<std::int64_t>(value)) {}                        // NOLINT
  PropertyListValue(double value) : storage_(value) {}                       // NOLINT
  PropertyListValue(bool value) : storage_(value) {}                         // NOLINT
  PropertyListValue(PropertyListData value) : storage_(std::move(value)) {}  // NOLINT
  PropertyListValue(PropertyListDate value) : storage_(value) {}             // NOLINT

  // Null when the value is of another kind.
  template <class T>
  const T* getIf() const {
    return std::get_if<T>(&storage_);
  }

  // "a dictionary", "an array", "a string", "an integer", "a real number",
  // "a boolean", "data", "a date": for error texts.
  std::string_view kindDescription() const;

  friend bool operator==(const PropertyListValue&, const PropertyListValue&) = default;

 private:
  Storage storage_;
};

// Documents nested deeper than this are refused rather than parsed.
inline constexpr int kMaxPropertyListDepth = 512;

[[nodiscard]] Expected<PropertyListValue> parsePropertyList(std::string_view bytes);

}  // namespace quarn::platform
