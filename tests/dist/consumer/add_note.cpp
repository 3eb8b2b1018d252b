// add-note EXE TEXT: keeps TEXT in EXE as the resource RCDATA "NOTE".
#include <string>

#include "engine/commit.h"
#include "engine/journal.h"
#include "engine/update.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::u16string exe = marovi::platform::FromUtf8(argv[1]);
  const std::string note = argv[2];
  marovi::Error error;
  marovi::RecoverInterruptedChange(exe.c_str(), &error);  // undo what a killed change left
  marovi::ResourceUpdate* update = marovi::BeginResourceUpdate(exe.c_str(), false, &error);
  if (!update) return 1;
  const bool stored = marovi::UpdateResourceData(update, marovi::MakeIntResource(10), u"NOTE", 0,
                                                 note.data(), static_cast<std::uint32_t>(note.size()));
  return marovi::EndResourceUpdate(update, !stored, &error) && stored ? 0 : 1;
}
