// Beginning an update, and adding, replacing, deleting and looking up
// resources in its tree.
#include "engine/tree/update.h"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "engine/commit/commit.h"
#include "engine/commit/journal.h"
#include "engine/pe/bytes.h"
#include "engine/pe/image.h"
#include "engine/pe/section_moves.h"

namespace marovi {

namespace {

bool IsNamed(const TResItem* node) { return !node->name.empty(); }

}  // namespace

ResourceUpdate::~ResourceUpdate() {
  const std::uint32_t saved = platform::LastError();
  root.reset();
  view.Reset();
  platform::CloseFile(fileHandle);
  platform::SetLastError(saved);
}

std::uint8_t* ResourceUpdate::ntHeaders() const {
  return LocateNtHeaders(view.data(), view.size());
}

ResourceUpdate* BeginResourceUpdate(const char16_t* fileName, bool deleteExisting) {
  const FileHandle file = platform::OpenFileByName(fileName, /*forWriting=*/true, /*create=*/false);
  if (file == platform::kInvalidFile) return nullptr;
  Error error;
  ResourceUpdate* update =
      BeginResourceUpdateOnFile(file, fileName, deleteExisting, CommitOptions(), &error);
  if (update == nullptr &&
      (error.kind == ErrorKind::MalformedImage || error.kind == ErrorKind::Refused)) {
    platform::SetLastError(platform::ErrorBadFormat());
    throw EngineFailure(std::move(error));
  }
  if (update == nullptr && error.kind == ErrorKind::OutOfMemory && error.osCode == 0)
    throw std::bad_alloc();
  return update;
}

ResourceUpdate* BeginResourceUpdate(const char16_t* fileName, bool deleteExisting, Error* error) {
  const FileHandle file = platform::OpenFileByName(fileName, /*forWriting=*/true, /*create=*/false);
  if (file == platform::kInvalidFile) {
    const std::uint32_t code = platform::LastError();
    if (error != nullptr)
      *error = MakeError(platform::ClassifyError(code), "cannot open it for the change", code,
                         platform::ToUtf8(fileName));
    return nullptr;
  }
  return BeginResourceUpdateOnFile(file, fileName, deleteExisting, CommitOptions(), error);
}

ResourceUpdate* BeginResourceUpdateOnFile(FileHandle file, const char16_t* fileName,
                                          bool deleteExisting, const CommitOptions& options,
                                          Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  auto fail = [&](ResourceUpdate* update, ErrorKind kind, std::string detail,
                  std::uint32_t code) -> ResourceUpdate* {
    e = MakeError(kind, std::move(detail), code, platform::ToUtf8(fileName));
    delete update;
    platform::SetLastError(code);
    return nullptr;
  };
  auto* update = new ResourceUpdate;
  update->fileHandle = file;
  update->fileName = fileName;
  update->options = options;
  // A change that was cut short is undone before anything else reads the
  // image (front ends that want to say so call the recovery first).
  if (RecoverInterruptedChange(file, fileName, &e) == Recovery::Failed) {
    delete update;
    platform::SetLastError(e.osCode);
    return nullptr;
  }
  if (!update->view.Map(update->fileHandle)) {
    const std::uint32_t code = platform::LastError();
    return fail(update, platform::ClassifyError(code), "cannot map it into memory", code);
  }
  std::uint8_t* const view = update->view.data();
  const std::uint32_t viewSize = update->view.size();
  const std::uint8_t* const ntHeaders = update->ntHeaders();
  if (ntHeaders == nullptr)
    return fail(update, ErrorKind::NotAnImage, "not a PE image", platform::ErrorBadFormat());
  const auto index = FindResourceSection(view, viewSize, ntHeaders);
  const auto layout = ReadPeLayout(view, viewSize, ntHeaders);
  if (!layout)
    return fail(update, ErrorKind::NotAnImage, "not a PE image of a known form",
                platform::ErrorBadFormat());
  // An image without resources starts from none: the commit adds a section
  // for them. A resource table that lies inside another section is another
  // matter: its section cannot be rebuilt.
  const bool noTable = layout->directoryCount <= kResourceDirectory ||
                       LoadU32(view + layout->DirectoryEntry(kResourceDirectory)) == 0 ||
                       LoadU32(view + layout->DirectoryEntry(kResourceDirectory) + 4) == 0;
  if (!index && !noTable)
    return fail(update, ErrorKind::NoResources,
                "its resource table does not begin a section of its own",
                platform::ErrorFileNotFound());
  try {
    if (deleteExisting || !index) {
      update->root = TResItem::Directory();
    } else {
      const std::uint8_t* section = view + layout->Section(*index);
      update->root = ParseResourceTree(view, viewSize, LoadU32(section + sec::kPointerToRawData),
                                       LoadU32(section + sec::kSizeOfRawData),
                                       LoadU32(section + sec::kVirtualAddress));
    }
  } catch (const EngineFailure& malformed) {
    // Packers keep imports or code in the resource section and resource data
    // elsewhere: the directory then seems malformed, while what stands in the
    // way of a change is what else lives in that section.
    const Error refusal =
        CheckResourceSectionHoldsOnlyResources(view, viewSize, *layout, *index);
    const Error& reason = refusal ? refusal : malformed.error();
    const std::optional<std::uint64_t> offset = reason.offset;
    fail(update, reason.kind, reason.detail, platform::ErrorBadFormat());
    e.offset = offset;
    return nullptr;
  } catch (const std::bad_alloc&) {
    return fail(update, ErrorKind::OutOfMemory, "out of memory reading its resources", 0);
  }
  return update;
}

std::string ImageFileName(const ResourceUpdate* update) {
  return platform::ToUtf8(update->fileName);
}

bool ImageIsSigned(const ResourceUpdate* update) {
  return FindCertificateTable(update->view.data(), update->view.size(), update->ntHeaders())
      .has_value();
}

bool ImageIsDll(const ResourceUpdate* update) {
  const std::uint8_t* const ntHeaders = update->ntHeaders();
  if (ntHeaders == nullptr ||
      !InBounds(update->view.size(), static_cast<std::uint64_t>(ntHeaders - update->view.data()),
                nt::kCharacteristics + 2))
    return false;
  return (LoadU16(ntHeaders + nt::kCharacteristics) & nt::kImageFileDll) != 0;
}

std::string FormatHex(std::uint64_t value, int minimum, char fill) {
  std::string digits = HexDigits(value);
  while (static_cast<int>(digits.size()) < minimum) digits.insert(digits.begin(), fill);
  return "$" + digits;
}

std::string ScratchFileName(const TResItem* node) {
  return platform::TempDirectory() + "$qor$res" + FormatHex(platform::CurrentProcessId(), 8, '0') +
         FormatHex(reinterpret_cast<std::uintptr_t>(node), 1, '0') + "$";
}

int CompareByteStrings(const std::string& a, const std::string& b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const int x = static_cast<unsigned char>(a[i]);
    const int y = static_cast<unsigned char>(b[i]);
    if (x != y) return x - y;
  }
  return static_cast<int>(a.size()) - static_cast<int>(b.size());
}

void StoreLeafData(TResItem* leaf, std::uint16_t language, const void* data, std::uint32_t size) {
  // The new bytes are kept before the leaf lets go of its old ones, so that a
  // store that fails leaves the leaf as it was and no scratch file behind.
  ResourceLeaf& fields = leaf->leaf();
  auto take = [&] {
    leaf->id = language;
    fields.dataSize = size;
    fields.codePage = 0;
  };
  if (size <= kInMemoryLimit) {
    CompactByteString copy;
    copy.assign(static_cast<const char*>(data), size);
    fields.data.SetMemory(std::move(copy));
    take();
    return;
  }
  // The scratch file is named after the leaf, so an old one must go first;
  // if the new one then fails, the leaf holds no bytes at all and the
  // commit refuses it rather than writing zeros.
  if (fields.data.scratch() != nullptr) fields.data.Clear();
  const std::string name = ScratchFileName(leaf);
  ScratchFile file = ScratchFile::Create(name);
  // Io whatever the code: the front ends tell a scratch file's failure by it.
  auto failed = [&](const char* what) {
    Error error = platform::LastCallError(what, name);
    error.kind = ErrorKind::Io;
    return EngineFailure(std::move(error));
  };
  if (!file) throw failed("cannot create a scratch file");
  if (!platform::WriteAt(file.get(), 0, data, size)) throw failed("cannot write a scratch file");
  fields.data.SetScratch(std::move(file));
  take();
}

TResItem* InsertDirectory(TResItem* parent, ResKey key) {
  ResourceTree node = TResItem::Directory();
  LinkSlot slot = &parent->firstChild;
  ResourceDirectory& counts = parent->directory();
  if (IsIntResource(key)) {
    node->id = ResourceId(key);
    slot = NumberedInsertionPoint(parent, node->id);
    ++counts.idEntryCount;
  } else {
    node->name.assign(key, KeyLength(key));
    const std::string narrow = platform::NarrowForOrdering(node->name);
    while (*slot != nullptr && IsNamed(slot->get()) &&
           CompareByteStrings(platform::NarrowForOrdering((*slot)->name), narrow) < 0)
      slot = &(*slot)->nextSibling;
    ++counts.namedEntryCount;
  }
  node->nextSibling = std::move(*slot);
  *slot = std::move(node);
  return slot->get();
}

LinkSlot NumberedInsertionPoint(TResItem* parent, std::uint32_t id) {
  LinkSlot slot = &parent->firstChild;
  while (*slot != nullptr && (IsNamed(slot->get()) || (*slot)->id < id))
    slot = &(*slot)->nextSibling;
  return slot;
}

TResItem* InsertLanguageLeaf(TResItem* nameDirectory, std::uint16_t language, const void* data,
                             std::uint32_t size) {
  LinkSlot slot = &nameDirectory->firstChild;
  while (*slot != nullptr && (*slot)->id < language) slot = &(*slot)->nextSibling;
  ResourceTree leaf = TResItem::Leaf();
  StoreLeafData(leaf.get(), language, data, size);
  leaf->nextSibling = std::move(*slot);
  *slot = std::move(leaf);
  ++nameDirectory->directory().idEntryCount;
  return slot->get();
}

void RemoveAndPrune(LinkSlot* path, int levels) {
  for (int k = 0; k < levels; ++k) {
    ResourceDirectory& parent = (*path[k + 1])->directory();
    if (IsNamed(path[k]->get())) --parent.namedEntryCount;
    else --parent.idEntryCount;
    ResourceTree node = std::move(*path[k]);
    *path[k] = std::move(node->nextSibling);
    node.reset();
    if (parent.namedEntryCount + parent.idEntryCount > 0) break;
  }
}

bool UpdateResourceData(ResourceUpdate* update, ResKey type, ResKey name, std::uint16_t language,
                        const void* data, std::uint32_t size) {
  return UpdateResourceData(update, type, name, language, data, size, nullptr);
}

bool UpdateResourceData(ResourceUpdate* update, ResKey type, ResKey name, std::uint16_t language,
                        const void* data, std::uint32_t size, Error* error) {
  if (error != nullptr) *error = Error();
  if (update == nullptr) return true;
  try {
    LinkSlot rootLink = &update->root;
    TResItem* root = update->root.get();
    LinkSlot typeLink = FindNamedChild(root, type);
    TResItem* typeDir = typeLink->get();
    LinkSlot nameLink = typeDir != nullptr ? FindNamedChild(typeDir, name) : nullptr;
    TResItem* nameDir = nameLink != nullptr ? nameLink->get() : nullptr;
    LinkSlot leafLink = nameDir != nullptr ? FindLanguageChild(nameDir, language) : nullptr;
    TResItem* leaf = leafLink != nullptr ? leafLink->get() : nullptr;

    if (data != nullptr) {
      if (typeDir == nullptr) typeDir = InsertDirectory(root, type);
      if (nameDir == nullptr) nameDir = InsertDirectory(typeDir, name);
      if (leaf == nullptr) InsertLanguageLeaf(nameDir, language, data, size);
      else StoreLeafData(leaf, language, data, size);
      return true;
    }
    if (typeDir == nullptr) return true;
    if (nameDir == nullptr) {
      if (language == 0 && IsIntResource(name) && ResourceId(name) == 0) {
        LinkSlot path[] = {typeLink, rootLink};
        RemoveAndPrune(path, 1);
      }
      return true;
    }
    if (leaf == nullptr) {
      if (language == 0) {
        LinkSlot path[] = {nameLink, typeLink, rootLink};
        RemoveAndPrune(path, 2);
      }
      return true;
    }
    LinkSlot path[] = {leafLink, nameLink, typeLink, rootLink};
    RemoveAndPrune(path, 3);
    return true;
  } catch (const EngineFailure& scratch) {
    if (error != nullptr) *error = scratch.error();
    return false;
  } catch (const std::bad_alloc&) {
    if (error != nullptr)
      *error = MakeError(ErrorKind::OutOfMemory, "out of memory storing a resource");
    return false;
  } catch (...) {
    if (error != nullptr) *error = MakeError(ErrorKind::Internal, "storing a resource failed");
    return false;
  }
}

bool GetResourceData(ResourceUpdate* update, ResKey type, ResKey name, std::uint16_t language,
                     const std::uint8_t*& data, std::uint32_t& size) {
  data = nullptr;
  size = 0;
  if (update == nullptr || update->root == nullptr) return false;
  try {
    TResItem* typeDir = FindNamedChild(update->root.get(), type)->get();
    if (typeDir == nullptr) return false;
    TResItem* nameDir = FindNamedChild(typeDir, name)->get();
    if (nameDir == nullptr) return false;
    TResItem* leaf = FindLanguageChild(nameDir, language)->get();
    if (leaf == nullptr) return false;
    data = leaf->leaf().data.view();
    size = leaf->leaf().dataSize;
    return true;
  } catch (...) {
    return false;
  }
}

bool GetIconGroupData(ResourceUpdate* update, ResKey name, std::uint16_t language,
                      const std::uint8_t*& data) {
  std::uint32_t size = 0;
  return GetResourceData(update, MakeIntResource(kRtGroupIcon), name, language, data, size);
}

}  // namespace marovi
