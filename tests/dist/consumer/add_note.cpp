// add-note EXE TEXT: keeps TEXT in EXE as the resource RCDATA "NOTE".
#include <string>

#include "engine/engine.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::u16string exe = marovi::platform::FromUtf8(argv[1]);
  const std::string note = argv[2];
  marovi::Error error;
  // Held for writing (and so locked) from here; the update takes the handle over.
  const marovi::platform::FileHandle file =
      marovi::platform::OpenFileByName(exe.c_str(), true, false);
  if (file == marovi::platform::kInvalidFile) return 1;
  marovi::ResourceUpdate* update =  // undoes first what a killed change left
      marovi::BeginResourceUpdateOnFile(file, exe.c_str(), false, marovi::CommitOptions(), &error);
  if (!update) return 1;
  const bool stored =
      marovi::UpdateResourceData(update, marovi::MakeIntResource(10), u"NOTE", 0, note.data(),
                                 static_cast<std::uint32_t>(note.size()));
  return marovi::EndResourceUpdate(update, !stored, &error) && stored ? 0 : 1;
}
