// Any resource of a change by type and name, set or deleted, and the
// resource edits of a change in their order: the imports, then the items.
#include <cstdio>
#include <new>
#include <set>

#include "app/resource_edits.h"
#include "app/resource_groups.h"
#include "app/resource_import.h"

namespace marovi::app {
namespace {

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }

// Names are matched without regard to ASCII case, as the system looks them
// up: a name written "MyData" by another tool is still the resource meant.
bool Matches(const ResourceSpec& spec, const EntryKey& key) {
  if (spec.isId) return !key.named() && key.id == spec.id;
  if (!key.named() || key.name.size() != spec.name.size()) return false;
  for (std::size_t i = 0; i < key.name.size(); ++i)
    if (AsciiUpper(key.name[i]) != AsciiUpper(spec.name[i])) return false;
  return true;
}

ResourceName NameOf(const ResourceSpec& spec) {
  return spec.isId ? ResourceName(spec.id) : ResourceName(spec.name);
}
ResourceName NameOf(const EntryKey& key) {
  return key.named() ? ResourceName(key.name) : ResourceName(static_cast<std::uint16_t>(key.id));
}

std::string SpecText(const ResourceSpec& spec, bool isType) {
  if (!spec.isId) return "\"" + platform::ToUtf8(spec.name) + "\"";
  const std::string_view name = isType ? PredefinedResourceTypeName(spec.id) : std::string_view();
  return name.empty() ? std::to_string(spec.id) : std::string(name);
}

std::string LanguageList(const std::set<std::uint16_t>& languages) {
  std::string text;
  for (std::uint16_t language : languages)
    text += (text.empty() ? "" : ", ") + std::to_string(language);
  return text;
}

}  // namespace

bool ApplyResourceItemEdit(ResourceUpdate* update, const ResourceItemEdit& edit,
                           const std::vector<std::uint8_t>& bytes, Error& error) {
  // The resource's type and name as the image spells them, when it has it.
  ResourceName type = NameOf(edit.type);
  ResourceName name = NameOf(edit.name);
  std::set<std::uint16_t> languages;
  for (const ResourceEntry& entry : ListResources(update)) {
    if (!Matches(edit.type, entry.type) || !Matches(edit.name, entry.name)) continue;
    type = NameOf(entry.type);
    name = NameOf(entry.name);
    languages.insert(static_cast<std::uint16_t>(entry.language));
  }
  const std::string what = "resource " + SpecText(edit.type, true) + " " +
                           SpecText(edit.name, false);
  auto refuse = [&](std::string detail) {
    error = MakeError(ErrorKind::Refused, std::move(detail), 0, ImageFileName(update));
    return false;
  };
  std::uint16_t language = kResourceLanguageWhenNone;
  if (edit.language) {
    language = *edit.language;
  } else if (languages.size() > 1) {
    return refuse("has the " + what + " in the languages " + LanguageList(languages) +
                  "; name one with --lang");
  } else if (languages.size() == 1) {
    language = *languages.begin();
  }
  if (edit.file) return StoreResource(update, type, name, language, bytes, error);
  if (languages.count(language) == 0) {
    return refuse(languages.empty() ? "has no " + what
                                    : "has no " + what + " in language " +
                                          std::to_string(language) + " (it has it in " +
                                          LanguageList(languages) + ")");
  }
  if (const std::optional<std::uint16_t> imageType = ImageTypeOfGroup(type))
    return DeleteGroupWithImages(update, type.id(), name, language, error);
  // The leaf exists: the deletion takes that one language only.
  if (UpdateResourceData(update, type.key(), name.key(), language, nullptr, 0, &error)) return true;
  if (error.file.empty()) error.file = ImageFileName(update);
  return false;
}

namespace {

// The resources of a compiled resource file, every one of them brought in.
bool ImportResFile(ResourceUpdate* update, const std::u16string& file, Error& error) {
  std::vector<std::uint8_t> bytes;
  if (!ReadWholeFile(file, "resource file", bytes, &error)) return false;
  const std::string name = platform::ToUtf8(file);
  const std::optional<std::vector<ResFileEntry>> entries = ParseResFile(bytes, &error);
  if (!entries) {
    error.file = name;
    return false;
  }
  std::vector<ImportedResource> resources;
  for (const ResFileEntry& entry : *entries)
    resources.push_back({entry.type, entry.name, entry.language, entry.data});
  return ImportResources(update, resources, resources, name, error);
}

bool TypeChosen(const std::vector<ResourceSpec>& types, const EntryKey& type) {
  if (types.empty()) return true;
  for (const ResourceSpec& spec : types)
    if (Matches(spec, type)) return true;
  return false;
}

// The resources of another image (of the types chosen), read through a
// mapping held for as long as they are stored.
bool CopyFromImage(ResourceUpdate* update, const ResourceImport& import, Error& error) {
  const std::string name = platform::ToUtf8(import.file);
  if ((error = CheckRegularFile(import.file, "image to copy from"))) return false;
  if (RecoverInterruptedChange(import.file.c_str(), &error) == Recovery::Failed) {
    if (error.file.empty()) error.file = name;
    return false;
  }
  const HeldFile held(platform::OpenFileShared(import.file.c_str()));
  ReadOnlyImage image;
  if (!held.valid() || !image.Map(held.get())) {
    const std::uint32_t code = platform::LastError();
    error = MakeError(platform::ClassifyError(code), "cannot be read", code, name);
    return false;
  }
  std::vector<ResourceEntry> entries;
  if (!ReadImageResources(image.bytes(), entries, &error) &&
      error.kind != ErrorKind::NoResources) {  // an image without any has none to copy
    error.file = name;
    return false;
  }
  error = Error();
  std::vector<ImportedResource> all, chosen;
  for (const ResourceEntry& entry : entries) {
    // A directory holds 31-bit ids and languages; resources hold 16-bit ones.
    if ((!entry.type.named() && entry.type.id > 0xFFFF) ||
        (!entry.name.named() && entry.name.id > 0xFFFF) || entry.language > 0xFFFF) {
      error = MakeError(ErrorKind::MalformedImage,
                        "has a resource whose id or language is above 65535", 0, name);
      return false;
    }
    all.push_back({NameOf(entry.type), NameOf(entry.name),
                   static_cast<std::uint16_t>(entry.language), entry.data});
    if (TypeChosen(import.types, entry.type)) chosen.push_back(all.back());
  }
  return ImportResources(update, chosen, all, name, error);
}

}  // namespace

bool ApplyResourceEdits(ResourceUpdate* update, const ResourceEdits& edits, Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  try {
    for (const ResourceImport& import : edits.imports) {
      const bool done = import.fromImage ? CopyFromImage(update, import, e)
                                         : ImportResFile(update, import.file, e);
      if (!done) return false;
    }
    for (const ResourceItemEdit& item : edits.items) {
      std::vector<std::uint8_t> bytes;
      if (item.file && !ReadWholeFile(*item.file, "data file", bytes, &e)) return false;
      if (!ApplyResourceItemEdit(update, item, bytes, e)) return false;
    }
    return true;
  } catch (const std::bad_alloc&) {
    e = MakeError(ErrorKind::OutOfMemory, "out of memory while editing the resources", 0,
                  ImageFileName(update));
    return false;
  }
}

}  // namespace marovi::app
