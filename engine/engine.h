// The engine as the layers above it and other programs use it: an update of
// an image's resources opened on a file, resources added, replaced, deleted
// and read in it, and the update ended by a commit (protected by an undo
// journal) or discarded; resources listed from an image read into memory; the
// recovery of a change that was cut short; the formats of version information
// and manifests; the file services the front ends share with the engine.
// Everything else of the engine (the resource tree, the layout of the new
// section, the mapping) is its own business.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.h"
#include "engine/file_services.h"
#include "engine/little_endian.h"
#include "engine/resource_key.h"

namespace marovi {

// How a commit protects the image while it changes it.
struct CommitOptions {
  // What the commit overwrites is kept first in an undo journal next to the
  // image (JournalName), where any later run finds it after a kill or a power
  // cut and puts the image back. Off, the journal is a scratch file in the
  // temporary folder that only undoes the failures of this run.
  bool journal = true;
  // The journal, and before it is removed the image, are flushed to disk, so
  // that a power cut cannot lose what a kill could not.
  bool sync = true;
  // The image's signature goes: the certificate table's directory entry is
  // cleared and, when the table is the end of the file, its bytes are cut
  // off. (A signature no longer matches an image whose resources changed.)
  bool stripSignature = false;
};

// One open update of an image's resources. It owns its file, the file's
// view and the resources read; EndResourceUpdate ends it.
struct ResourceUpdate;

// Begins an update on file, which the caller opened for writing, locked,
// with platform::OpenFileByName, and which is named fileName (UTF-16; its
// undo journal lies beside it). The update owns the handle from here on,
// whatever the result, so a caller can hold the lock from before a backup
// to the commit. What a change cut short left is put back first. The image's
// resources are read, or with deleteExisting it starts from none; an image
// without a resource section starts from none as well. Null with the reason
// in error: the file cannot be mapped, is not a PE image, its resource table
// does not begin a section of its own (NoResources), its resource directory
// is malformed (MalformedImage) or its resource section also holds other
// things (Refused).
ResourceUpdate* BeginResourceUpdateOnFile(platform::FileHandle file, const char16_t* fileName,
                                          bool deleteExisting, const CommitOptions& options,
                                          Error* error);

// Adds or replaces (data not null) or deletes (data null) one resource.
// True for a null update and for deletes that find nothing; false when the
// change failed inside.
bool UpdateResourceData(ResourceUpdate* update, ResKey type, ResKey name, std::uint16_t language,
                        const void* data, std::uint32_t size);
// The same, with the reason of a false result in error: OutOfMemory, or Io
// with the scratch file and the system's code when large data could not be
// kept there.
bool UpdateResourceData(ResourceUpdate* update, ResKey type, ResKey name, std::uint16_t language,
                        const void* data, std::uint32_t size, Error* error);

// Ends the update; the handle is dead afterwards whatever the result. Discard
// writes nothing. A commit returns false, with the reason in error, when it
// could not be completed; the image file is then as it was: what the commit
// overwrote is kept in an undo journal until it succeeds. Only when putting
// it back fails as well (a second failure) can the file stay changed.
bool EndResourceUpdate(ResourceUpdate* update, bool discard, Error* error);

// Data a program carries behind its own image (or, for Inno, in a resource)
// and finds again by file offsets: installers and self-extracting archives.
enum class PayloadKind { Nsis, Zip, Inno, DotNetBundle, Unknown };
struct PayloadFinding {
  PayloadKind kind = PayloadKind::Unknown;
  std::uint64_t offset = 0;  // where it begins in the file
  std::uint64_t size = 0;
  // Its own integrity check held on the file as it was. A broken one is left
  // as it is by a change: never "repaired".
  bool intact = true;
  std::string detail;  // why it is broken, or how it is laid out
  // A zip archive whose offsets count from the file's start (adjusted), not
  // from the archive's.
  bool absoluteOffsets = false;
  // An NSIS installer whose data carries a CRC-32 checked when it starts.
  bool crcChecked = false;
};
// "NSIS installer", "zip archive", ...
const char* PayloadName(PayloadKind kind);
// The payloads of an image file read whole into memory; empty when it has
// none or is not a PE image.
std::vector<PayloadFinding> FindPayloads(std::span<const std::uint8_t> image);
// What a commit found and kept working besides the resources.
struct CommitReport {
  std::vector<PayloadFinding> payloads;
};
// EndResourceUpdate that also tells, in report (when not null), which
// payloads it found; a payload it cannot keep working refuses the change.
bool EndResourceUpdate(ResourceUpdate* update, bool discard, Error* error, CommitReport* report);

// The image's name as given to begin, in UTF-8, as errors name the file.
std::string ImageFileName(const ResourceUpdate* update);
// Whether the image carried a signature (a certificate table) when the
// update began.
bool ImageIsSigned(const ResourceUpdate* update);
// Whether the image is marked as a DLL (IMAGE_FILE_DLL).
bool ImageIsDll(const ResourceUpdate* update);

// The bytes of one resource, wherever the update keeps them (the image,
// memory or a scratch file). False when there is no such resource (error
// then stays empty) or when its bytes cannot be read back from its scratch
// file (error Io).
bool ReadResource(const ResourceUpdate* update, ResKey type, ResKey name, std::uint16_t language,
                  std::vector<std::uint8_t>& bytes, Error* error);

struct TypedResource {
  ResourceName name;
  std::uint16_t language = 0;
  std::vector<std::uint8_t> bytes;
};

// Every resource of type in the update, by name then language in the order
// of the directory, with its bytes as ReadResource reads them. False, with
// error (Io), when a scratch file cannot be read back; out then holds what
// was read before.
bool ResourcesOfType(const ResourceUpdate* update, std::uint16_t type,
                     std::vector<TypedResource>& out, Error* error);

// A type or a name as the resource directory holds it: a name, or (name
// empty) a number of up to 31 bits.
struct EntryKey {
  std::u16string name;
  std::uint32_t id = 0;
  bool named() const { return !name.empty(); }
};

// One resource of a listing, in the order of the directory.
struct ResourceEntry {
  EntryKey type;
  EntryKey name;
  std::uint32_t language = 0;
  std::uint32_t codePage = 0;
  std::uint32_t size = 0;
  // The bytes where they lie in memory: in the image (of ReadImageResources,
  // or of the update) or, for new data, in the update. Empty for new data
  // kept in a scratch file, which ReadResource reads.
  std::span<const std::uint8_t> data;
};

// An image file mapped for reading only, so that looking at its resources
// reads only the pages looked at (its headers, its resource directory, the
// data a caller reads) and never the whole file. The caller keeps the file
// open, and so held, while the view is in use.
class ReadOnlyImage {
 public:
  ReadOnlyImage() noexcept = default;
  ~ReadOnlyImage();
  ReadOnlyImage(ReadOnlyImage&& other) noexcept;
  ReadOnlyImage& operator=(ReadOnlyImage&& other) noexcept;
  ReadOnlyImage(const ReadOnlyImage&) = delete;
  ReadOnlyImage& operator=(const ReadOnlyImage&) = delete;

  // Maps file, open for reading; an empty file has no bytes. False, with the
  // platform's last-error value set, when it cannot be mapped (a file of
  // 4 GiB or more among them).
  bool Map(platform::FileHandle file);
  std::span<const std::uint8_t> bytes() const noexcept { return {view_, size_}; }

 private:
  void Release() noexcept;
  std::intptr_t mapping_ = 0;
  std::uint8_t* view_ = nullptr;
  std::uint32_t size_ = 0;
};

// Lists the resources of an image file in memory, read whole or mapped
// (ReadOnlyImage); the entries' data point into image. False with error (its
// file left empty for the caller to name): the bytes are not a PE image
// (NotAnImage), it has no resource section (NoResources), or its resource
// directory is malformed (MalformedImage, saying how).
bool ReadImageResources(std::span<const std::uint8_t> image, std::vector<ResourceEntry>& entries,
                        Error* error);

// The resources of an open update as a commit would write them now.
std::vector<ResourceEntry> ListResources(const ResourceUpdate* update);
// The same for the resources of one numbered type only.
std::vector<ResourceEntry> ListResources(const ResourceUpdate* update, std::uint16_t type);

// Whether the update's resources are, entry for entry, those the image file
// holds (the same types, names and languages in the same order, with the
// same bytes), so that a commit would only write back what is there (but for
// the code pages of data stored anew, which storing sets to 0). False when
// they differ or cannot be compared (a scratch file that cannot be read
// back).
bool ResourcesUnchanged(const ResourceUpdate* update);

// A numbered resource to add: its id and the bytes it holds.
struct NumberedData {
  std::uint16_t id = 0;
  const void* data = nullptr;
  std::uint32_t size = 0;
};

// Many numbered resources of one type and language deleted and added at
// once (the images of an icon group, say): the type's entries are walked
// once, not once per resource, so thousands of them cost n log n. Everything
// that may fail is done before anything changes; the changes themselves
// cannot fail, so a caller can prepare several and apply them only once all
// of them were prepared. Deleting and adding give what UpdateResourceData
// would, one call per id in the order given, except that deleting a name
// that does not exist leaves the type alone (id 0 never stands for every
// name).
class NumberedResourceChange {
 public:
  // Works out what deleting the names `deleted` (repeats count) removes.
  // Throws std::bad_alloc, having changed nothing.
  NumberedResourceChange(ResourceUpdate* update, std::uint16_t type, std::uint16_t language,
                         const std::vector<std::uint16_t>& deleted);
  ~NumberedResourceChange();
  NumberedResourceChange(const NumberedResourceChange&) = delete;
  NumberedResourceChange& operator=(const NumberedResourceChange&) = delete;

  // The ids of the type's numbered entries that are left once the deletion
  // is applied, ascending and each once. Throws std::bad_alloc.
  std::vector<std::uint32_t> IdsLeft() const;

  // Makes the resources to add, none of which may exist once the deletion is
  // applied, keeping their data (large data in scratch files). False, having
  // changed nothing, when a scratch file cannot be made or written (error:
  // the system's code and the temporary folder) or an id is given twice
  // (Internal). Throws std::bad_alloc. Once only.
  bool PrepareAddition(const std::vector<NumberedData>& added, Error* error);

  // Removes what the deletion worked out; the type's entries must not have
  // changed since. Once only.
  void ApplyDeletion() noexcept;
  // Links the resources prepared. False, with the update unchanged, when
  // one of them exists already. Once only.
  bool ApplyAddition() noexcept;

 private:
  struct Parts;
  ResourceUpdate* update_;
  std::unique_ptr<Parts> parts_;
  std::uint16_t type_;
  std::uint16_t language_;
};

// The undo journal's name: the image's name with ".marovi-undo" appended.
std::u16string JournalName(std::u16string_view imageName);

enum class Recovery {
  NothingToDo,  // no journal beside the image
  Undone,       // an interrupted change was undone and its journal removed
  Removed,      // an unsealed journal was removed; the image had not been touched
  // A journal that changes nothing (never sealed, or its change finished or
  // was undone) stays beside the image: its name cannot be removed.
  LeftBehind,
  // A journal is there but was not applied (error says why): it is damaged,
  // is not one of this program's (left as it is), or does not belong to the
  // image as it is now (renamed aside); or the image is held by another run.
  Failed,
};

// Looks for the journal of imageName and applies it, opening the image for
// writing (and so locking it) only when there is one. A sealed journal is
// applied only when it was written for this very file (its device and inode)
// and the file is in a state the change could have left (one of the lengths
// it recorded, the bytes it never writes as they were); otherwise the file is
// left as it is and the journal renamed aside (JOURNAL.stale-N).
Recovery RecoverInterruptedChange(const char16_t* imageName, Error* error);
// The same on the image already open for writing and locked by the caller.
Recovery RecoverInterruptedChange(platform::FileHandle image, const char16_t* imageName,
                                  Error* error);

// Removes the undo journal beside a file that is discarded or written anew
// (the temporary copy of a change to a new file), whatever its state, but only
// when it is one of this program's. True when there is none (left) at its
// name; false, with error, when something else is there (left as it is) or it
// cannot be removed.
bool RemoveJournalOfDiscardedFile(const char16_t* fileName, Error* error);

// text (UTF-8) as a JSON string literal, quotes included: quote, backslash
// and control characters escaped, every byte sequence that is not UTF-8
// replaced by U+FFFD, so that the result is valid JSON whatever the input.
std::string JsonString(std::string_view text);

}  // namespace marovi

#include "engine/formats/manifest.h"
#include "engine/formats/res_file.h"
#include "engine/formats/resource_files.h"
#include "engine/formats/resource_types.h"
#include "engine/formats/string_table.h"
#include "engine/formats/version_info.h"
