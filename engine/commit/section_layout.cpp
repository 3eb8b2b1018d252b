// Laying out the new resource section: the measuring pass sums the sizes of
// its three areas, and the writing pass fills a scratch file of exactly that
// size, mapped into memory, before the image file is touched.
#include "engine/commit/section_layout.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/failure.h"
#include "engine/pe/bytes.h"
#include "engine/pe/image.h"
#include "engine/tree/update.h"

namespace marovi {

// The measuring pass in 64 bits, so that no tree, however large or however
// many of its leaves share one data range, can wrap the totals around.
void Measure(const TResItem* node, std::uint64_t& dirBytes, std::uint64_t& nameBytes,
             std::uint64_t& dataBytes) {
  if (node->isDirectory()) {
    const ResourceDirectory& d = node->directory();
    dirBytes += 16 + 8ull * (std::uint64_t{d.namedEntryCount} + d.idEntryCount);
    for (const TResItem* child = node->firstChild.get(); child != nullptr;
         child = child->nextSibling.get()) {
      if (!child->name.empty()) nameBytes += 2 + 2ull * child->name.size();
      Measure(child, dirBytes, nameBytes, dataBytes);
    }
  } else {
    dirBytes += 16;
    dataBytes += (std::uint64_t{node->leaf().dataSize} + 3) & ~std::uint64_t{3};
  }
}

// Counts and name lengths are 16-bit fields in the section: a tree beyond
// them cannot be written as it is.
bool FitsTheFormat(const TResItem* node) {
  if (!node->isDirectory()) return true;
  const ResourceDirectory& d = node->directory();
  if (d.namedEntryCount > 0xFFFF || d.idEntryCount > 0xFFFF) return false;
  for (const TResItem* child = node->firstChild.get(); child != nullptr;
       child = child->nextSibling.get()) {
    if (child->name.size() > 0xFFFF || !FitsTheFormat(child)) return false;
  }
  return true;
}

namespace {

constexpr std::uint32_t kHighBit = 0x80000000u;

// A leaf whose new data was lost when storing it failed: no call of the
// platform failed now, and nothing is written in its place.
EngineFailure LostData() {
  return EngineFailure(MakeError(ErrorKind::Internal, "a resource has lost its data"));
}

// Bounds-checked writes into the section image.
struct SectionWriter {
  SectionCursor& c;
  std::uint8_t* At(std::uint32_t offset, std::uint64_t length) {
    if (!InBounds(c.imageSize, offset, length))
      throw std::length_error("resource section layout overflows its measured size");
    return c.image + offset;
  }
};

// Puts leaves' bytes into the scratch file by file writes instead of through
// the mapped section image, which would touch every page of it: small leaves
// are gathered in a bounded buffer, and large unchanged ones are copied from
// the image file directly.
class LeafDataWriter {
 public:
  LeafDataWriter(platform::FileHandle scratch, platform::FileHandle image,
                 const std::uint8_t* imageView, LeavesMovedInPlace* moved)
      : scratch_(scratch), image_(image), imageView_(imageView), moved_(moved) {}

  // The bytes of leaf, which go at offset at of the section.
  void Put(const ResourceLeaf& leaf, std::uint32_t at) {
    const std::uint32_t size = leaf.dataSize;
    if (size == 0) return;
    if (const std::uint8_t* bytes = leaf.data.view()) {
      if (image_ != platform::kInvalidFile && imageView_ != nullptr) {
        const auto from = static_cast<std::uint64_t>(bytes - imageView_);
        if (LeaveForMove(from, size, at)) return;
        if (size >= kDirectCopy) {
          Flush();
          Check(platform::CopyFileRange(image_, from, scratch_, at, size),
                "cannot write the section image");
          return;
        }
      }
      Append(bytes, size, at);
    } else if (const CompactByteString* memory = leaf.data.memory()) {
      Append(reinterpret_cast<const std::uint8_t*>(memory->data()),
             std::min<std::size_t>(size, memory->size()), at);
    } else if (const ScratchFile* file = leaf.data.scratch()) {
      // New data that cannot be read back would go into the image as zeros.
      Flush();
      Check(platform::CopyFileRange(file->get(), 0, scratch_, at, size),
            "cannot read back a scratch file");
    } else {
      throw LostData();
    }
  }

  // Where leaf goes when it stays where the tail's shift puts it.
  std::optional<std::uint32_t> StayingPlace(const ResourceLeaf& leaf) const {
    const std::uint8_t* bytes = leaf.data.view();
    if (moved_ == nullptr || moved_->staying.empty() || bytes == nullptr || imageView_ == nullptr)
      return std::nullopt;
    const auto from = static_cast<std::uint64_t>(bytes - imageView_);
    const auto& staying = moved_->staying;
    const auto it = std::lower_bound(staying.begin(), staying.end(), from,
                                     [](const LeafMove& m, std::uint64_t at) { return m.from < at; });
    if (it == staying.end() || it->from != from || it->size != leaf.dataSize) return std::nullopt;
    return it->to;
  }

  void Flush() {
    if (buffer_.empty()) return;
    Check(platform::WriteAt(scratch_, start_, buffer_.data(), buffer_.size()),
          "cannot write the section image");
    buffer_.clear();
  }

 private:
  static constexpr std::uint32_t kDirectCopy = 64u << 10;
  static constexpr std::size_t kBufferLimit = 256u << 10;

  // A leaf is moved in place when its old place lies in the old section
  // behind the one moved before it, which keeps every move from overwriting
  // another's bytes before they have moved.
  bool LeaveForMove(std::uint64_t from, std::uint32_t size, std::uint32_t at) {
    if (moved_ == nullptr || size < MovedInPlaceMinimum() || !moved_->within.Contains({from, size}))
      return false;
    if (!moved_->moves.empty() && from < moved_->moves.back().from + moved_->moves.back().size)
      return false;
    moved_->moves.push_back(LeafMove{from, at, size});
    return true;
  }

  // A read or write of a file that failed, with the platform's reason.
  static void Check(bool ok, const char* what) {
    if (!ok) throw EngineFailure(platform::LastCallError(what));
  }

  void Append(const std::uint8_t* bytes, std::size_t count, std::uint32_t at) {
    if (!buffer_.empty()) {
      const std::uint64_t end = start_ + buffer_.size();
      // The padding between two leaves is zero in the scratch file already,
      // and zero in the buffer.
      if (at >= end && at - end < 8 && buffer_.size() + (at - end) + count <= kBufferLimit)
        buffer_.resize(buffer_.size() + static_cast<std::size_t>(at - end), 0);
      else Flush();
    }
    if (count >= kBufferLimit) {
      Check(platform::WriteAt(scratch_, at, bytes, count), "cannot write the section image");
      return;
    }
    if (buffer_.empty()) {
      buffer_.reserve(kBufferLimit);
      start_ = at;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + count);
  }

  platform::FileHandle scratch_;
  platform::FileHandle image_;
  const std::uint8_t* imageView_;
  LeavesMovedInPlace* moved_;
  std::vector<std::uint8_t> buffer_;
  std::uint32_t start_ = 0;
};

// Writes the subtree; leaves' bytes go into the section image's memory, or
// through files when it is given.
void Write(const TResItem* node, SectionCursor& cursor, LeafDataWriter* files) {
  SectionWriter w{cursor};
  if (node->isDirectory()) {
    const ResourceDirectory& d = node->directory();
    const std::uint32_t count = d.namedEntryCount + d.idEntryCount;
    const std::uint32_t table = cursor.dirPos;
    std::uint8_t* header = w.At(table, 16 + 8ull * count);
    cursor.dirPos += 16 + 8 * count;
    StoreU32(header + 0, d.characteristics);
    StoreU32(header + 4, d.timeDateStamp);
    StoreU16(header + 8, d.majorVersion);
    StoreU16(header + 10, d.minorVersion);
    StoreU16(header + 12, static_cast<std::uint16_t>(d.namedEntryCount));
    StoreU16(header + 14, static_cast<std::uint16_t>(d.idEntryCount));
    std::uint32_t k = 0;
    for (const TResItem* child = node->firstChild.get(); child != nullptr && k < count;
         child = child->nextSibling.get(), ++k) {
      std::uint8_t* entry = header + 16 + 8 * k;
      if (k < d.namedEntryCount) {
        const auto length = static_cast<std::uint32_t>(child->name.size());
        std::uint8_t* text = w.At(cursor.namePos, 2 + 2ull * length);
        StoreU32(entry, cursor.namePos | kHighBit);
        StoreU16(text, static_cast<std::uint16_t>(length));
        for (std::uint32_t i = 0; i < length; ++i)
          StoreU16(text + 2 + 2 * i, static_cast<std::uint16_t>(child->name[i]));
        cursor.namePos += 2 + 2 * length;
      } else {
        StoreU32(entry, child->id);
      }
      StoreU32(entry + 4, cursor.dirPos | (child->isDirectory() ? kHighBit : 0));
      Write(child, cursor, files);
    }
    return;
  }
  const ResourceLeaf& leaf = node->leaf();
  std::uint8_t* entry = w.At(cursor.dirPos, 16);
  cursor.dirPos += 16;
  const std::optional<std::uint32_t> stays =
      files != nullptr ? files->StayingPlace(leaf) : std::nullopt;
  const std::uint32_t place = stays.value_or(cursor.dataPos);
  StoreU32(entry + 0, cursor.sectionRva + place);
  StoreU32(entry + 4, leaf.dataSize);
  StoreU32(entry + 8, leaf.codePage);
  StoreU32(entry + 12, leaf.reserved);
  std::uint8_t* out = w.At(place, leaf.dataSize);
  if (files != nullptr) {
    files->Put(leaf, place);
    if (stays) return;
  } else if (!leaf.data.Read(leaf.dataSize, out)) {
    // New data that cannot be read back, or that was lost when storing it
    // failed, would go into the image as zeros.
    if (leaf.data.scratch() == nullptr) throw LostData();
    throw EngineFailure(platform::LastCallError("cannot read back a scratch file"));
  }
  cursor.dataPos += RoundUp(leaf.dataSize, 4);
}

std::uint32_t g_movedInPlaceMinimum = kMovedInPlace;

}  // namespace

std::uint32_t MovedInPlaceMinimum() { return g_movedInPlaceMinimum; }
void SetMovedInPlaceMinimum(std::uint32_t bytes) {
  g_movedInPlaceMinimum = bytes == 0 ? kMovedInPlace : bytes;
}

void MeasureResourceTree(const TResItem* node, std::uint32_t& dirBytes, std::uint32_t& nameBytes,
                         std::uint32_t& dataBytes) {
  std::uint64_t d = 0, n = 0, b = 0;
  Measure(node, d, n, b);
  dirBytes += static_cast<std::uint32_t>(d);
  nameBytes += static_cast<std::uint32_t>(n);
  dataBytes += static_cast<std::uint32_t>(b);
}

bool WriteResourceTree(const TResItem* node, SectionCursor& cursor) {
  try {
    Write(node, cursor, nullptr);
    return true;
  } catch (...) {
    return false;
  }
}

SectionImage BuildResourceSection(std::uint32_t sectionRva, const TResItem* root,
                                  std::uint32_t dirBytes, std::uint32_t nameBytes,
                                  std::uint32_t dataBytes) {
  return BuildResourceSection(sectionRva, root, dirBytes, nameBytes, dataBytes,
                              platform::kInvalidFile, nullptr, nullptr);
}

SectionImage BuildResourceSection(std::uint32_t sectionRva, const TResItem* root,
                                  std::uint32_t dirBytes, std::uint32_t nameBytes,
                                  std::uint32_t dataBytes, platform::FileHandle imageFile,
                                  const std::uint8_t* imageView, LeavesMovedInPlace* moved) {
  SectionImage image;
  const std::uint32_t dataStart = RoundUp(dirBytes + nameBytes, 4);
  const std::uint32_t sectionSize =
      std::max(dataStart + dataBytes, moved != nullptr ? moved->sectionSize : 0u);
  image.scratchName = ScratchFileName(root);
  image.file = ScratchFile::Create(image.scratchName);
  if (!image.file) {
    image.error = platform::LastCallError("cannot create a scratch file", image.scratchName);
    return image;
  }
  platform::MappingHandle mapping = 0;
  // A new file extended to its length reads as zeros: the gaps need no fill.
  const bool mapped =
      platform::SetFileLength(image.file.get(), sectionSize) &&
      platform::MapWholeFile(image.file.get(), mapping, image.view, image.mappedSize);
  if (!mapped)
    image.error = platform::LastCallError("cannot map a scratch file", image.scratchName);
  platform::CloseMapping(mapping);
  if (!mapped) {
    image.Release();
    return image;
  }
  image.size = sectionSize;
  // The directory tables and names go in through the view; the leaves'
  // bytes, most of a section, through the scratch file.
  SectionCursor cursor{image.view, std::min(sectionSize, image.mappedSize), sectionRva, 0, dirBytes,
                       dataStart};
  try {
    LeafDataWriter files(image.file.get(), imageFile, imageView, moved);
    Write(root, cursor, &files);
    files.Flush();
  } catch (const EngineFailure& failure) {
    image.error = failure.error();
    image.Release();
  } catch (...) {
    // Out of memory, or a layout beyond its measured size.
    image.error = platform::LastCallError("cannot lay out the section image");
    image.Release();
  }
  return image;
}

SectionImage::SectionImage(SectionImage&& other) noexcept
    : view(std::exchange(other.view, nullptr)),
      size(std::exchange(other.size, 0)),
      mappedSize(std::exchange(other.mappedSize, 0)),
      scratchName(std::move(other.scratchName)),
      file(std::move(other.file)),
      error(std::move(other.error)) {}

SectionImage& SectionImage::operator=(SectionImage&& other) noexcept {
  if (this != &other) {
    Release();
    view = std::exchange(other.view, nullptr);
    size = std::exchange(other.size, 0);
    mappedSize = std::exchange(other.mappedSize, 0);
    scratchName = std::move(other.scratchName);
    file = std::move(other.file);
    error = std::move(other.error);
  }
  return *this;
}

void SectionImage::Release() noexcept {
  if (view != nullptr) platform::UnmapView(view, mappedSize);
  file.Close();
  view = nullptr;
  size = 0;
  mappedSize = 0;
}

}  // namespace marovi
