// The undo journal of a change in place: before the first byte of an image is
// overwritten, every byte the change will overwrite and the image's length
// are written to a journal file beside it (JournalName), flushed, and sealed.
// A change that is killed, or cut short by a power failure, leaves the sealed
// journal behind; the next run on the image finds it and puts the image back
// exactly as it was. A journal without its seal was cut short before the
// image was touched and is simply removed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/error.h"
#include "engine/platform.h"

namespace marovi {

// The journal's name: the image's name with ".marovi-undo" appended.
std::u16string JournalName(std::u16string_view imageName);

enum class Recovery {
  NothingToDo,  // no journal beside the image
  Undone,       // an interrupted change was undone and its journal removed
  Removed,      // an unsealed journal was removed; the image had not been touched
  Failed,       // a journal is there but could not be applied (error says why)
};

// Looks for the journal of imageName and applies it, opening the image for
// writing (and so locking it) only when there is one.
Recovery RecoverInterruptedChange(const char16_t* imageName, Error* error);
// The same on the image already open for writing and locked by the caller.
Recovery RecoverInterruptedChange(platform::FileHandle image, const char16_t* imageName,
                                  Error* error);

}  // namespace marovi
