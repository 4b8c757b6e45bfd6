// Property-list documents for tests: the binary form of an XML document, as
// libplist's writer makes it.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <optional>
#include <string>

namespace quarn::testing {

// Absent when `xml` is not a property list.
inline std::optional<std::string> xmlToBinaryPropertyList(const std::string& xml) {
  plist_t node = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
  if (!node) return std::nullopt;
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  std::string binary(bytes, length);
  plist_to_bin_free(bytes);
  plist_free(node);
  return binary;
}

}  // namespace quarn::testing
