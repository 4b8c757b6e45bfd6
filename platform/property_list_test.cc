#include "platform/property_list.h"

#include <plist/plist.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace quarn::platform {
namespace {

constexpr char kFormatError[] = "The data couldn't be read because it isn't in the correct format.";
constexpr char kDepthError[] = "The data couldn't be read because it is nested too deeply.";
constexpr char kSizeError[] = "The data couldn't be read because it is too large.";

std::string xmlDocument(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>";
}

std::string toBinary(const std::string& xml) {
  plist_t node = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
  EXPECT_NE(node, nullptr);
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  std::string binary(bytes, length);
  plist_to_bin_free(bytes);
  plist_free(node);
  return binary;
}

// A hand-written binary document: `objects` are the encoded objects in index
// order, references are one byte, object 0 is the root.
std::string binaryDocument(const std::vector<std::string>& objects, int refSize = 1) {
  std::string bytes = "bplist00";
  std::vector<std::uint32_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(static_cast<std::uint32_t>(bytes.size()));
    bytes += object;
  }
  const std::uint64_t tableOffset = bytes.size();
  for (std::uint32_t offset : offsets) {
    for (int shift = 24; shift >= 0; shift -= 8)
      bytes.push_back(static_cast<char>(offset >> shift));
  }
  std::string trailer(6, '\0');
  trailer.push_back(4);
  trailer.push_back(static_cast<char>(refSize));
  auto put64 = [&](std::uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8)
      trailer.push_back(static_cast<char>(value >> shift));
  };
  put64(objects.size());
  put64(0);
  put64(tableOffset);
  return bytes + trailer;
}

// An array object of up to 14 references of `refSize` bytes.
std::string arrayObject(const std::vector<std::uint32_t>& references, int refSize = 1) {
  std::string object(1, static_cast<char>(0xA0 | references.size()));
  for (std::uint32_t reference : references) {
    for (int shift = 8 * (refSize - 1); shift >= 0; shift -= 8) {
      object.push_back(static_cast<char>(reference >> shift));
    }
  }
  return object;
}

PropertyListValue expectedTree() {
  PropertyListDictionary inner;
  inner.set("flag", false);
  PropertyListDictionary root;
  root.set("string", "héllo & <world>");
  root.set("negative", std::int64_t{-42});
  root.set("big", std::int64_t{9007199254740993});
  root.set("real", 2.5);
  root.set("yes", true);
  root.set("data", PropertyListData{std::string("\x00\x01\x02\xff", 4)});
  root.set("date", PropertyListDate{978307200.0 + 86400.0});
  root.set("list", PropertyListArray{"a", std::int64_t{1}, PropertyListArray{}, inner});
  root.set("", "empty key");
  return root;
}

const std::string kAllKindsXml = xmlDocument(R"(<dict>
  <key>string</key><string>héllo &amp; &lt;world&gt;</string>
  <key>negative</key><integer>-42</integer>
  <key>big</key><integer>9007199254740993</integer>
  <key>real</key><real>2.5</real>
  <key>yes</key><true/>
  <key>data</key><data>AAEC/w==</data>
  <key>date</key><date>2001-01-02T00:00:00Z</date>
  <key>list</key><array><string>a</string><integer>1</integer><array/><dict><key>flag</key><false/></dict></array>
  <key></key><string>empty key</string>
</dict>)");

TEST(PropertyListTest, ReadsEveryKindFromXml) {
  auto value = parsePropertyList(kAllKindsXml);
  ASSERT_TRUE(value.has_value()) << value.error().description;
  EXPECT_EQ(*value, expectedTree());
}

TEST(PropertyListTest, ReadsEveryKindFromBinary) {
  const std::string binary = toBinary(kAllKindsXml);
  ASSERT_EQ(binary.substr(0, 8), "bplist00");
  auto value = parsePropertyList(binary);
  ASSERT_TRUE(value.has_value()) << value.error().description;
  EXPECT_EQ(*value, expectedTree());
}

TEST(PropertyListTest, ScalarRootsAndKinds) {
  auto value = parsePropertyList(xmlDocument("<string>just text</string>"));
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value->getIf<std::string>(), "just text");
  EXPECT_EQ(value->kindDescription(), "a string");
  EXPECT_EQ(PropertyListValue(std::int64_t{1}).kindDescription(), "an integer");
  EXPECT_EQ(PropertyListValue(PropertyListArray{}).kindDescription(), "an array");
  EXPECT_EQ(PropertyListValue(PropertyListDictionary{}).kindDescription(), "a dictionary");
  EXPECT_EQ(PropertyListValue(1.0).kindDescription(), "a real number");
  EXPECT_EQ(PropertyListValue(true).kindDescription(), "a boolean");
  EXPECT_EQ(PropertyListValue(PropertyListData{}).kindDescription(), "data");
  EXPECT_EQ(PropertyListValue(PropertyListDate{}).kindDescription(), "a date");
}

TEST(PropertyListTest, DuplicateKeysKeepTheLastValue) {
  auto value = parsePropertyList(xmlDocument(
      "<dict><key>k</key><string>first</string><key>k</key><string>last</string></dict>"));
  ASSERT_TRUE(value.has_value());
  const auto* dictionary = value->getIf<PropertyListDictionary>();
  ASSERT_NE(dictionary, nullptr);
  EXPECT_EQ(dictionary->size(), 1u);
  EXPECT_EQ(*dictionary->find("k"), PropertyListValue("last"));
  EXPECT_EQ(dictionary->find("K"), nullptr);
}

TEST(PropertyListTest, UidReadsAsItsDictionaryForm) {
  plist_t root = plist_new_array();
  plist_array_append_item(root, plist_new_uid(7));
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  const std::string binary(bytes, length);
  plist_to_bin_free(bytes);
  plist_free(root);

  auto value = parsePropertyList(binary);
  ASSERT_TRUE(value.has_value()) << value.error().description;
  PropertyListDictionary uid;
  uid.set("CF$UID", std::int64_t{7});
  EXPECT_EQ(*value, PropertyListValue(PropertyListArray{uid}));
}

struct BadCase {
  std::string name;
  std::string bytes;
  std::string description;
};

class BadDocumentTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadDocumentTest, IsAnErrorWithADescription) {
  auto value = parsePropertyList(GetParam().bytes);
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error().description, GetParam().description);
  EXPECT_EQ(value.error().domain, "PropertyListError");
}

std::string nestedXml(int depth) {
  std::string body;
  for (int i = 0; i < depth; ++i) body += "<array>";
  for (int i = 0; i < depth; ++i) body += "</array>";
  return xmlDocument(body);
}

// Object i is an array holding object i + 1; 2-byte references.
std::string nestedBinary(int depth) {
  std::vector<std::string> objects;
  for (int i = 0; i < depth - 1; ++i) objects.push_back(arrayObject({std::uint32_t(i + 1)}, 2));
  objects.push_back(arrayObject({}, 2));
  return binaryDocument(objects, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, BadDocumentTest,
    ::testing::Values(
        BadCase{"Empty", "", kFormatError},
        BadCase{"NotAPropertyList", "hello, world", kFormatError},
        BadCase{"Json", R"({"extensions": []})", kFormatError},
        BadCase{"TruncatedXml", kAllKindsXml.substr(0, kAllKindsXml.size() / 2), kFormatError},
        BadCase{"UnbalancedXml", xmlDocument("<array><string>x</string>"), kFormatError},
        BadCase{"InvalidUtf8String", xmlDocument("<string>\xff\xfe</string>"), kFormatError},
        BadCase{"MagicOnly", "bplist00", kFormatError},
        BadCase{"TruncatedBinary", toBinary(kAllKindsXml).substr(0, 60), kFormatError},
        BadCase{"BinaryWithoutTrailer",
                toBinary(kAllKindsXml).substr(0, toBinary(kAllKindsXml).size() - 32), kFormatError},
        BadCase{"ReferenceOutOfRange", binaryDocument({arrayObject({5})}), kFormatError},
        BadCase{"ArrayContainsItself", binaryDocument({arrayObject({0})}), kFormatError},
        BadCase{"CycleThroughTwoArrays", binaryDocument({arrayObject({1}), arrayObject({0})}),
                kFormatError},
        BadCase{"KeyWithNul",
                binaryDocument({"\xD1\x01\x02",
                                std::string("\x53"
                                            "a\0b",
                                            4),
                                "\x51v"}),
                kFormatError},
        BadCase{"Utf16KeyWithNul",
                binaryDocument({"\xD1\x01\x02", std::string("\x62\0a\0\0", 5), "\x51v"}),
                kFormatError},
        BadCase{"KeyIsAnInteger", binaryDocument({"\xD1\x01\x02", "\x10\x05", "\x51v"}),
                kFormatError},
        BadCase{"XmlTooDeep", nestedXml(kMaxPropertyListDepth + 1), kDepthError},
        BadCase{"XmlFarTooDeep", nestedXml(150000), kDepthError},
        BadCase{"BinaryTooDeep", nestedBinary(kMaxPropertyListDepth + 1), kDepthError},
        BadCase{"BinaryFarTooDeep", nestedBinary(60000), kDepthError}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return info.param.name; });

TEST(PropertyListTest, NestingUpToTheLimitIsRead) {
  for (const std::string& document :
       {nestedXml(kMaxPropertyListDepth), nestedBinary(kMaxPropertyListDepth)}) {
    auto value = parsePropertyList(document);
    ASSERT_TRUE(value.has_value()) << value.error().description;
    const PropertyListValue* node = &*value;
    int depth = 1;
    while (const auto* array = node->getIf<PropertyListArray>()) {
      if (array->empty()) break;
      node = &array->front();
      ++depth;
    }
    EXPECT_EQ(depth, kMaxPropertyListDepth);
  }
}

// Each array refers twice to the next: a few bytes that would expand into
// 2^40 copies.
TEST(PropertyListTest, SharedObjectsThatExpandBeyondBoundsAreRefused) {
  std::vector<std::string> objects;
  for (std::uint32_t i = 0; i < 40; ++i) objects.push_back(arrayObject({i + 1, i + 1}));
  objects.push_back(arrayObject({}));
  auto value = parsePropertyList(binaryDocument(objects));
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error().description, kSizeError);
}

TEST(PropertyListTest, SharedObjectsWithinBoundsAreCopied) {
  // Root [1, 1, 1] where 1 is ["x"] and 2 is the string "x".
  auto value =
      parsePropertyList(binaryDocument({arrayObject({1, 1, 1}), arrayObject({2}), "\x51x"}));
  ASSERT_TRUE(value.has_value()) << value.error().description;
  const PropertyListValue leaf = PropertyListArray{"x"};
  EXPECT_EQ(*value, PropertyListValue(PropertyListArray{leaf, leaf, leaf}));
}

}  // namespace
}  // namespace quarn::platform
