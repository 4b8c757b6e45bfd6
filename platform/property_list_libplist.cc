// Property lists on libplist: the library parses, this file guards it against
// documents that would exhaust the stack or memory and converts its tree into
// PropertyListValue.

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/property_list.h"
#include "platform/text.h"

namespace quarn::platform {

// --- PropertyListDictionary, PropertyListValue ------------------------------

using Entries = std::map<std::string, PropertyListValue, std::less<>>;

PropertyListDictionary::PropertyListDictionary() : entries_(std::make_unique<Entries>()) {}
PropertyListDictionary::PropertyListDictionary(const PropertyListDictionary& other)
    : entries_(std::make_unique<Entries>(*other.entries_)) {}
PropertyListDictionary::PropertyListDictionary(PropertyListDictionary&& other) noexcept
    : entries_(std::exchange(other.entries_, std::make_unique<Entries>())) {}
PropertyListDictionary& PropertyListDictionary::operator=(const PropertyListDictionary& other) {
  if (this != &other) *entries_ = *other.entries_;
  return *this;
}
PropertyListDictionary& PropertyListDictionary::operator=(PropertyListDictionary&& other) noexcept {
  std::swap(entries_, other.entries_);
  return *this;
}
PropertyListDictionary::~PropertyListDictionary() = default;

const PropertyListValue* PropertyListDictionary::find(std::string_view key) const {
  const auto it = entries_->find(key);
  return it == entries_->end() ? nullptr : &it->second;
}

void PropertyListDictionary::set(std::string key, PropertyListValue value) {
  (*entries_)[std::move(key)] = std::move(value);
}

std::size_t PropertyListDictionary::size() const { return entries_->size(); }

const Entries& PropertyListDictionary::entries() const { return *entries_; }

bool operator==(const PropertyListDictionary& a, const PropertyListDictionary& b) {
  return *a.entries_ == *b.entries_;
}

std::string_view PropertyListValue::kindDescription() const {
  static constexpr std::string_view kNames[] = {
      "a dictionary",  "an array",  "a string", "an integer",
      "a real number", "a boolean", "data",     "a date",
  };
  static_assert(std::size(kNames) == std::variant_size_v<Storage>);
  return kNames[storage_.index()];
}

// --- Parsing ------------------------------------------------------------------

namespace {

constexpr std::string_view kPropertyListErrorDomain = "PropertyListError";
// The read-corrupt code of the platform's property-list reader.
constexpr std::int64_t kReadCorruptErrorCode = 3840;
constexpr char kNotAPropertyList[] =
    "The data couldn't be read because it isn't in the correct format.";
constexpr char kTooDeep[] = "The data couldn't be read because it is nested too deeply.";
constexpr char kTooLarge[] = "The data couldn't be read because it is too large.";

// A binary document names each object once but may refer to it many times;
// libplist builds a separate copy per reference. This caps the copies.
constexpr std::uint64_t kMaxExpandedObjects = 1 << 20;

// Seconds from 1970-01-01 to 2001-01-01, the formats' reference date.
constexpr double kReferenceDateSince1970 = 978307200.0;

Error readError(const char* description) {
  return Error{std::string(kPropertyListErrorDomain), kReadCorruptErrorCode, description};
}

// Checks the object graph of a binary document before libplist walks it
// recursively: every reference in range, no cycle, nesting and expanded size
// within bounds. Anything it cannot read as a sound document is refused.
class BinaryDocumentCheck {
 public:
  explicit BinaryDocumentCheck(std::string_view bytes) : bytes_(bytes) {}

  std::optional<Error> run() {
    constexpr std::size_t kHeaderSize = 8;
    constexpr std::size_t kTrailerSize = 32;
    if (bytes_.size() < kHeaderSize + kTrailerSize + 1) return readError(kNotAPropertyList);
    const std::size_t trailer = bytes_.size() - kTrailerSize;
    offsetSize_ = byte(trailer + 6);
    refSize_ = byte(trailer + 7);
    const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
    const std::uint64_t root = readBigEndian(trailer + 16, 8);
    offsetTable_ = readBigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8 || objectCount == 0 ||
        root >= objectCount || offsetTable_ < kHeaderSize || offsetTable_ > trailer ||
        objectCount > (trailer - offsetTable_) / offsetSize_) {
      return readError(kNotAPropertyList);
    }
    objectCount_ = objectCount;
    return walk(root);
  }

 private:
  struct Children {
    std::uint64_t start = 0;  // offset of the first reference
    std::uint64_t count = 0;
    std::uint64_t keys = 0;  // how many of the first references are dictionary keys
  };
  struct Frame {
    std::uint64_t object;
    Children children;
    std::uint64_t next = 0;
    std::uint64_t depth = 1;     // deepest nesting below and including this object
    std::uint64_t expanded = 1;  // objects in this one's subtree, copies counted
  };
  enum class State : std::uint8_t { unvisited, onStack, done };

  std::uint8_t byte(std::uint64_t at) const { return static_cast<std::uint8_t>(bytes_[at]); }

  std::uint64_t readBigEndian(std::uint64_t at, std::size_t size) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | byte(at + i);
    return value;
  }

  // The references of a container object, or none for other objects; absent
  // when the object lies outside the document.
  std::optional<Children> childrenOf(std::uint64_t object) const {
    const auto found = offsetOf(object);
    if (!found) return std::nullopt;
    const std::uint64_t offset = *found;
    const std::uint8_t marker = byte(offset);
    const std::uint8_t type = marker >> 4;
    if (type != 0xA && type != 0xC && type != 0xD) return Children{};
    std::uint64_t count = marker & 0x0F;
    std::uint64_t start = offset + 1;
    if (count == 0x0F) {
      if (start >= offsetTable_) return std::nullopt;
      const std::uint8_t intMarker = byte(start);
      if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return std::nullopt;
      const std::size_t size = std::size_t{1} << (intMarker & 0x0F);
      if (start + 1 + size > offsetTable_) return std::nullopt;
      count = readBigEndian(start + 1, size);
      start += 1 + size;
    }
    // A dictionary lists its keys, then its values.
    std::uint64_t keys = 0;
    if (type == 0xD) {
      if (count > std::numeric_limits<std::uint64_t>::max() / 2) return std::nullopt;
      keys = count;
      count *= 2;
    }
    if (count > (offsetTable_ - start) / refSize_) return std::nullopt;
    return Children{start, count, keys};
  }

  // The object's offset, or absent when the offset table points outside the
  // objects.
  std::optional<std::uint64_t> offsetOf(std::uint64_t object) const {
    const std::uint64_t offset = readBigEndian(offsetTable_ + object * offsetSize_, offsetSize_);
    if (offset < 8 || offset >= offsetTable_) return std::nullopt;
    return offset;
  }

  // Whether `object` can be a dictionary key: an ASCII or UTF-16 string
  // without NUL characters, which libplist cannot hold in a key.
  bool isSafeKey(std::uint64_t object) const {
    if (object >= objectCount_) return false;
    const auto offset = offsetOf(object);
    if (!offset) return false;
    const std::uint8_t marker = byte(*offset);
    const std::uint8_t type = marker >> 4;
    if (type != 0x5 && type != 0x6) return false;
    std::uint64_t length = marker & 0x0F;
    std::uint64_t start = *offset + 1;
    if (length == 0x0F) {
      if (start >= offsetTable_) return false;
      const std::uint8_t intMarker = byte(start);
      if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return false;
      const std::size_t size = std::size_t{1} << (intMarker & 0x0F);
      if (start + 1 + size > offsetTable_) return false;
      length = readBigEndian(start + 1, size);
      start += 1 + size;
    }
    const std::uint64_t unitSize = type == 0x5 ? 1 : 2;
    if (length > (offsetTable_ - start) / unitSize) return false;
    for (std::uint64_t i = 0; i < length; ++i) {
      if (readBigEndian(start + i * unitSize, unitSize) == 0) return false;
    }
    return true;
  }

  std::optional<Error> walk(std::uint64_t root) {
    std::vector<State> state(objectCount_, State::unvisited);
    std::vector<std::uint32_t> depth(objectCount_, 0);
    std::vector<std::uint64_t> expanded(objectCount_, 0);
    std::vector<Frame> stack;

    auto open = [&](std::uint64_t object) -> std::optional<Error> {
      const auto children = childrenOf(object);
      if (!children) return readError(kNotAPropertyList);
      for (std::uint64_t i = 0; i < children->keys; ++i) {
        if (!isSafeKey(readBigEndian(children->start + i * refSize_, refSize_))) {
          return readError(kNotAPropertyList);
        }
      }
      if (stack.size() >= static_cast<std::size_t>(kMaxPropertyListDepth)) {
        return readError(kTooDeep);
      }
      state[object] = State::onStack;
      stack.push_back(Frame{object, *children});
      return std::nullopt;
    };

    if (auto error = open(root)) return error;
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.children.count) {
        state[frame.object] = State::done;
        depth[frame.object] = static_cast<std::uint32_t>(frame.depth);
        expanded[frame.object] = frame.expanded;
        const Frame done = frame;
        stack.pop_back();
        if (!stack.empty()) {
          Frame& parent = stack.back();
          parent.depth = std::max(parent.depth, done.depth + 1);
          parent.expanded += done.expanded;
          if (parent.expanded > kMaxExpandedObjects) return readError(kTooLarge);
        }
        continue;
      }
      const std::uint64_t child =
          readBigEndian(frame.children.start + frame.next * refSize_, refSize_);
      ++frame.next;
      if (child >= objectCount_) return readError(kNotAPropertyList);
      switch (state[child]) {
        case State::onStack:
          return readError(kNotAPropertyList);  // an object that contains itself
        case State::done:
          frame.depth = std::max<std::uint64_t>(frame.depth, depth[child] + 1ull);
          frame.expanded += expanded[child];
          if (frame.depth > static_cast<std::uint64_t>(kMaxPropertyListDepth)) {
            return readError(kTooDeep);
          }
          if (frame.expanded > kMaxExpandedObjects) return readError(kTooLarge);
          break;
        case State::unvisited:
          if (auto error = open(child)) return error;
          break;
      }
    }
    return std::nullopt;
  }

  std::string_view bytes_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t offsetTable_ = 0;
};

// The children of a container node, for the iterative walks below.
std::vector<plist_t> childNodes(plist_t node) {
  std::vector<plist_t> children;
  const plist_type type = plist_get_node_type(node);
  if (type == PLIST_ARRAY) {
    const std::uint32_t size = plist_array_get_size(node);
    children.reserve(size);
    for (std::uint32_t i = 0; i < size; ++i) children.push_back(plist_array_get_item(node, i));
  } else if (type == PLIST_DICT) {
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    for (;;) {
      plist_t value = nullptr;
      plist_dict_next_item(node, iterator, nullptr, &value);
      if (!value) break;
      children.push_back(value);
    }
    std::free(iterator);
  }
  return children;
}

bool deeperThan(plist_t root, int limit) {
  std::vector<std::pair<plist_t, int>> pending{{root, 1}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > limit) return true;
    for (plist_t child : childNodes(node)) pending.emplace_back(child, depth + 1);
  }
  return false;
}

// plist_free() recurses once per level; a tree too deep for that is taken
// apart from its leaves up.
void freeDeepTree(plist_t root) {
  std::vector<plist_t> path{root};
  while (!path.empty()) {
    plist_t node = path.back();
    const plist_type type = plist_get_node_type(node);
    if (type == PLIST_ARRAY && plist_array_get_size(node) > 0) {
      path.push_back(plist_array_get_item(node, plist_array_get_size(node) - 1));
      continue;
    }
    if (type == PLIST_DICT && plist_dict_get_size(node) > 0) {
      plist_dict_iter iterator = nullptr;
      plist_dict_new_iter(node, &iterator);
      plist_t first = nullptr;
      plist_dict_next_item(node, iterator, nullptr, &first);
      std::free(iterator);
      if (first) {
        path.push_back(first);
        continue;
      }
    }
    path.pop_back();
    if (path.empty()) {
      plist_free(node);
    } else if (plist_get_node_type(path.back()) == PLIST_ARRAY) {
      plist_array_remove_item(path.back(), plist_array_get_size(path.back()) - 1);
    } else {
      char* key = nullptr;
      plist_dict_get_item_key(node, &key);
      if (key) plist_dict_remove_item(path.back(), key);
      std::free(key);
    }
  }
}

class PlistOwner {
 public:
  explicit PlistOwner(plist_t node) : node_(node) {}
  ~PlistOwner() {
    if (!node_) return;
    if (deep_) {
      freeDeepTree(node_);
    } else {
      plist_free(node_);
    }
  }
  PlistOwner(const PlistOwner&) = delete;
  PlistOwner& operator=(const PlistOwner&) = delete;
  void markDeep() { deep_ = true; }

 private:
  plist_t node_;
  bool deep_ = false;
};

std::optional<std::string> utf8Text(const char* bytes, std::uint64_t length) {
  std::string text(bytes ? bytes : "", bytes ? length : 0);
  if (!isValidUtf8(text)) return std::nullopt;
  return text;
}

// Converts a tree already known to be no deeper than kMaxPropertyListDepth.
std::optional<PropertyListValue> convert(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return PropertyListValue(value != 0);
    }
    case PLIST_UINT: {
      std::uint64_t value = 0;
      plist_get_uint_val(node, &value);
      // Integers are stored as 64-bit two's complement.
      return PropertyListValue(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return PropertyListValue(value);
    }
    case PLIST_STRING: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_string_ptr(node, &length);
      auto text = utf8Text(bytes, length);
      if (!text) return std::nullopt;
      return PropertyListValue(std::move(*text));
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      return PropertyListValue(
          PropertyListData{std::string(bytes ? bytes : "", bytes ? length : 0)});
    }
    case PLIST_DATE: {
      std::int32_t seconds = 0;
      std::int32_t microseconds = 0;
      plist_get_date_val(node, &seconds, &microseconds);
      return PropertyListValue(PropertyListDate{kReferenceDateSince1970 + seconds +
                                                static_cast<double>(microseconds) / 1e6});
    }
    case PLIST_UID: {
      std::uint64_t value = 0;
      plist_get_uid_val(node, &value);
      PropertyListDictionary dictionary;
      dictionary.set("CF$UID", PropertyListValue(static_cast<std::int64_t>(value)));
      return PropertyListValue(std::move(dictionary));
    }
    case PLIST_ARRAY: {
      PropertyListArray array;
      const std::uint32_t size = plist_array_get_size(node);
      array.reserve(size);
      for (std::uint32_t i = 0; i < size; ++i) {
        auto element = convert(plist_array_get_item(node, i));
        if (!element) return std::nullopt;
        array.push_back(std::move(*element));
      }
      return PropertyListValue(std::move(array));
    }
    case PLIST_DICT: {
      PropertyListDictionary dictionary;
      plist_dict_iter iterator = nullptr;
      plist_dict_new_iter(node, &iterator);
      bool ok = true;
      while (ok) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iterator, &key, &value);
        if (!value) {
          std::free(key);
          break;
        }
        auto keyText = key ? utf8Text(key, std::char_traits<char>::length(key)) : std::nullopt;
        std::free(key);
        auto converted = convert(value);
        if (!keyText || !converted) {
          ok = false;
        } else {
          dictionary.set(std::move(*keyText), std::move(*converted));
        }
      }
      std::free(iterator);
      if (!ok) return std::nullopt;
      return PropertyListValue(std::move(dictionary));
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

Expected<PropertyListValue> parsePropertyList(std::string_view bytes) {
  if (bytes.empty()) return readError(kNotAPropertyList);
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) return readError(kTooLarge);
  const auto length = static_cast<std::uint32_t>(bytes.size());

  const bool binary = plist_is_binary(bytes.data(), length) != 0;
  if (binary) {
    if (auto error = BinaryDocumentCheck(bytes).run()) return *error;
  }
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), length, &root);
  if (!root) return readError(kNotAPropertyList);
  PlistOwner owner(root);
  // The XML reader nests without recursing, so its depth is checked on the
  // tree it built.
  if (!binary && deeperThan(root, kMaxPropertyListDepth)) {
    owner.markDeep();
    return readError(kTooDeep);
  }
  auto value = convert(root);
  if (!value) return readError(kNotAPropertyList);
  return std::move(*value);
}

}  // namespace quarn::platform
