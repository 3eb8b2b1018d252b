// Reading the resource directory into a tree, looking children up, freeing.
#include "engine/tree/restree.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/failure.h"
#include "engine/pe/bytes.h"

namespace marovi {

// A directory of many resources holds two nodes per resource.
static_assert(sizeof(TResItem) <= (sizeof(void*) == 8 ? 72 : 40), "a resource node has grown");

namespace {

constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::uint32_t kDirectoryHeader = 16;
constexpr std::uint32_t kEntrySize = 8;
constexpr std::uint32_t kDataEntrySize = 16;
// Real directories are three levels deep; anything far deeper is hostile and
// would only exhaust the stack of the recursive passes.
constexpr int kMaxDepth = 16;

// A directory that cannot be read safely: what and where, on its way out of
// the recursion to the one who asked for the tree.
[[noreturn]] void Malformed(std::string what) {
  throw EngineFailure(MakeError(ErrorKind::MalformedImage, std::move(what)));
}

class DirectoryReader {
 public:
  DirectoryReader(const std::uint8_t* view, std::uint32_t viewSize, std::uint32_t rawOffset,
                  std::uint32_t rawSize, std::uint32_t virtualAddress)
      : view_(view), rawOffset_(rawOffset), virtualAddress_(virtualAddress) {
    if (rawOffset > viewSize)
      Malformed("resource section data at file offset " + HexOffset(rawOffset) +
                " lies beyond the end of the " + std::to_string(viewSize) + "-byte file");
    const std::uint32_t available = viewSize - rawOffset;
    section_.data = const_cast<std::uint8_t*>(view) + rawOffset;
    section_.size = rawSize < available ? rawSize : available;
    entriesLeft_ = section_.size / kEntrySize + 1;
  }

  // A directory read twice would appear twice in the tree and be written
  // back twice; the offsets of all tables read are compared once at the end.
  void CheckEachDirectoryReadOnce() {
    std::sort(directories_.begin(), directories_.end());
    const auto twice = std::adjacent_find(directories_.begin(), directories_.end());
    if (twice != directories_.end())
      Malformed("resource directory at resource section offset " + HexOffset(*twice) +
                " is referred to by more than one entry");
  }

  ResourceTree ReadEntry(std::uint32_t nameField, std::uint32_t offsetField, int depth) {
    ResourceTree node = (offsetField & kHighBit) != 0 ? TResItem::Directory() : TResItem::Leaf();
    if ((nameField & kHighBit) != 0) {
      node->name = ReadName(nameField & ~kHighBit);
    } else {
      node->id = nameField;
    }
    if (node->isDirectory()) {
      ReadDirectory(*node, offsetField & ~kHighBit, depth);
    } else {
      ReadDataEntry(*node, offsetField);
    }
    return node;
  }

 private:
  [[noreturn]] void Fail(const std::string& what, std::uint32_t offset,
                         std::uint64_t length) const {
    Malformed(what + " at resource section offset " + HexOffset(offset) + " (" +
              std::to_string(length) + " bytes) lies outside the resource section (" +
              std::to_string(section_.size) + " bytes in the file)");
  }

  std::u16string ReadName(std::uint32_t offset) const {
    if (!section_.Has(offset, 2)) Fail("resource name string", offset, 2);
    const std::uint32_t length = LoadU16(section_.data + offset);
    const std::uint64_t bytes = 2 + 2ull * length;
    if (!section_.Has(offset, bytes)) Fail("resource name string", offset, bytes);
    if (length == 0)
      Malformed("resource name string at resource section offset " + HexOffset(offset) +
                " is empty");
    std::u16string name(length, u'\0');
    for (std::uint32_t i = 0; i < length; ++i)
      name[i] = static_cast<char16_t>(LoadU16(section_.data + offset + 2 + 2 * i));
    return name;
  }

  void ReadDirectory(TResItem& node, std::uint32_t offset, int depth) {
    if (depth > kMaxDepth)
      Malformed("resource directory at resource section offset " + HexOffset(offset) +
                " is nested deeper than " + std::to_string(kMaxDepth) + " levels");
    for (std::uint32_t ancestor : path_) {
      if (ancestor == offset)
        Malformed("resource directory at resource section offset " + HexOffset(offset) +
                  " leads back to one of its own ancestors");
    }
    if (!section_.Has(offset, kDirectoryHeader))
      Fail("resource directory table", offset, kDirectoryHeader);
    const std::uint8_t* table = section_.data + offset;
    ResourceDirectory& d = node.directory();
    d.characteristics = LoadU32(table + 0);
    d.timeDateStamp = LoadU32(table + 4);
    d.majorVersion = LoadU16(table + 8);
    d.minorVersion = LoadU16(table + 10);
    d.namedEntryCount = LoadU16(table + 12);
    d.idEntryCount = LoadU16(table + 14);
    const std::uint32_t count = d.namedEntryCount + d.idEntryCount;
    const std::uint64_t tableBytes = kDirectoryHeader + std::uint64_t{kEntrySize} * count;
    if (!section_.Has(offset, tableBytes)) Fail("resource directory table", offset, tableBytes);
    // The entries of sound tables each take 8 bytes of the section of their
    // own: more entries than that means tables read over again (or laid over
    // one another), and the bound stops a table referred to by many entries
    // from being read without end before the check for repeats comes.
    if (count > entriesLeft_)
      Malformed("resource directory at resource section offset " + HexOffset(offset) +
                " brings the entries read to more than the " + std::to_string(section_.size) +
                "-byte resource section can hold");
    entriesLeft_ -= count;
    directories_.push_back(offset);

    path_.push_back(offset);
    LinkSlot tail = &node.firstChild;
    for (std::uint32_t k = 0; k < count; ++k) {
      const std::uint8_t* entry = table + kDirectoryHeader + kEntrySize * k;
      // The commit writes the first NumberOfNamedEntries children as named
      // entries: a directory whose entries disagree with its counts, or a
      // name of no characters, could not be written back as it was read.
      const bool named = (LoadU32(entry) & kHighBit) != 0;
      if (named != (k < d.namedEntryCount))
        Malformed("resource directory at resource section offset " + HexOffset(offset) +
                  ": entry " + std::to_string(k) + " is " +
                  (named ? "named but lies among the numbered entries"
                         : "numbered but lies among the named entries"));
      *tail = ReadEntry(LoadU32(entry), LoadU32(entry + 4), depth + 1);
      tail = &(*tail)->nextSibling;
    }
    path_.pop_back();
  }

  void ReadDataEntry(TResItem& node, std::uint32_t offset) const {
    if (!section_.Has(offset, kDataEntrySize)) Fail("resource data entry", offset, kDataEntrySize);
    const std::uint8_t* entry = section_.data + offset;
    const std::uint32_t rva = LoadU32(entry + 0);
    ResourceLeaf& leaf = node.leaf();
    leaf.dataSize = LoadU32(entry + 4);
    leaf.codePage = LoadU32(entry + 8);
    leaf.reserved = LoadU32(entry + 12);
    // OffsetToData is an address in memory, not a section offset: resource
    // data is taken to lie in the resource section itself, and must.
    const std::int64_t sectionOffset = std::int64_t{rva} - virtualAddress_;
    if (sectionOffset < 0 ||
        !section_.Has(static_cast<std::uint64_t>(sectionOffset), leaf.dataSize))
      Malformed("resource data at RVA " + HexOffset(rva) + " (" + std::to_string(leaf.dataSize) +
                " bytes, data entry at resource section offset " + HexOffset(offset) +
                ") lies outside the resource section");
    const std::int64_t fileOffset = sectionOffset + rawOffset_;
    leaf.data.SetView(view_ + fileOffset);
  }

  const std::uint8_t* view_;
  std::uint32_t rawOffset_;
  std::uint32_t virtualAddress_;
  ByteSpan section_;
  std::vector<std::uint32_t> path_;
  std::uint64_t entriesLeft_ = 0;
  std::vector<std::uint32_t> directories_;
};

}  // namespace

std::size_t KeyLength(const char16_t* text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

ResourceTree ParseResourceTree(const std::uint8_t* view, std::uint32_t viewSize,
                               std::uint32_t rawOffset, std::uint32_t rawSize,
                               std::uint32_t virtualAddress) {
  DirectoryReader reader(view, viewSize, rawOffset, rawSize, virtualAddress);
  ResourceTree root = reader.ReadEntry(0, kHighBit, 0);
  reader.CheckEachDirectoryReadOnce();
  return root;
}

LinkSlot FindNamedChild(TResItem* parent, ResKey key) {
  LinkSlot slot = &parent->firstChild;
  if (IsIntResource(key)) {
    const std::uint32_t id = ResourceId(key);
    for (; *slot != nullptr; slot = &(*slot)->nextSibling) {
      const TResItem* n = slot->get();
      if (n->isDirectory() && n->name.empty() && n->id == id) return slot;
    }
    return slot;
  }
  const std::u16string_view name(key, KeyLength(key));
  for (; *slot != nullptr; slot = &(*slot)->nextSibling) {
    const TResItem* n = slot->get();
    if (n->isDirectory() && n->name == name) return slot;
  }
  return slot;
}

LinkSlot FindLanguageChild(TResItem* parent, std::uint16_t language) {
  LinkSlot slot = &parent->firstChild;
  for (; *slot != nullptr; slot = &(*slot)->nextSibling) {
    const TResItem* n = slot->get();
    if (!n->isDirectory() && n->id == language) return slot;
  }
  return slot;
}

}  // namespace marovi
