// Prints the image checksum the engine computes for each file named on the
// command line, one "path checksum" line each, for comparison with pefile.
#include <cstdio>
#include <exception>

#include "engine/pe/image.h"
#include "tests/support/test_files.h"

int main(int argc, char** argv) {
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    try {
      std::vector<std::uint8_t> bytes = marovi::test::ReadWholeFile(argv[i]);
      const auto size = static_cast<std::uint32_t>(bytes.size());
      std::uint8_t* nt = marovi::LocateNtHeaders(bytes.data(), size);
      if (nt == nullptr) {
        std::printf("%s none\n", argv[i]);
        continue;
      }
      marovi::ComputeImageChecksum(bytes.data(), size, size);
      const std::uint8_t* field = nt + marovi::nt::kCheckSum;
      std::printf(
          "%s %08x\n", argv[i],
          static_cast<unsigned>(field[0] | field[1] << 8 | field[2] << 16 | field[3] << 24));
    } catch (const std::exception& e) {
      std::printf("%s error %s\n", argv[i], e.what());
      status = 1;
    }
  }
  return status;
}
