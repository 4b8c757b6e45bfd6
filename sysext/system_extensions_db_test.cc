#include "sysext/system_extensions_db.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sysext/test_documents.h"

namespace quarn::sysext {
namespace {

using testing::databaseXml;
using testing::encode;
using testing::extensionXml;
using testing::Format;
using testing::keyed;
using testing::policyXml;
using testing::stringXml;
using testing::xmlDocument;

constexpr Format kFormats[] = {Format::kXml, Format::kBinary};

// Entries shaped like the system's, with many keys the agent does not read.
TEST(SystemExtensionsDBTest, ReadsTheListedKeysAndIgnoresTheRest) {
  const std::string extra =
      keyed("categories",
            "<array><string>com.apple.system_extension.endpoint_security</string></array>") +
      keyed("bundleVersion", "<dict><key>CFBundleVersion</key><string>12</string></dict>") +
      keyed("references",
            "<array><dict><key>appRef</key><string>file:///x</string></dict></array>") +
      keyed("originPath", stringXml("/Applications/Orvanta Forwarder.app")) +
      keyed("uniqueID", "<data>AAECAw==</data>") + keyed("flags", "<integer>5</integer>");
  const std::string xml = databaseXml(
      {policyXml(
           {{"3RZT8QW5KD", {"com.kelvane.Orvanta.ProcessMonitor", "other.ext"}}, {"TEAM2", {}}},
           keyed("allowUserOverrides", "<true/>") +
               keyed("allowedTeamIDs", "<array><string>X</string></array>")),
       policyXml({})},
      {extensionXml("com.kelvane.Orvanta.ProcessMonitor", "activated_enabled", "3RZT8QW5KD", extra),
       extensionXml(std::nullopt, "terminated_waiting_to_uninstall_on_reboot", "OTHER"),
       extensionXml(" spaced ", std::nullopt, std::nullopt)},
      keyed("version", "<integer>1</integer>") + keyed("bootUUID", stringXml("B00T")) +
          keyed("developerMode", "<false/>"));
  SystemExtensionsDB expected;
  expected.extensionPolicies = {
      ExtensionPolicy{{{"3RZT8QW5KD", std::vector<std::string>{"com.kelvane.Orvanta.ProcessMonitor",
                                                               "other.ext"}},
                       {"TEAM2", std::vector<std::string>{}}}},
      ExtensionPolicy{}};
  expected.extensions = {
      Extension{"com.kelvane.Orvanta.ProcessMonitor", "activated_enabled", "3RZT8QW5KD"},
      Extension{std::nullopt, "terminated_waiting_to_uninstall_on_reboot", "OTHER"},
      Extension{" spaced ", std::nullopt, std::nullopt}};

  for (const Format format : kFormats) {
    SCOPED_TRACE(testing::formatName(format));
    auto database = decodeSystemExtensionsDB(std::string_view(encode(xml, format)));
    ASSERT_TRUE(database.has_value()) << database.error().description;
    EXPECT_EQ(*database, expected);
    auto empty = decodeSystemExtensionsDB(std::string_view(encode(databaseXml({}, {}), format)));
    ASSERT_TRUE(empty.has_value()) << empty.error().description;
    EXPECT_EQ(*empty, SystemExtensionsDB{});
  }
}

// A fault anywhere fails the whole document, with a description that names
// the key path and what it held.
TEST(SystemExtensionsDBTest, AFaultAnywhereFailsTheWholeLoad) {
  const std::string goodPolicy = policyXml({{"T", {"E"}}});
  const std::string goodExtension = extensionXml("E", "activated_enabled", "T");
  const auto withAllowed = [](const std::string& allowedXml) {
    return databaseXml({"<dict>" + keyed("allowedExtensions", allowedXml) + "</dict>"}, {});
  };
  const auto withExtension = [&](const std::string& key, const std::string& valueXml) {
    return databaseXml({goodPolicy}, {"<dict>" + keyed(key, valueXml) + "</dict>"});
  };
  const std::pair<std::string, std::string> cases[] = {
      {xmlDocument("<dict>" + keyed("extensions", "<array/>") + "</dict>"),
       "No value for the required key extensionPolicies."},
      {xmlDocument("<dict>" + keyed("extensionPolicies", "<array/>") + "</dict>"),
       "No value for the required key extensions."},
      {xmlDocument("<dict>" + keyed("ExtensionPolicies", "<array/>") +
                   keyed("extensions", "<array/>") + "</dict>"),
       "No value for the required key extensionPolicies."},
      {xmlDocument("<array/>"), "Expected a dictionary at the top level, found an array."},
      {xmlDocument("<dict>" + keyed("extensionPolicies", "<array/>") +
                   keyed("extensions", "<dict/>") + "</dict>"),
       "Expected an array for extensions, found a dictionary."},
      {databaseXml({goodPolicy},
                   {goodExtension, "<dict>" + keyed("identifier", stringXml("E")) +
                                       keyed("state", "<integer>1</integer>") + "</dict>"}),
       "Expected a string for extensions[1].state, found an integer."},
      {withExtension("identifier", "<true/>"),
       "Expected a string for extensions[0].identifier, found a boolean."},
      {withExtension("teamID", "<data>AA==</data>"),
       "Expected a string for extensions[0].teamID, found data."},
      {withExtension("state", "<date>2020-01-01T00:00:00Z</date>"),
       "Expected a string for extensions[0].state, found a date."},
      {databaseXml({}, {goodExtension, stringXml("E")}),
       "Expected a dictionary for extensions[1], found a string."},
      {databaseXml({goodPolicy, "<array/>"}, {}),
       "Expected a dictionary for extensionPolicies[1], found an array."},
      {databaseXml({"<dict>" + keyed("allowUserOverrides", "<true/>") + "</dict>"}, {}),
       "No value for the required key extensionPolicies[0].allowedExtensions."},
      {withAllowed("<array/>"),
       "Expected a dictionary for extensionPolicies[0].allowedExtensions, found an array."},
      {withAllowed("<dict>" + keyed("T", stringXml("E")) + "</dict>"),
       "Expected an array for extensionPolicies[0].allowedExtensions.T, found a string."},
      {withAllowed("<dict>" + keyed("T", "<array><string>E</string><real>1.5</real></array>") +
                   "</dict>"),
       "Expected a string for extensionPolicies[0].allowedExtensions.T[1], found a real number."},
  };
  for (const Format format : kFormats) {
    for (const auto& [xml, description] : cases) {
      SCOPED_TRACE(std::string(testing::formatName(format)) + ": " + description);
      auto database = decodeSystemExtensionsDB(std::string_view(encode(xml, format)));
      ASSERT_FALSE(database.has_value());
      EXPECT_EQ(database.error().description, description);
    }
  }
}

}  // namespace
}  // namespace quarn::sysext
