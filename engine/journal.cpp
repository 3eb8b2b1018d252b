#include "engine/journal.h"

#include "engine/image.h"

namespace marovi {

std::u16string JournalName(std::u16string_view imageName) {
  return std::u16string(imageName) + u".marovi-undo";
}

Recovery RecoverInterruptedChange(const char16_t*, Error* error) {
  if (error != nullptr) *error = Error();
  return Recovery::NothingToDo;
}

Recovery RecoverInterruptedChange(platform::FileHandle, const char16_t*, Error* error) {
  if (error != nullptr) *error = Error();
  return Recovery::NothingToDo;
}

}  // namespace marovi
