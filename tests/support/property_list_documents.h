// Property-list documents for tests: XML documents, their binary form as
// libplist's writer makes it, and system extension databases.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarn::testing {

inline std::string xmlDocument(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
         "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">" +
         body + "</plist>\n";
}

// The binary form of the XML document `xml`; empty when `xml` does not parse.
inline std::string toBinary(const std::string& xml) {
  plist_t node = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
  if (!node) return {};
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  std::string binary(bytes, length);
  plist_to_bin_free(bytes);
  plist_free(node);
  return binary;
}

inline std::string keyed(const std::string& key, const std::string& valueXml) {
  return "<key>" + key + "</key>" + valueXml;
}

inline std::string arrayXml(const std::vector<std::string>& elementsXml) {
  return "<array>" + std::accumulate(elementsXml.begin(), elementsXml.end(), std::string()) +
         "</array>";
}

// An extension record and a policy (allowing, per team, the listed
// extensions) of the system extension database; absent fields are left out,
// `extra` goes inside the dictionary.
inline std::string extensionXml(const std::optional<std::string>& identifier,
                                const std::optional<std::string>& state,
                                const std::optional<std::string>& teamID,
                                const std::string& extra = "") {
  const auto field = [](const char* key, const std::optional<std::string>& value) {
    return value ? keyed(key, "<string>" + *value + "</string>") : "";
  };
  return "<dict>" + field("identifier", identifier) + field("state", state) +
         field("teamID", teamID) + extra + "</dict>";
}

inline std::string policyXml(
    const std::vector<std::pair<std::string, std::vector<std::string>>>& teams,
    const std::string& extra = "") {
  std::string allowed;
  for (const auto& [team, identifiers] : teams) {
    std::vector<std::string> names;
    for (const auto& identifier : identifiers)
      names.push_back("<string>" + identifier + "</string>");
    allowed += keyed(team, arrayXml(names));
  }
  return "<dict>" + keyed("allowedExtensions", "<dict>" + allowed + "</dict>") + extra + "</dict>";
}

inline std::string databaseXml(const std::vector<std::string>& policies,
                               const std::vector<std::string>& extensions,
                               const std::string& extra = "") {
  return xmlDocument("<dict>" + keyed("extensionPolicies", arrayXml(policies)) +
                     keyed("extensions", arrayXml(extensions)) + extra + "</dict>");
}

}  // namespace quarn::testing
