// marovi-cli extract: resources written out as the files they come from,
// each whole or not at all, never over an existing file. The image is only
// read.
#include <algorithm>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "app/change_workflow.h"
#include "cli/absolute_path.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/image_file.h"

namespace marovi::cli {
namespace {

// Longer file names than this are refused: file systems take 255 bytes.
constexpr std::size_t kLongestFileName = 240;

#ifdef _WIN32
constexpr char16_t kSeparator = u'\\';
bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
#else
constexpr char16_t kSeparator = u'/';
bool IsSeparator(char16_t c) { return c == u'/'; }
#endif

bool Matches(const EntryKey& key, const ResourceSpec& spec) {
  if (spec.isId) return !key.named() && key.id == spec.id;
  if (!key.named() || key.name.size() != spec.name.size()) return false;
  // Names are matched without regard to the case of ASCII letters, as the
  // system looks them up.
  for (std::size_t i = 0; i < key.name.size(); ++i) {
    char16_t c = key.name[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != spec.name[i]) return false;
  }
  return true;
}

bool IsType(const ResourceEntry& entry, std::uint16_t type) {
  return !entry.type.named() && entry.type.id == type;
}

// The selected entries. Without a type, icon and cursor images that a group
// lists are left out: they are in the group's file.
std::vector<const ResourceEntry*> Select(const std::vector<ResourceEntry>& entries,
                                         const ExtractOptions& o) {
  std::set<std::uint32_t> listedIcons, listedCursors;
  if (!o.type) {
    for (const ResourceEntry& entry : entries) {
      std::set<std::uint32_t>* listed = IsType(entry, kRtGroupIconRecord)     ? &listedIcons
                                        : IsType(entry, kRtGroupCursorRecord) ? &listedCursors
                                                                              : nullptr;
      if (listed == nullptr) continue;
      for (std::uint16_t id : GroupImageIds(entry.data)) listed->insert(id);
    }
  }
  std::vector<const ResourceEntry*> selected;
  for (const ResourceEntry& entry : entries) {
    if (o.type && !Matches(entry.type, *o.type)) continue;
    if (o.name && !Matches(entry.name, *o.name)) continue;
    if (o.language && entry.language != *o.language) continue;
    if (!o.type && !entry.name.named() &&
        ((IsType(entry, kRtIconImage) && listedIcons.count(entry.name.id) != 0) ||
         (IsType(entry, kRtCursorImage) && listedCursors.count(entry.name.id) != 0)))
      continue;
    selected.push_back(&entry);
  }
  return selected;
}

// The bytes of one file: made anew, or the resource's own.
struct FileBytes {
  std::vector<std::uint8_t> made;
  std::span<const std::uint8_t> bytes;
};

// The file of entry; none, with error, when its resource cannot be one.
std::optional<FileBytes> MakeFile(const ResourceEntry& entry,
                                  const std::vector<ResourceEntry>& entries, Error& error) {
  FileBytes file;
  const bool cursor = IsType(entry, kRtGroupCursorRecord);
  std::optional<std::vector<std::uint8_t>> made;
  if (cursor || IsType(entry, kRtGroupIconRecord)) {
    // An image in the group's language, or else in the first language it has.
    const std::uint16_t imageType = cursor ? kRtCursorImage : kRtIconImage;
    const GroupImageLookup lookup = [&](std::uint16_t id) {
      std::optional<std::span<const std::uint8_t>> found;
      for (const ResourceEntry& image : entries) {
        if (!IsType(image, imageType) || image.name.named() || image.name.id != id) continue;
        if (image.language == entry.language) return std::optional(image.data);
        if (!found) found = image.data;
      }
      return found;
    };
    made = IconFileFromGroup(entry.data, cursor, lookup, &error);
  } else if (IsType(entry, kRtBitmap)) {
    made = BitmapFileFromResource(entry.data, &error);
  } else if (IsType(entry, kRtVersion)) {
    if (const std::optional<VersionInfo> info = ParseVersionInfo(entry.data, &error)) {
      const std::string json = FormatVersionInfoJson(*info) + "\n";
      made.emplace(json.begin(), json.end());
    }
  } else {
    file.bytes = entry.data;
    return file;
  }
  if (!made) return std::nullopt;
  file.made = std::move(*made);
  file.bytes = file.made;
  return file;
}

// Writes bytes to target under a temporary name beside it, flushed, then
// renamed into place, never over a file there: target is whole or absent.
Error WriteWhole(const std::u16string& target, std::span<const std::uint8_t> bytes) {
  const std::u16string part = app::PartName(target);
  auto failed = [&](const char* what) {
    const std::uint32_t code = platform::LastError();
    return MakeError(platform::ClassifyError(code), what, code, platform::ToUtf8(target));
  };
  OwnedFile held(platform::OpenTemporaryFile(part.c_str()));
  if (!held) return failed("cannot be created");
  Error error;
  if (!bytes.empty() && !platform::WriteAt(held.get(), 0, bytes.data(), bytes.size()))
    error = failed("cannot be written");
  else if (!platform::FlushFile(held.get()))
    error = failed("cannot be flushed");
  else if (!platform::RenameNoReplace(held.get(), part.c_str(), target.c_str(), true))
    error = failed(platform::LastError() == platform::ErrorAlreadyExists()
                       ? "appeared meanwhile and was left as it is"
                       : "cannot be given its name");
  if (error) platform::DeleteHeldFile(held.get(), part.c_str());
  return error;
}

struct Target {
  const ResourceEntry* entry;
  std::u16string path;
  std::string shown;  // as the command line named it
};

// The target of each entry in folder (ending in a separator), or the one
// file. Names that only the case of letters tells apart are refused, as
// they would be one file on many file systems; so are names too long.
std::vector<Target> Targets(const std::vector<const ResourceEntry*>& selected,
                            const std::u16string& folder, const std::string& shownFolder,
                            const std::optional<std::u16string>& file, bool& failed) {
  std::vector<Target> targets;
  std::set<std::string> taken;
  for (const ResourceEntry* entry : selected) {
    const std::string name = ResourceFileName(
        entry->type.id, entry->type.name, entry->name.id, entry->name.name, entry->language,
        ResourceFileExtension(entry->type.id, entry->type.named()));
    if (file) {
      targets.push_back({entry, *file, std::string()});
      continue;
    }
    std::string folded = name;
    for (char& c : folded) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (name.size() > kLongestFileName || !taken.insert(folded).second) {
      PrintError(name.substr(0, 64) + (name.size() > 64 ? "..." : "") +
                 (name.size() > kLongestFileName
                      ? ": the resource's name is too long for a file name; not extracted"
                      : ": another resource takes the same file name but for the case of its "
                        "letters; not extracted"));
      failed = true;
      continue;
    }
    targets.push_back({entry, folder + platform::FromUtf8(name), shownFolder + name});
  }
  return targets;
}

std::string Shown(const Target& target, const ExtractOptions& options) {
  return target.shown.empty() ? options.output : target.shown;
}

// Whether a file is at any target, each one named: nothing is written then,
// as an extraction never replaces a file nor stops half way for one.
bool AnyExists(const std::vector<Target>& targets, const ExtractOptions& options) {
  bool exists = false;
  for (const Target& target : targets) {
    platform::FileKind kind = platform::FileKind::Missing;
    if (platform::GetFileKind(target.path.c_str(), kind) && kind == platform::FileKind::Missing)
      continue;
    PrintError(Shown(target, options) + ": exists (or cannot be looked at); extract never "
                                        "replaces a file");
    exists = true;
  }
  return exists;
}

// Writes the file of each target, printing the names of those written. A
// resource that cannot become its file is passed over with the reason, the
// fault's offset taken into the image; a file that cannot be written stops
// the run. False when anything was not written.
bool WriteTargets(const std::vector<Target>& targets, const ImageResources& read,
                  const ExtractOptions& options) {
  bool all = true;
  std::string written;
  for (const Target& target : targets) {
    Error error;
    const ResourceEntry& entry = *target.entry;
    const std::optional<FileBytes> file = MakeFile(entry, read.entries, error);
    if (!file) {
      if (error.offset)
        *error.offset += static_cast<std::uint64_t>(entry.data.data() - read.image.bytes().data());
      error.file = options.file;
      error.detail = "resource " + ResourceKeyText(entry.type.name, entry.type.id) + " " +
                     ResourceKeyText(entry.name.name, entry.name.id) + " (language " +
                     std::to_string(entry.language) + "): " + error.detail;
      PrintError(app::ErrorText(error) + "; " + Shown(target, options) + " not written");
      all = false;
      continue;
    }
    if (Error unwritten = WriteWhole(target.path, file->bytes)) {
      if (!written.empty()) PrintOut(written.substr(0, written.size() - 1));
      PrintError(app::ErrorText(unwritten) + "; no other file was written after the ones printed");
      return false;
    }
    written += Shown(target, options) + "\n";
  }
  if (!written.empty()) PrintOut(written.substr(0, written.size() - 1));
  return all;
}

}  // namespace

int RunExtract(const ExtractOptions& options) {
  const std::optional<std::u16string> given = FileArgument(options.output);
  if (!given) {
    PrintError(NotUtf8Text(options.output));
    return kExitFailed;
  }
  const std::u16string output = AbsolutePath(*given);
  platform::FileKind kind = platform::FileKind::Missing;
  if (output.empty() || !platform::GetFileKind(output.c_str(), kind)) {
    PrintError(app::ErrorText(MakeError(ErrorKind::Io, "cannot be examined", platform::LastError(),
                                        options.output)));
    return kExitFailed;
  }
  const std::optional<ImageResources> read = LoadImageResources(options.file, true);
  if (!read) return kExitFailed;
  const std::vector<const ResourceEntry*> selected = Select(read->entries, options);
  const std::string what = options.selection.empty() ? "resources" : options.selection;
  if (selected.empty()) {
    PrintError(options.file + ": holds no " + (options.selection.empty() ? "resource" : "resource " + what));
    return kExitFailed;
  }
  // A name selects one file to write, unless the output is a folder.
  const bool toFile = options.name && kind != platform::FileKind::Directory &&
                      !IsSeparator(given->back());
  if (toFile && selected.size() != 1) {
    PrintError(options.file + ": " + what + " is " + std::to_string(selected.size()) +
               " resources (one per language): give a LANG, or a folder as --output");
    return kExitFailed;
  }
  if (!toFile && kind != platform::FileKind::Directory && kind != platform::FileKind::Missing) {
    PrintError(options.output + ": is not a folder; the resources go into one");
    return kExitFailed;
  }
  std::u16string folder = output;
  if (!IsSeparator(folder.back())) folder += kSeparator;
  bool failed = false;
  std::string shownFolder = options.output;
  if (!IsSeparator(given->back())) shownFolder += static_cast<char>(kSeparator);
  const std::vector<Target> targets = Targets(selected, folder, shownFolder,
                                              toFile ? std::optional(output) : std::nullopt, failed);
  if (AnyExists(targets, options)) {
    PrintError("nothing was extracted: remove those files or choose another --output");
    return kExitFailed;
  }
  const std::u16string folderToMake = toFile ? app::FolderPart(output, app::NativeFileSystem()) : folder;
  if (!folderToMake.empty() && !app::CreateFolderChain(folderToMake, app::NativeFileSystem())) {
    PrintError(app::ErrorText(MakeError(ErrorKind::Io, "cannot be created", platform::LastError(),
                                        platform::ToUtf8(folderToMake))));
    return kExitFailed;
  }
  return WriteTargets(targets, *read, options) && !failed ? kExitOk : kExitFailed;
}

}  // namespace marovi::cli
