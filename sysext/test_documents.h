// Builders of system extension database documents for tests, in XML and in
// binary form (converted with libplist).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/property_list_documents.h"

namespace quarn::sysext::testing {

enum class Format { kXml, kBinary };

inline const char* formatName(Format format) { return format == Format::kXml ? "Xml" : "Binary"; }

inline std::string xmlDocument(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n" +
         body + "\n</plist>\n";
}

// The document `xml` in `format`; the binary form comes from libplist's
// writer.
inline std::string encode(const std::string& xml, Format format) {
  if (format == Format::kXml) return xml;
  return quarn::testing::xmlToBinaryPropertyList(xml).value_or("not a property list: " + xml);
}

inline std::string keyed(const std::string& key, const std::string& valueXml) {
  return "<key>" + key + "</key>" + valueXml;
}

inline std::string stringXml(const std::string& text) { return "<string>" + text + "</string>"; }

// An extension record; absent fields are left out, `extra` is appended inside
// the dictionary.
inline std::string extensionXml(const std::optional<std::string>& identifier,
                                const std::optional<std::string>& state,
                                const std::optional<std::string>& teamID,
                                const std::string& extra = "") {
  std::string body = "<dict>";
  if (identifier) body += keyed("identifier", stringXml(*identifier));
  if (state) body += keyed("state", stringXml(*state));
  if (teamID) body += keyed("teamID", stringXml(*teamID));
  return body + extra + "</dict>";
}

using TeamList = std::pair<std::string, std::vector<std::string>>;

inline std::string policyXml(const std::vector<TeamList>& teams, const std::string& extra = "") {
  std::string allowed = "<dict>";
  for (const auto& [team, identifiers] : teams) {
    std::string list = "<array>";
    for (const auto& identifier : identifiers) list += stringXml(identifier);
    allowed += keyed(team, list + "</array>");
  }
  return "<dict>" + keyed("allowedExtensions", allowed + "</dict>") + extra + "</dict>";
}

inline std::string databaseXml(const std::vector<std::string>& policies,
                               const std::vector<std::string>& extensions,
                               const std::string& extra = "") {
  std::string policiesXml = "<array>";
  for (const auto& policy : policies) policiesXml += policy;
  std::string extensionsXml = "<array>";
  for (const auto& extension : extensions) extensionsXml += extension;
  return xmlDocument("<dict>" + keyed("extensionPolicies", policiesXml + "</array>") +
                     keyed("extensions", extensionsXml + "</array>") + extra + "</dict>");
}

}  // namespace quarn::sysext::testing
