// The records of the system extension database, the property list in which
// the operating system keeps the system extensions it knows and the extension
// policies in force.
//
// Decoding follows fixed typing rules: keys match exactly, keys not listed
// here are ignored at every level, a missing optional key is absent, and the
// whole document fails when a required key is missing, when a listed key that
// is present holds another type (optional ones included), or when an array
// element is not a dictionary that decodes as its record. The error says
// which key path held what, e.g. "Expected a string for extensions[1].state,
// found an integer." Property lists cannot hold null, so the absent array
// elements and lists the records allow never come from a document.
//
// Pure functions of their input; safe on any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/property_list.h"

namespace quarn::sysext {

// One policy in force.
struct ExtensionPolicy {
  // Developer team identifier → the bundle identifiers of the extensions it
  // may install; an absent list allows none.
  std::map<std::string, std::optional<std::vector<std::string>>> allowedExtensions;

  friend bool operator==(const ExtensionPolicy&, const ExtensionPolicy&) = default;
};

// One system extension known to the system.
struct Extension {
  std::optional<std::string> identifier;  // bundle identifier
  std::optional<std::string> state;       // "activated_enabled" when active
  std::optional<std::string> teamID;      // developer team identifier

  friend bool operator==(const Extension&, const Extension&) = default;
};

// The root dictionary of the database; both arrays keep the document's order.
struct SystemExtensionsDB {
  std::vector<std::optional<ExtensionPolicy>> extensionPolicies;
  std::vector<std::optional<Extension>> extensions;

  friend bool operator==(const SystemExtensionsDB&, const SystemExtensionsDB&) = default;
};

// Errors of decoding a parsed document into the records.
inline constexpr std::string_view kDecodingErrorDomain = "DecodingError";
inline constexpr std::int64_t kDecodingTypeMismatch = 4864;
inline constexpr std::int64_t kDecodingKeyNotFound = 4865;

[[nodiscard]] platform::Expected<SystemExtensionsDB> decodeSystemExtensionsDB(
    const platform::PropertyListValue& root);

// Parses `bytes` as a property list (XML or binary), then decodes it. A
// document that does not parse gives the parser's error.
[[nodiscard]] platform::Expected<SystemExtensionsDB> decodeSystemExtensionsDB(
    std::string_view bytes);

}  // namespace quarn::sysext
