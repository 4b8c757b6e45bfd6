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

class SystemExtensionsDBTest : public ::testing::TestWithParam<Format> {
 protected:
  platform::Expected<SystemExtensionsDB> decode(const std::string& xml) {
    return decodeSystemExtensionsDB(std::string_view(encode(xml, GetParam())));
  }
};

// Entries shaped like the system's, with many keys the agent does not read.
TEST_P(SystemExtensionsDBTest, ReadsTheListedKeysAndIgnoresTheRest) {
  const std::string extra =
      keyed("categories",
            "<array><string>com.apple.system_extension.endpoint_security</string>"
            "</array>") +
      keyed("bundleVersion", "<dict><key>CFBundleVersion</key><string>12</string></dict>") +
      keyed("references",
            "<array><dict><key>appRef</key><string>file:///x</string></dict>"
            "</array>") +
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

  auto database = decode(xml);
  ASSERT_TRUE(database.has_value()) << database.error().description;
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
  EXPECT_EQ(*database, expected);
}

TEST_P(SystemExtensionsDBTest, EmptyArraysLoad) {
  auto database = decode(databaseXml({}, {}));
  ASSERT_TRUE(database.has_value()) << database.error().description;
  EXPECT_TRUE(database->extensionPolicies.empty());
  EXPECT_TRUE(database->extensions.empty());
}

struct BadCase {
  const char* name;
  std::string xml;
  std::string description;
};

class SystemExtensionsDBErrorTest : public ::testing::TestWithParam<std::tuple<Format, BadCase>> {};

TEST_P(SystemExtensionsDBErrorTest, FailsTheWholeLoad) {
  const auto& [format, c] = GetParam();
  auto database = decodeSystemExtensionsDB(std::string_view(encode(c.xml, format)));
  ASSERT_FALSE(database.has_value());
  EXPECT_EQ(database.error().description, c.description);
}

const std::string kGoodPolicy = policyXml({{"T", {"E"}}});
const std::string kGoodExtension = extensionXml("E", "activated_enabled", "T");

INSTANTIATE_TEST_SUITE_P(
    Documents, SystemExtensionsDBErrorTest,
    ::testing::Combine(
        ::testing::Values(Format::kXml, Format::kBinary),
        ::testing::Values(
            BadCase{"MissingPolicies",
                    xmlDocument("<dict>" + keyed("extensions", "<array/>") + "</dict>"),
                    "No value for the required key extensionPolicies."},
            BadCase{"MissingExtensions",
                    xmlDocument("<dict>" + keyed("extensionPolicies", "<array/>") + "</dict>"),
                    "No value for the required key extensions."},
            BadCase{"KeysAreCaseSensitive",
                    xmlDocument("<dict>" + keyed("ExtensionPolicies", "<array/>") +
                                keyed("extensions", "<array/>") + "</dict>"),
                    "No value for the required key extensionPolicies."},
            BadCase{"RootIsAnArray", xmlDocument("<array/>"),
                    "Expected a dictionary at the top level, found an array."},
            BadCase{"ExtensionsIsADictionary",
                    xmlDocument("<dict>" + keyed("extensionPolicies", "<array/>") +
                                keyed("extensions", "<dict/>") + "</dict>"),
                    "Expected an array for extensions, found a dictionary."},
            BadCase{"StateIsANumber",
                    databaseXml({kGoodPolicy},
                                {kGoodExtension, "<dict>" + keyed("identifier", stringXml("E")) +
                                                     keyed("state", "<integer>1</integer>") +
                                                     "</dict>"}),
                    "Expected a string for extensions[1].state, found an integer."},
            BadCase{"IdentifierIsABoolean",
                    databaseXml({}, {"<dict>" + keyed("identifier", "<true/>") + "</dict>"}),
                    "Expected a string for extensions[0].identifier, found a boolean."},
            BadCase{"TeamIDIsData",
                    databaseXml({}, {"<dict>" + keyed("teamID", "<data>AA==</data>") + "</dict>"}),
                    "Expected a string for extensions[0].teamID, found data."},
            BadCase{"ExtensionIsAString", databaseXml({}, {kGoodExtension, stringXml("E")}),
                    "Expected a dictionary for extensions[1], found a string."},
            BadCase{"PolicyIsAnArray", databaseXml({kGoodPolicy, "<array/>"}, {}),
                    "Expected a dictionary for extensionPolicies[1], found an array."},
            BadCase{
                "PolicyWithoutAllowedExtensions",
                databaseXml({"<dict>" + keyed("allowUserOverrides", "<true/>") + "</dict>"}, {}),
                "No value for the required key extensionPolicies[0].allowedExtensions."},
            BadCase{
                "AllowedExtensionsIsAnArray",
                databaseXml({"<dict>" + keyed("allowedExtensions", "<array/>") + "</dict>"}, {}),
                "Expected a dictionary for extensionPolicies[0].allowedExtensions, found an "
                "array."},
            BadCase{"TeamListIsAString",
                    databaseXml({"<dict>" +
                                 keyed("allowedExtensions",
                                       "<dict>" + keyed("T", stringXml("E")) + "</dict>") +
                                 "</dict>"},
                                {}),
                    "Expected an array for extensionPolicies[0].allowedExtensions.T, found a "
                    "string."},
            BadCase{"TeamListHoldsANumber",
                    databaseXml({"<dict>" +
                                 keyed("allowedExtensions",
                                       "<dict>" +
                                           keyed("T",
                                                 "<array><string>E</string><real>1.5</real>"
                                                 "</array>") +
                                           "</dict>") +
                                 "</dict>"},
                                {}),
                    "Expected a string for extensionPolicies[0].allowedExtensions.T[1], found a "
                    "real number."},
            BadCase{
                "DateInsteadOfString",
                databaseXml({}, {"<dict>" + keyed("state", "<date>2020-01-01T00:00:00Z</date>") +
                                 "</dict>"}),
                "Expected a string for extensions[0].state, found a date."},
            BadCase{"NotAPropertyList", "{\"extensions\": []}",
                    "The data couldn't be read because it isn't in the correct format."})),
    [](const ::testing::TestParamInfo<std::tuple<Format, BadCase>>& info) {
      return std::string(testing::formatName(std::get<0>(info.param))) +
             std::get<1>(info.param).name;
    });

INSTANTIATE_TEST_SUITE_P(Formats, SystemExtensionsDBTest,
                         ::testing::Values(Format::kXml, Format::kBinary),
                         [](const ::testing::TestParamInfo<Format>& info) {
                           return testing::formatName(info.param);
                         });

TEST(SystemExtensionsDBDecodeTest, EmptyDocumentIsAFormatError) {
  auto database = decodeSystemExtensionsDB(std::string_view());
  ASSERT_FALSE(database.has_value());
  EXPECT_EQ(database.error().description,
            "The data couldn't be read because it isn't in the correct format.");
}

}  // namespace
}  // namespace quarn::sysext
