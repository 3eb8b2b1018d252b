#include "engine/commit/result_check.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/byte_range.h"
#include "engine/pe/bytes.h"
#include "engine/pe/image.h"

namespace marovi {

namespace {

constexpr std::uint32_t kHighBit = 0x80000000u;

struct Layout {
  std::vector<ByteRange> memory;
  std::vector<ByteRange> file;
  std::vector<std::uint32_t> address;
  std::vector<std::uint32_t> directories;  // RVA of each entry, 0 for none
};

std::optional<Layout> ReadLayout(const std::uint8_t* bytes, std::uint32_t size) {
  auto* nt = LocateNtHeaders(const_cast<std::uint8_t*>(bytes), size);
  if (nt == nullptr) return std::nullopt;
  const auto l = ReadPeLayout(bytes, size, nt);
  if (!l || !InBounds(size, l->Section(0), std::uint64_t{sec::kSize} * l->sectionCount))
    return std::nullopt;
  Layout out;
  for (std::uint32_t i = 0; i < l->sectionCount; ++i) {
    const std::uint8_t* h = bytes + l->Section(i);
    const std::uint32_t va = LoadU32(h + sec::kVirtualAddress);
    const std::uint32_t vs = LoadU32(h + sec::kVirtualSize);
    const std::uint32_t raw = LoadU32(h + sec::kSizeOfRawData);
    out.address.push_back(va);
    out.memory.push_back({va, std::max(vs, raw)});
    const std::uint32_t pointer = LoadU32(h + sec::kPointerToRawData);
    out.file.push_back({pointer, pointer == 0 ? 0 : raw});
  }
  for (std::uint32_t k = 0; k < l->directoryCount; ++k) {
    const std::uint8_t* entry = bytes + l->DirectoryEntry(k);
    out.directories.push_back(LoadU32(entry + 4) != 0 ? LoadU32(entry) : 0);
  }
  return out;
}

std::optional<std::size_t> Holder(const Layout& l, std::uint32_t rva) {
  for (std::size_t i = 0; i < l.memory.size(); ++i)
    if (l.memory[i].Contains(rva)) return i;
  return std::nullopt;
}

// A way in which the written image differs from the one meant: a check of
// the result that failed.
Error Wrong(std::string what) { return MakeError(ErrorKind::Internal, std::move(what)); }

// Walks the written directory beside the tree, with bounded reads only.
class TreeComparison {
 public:
  TreeComparison(const std::uint8_t* section, std::uint64_t size, std::uint32_t rva,
                 const std::uint8_t* view, std::uint32_t viewSize, std::uint64_t sectionAt)
      : s_(section), size_(size), rva_(rva), view_(view), viewSize_(viewSize), at_(sectionAt) {}

  Error Directory(std::uint64_t offset, const TResItem* node, int depth) {
    if (depth > 16 || !InBounds(size_, offset, 16))
      return Wrong("a directory table lies outside the section");
    const std::uint8_t* table = s_ + offset;
    const std::uint32_t named = LoadU16(table + 12), ids = LoadU16(table + 14);
    if (named != node->directory().namedEntryCount || ids != node->directory().idEntryCount)
      return Wrong("a directory holds other entries than meant");
    if (!InBounds(size_, offset + 16, 8ull * (named + ids)))
      return Wrong("a directory's entries lie outside the section");
    const TResItem* child = node->firstChild.get();
    for (std::uint32_t k = 0; k < named + ids; ++k, child = child->nextSibling.get()) {
      if (child == nullptr) return Wrong("a directory holds more entries than meant");
      const std::uint8_t* entry = table + 16 + 8 * k;
      const std::uint32_t name = LoadU32(entry), target = LoadU32(entry + 4);
      if (auto problem = Key(name, *child)) return problem;
      if (((target & kHighBit) != 0) != child->isDirectory())
        return Wrong("an entry is of the wrong kind");
      auto problem = child->isDirectory() ? Directory(target & ~kHighBit, child, depth + 1)
                                          : Leaf(target, child->leaf());
      if (problem) return problem;
    }
    return Error();
  }

 private:
  Error Key(std::uint32_t name, const TResItem& child) const {
    if ((name & kHighBit) == 0) {
      if (!child.name.empty() || name != child.id)
        return Wrong("an entry has another id than meant");
      return Error();
    }
    const std::uint64_t at = name & ~kHighBit;
    if (!InBounds(size_, at, 2)) return Wrong("a name lies outside the section");
    const std::uint16_t length = LoadU16(s_ + at);
    if (length != child.name.size() || !InBounds(size_, at + 2, 2ull * length))
      return Wrong("a name differs from the one meant");
    for (std::uint32_t i = 0; i < length; ++i)
      if (LoadU16(s_ + at + 2 + 2 * i) != child.name[i])
        return Wrong("a name differs from the one meant");
    return Error();
  }

  Error Leaf(std::uint64_t offset, const ResourceLeaf& leaf) const {
    if (!InBounds(size_, offset, 16)) return Wrong("a data entry lies outside the section");
    const std::uint8_t* entry = s_ + offset;
    const std::uint32_t address = LoadU32(entry);
    if (LoadU32(entry + 4) != leaf.dataSize || LoadU32(entry + 8) != leaf.codePage ||
        LoadU32(entry + 12) != leaf.reserved)
      return Wrong("a data entry differs from the one meant");
    if (address < rva_ || !InBounds(size_, address - std::uint64_t{rva_}, leaf.dataSize))
      return Wrong("a resource's data lies outside the section");
    // New data held in memory is compared byte for byte; the rest (moved
    // from the old section or from scratch files) by its place and size.
    if (const CompactByteString* bytes = leaf.data.memory(); bytes != nullptr && !bytes->empty()) {
      const std::uint64_t at = at_ + (address - rva_);
      if (!InBounds(viewSize_, at, bytes->size()) ||
          std::memcmp(view_ + at, bytes->data(), bytes->size()) != 0)
        return Wrong("a resource's new data did not reach the file");
    }
    return Error();
  }

  const std::uint8_t* s_;
  std::uint64_t size_;
  std::uint32_t rva_;
  const std::uint8_t* view_;
  std::uint32_t viewSize_;
  std::uint64_t at_;
};

}  // namespace

Error CheckCommittedImage(const std::uint8_t* view, std::uint32_t viewSize,
                          std::span<const std::uint8_t> oldHeaders, std::uint32_t sectionIndex,
                          const TResItem* root, bool sectionAdded) {
  const auto before = ReadLayout(oldHeaders.data(), static_cast<std::uint32_t>(oldHeaders.size()));
  const auto after = ReadLayout(view, viewSize);
  if (!before || !after) return Wrong("the headers cannot be read back");
  const std::size_t count = before->memory.size();
  if (after->memory.size() != count + (sectionAdded ? 1 : 0))
    return Wrong("the number of sections changed");
  // A section added overlaps nothing; the others as much as before.
  for (std::size_t i = 0; i < after->memory.size(); ++i) {
    for (std::size_t j = i + 1; j < after->memory.size(); ++j) {
      const bool was = j < count;
      if (after->memory[i].Overlaps(after->memory[j]) &&
          !(was && before->memory[i].Overlaps(before->memory[j])))
        return Wrong("sections " + std::to_string(i) + " and " + std::to_string(j) +
                     " overlap in memory");
      if (after->file[i].Overlaps(after->file[j]) &&
          !(was && before->file[i].Overlaps(before->file[j])))
        return Wrong("sections " + std::to_string(i) + " and " + std::to_string(j) +
                     " overlap in the file");
    }
  }
  for (std::size_t k = 0; k < after->directories.size() && k < before->directories.size(); ++k) {
    if (k == kCertificateDirectory || before->directories[k] == 0) continue;
    if (sectionAdded && k == kResourceDirectory) continue;
    if (Holder(*before, before->directories[k]) != Holder(*after, after->directories[k]))
      return Wrong("data directory " + std::to_string(k) + " left the section that held it");
  }
  if (sectionIndex >= after->memory.size()) return Wrong("the resource section is gone");
  const std::uint64_t at = after->file[sectionIndex].offset;
  const std::uint64_t size = after->file[sectionIndex].size;
  if (!InBounds(viewSize, at, size)) return Wrong("the resource section lies outside the file");
  TreeComparison compare(view + at, size, after->address[sectionIndex], view, viewSize, at);
  if (Error problem = compare.Directory(0, root, 0)) {
    problem.detail = "the resources read back wrong: " + problem.detail;
    return problem;
  }
  return Error();
}

}  // namespace marovi
