// Held files, the check that a name is a regular file, and copies that are
// whole or absent.
#include "app/file_transfer.h"

#include <algorithm>
#include <new>
#include <vector>

namespace marovi::app {
namespace {

constexpr std::size_t kCopyChunk = 1u << 20;

std::string Utf8(const std::u16string& text) { return platform::ToUtf8(text); }

Error SystemError(std::string detail, const std::u16string& file) {
  const std::uint32_t code = platform::LastError();
  return MakeError(platform::ClassifyError(code), std::move(detail), code, Utf8(file));
}

std::string WithArticle(const std::string& noun) {
  const bool vowel = !noun.empty() && std::string("aeiou").find(noun[0]) != std::string::npos;
  return (vowel ? "an " : "a ") + noun;
}

const char* KindText(platform::FileKind kind) {
  switch (kind) {
    case platform::FileKind::Directory: return "a directory";
    case platform::FileKind::Fifo: return "a FIFO (named pipe)";
    case platform::FileKind::Socket: return "a socket";
    case platform::FileKind::Device: return "a device";
    case platform::FileKind::DanglingLink: return "a link to a file that does not exist";
    default: return "not a regular file";
  }
}

// The last part of a path, for naming a temporary file beside its target.
std::u16string BaseName(const std::u16string& path) {
  const std::size_t slash = path.find_last_of(u"/\\");
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Error CheckRegularFile(const std::u16string& path, const std::string& role) {
  platform::FileKind kind = platform::FileKind::Missing;
  if (!platform::GetFileKind(path.c_str(), kind)) return SystemError("cannot be examined", path);
  switch (kind) {
    case platform::FileKind::Regular: return Error();
    case platform::FileKind::Missing:
      return MakeError(ErrorKind::NotFound, "cannot be opened: no such " + role, 0, Utf8(path));
    case platform::FileKind::DanglingLink:
      return MakeError(ErrorKind::NotFound, std::string("is ") + KindText(kind), 0, Utf8(path));
    default:
      return MakeError(ErrorKind::NotRegularFile,
                       std::string("is ") + KindText(kind) + ", not " + WithArticle(role), 0,
                       Utf8(path));
  }
}

std::u16string PartName(const std::u16string& path) { return path + u".marovi-part"; }

Error OpenPart(const std::u16string& target, HeldFile& part) {
  const std::u16string name = PartName(target);
  part = HeldFile(platform::OpenTemporaryFile(name.c_str()));
  if (part.valid()) return Error();
  if (platform::ClassifyError(platform::LastError()) == ErrorKind::Busy)
    return SystemError("its temporary copy is being written", target);
  return SystemError("cannot be written (as " + Utf8(BaseName(name)) + " first)", target);
}

Error CopyInto(platform::FileHandle source, const std::u16string& sourceName,
               platform::FileHandle part, const std::u16string& targetName, bool sync) {
  std::uint64_t length = 0;
  if (!platform::GetFileLength(source, length)) return SystemError("cannot be read", sourceName);
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk)));
  } catch (const std::bad_alloc&) {
    return MakeError(ErrorKind::OutOfMemory, "out of memory copying it", 0, Utf8(sourceName));
  }
  for (std::uint64_t offset = 0; offset < length;) {
    const auto chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, kCopyChunk));
    if (!platform::ReadAt(source, offset, buffer.data(), chunk)) {
      Error error = SystemError("cannot be read", sourceName);
      error.offset = offset;
      return error;
    }
    if (!platform::WriteAt(part, offset, buffer.data(), chunk))
      return SystemError("cannot be written", targetName);
    offset += chunk;
  }
  if (!platform::CopyPermissions(source, part))
    return SystemError("cannot be given the permissions of " + Utf8(sourceName), targetName);
  if (sync && !platform::FlushFile(part))
    return SystemError("cannot be flushed to the disk", targetName);
  return Error();
}

Error PlacePart(HeldFile& part, const std::u16string& target, bool sync, bool* existed) {
  if (existed != nullptr) *existed = false;
  const std::u16string name = PartName(target);
  if (platform::RenameNoReplace(part.get(), name.c_str(), target.c_str(), sync)) {
    part = HeldFile();
    return Error();
  }
  const std::uint32_t code = platform::LastError();
  DiscardPart(part, target);
  if (code == platform::ErrorAlreadyExists() && existed != nullptr) {
    *existed = true;
    return Error();
  }
  platform::SetLastError(code);
  return SystemError("cannot be put in place (renamed from " + Utf8(BaseName(name)) + ")", target);
}

void DiscardPart(HeldFile& part, const std::u16string& target) {
  if (!part.valid()) return;
  platform::DeleteHeldFile(part.get(), PartName(target).c_str());
  part = HeldFile();
}

namespace {

// Whether the file at name begins as a copy of an image does, or is too short
// to tell: a copy is written from its first byte on. Busy when another run
// holds it.
Leftover ExamineLeftoverCopy(const std::u16string& name, Error& error) {
  HeldFile file(platform::OpenFileShared(name.c_str()));
  if (!file.valid()) {
    if (platform::ClassifyError(platform::LastError()) == ErrorKind::Busy) return Leftover::InUse;
    error = SystemError("cannot be examined", name);
    return Leftover::NotOurs;
  }
  std::uint64_t length = 0;
  std::uint8_t first[2] = {};
  if (!platform::GetFileLength(file.get(), length) ||
      (length > 0 && !platform::ReadAt(file.get(), 0, first,
                                       static_cast<std::size_t>(
                                           std::min<std::uint64_t>(length, sizeof first))))) {
    error = SystemError("cannot be examined", name);
    return Leftover::NotOurs;
  }
  if ((length >= 1 && first[0] != 'M') || (length >= 2 && first[1] != 'Z')) {
    error = MakeError(ErrorKind::Refused,
                      "is not a copy that this program was making; it was left as it is", 0,
                      Utf8(name));
    return Leftover::NotOurs;
  }
  return Leftover::Removed;
}

}  // namespace

Leftover RemoveLeftoverCopy(const std::u16string& target, Error* error) {
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  const std::u16string part = PartName(target);
  platform::FileKind kind = platform::FileKind::Missing;
  if (!platform::GetFileKind(part.c_str(), kind)) {
    e = SystemError("cannot be examined", part);
    return Leftover::NotOurs;
  }
  if (kind == platform::FileKind::Missing) {
    // The copy went, its journal may not have.
    const std::u16string journal = JournalName(part);
    if (!platform::GetFileKind(journal.c_str(), kind) || kind == platform::FileKind::Missing)
      return Leftover::None;
    return RemoveJournalOfDiscardedFile(part.c_str(), &e) ? Leftover::Removed : Leftover::NotOurs;
  }
  if (kind != platform::FileKind::Regular) {
    e = MakeError(ErrorKind::NotRegularFile, "is not a copy that this program was making", 0,
                  Utf8(part));
    return Leftover::NotOurs;
  }
  const Leftover found = ExamineLeftoverCopy(part, e);
  if (found != Leftover::Removed) return found;
  // Nothing is touched unless both are ours.
  if (!RemoveJournalOfDiscardedFile(part.c_str(), &e)) return Leftover::NotOurs;
  // Taken over as the next copy would be, then removed while held.
  HeldFile held(platform::OpenTemporaryFile(part.c_str()));
  if (!held.valid()) {
    if (platform::ClassifyError(platform::LastError()) == ErrorKind::Busy) return Leftover::InUse;
    e = SystemError("cannot be removed", part);
    return Leftover::NotOurs;
  }
  platform::DeleteHeldFile(held.get(), part.c_str());
  return Leftover::Removed;
}

Error MakeWholeCopy(platform::FileHandle source, const std::u16string& sourceName,
                    const std::u16string& target, bool sync, bool* existed) {
  HeldFile part;
  if (Error error = OpenPart(target, part)) return error;
  if (Error error = CopyInto(source, sourceName, part.get(), target, sync)) {
    DiscardPart(part, target);
    return error;
  }
  return PlacePart(part, target, sync, existed);
}

Error CopyFileWhole(const std::u16string& from, const std::u16string& target, bool sync) {
  platform::FileKind kind = platform::FileKind::Missing;
  if (!platform::GetFileKind(target.c_str(), kind))
    return SystemError("cannot be examined", target);
  if (kind != platform::FileKind::Missing) {
    platform::SetLastError(platform::ErrorAlreadyExists());
    return SystemError("exists already", target);
  }
  if (Error error = CheckRegularFile(from, "file")) return error;
  HeldFile source(platform::OpenFileShared(from.c_str()));
  if (!source.valid()) return SystemError("cannot be opened for copying", from);
  bool existed = false;
  if (Error error = MakeWholeCopy(source.get(), from, target, sync, &existed)) return error;
  if (!existed) return Error();
  platform::SetLastError(platform::ErrorAlreadyExists());
  return SystemError("exists already", target);
}

}  // namespace marovi::app
