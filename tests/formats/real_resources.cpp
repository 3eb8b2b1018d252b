#include "tests/formats/real_resources.h"

#include <algorithm>
#include <map>

#include "engine/commit/commit.h"
#include "engine/engine.h"
#include "engine/tree/update.h"
#include "tests/support/test_files.h"

namespace marovi::test {
namespace {

constexpr std::string_view kWinePrograms = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";

std::map<std::uint16_t, std::vector<RealResource>> ReadAll() {
  std::map<std::uint16_t, std::vector<RealResource>> found;
  const std::filesystem::path folder = HostPath(kWinePrograms);
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) return found;
  std::vector<std::filesystem::path> programs;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    if (entry.path().extension() == ".exe") programs.push_back(entry.path());
  std::sort(programs.begin(), programs.end());
  TempFolder scratch;
  for (const std::filesystem::path& program : programs) {
    const std::filesystem::path copy = scratch / "copy.exe";
    std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing);
    const std::u16string wide = Utf16Path(copy);
    Error error;
    ResourceUpdate* update = BeginResourceUpdate(wide.c_str(), false, &error);
    if (update == nullptr) continue;  // no resource section
    for (const std::uint16_t type : {std::uint16_t{16}, std::uint16_t{24}}) {
      std::vector<TypedResource> resources;
      if (!ResourcesOfType(update, type, resources, &error)) continue;
      for (TypedResource& r : resources)
        found[type].push_back({program.filename().string(), r.language, std::move(r.bytes)});
    }
    EndResourceUpdate(update, true);
  }
  return found;
}

}  // namespace

std::filesystem::path HostPath(std::string_view unixPath) {
#ifdef _WIN32
  std::string path = "Z:" + std::string(unixPath);
  std::replace(path.begin(), path.end(), '/', '\\');
  return std::filesystem::path(path);
#else
  return std::filesystem::path(unixPath);
#endif
}

const std::vector<RealResource>& RealResources(std::uint16_t type) {
  static const std::map<std::uint16_t, std::vector<RealResource>> all = ReadAll();
  static const std::vector<RealResource> none;
  const auto it = all.find(type);
  return it == all.end() ? none : it->second;
}

}  // namespace marovi::test
