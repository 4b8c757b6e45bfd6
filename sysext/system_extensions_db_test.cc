#include "sysext/system_extensions_db.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/property_list_documents.h"

namespace quarn::sysext {
namespace {

using testing::databaseXml;
using testing::extensionXml;
using testing::keyed;
using testing::policyXml;
using testing::xmlDocument;
using Names = std::vector<std::string>;

// Each document is read in XML and in binary form.
platform::Expected<SystemExtensionsDB> decode(const std::string& xml, bool binary) {
  return decodeSystemExtensionsDB(std::string_view(binary ? testing::toBinary(xml) : xml));
}

// Keys the agent does not read are ignored at every level; both arrays keep
// the document's order.
TEST(SystemExtensionsDBTest, ReadsTheListedKeysAndIgnoresTheRest) {
  const std::string other = keyed("uniqueID", "<data>AAEC</data>") + keyed("flags", "<true/>");
  const std::string xml =
      databaseXml({policyXml({{"T1", {"A", "B"}}, {"T2", {}}}, other), policyXml({})},
                  {extensionXml("A", "s", "T1", other), extensionXml(std::nullopt, "on", "T2"),
                   extensionXml(" x ", std::nullopt, std::nullopt)},
                  other);
  SystemExtensionsDB expected;
  expected.extensionPolicies = {ExtensionPolicy{{{"T1", Names{"A", "B"}}, {"T2", Names{}}}},
                                ExtensionPolicy{}};
  expected.extensions = {Extension{"A", "s", "T1"}, Extension{std::nullopt, "on", "T2"},
                         Extension{" x ", std::nullopt, std::nullopt}};
  for (const bool binary : {false, true}) {
    auto database = decode(xml, binary);
    ASSERT_TRUE(database.has_value()) << database.error().description;
    EXPECT_EQ(*database, expected);
  }
}

// A fault anywhere fails the whole document, with a description that names
// the key path and what it held.
TEST(SystemExtensionsDBTest, AFaultAnywhereFailsTheWholeLoad) {
  const auto allowed = [](const std::string& valueXml) {
    return databaseXml({"<dict>" + keyed("allowedExtensions", valueXml) + "</dict>"}, {});
  };
  // The second of two extensions has `key` holding `valueXml`.
  const auto second = [](const std::string& key, const std::string& valueXml) {
    return databaseXml({},
                       {extensionXml("E", "s", "T"), "<dict>" + keyed(key, valueXml) + "</dict>"});
  };
  const std::pair<std::string, std::string> cases[] = {
      {xmlDocument("<array/>"), "Expected a dictionary at the top level, found an array."},
      {xmlDocument("<dict>" + keyed("extensions", "<array/>") + "</dict>"),
       "No value for the required key extensionPolicies."},
      {xmlDocument("<dict>" + keyed("extensionPolicies", "<array/>") +
                   keyed("extensions", "<true/>") + "</dict>"),
       "Expected an array for extensions, found a boolean."},
      {second("identifier", "<integer>1</integer>"),
       "Expected a string for extensions[1].identifier, found an integer."},
      {second("state", "<data>AA==</data>"),
       "Expected a string for extensions[1].state, found data."},
      {second("teamID", "<date>2020-01-01T00:00:00Z</date>"),
       "Expected a string for extensions[1].teamID, found a date."},
      {databaseXml({}, {"<string>E</string>"}),
       "Expected a dictionary for extensions[0], found a string."},
      {databaseXml({"<array/>"}, {}),
       "Expected a dictionary for extensionPolicies[0], found an array."},
      {databaseXml({policyXml({}), "<dict/>"}, {}),
       "No value for the required key extensionPolicies[1].allowedExtensions."},
      {allowed("<array/>"),
       "Expected a dictionary for extensionPolicies[0].allowedExtensions, found an array."},
      {allowed("<dict><key>T</key><string>E</string></dict>"),
       "Expected an array for extensionPolicies[0].allowedExtensions.T, found a string."},
      {allowed("<dict><key>T</key><array><string>E</string><real>1.5</real></array></dict>"),
       "Expected a string for extensionPolicies[0].allowedExtensions.T[1], found a real number."},
  };
  for (const bool binary : {false, true}) {
    for (const auto& [xml, description] : cases) {
      auto database = decode(xml, binary);
      ASSERT_FALSE(database.has_value()) << description;
      EXPECT_EQ(database.error().description, description);
    }
  }
}

}  // namespace
}  // namespace quarn::sysext
