// Property-list documents, XML and binary: every kind of value, and the
// documents refused (malformed, too deep, too large).
#include "platform/property_list.h"

#include "gtest/gtest.h"

namespace quarn::platform {
namespace {

using namespace std::string_literals;

std::string xmlDocument(const std::string& body) { return "<plist>" + body + "</plist>"; }

// A hand-written binary document: `objects` are the encoded objects in index
// order, object 0 is the root, references are `refSize` bytes.
std::string binaryDocument(const std::vector<std::string>& objects, int refSize = 1) {
  std::string bytes = "bplist00", table;
  for (const auto& object : objects) {
    for (int shift = 24; shift >= 0; shift -= 8) table += char(bytes.size() >> shift);
    bytes += object;
  }
  std::string trailer = std::string(6, '\0') + char(4) + char(refSize);
  for (std::uint64_t value : {std::uint64_t(objects.size()), std::uint64_t(0), bytes.size()})
    for (int shift = 56; shift >= 0; shift -= 8) trailer += char(value >> shift);
  return bytes + table + trailer;
}

// Arrays nested `depth` deep, in XML and in binary (object i holds object i + 1).
std::pair<std::string, std::string> nested(int depth) {
  std::vector<std::string> objects;
  for (int i = 1; i < depth; ++i) objects.push_back({char(0xA1), char(i >> 8), char(i)});
  objects.push_back("\xA0");
  std::string xml;
  for (int i = 0; i < 2 * depth; ++i) xml += i < depth ? "<array>" : "</array>";
  return {xmlDocument(xml), binaryDocument(objects, 2)};
}

// A dictionary (0xD1) of one key, object 1, and one value, object 2 ("v").
std::string keyedBy(const std::string& key) {
  return binaryDocument({"\xD1\x01\x02", key, "\x51v"});
}

PropertyListValue dict(const std::vector<std::pair<std::string, PropertyListValue>>& entries) {
  PropertyListDictionary dictionary;
  for (const auto& [key, value] : entries) dictionary.set(key, value);
  return dictionary;
}

// Every kind, from XML and binary; a fault anywhere fails the whole document
// with a description.
TEST(PropertyListTest, ReadsEveryKindAndRefusesBadDocuments) {
  const std::string xml = xmlDocument(
      "<array><string>h&amp;é</string><integer>-42</integer><integer>9007199254740993</integer>"
      "<real>2.5</real><true/><data>AAEC/w==</data><date>2001-01-02T00:00:00Z</date>"
      "<dict><key></key><false/></dict><array/></array>");
  const PropertyListValue tree = PropertyListArray(
      {"h&é", -42, std::int64_t(9007199254740993), 2.5, true, PropertyListData{"\x00\x01\x02\xff"s},
       PropertyListDate{978307200.0 + 86400.0}, dict({{"", false}}), PropertyListArray()});
  PropertyListValue deepest = PropertyListArray();
  for (int i = 1; i < kMaxPropertyListDepth; ++i) deepest = PropertyListArray{deepest};
  const auto atTheLimit = nested(kMaxPropertyListDepth);
  using Outcome = std::variant<PropertyListValue, std::string>;
  const std::string format = "The data couldn't be read because it isn't in the correct format.";
  const std::string depth = "The data couldn't be read because it is nested too deeply.";
  // Each array of a chain of 40 refers twice to the next: 2^40 copies.
  std::vector<std::string> doubling;
  for (char i = 1; i <= 40; ++i) doubling.push_back({char(0xA2), i, i});
  doubling.push_back("\xA0");
  const std::pair<std::string, Outcome> cases[] = {
      {xml, tree},
      {atTheLimit.first, deepest},
      {atTheLimit.second, deepest},
      // A key of 16 characters: its length in an integer object.
      {keyedBy("\x5F\x10\x10" + std::string(16, 'k')), dict({{std::string(16, 'k'), "v"}})},
      // A keyed-archiver UID (marker 0x80) reads as its dictionary form.
      {binaryDocument({"\xA1\x01", "\x80\x07"}), PropertyListArray{dict({{"CF$UID", 7}})}},
      {"", format},
      {xmlDocument("<string>\xff\xfe</string>"), format},
      {"bplist00", format},
      {"bplist00" + std::string(40, '\0'), format},  // a trailer of zeros
      {binaryDocument({"\xA1\x05"}), format},        // a reference out of range
      {binaryDocument({"\xA1\x00"s}), format},       // an array that holds itself
      {keyedBy("\x53\x61\0b"s), format},             // a key with a NUL
      {keyedBy("\x62\0a\0\0"s), format},             // a UTF-16 key with a NUL
      {keyedBy("\x10\x05"), format},                 // a key that is an integer
      {nested(kMaxPropertyListDepth + 1).first, depth},
      {nested(kMaxPropertyListDepth + 1).second, depth},
      {nested(150000).first, depth},
      {binaryDocument(doubling), "The data couldn't be read because it is too large."s},
  };
  for (const auto& c : cases) {
    const auto read = parsePropertyList(c.first);
    EXPECT_EQ(read ? Outcome(*read) : Outcome(read.error().description), c.second)
        << "case " << &c - cases;
  }
}

}  // namespace
}  // namespace quarn::platform
