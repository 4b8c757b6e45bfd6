#include "platform/property_list.h"

#include <plist/plist.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/property_list_documents.h"

namespace quarn::platform {
namespace {

constexpr char kFormatError[] = "The data couldn't be read because it isn't in the correct format.";
constexpr char kDepthError[] = "The data couldn't be read because it is nested too deeply.";
constexpr char kSizeError[] = "The data couldn't be read because it is too large.";

std::string xmlDocument(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>";
}

std::string toBinary(const std::string& xml) {
  auto binary = quarn::testing::xmlToBinaryPropertyList(xml);
  EXPECT_TRUE(binary.has_value());
  return binary.value_or("");
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

TEST(PropertyListTest, ReadsEveryKindFromXmlAndBinary) {
  const std::string binary = toBinary(kAllKindsXml);
  ASSERT_EQ(binary.substr(0, 8), "bplist00");
  for (const std::string& document : {kAllKindsXml, binary}) {
    auto value = parsePropertyList(document);
    ASSERT_TRUE(value.has_value()) << value.error().description;
    EXPECT_EQ(*value, expectedTree());
  }
  auto scalar = parsePropertyList(xmlDocument("<string>just text</string>"));
  ASSERT_TRUE(scalar.has_value());
  EXPECT_EQ(*scalar, PropertyListValue("just text"));
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

TEST(PropertyListTest, BadDocumentsAreErrorsWithADescription) {
  const std::string binary = toBinary(kAllKindsXml);
  // A dictionary (0xD1) of one key, object 1, and one value, object 2 ("v").
  const auto keyedBy = [](const std::string& key) {
    return binaryDocument({"\xD1\x01\x02", key, "\x51v"});
  };
  const std::vector<std::pair<const char*, std::string>> format = {
      {"empty", ""},
      {"not a property list", "hello, world"},
      {"JSON", R"({"extensions": []})"},
      {"truncated XML", kAllKindsXml.substr(0, kAllKindsXml.size() / 2)},
      {"unbalanced XML", xmlDocument("<array><string>x</string>")},
      {"invalid UTF-8 in a string", xmlDocument("<string>\xff\xfe</string>")},
      {"magic only", "bplist00"},
      {"truncated binary", binary.substr(0, 60)},
      {"binary without its trailer", binary.substr(0, binary.size() - 32)},
      {"reference out of range", binaryDocument({arrayObject({5})})},
      {"an array that holds itself", binaryDocument({arrayObject({0})})},
      {"a cycle through two arrays", binaryDocument({arrayObject({1}), arrayObject({0})})},
      {"a key with NUL", keyedBy(std::string("\x53\x61\0b", 4))},
      {"a UTF-16 key with NUL", keyedBy(std::string("\x62\0a\0\0", 5))},
      {"a key that is an integer", keyedBy("\x10\x05")},
  };
  const std::vector<std::pair<const char*, std::string>> depth = {
      {"XML too deep", nestedXml(kMaxPropertyListDepth + 1)},
      {"XML far too deep", nestedXml(150000)},
      {"binary too deep", nestedBinary(kMaxPropertyListDepth + 1)},
      {"binary far too deep", nestedBinary(60000)},
  };
  for (const auto& [cases, description] :
       {std::pair(&format, kFormatError), std::pair(&depth, kDepthError)}) {
    for (const auto& [name, bytes] : *cases) {
      SCOPED_TRACE(name);
      auto value = parsePropertyList(bytes);
      ASSERT_FALSE(value.has_value());
      EXPECT_EQ(value.error().description, description);
      EXPECT_EQ(value.error().domain, "PropertyListError");
    }
  }
}

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

// A shared object is copied wherever it is referred to, while the copies stay
// within bounds: each array of a chain of 40 that refers twice to the next
// would expand into 2^40 copies.
TEST(PropertyListTest, SharedObjectsAreCopiedWithinBounds) {
  // Root [1, 1, 1] where 1 is ["x"] and 2 is the string "x".
  auto value =
      parsePropertyList(binaryDocument({arrayObject({1, 1, 1}), arrayObject({2}), "\x51x"}));
  ASSERT_TRUE(value.has_value()) << value.error().description;
  const PropertyListValue leaf = PropertyListArray{"x"};
  EXPECT_EQ(*value, PropertyListValue(PropertyListArray{leaf, leaf, leaf}));

  std::vector<std::string> objects;
  for (std::uint32_t i = 0; i < 40; ++i) objects.push_back(arrayObject({i + 1, i + 1}));
  objects.push_back(arrayObject({}));
  auto expanding = parsePropertyList(binaryDocument(objects));
  ASSERT_FALSE(expanding.has_value());
  EXPECT_EQ(expanding.error().description, kSizeError);
}

}  // namespace
}  // namespace quarn::platform
