// The arguments of the commands that change any resource: set-resource,
// delete-resource, set-string, import-res and copy-resources.
#include <string>
#include <vector>

#include "cli/commands.h"

namespace marovi::cli {
namespace {

bool ReadType(const std::string& text, ResourceSpec& spec, std::string& error,
              const std::string& command) {
  const std::optional<ResourceSpec> type = ParseResourceType(text);
  if (!type) {
    error = command + ": " + PrintableArgument(text) +
            " is no TYPE (a number from 0 to 65535, a type such as RCDATA, or a name)";
    return false;
  }
  spec = *type;
  return true;
}

bool ReadName(const std::string& text, ResourceSpec& spec, std::string& error,
              const std::string& command) {
  const std::optional<ResourceSpec> name = ParseResourceName(text);
  if (!name) {
    error = command + ": " + PrintableArgument(text) +
            " is no NAME (a number from 0 to 65535, or a name)";
    return false;
  }
  spec = *name;
  return true;
}

}  // namespace

bool IsChangeCommand(const std::string& name) {
  for (const char* command : {"set-icon", "edit", "set-version", "set-manifest", "set-resource",
                              "delete-resource", "set-string", "import-res", "copy-resources"})
    if (name == command) return true;
  return false;
}

bool TakeResourcePositionals(const std::vector<std::string>& positional, EditOptions& options,
                             std::string& error) {
  const std::string& c = options.command;
  auto refuse = [&](const char* takes) {
    error = c + " takes " + takes;
    return false;
  };
  if (c == "set-resource" || c == "delete-resource") {
    const bool set = c == "set-resource";
    if (positional.size() != (set ? 4u : 3u))
      return refuse(set ? "an executable, a TYPE, a NAME and a data FILE"
                        : "an executable, a TYPE and a NAME");
    EditOptions::ResourceItem item;
    if (!ReadType(positional[1], item.type, error, c) ||
        !ReadName(positional[2], item.name, error, c))
      return false;
    if (set) item.file = positional[3];
    options.resourceItems.push_back(std::move(item));
  } else if (c == "set-string") {
    if (positional.size() != 3) return refuse("an executable, an ID and a TEXT");
    const std::optional<std::uint16_t> id = ParseU16(positional[1]);
    if (!id) return refuse("a string ID from 0 to 65535");
    if (!FileArgument(positional[2])) {
      error = c + ": " + PrintableArgument(positional[2]) +
              " is not valid UTF-8; texts are taken in UTF-8 only";
      return false;
    }
    options.resourceStrings.push_back({*id, platform::FromUtf8(positional[2])});
  } else if (c == "import-res") {
    if (positional.size() != 2) return refuse("an executable and a compiled resource file (.res)");
    options.imports.emplace_back(false, positional[1]);
  } else if (c == "copy-resources") {
    if (positional.size() < 2) return refuse("an image to copy from, an executable and any TYPEs");
    options.imports.emplace_back(true, positional[0]);
    for (std::size_t i = 2; i < positional.size(); ++i) {
      ResourceSpec type;
      if (!ReadType(positional[i], type, error, c)) return false;
      options.copyTypes.push_back(type);
    }
    options.executable = positional[1];
    return true;
  } else {
    return true;
  }
  options.executable = positional[0];
  return true;
}

}  // namespace marovi::cli
