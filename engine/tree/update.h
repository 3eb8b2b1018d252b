// One open update of an image's resources inside the engine: what it holds,
// the forms of begin and of the look-ups that only tests use, and the tree
// operations of the update and the commit. The public forms are in engine.h.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "engine/engine.h"
#include "engine/platform/mapped_view.h"
#include "engine/failure.h"
#include "engine/platform/platform.h"
#include "engine/tree/restree.h"

namespace marovi {

// An open update owns its file, the file's view and the tree; deleting it
// releases them all (keeping the caller's last-error value).
struct ResourceUpdate {
  ResourceUpdate() = default;
  ResourceUpdate(const ResourceUpdate&) = delete;
  ResourceUpdate& operator=(const ResourceUpdate&) = delete;
  ~ResourceUpdate();

  // The NT headers in the view as it is now, or null (nothing mapped, or
  // no image there): found anew at each call, so that no remap of the file
  // leaves them pointing into a view that is gone.
  std::uint8_t* ntHeaders() const;

  platform::FileHandle fileHandle = platform::kInvalidFile;
  platform::MappedView view;  // the whole file, at its length when it was mapped
  ResourceTree root;
  std::u16string fileName;  // as given to begin: the journal lies beside it
  CommitOptions options;
};

// Opens fileName (UTF-16) in place without sharing and reads its resources
// (or starts from none with deleteExisting). Returns null with the reason in
// platform::LastError(): the platform's code of a failed open or mapping, 2
// when the file has no resource section. A malformed resource directory
// throws ImageFormatError after everything opened is released; it carries
// the Error the other form gives (MalformedImage, or Refused with where).
ResourceUpdate* BeginResourceUpdate(const char16_t* fileName, bool deleteExisting);
// The same, with the reason of a null result (or of the malformed directory,
// which then does not throw) in error.
ResourceUpdate* BeginResourceUpdate(const char16_t* fileName, bool deleteExisting, Error* error);

// The bytes of a resource read from the file (data points into the view), or
// for data stored during this update its size with data null. False when
// any key is missing.
bool GetResourceData(ResourceUpdate* update, ResKey type, ResKey name, std::uint16_t language,
                     const std::uint8_t*& data, std::uint32_t& size);
bool GetIconGroupData(ResourceUpdate* update, ResKey name, std::uint16_t language,
                      const std::uint8_t*& data);

// Internal operations, exposed for the commit and for tests.
std::string FormatHex(std::uint64_t value, int minimum, char fill);
std::string ScratchFileName(const TResItem* node);
int CompareByteStrings(const std::string& a, const std::string& b);
void StoreLeafData(TResItem* leaf, std::uint16_t language, const void* data, std::uint32_t size);
TResItem* InsertDirectory(TResItem* parent, ResKey key);
// The link at which InsertDirectory puts a new entry numbered id: after the
// named entries, before the first numbered entry whose id is id or more.
LinkSlot NumberedInsertionPoint(TResItem* parent, std::uint32_t id);
TResItem* InsertLanguageLeaf(TResItem* nameDirectory, std::uint16_t language, const void* data,
                             std::uint32_t size);
// path holds levels + 1 links, from the node to remove up to the root's.
void RemoveAndPrune(LinkSlot* path, int levels);

// New data of up to this many bytes is kept in memory, larger in a scratch file.
inline constexpr std::uint32_t kInMemoryLimit = 32768;

}  // namespace marovi
