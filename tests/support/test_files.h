// Files for tests: a private temporary folder per test, reading and writing
// whole files, UTF-16 paths for the engine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace marovi::test {

// A fresh folder, removed with everything in it when the object dies.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadWholeFile(const std::filesystem::path& path);
void WriteWholeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::u16string Utf16Path(const std::filesystem::path& path);

// Scratch files of this process left in the temporary directory.
std::vector<std::string> LeftoverScratchFiles();
// Scratch files this process holds open (full names); those have no name in
// the folder once created, so that not even a killed process leaves them.
std::vector<std::string> OpenScratchFiles();
bool IsOpenFile(const std::string& name);

}  // namespace marovi::test
