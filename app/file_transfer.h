// The files a change holds and the copies it makes. A copy is written whole
// under a temporary name beside its target (PartName), flushed, and renamed
// to the target only when complete, never over a file there; so a target
// either is a whole copy or does not exist.
#pragma once

#include <string>

#include "app/change_workflow.h"

namespace marovi::app {

// Opens PartName(target), held (platform::OpenTemporaryFile); the error names
// target.
Error OpenPart(const std::u16string& target, HeldFile& part);

// Copies the whole of source into part, a file just opened by OpenPart, and
// gives it the source's permission bits, writable by its owner; with sync,
// flushed. A failure to read names sourceName, any other names targetName.
Error CopyInto(platform::FileHandle source, const std::u16string& sourceName,
               platform::FileHandle part, const std::u16string& targetName, bool sync);

// Renames the held part into place as target, never over a file there, and
// closes it. When a file appeared at target meanwhile, *existed is set and
// the part is removed; so it is on any failure.
Error PlacePart(HeldFile& part, const std::u16string& target, bool sync, bool* existed);

// Removes a part that will not be placed, and closes it.
void DiscardPart(HeldFile& part, const std::u16string& target);

// A whole copy of the open source at target, which must not exist: written
// under PartName(target) and renamed when complete. *existed is set when a
// file appeared at target meanwhile; it is then left as it was.
Error MakeWholeCopy(platform::FileHandle source, const std::u16string& sourceName,
                    const std::u16string& target, bool sync, bool* existed);

// The same for a file named from, held shared while it is copied; fails
// (AlreadyExists's code) when anything is at target.
Error CopyFileWhole(const std::u16string& from, const std::u16string& target, bool sync);

}  // namespace marovi::app
