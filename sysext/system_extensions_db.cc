// Decoding the system extension database from its property-list form: every
// key the agent reads is checked for its type, and the first fault fails the
// whole document with a description that names where it is.
#include "sysext/system_extensions_db.h"

#include <string>
#include <utility>

namespace quarn::sysext {
namespace {

using platform::Error;
using platform::PropertyListArray;
using platform::PropertyListDictionary;
using platform::PropertyListValue;

// Decodes one record at a time; the first failure stops the walk and is kept
// in `error`.
class Decoder {
 public:
  std::optional<Error> error;

  std::optional<SystemExtensionsDB> database(const PropertyListValue& root) {
    const auto* dictionary = expect<PropertyListDictionary>(root, "", "a dictionary");
    if (!dictionary) return std::nullopt;
    SystemExtensionsDB database;
    const auto* policies = requiredArray(*dictionary, "", "extensionPolicies");
    if (!policies) return std::nullopt;
    const auto* extensions = requiredArray(*dictionary, "", "extensions");
    if (!extensions) return std::nullopt;

    for (std::size_t i = 0; i < policies->size(); ++i) {
      auto policy = extensionPolicy((*policies)[i], element("extensionPolicies", i));
      if (!policy) return std::nullopt;
      database.extensionPolicies.push_back(std::move(*policy));
    }
    for (std::size_t i = 0; i < extensions->size(); ++i) {
      auto record = extension((*extensions)[i], element("extensions", i));
      if (!record) return std::nullopt;
      database.extensions.push_back(std::move(*record));
    }
    return database;
  }

 private:
  static std::string element(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
  }
  static std::string member(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
  }

  template <class T>
  const T* expect(const PropertyListValue& value, const std::string& path,
                  std::string_view expected) {
    if (const T* typed = value.getIf<T>()) return typed;
    const std::string where = path.empty() ? "at the top level" : "for " + path;
    error = Error{std::string(kDecodingErrorDomain), kDecodingTypeMismatch,
                  "Expected " + std::string(expected) + " " + where + ", found " +
                      std::string(value.kindDescription()) + "."};
    return nullptr;
  }

  const PropertyListArray* requiredArray(const PropertyListDictionary& dictionary,
                                         const std::string& path, std::string_view key) {
    const PropertyListValue* value = dictionary.find(key);
    if (!value) {
      error = Error{std::string(kDecodingErrorDomain), kDecodingKeyNotFound,
                    "No value for the required key " + member(path, key) + "."};
      return nullptr;
    }
    return expect<PropertyListArray>(*value, member(path, key), "an array");
  }

  // True when the key is missing (left absent) or holds a string (stored).
  bool optionalString(const PropertyListDictionary& dictionary, const std::string& path,
                      std::string_view key, std::optional<std::string>& out) {
    const PropertyListValue* value = dictionary.find(key);
    if (!value) return true;
    const auto* text = expect<std::string>(*value, member(path, key), "a string");
    if (!text) return false;
    out = *text;
    return true;
  }

  std::optional<ExtensionPolicy> extensionPolicy(const PropertyListValue& value,
                                                 const std::string& path) {
    const auto* dictionary = expect<PropertyListDictionary>(value, path, "a dictionary");
    if (!dictionary) return std::nullopt;
    const std::string allowedPath = member(path, "allowedExtensions");
    const PropertyListValue* allowed = dictionary->find("allowedExtensions");
    if (!allowed) {
      error = Error{std::string(kDecodingErrorDomain), kDecodingKeyNotFound,
                    "No value for the required key " + allowedPath + "."};
      return std::nullopt;
    }
    const auto* teams = expect<PropertyListDictionary>(*allowed, allowedPath, "a dictionary");
    if (!teams) return std::nullopt;

    ExtensionPolicy policy;
    for (const auto& [team, list] : teams->entries()) {
      const std::string listPath = member(allowedPath, team);
      const auto* identifiers = expect<PropertyListArray>(list, listPath, "an array");
      if (!identifiers) return std::nullopt;
      std::vector<std::string> names;
      names.reserve(identifiers->size());
      for (std::size_t i = 0; i < identifiers->size(); ++i) {
        const auto* name = expect<std::string>((*identifiers)[i], element(listPath, i), "a string");
        if (!name) return std::nullopt;
        names.push_back(*name);
      }
      policy.allowedExtensions.emplace(team, std::move(names));
    }
    return policy;
  }

  std::optional<Extension> extension(const PropertyListValue& value, const std::string& path) {
    const auto* dictionary = expect<PropertyListDictionary>(value, path, "a dictionary");
    if (!dictionary) return std::nullopt;
    Extension record;
    if (!optionalString(*dictionary, path, "identifier", record.identifier) ||
        !optionalString(*dictionary, path, "state", record.state) ||
        !optionalString(*dictionary, path, "teamID", record.teamID)) {
      return std::nullopt;
    }
    return record;
  }
};

}  // namespace

platform::Expected<SystemExtensionsDB> decodeSystemExtensionsDB(
    const platform::PropertyListValue& root) {
  Decoder decoder;
  auto database = decoder.database(root);
  if (!database) return std::move(*decoder.error);
  return std::move(*database);
}

platform::Expected<SystemExtensionsDB> decodeSystemExtensionsDB(std::string_view bytes) {
  auto root = platform::parsePropertyList(bytes);
  if (!root) return root.error();
  return decodeSystemExtensionsDB(*root);
}

}  // namespace quarn::sysext
