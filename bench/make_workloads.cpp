// make_workloads DIR STUB ICON: writes the images and icon files that the
// benchmark times marovi-cli set-icon on (bench/run.sh), all in DIR:
//   small.exe     a copy of STUB, a small real executable
//   tail300.exe   STUB with 300 MiB of data appended behind its last section
//   res50.exe     a built image with 50 MiB of other resources
//   big1g.exe     a 1 GiB built image whose new resource section needs the
//                 same file-aligned size as its old one
//   many20k.exe   a built image with 20,000 resources (string tables, icons)
//   raw256.ico    ICON with its 256 px image stored uncompressed (32 bpp)
// and two crafted for the icon replacement's own work, which must grow as
// n log n in the number of images and resources:
//   group1.exe    a built image whose MAINICON group lists one image (id 1)
//   ico65535.ico  an icon file of 65,535 small images, every id there is
//   desc65k.exe   a built image with 65,000 icon images listed in descending
//                 id order, all of them in its MAINICON group (ascending)
// the files of the manifest reader's figures, which must not grow faster
// than the manifest:
//   deep100k.manifest  an assembly whose elements nest 100,000 levels deep
//   deep10k.manifest   the same, 10,000 levels: as deep as a manifest may be
//   wide100k.manifest  an assembly of 100,000 elements side by side, each
//                      declaring a namespace prefix
//   deep60k.exe        a built image whose manifest nests 60,000 levels
// and the one of the commands that only look:
//   version300.exe     a built image with version information and 300 MiB of
//                      data appended
// Appended and resource bytes are pseudo-random, so that no file has holes
// and every byte counts in the checksum.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/support/pe_builder.h"

namespace {

using marovi::test::Bytes;
using marovi::test::IconImageSpec;
using marovi::test::ImageSpec;
using marovi::test::ResourceSpec;
using marovi::test::SectionSpec;

constexpr std::uint64_t kMiB = 1024 * 1024;

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed | 1) {}
  std::uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  void Fill(std::uint8_t* out, std::size_t count) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
      const std::uint64_t v = Next();
      for (int k = 0; k < 8; ++k)
        out[i + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    for (const std::uint64_t v = Next(); i < count; ++i)
      out[i] = static_cast<std::uint8_t>(v >> (8 * (i % 8)));
  }
  Bytes Make(std::size_t count) {
    Bytes out(count);
    Fill(out.data(), count);
    return out;
  }

 private:
  std::uint64_t state_;
};

std::uint32_t Get32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t Get16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
void Put16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

bool ReadFile(const std::string& path, Bytes& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

// Appends pseudo-random bytes until the file holds total bytes.
bool AppendUpTo(const std::string& path, std::uint64_t total, std::uint64_t seed) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out | std::ios::ate);
  if (!f) return false;
  auto length = static_cast<std::uint64_t>(f.tellp());
  Random random(seed);
  std::vector<std::uint8_t> chunk(4 * kMiB);
  while (length < total) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), total - length));
    random.Fill(chunk.data(), n);
    f.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
    length += n;
  }
  return static_cast<bool>(f);
}

// The images of an .ico file, bounds-checked.
bool ParseIco(const Bytes& ico, std::vector<IconImageSpec>& images) {
  if (ico.size() < 6 || Get16(ico, 2) != 1) return false;
  const std::uint16_t count = Get16(ico, 4);
  if (ico.size() < 6 + 16ull * count) return false;
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::size_t e = 6 + 16ull * i;
    IconImageSpec image;
    image.width = ico[e];
    image.height = ico[e + 1];
    image.colorCount = ico[e + 2];
    image.reserved = ico[e + 3];
    image.planes = Get16(ico, e + 4);
    image.bitCount = Get16(ico, e + 6);
    const std::uint32_t size = Get32(ico, e + 8);
    const std::uint32_t offset = Get32(ico, e + 12);
    if (offset > ico.size() || size > ico.size() - offset) return false;
    image.bytes.assign(ico.begin() + offset, ico.begin() + offset + size);
    images.push_back(std::move(image));
  }
  return true;
}

// An icon group record (GRPICONDIR) for images numbered firstId, firstId + 1, ...
Bytes GroupRecord(const std::vector<IconImageSpec>& images, std::uint16_t firstId) {
  Bytes g;
  Put16(g, 0);
  Put16(g, 1);
  Put16(g, static_cast<std::uint32_t>(images.size()));
  for (std::size_t i = 0; i < images.size(); ++i) {
    const IconImageSpec& m = images[i];
    g.push_back(m.width);
    g.push_back(m.height);
    g.push_back(m.colorCount);
    g.push_back(m.reserved);
    Put16(g, m.planes);
    Put16(g, m.bitCount);
    Put32(g, static_cast<std::uint32_t>(m.bytes.size()));
    Put16(g, static_cast<std::uint32_t>(firstId + i));
  }
  return g;
}

// A 256 x 256 image, 32 bits per pixel, uncompressed (header, pixels, mask).
Bytes UncompressedImage256() {
  constexpr std::uint32_t n = 256;
  Bytes out;
  Put32(out, 40);
  Put32(out, n);
  Put32(out, 2 * n);
  Put16(out, 1);
  Put16(out, 32);
  Put32(out, 0);
  Put32(out, n * n * 4);
  for (int i = 0; i < 4; ++i) Put32(out, 0);
  for (std::uint32_t y = 0; y < n; ++y) {
    for (std::uint32_t x = 0; x < n; ++x) {
      out.push_back(static_cast<std::uint8_t>(255 - y));
      out.push_back(static_cast<std::uint8_t>((x + y) / 2));
      out.push_back(static_cast<std::uint8_t>(x));
      out.push_back(255);
    }
  }
  out.insert(out.end(), n * n / 8, 0);
  return out;
}

// A string table block: 16 counted UTF-16 strings of varying length.
Bytes StringTable(Random& random) {
  Bytes out;
  for (int i = 0; i < 16; ++i) {
    const auto length = static_cast<std::uint32_t>(random.Next() % 12);
    Put16(out, length);
    for (std::uint32_t k = 0; k < length; ++k)
      Put16(out, 'a' + static_cast<std::uint32_t>(random.Next() % 26));
  }
  return out;
}

// A manifest whose root holds `depth` - 1 elements nested one in the other.
Bytes NestedManifest(std::size_t depth) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">";
  for (std::size_t i = 1; i < depth; ++i) text += "<e>";
  for (std::size_t i = 1; i < depth; ++i) text += "</e>";
  text += "</assembly>\n";
  return Bytes(text.begin(), text.end());
}

// A manifest whose root holds `count` empty elements side by side.
Bytes WideManifest(std::size_t count) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n";
  for (std::size_t i = 0; i < count; ++i) text += "  <p:e xmlns:p=\"urn:e\" p:n=\"1\"/>\n";
  text += "</assembly>\n";
  return Bytes(text.begin(), text.end());
}

ImageSpec BaseSpec() {
  ImageSpec spec;
  spec.pe32Plus = true;
  Random random(7);
  spec.sectionsBefore = {SectionSpec{".text", random.Make(64 * 1024), 0, 0x60000020},
                         SectionSpec{".rdata", random.Make(16 * 1024), 0, 0x40000040}};
  // One base relocation block without entries, for page 0x1000; the
  // directory entry makes it the relocation table.
  Bytes reloc = {0x00, 0x10, 0, 0, 8, 0, 0, 0};
  reloc.resize(512, 0);
  spec.sectionsAfter = {SectionSpec{".reloc", reloc, 0, 0x42000040}};
  spec.directories = {marovi::test::DirectorySpec{5, ".reloc", 0, 8}};
  return spec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_workloads DIR STUB ICON\n");
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  Bytes stub, ico;
  std::vector<IconImageSpec> icon;
  if (!ReadFile(argv[2], stub) || !ReadFile(argv[3], ico) || !ParseIco(ico, icon)) {
    std::fprintf(stderr, "make_workloads: cannot read %s or %s\n", argv[2], argv[3]);
    return 1;
  }
  bool ok = WriteFile(dir + "small.exe", stub);

  ok = ok && WriteFile(dir + "tail300.exe", stub) &&
       AppendUpTo(dir + "tail300.exe", stub.size() + 300 * kMiB, 300);

  Random random(42);
  const Bytes oldImage = random.Make(1128);  // a 16 px, 32 bpp image's size
  const IconImageSpec oldIcon{16, 16, 0, 0, 1, 32, oldImage};
  {
    ImageSpec spec = BaseSpec();
    spec.resources = {{3, 1, 0, oldImage}, {14, u"MAINICON", 0, GroupRecord({oldIcon}, 1)}};
    for (std::uint16_t id = 1; id <= 50; ++id)
      spec.resources.push_back(ResourceSpec{10, id, 1033, random.Make(kMiB)});
    ok = ok && WriteFile(dir + "res50.exe", BuildImage(spec));
  }
  {
    // The old group holds images of the new icon's sizes (other bytes), so
    // the rebuilt section has exactly the old layout and length.
    ImageSpec spec = BaseSpec();
    std::vector<IconImageSpec> old = icon;
    for (std::size_t i = 0; i < old.size(); ++i) {
      old[i].bytes = random.Make(old[i].bytes.size());
      spec.resources.push_back(ResourceSpec{3, static_cast<int>(i + 1), 0, old[i].bytes});
    }
    spec.resources.push_back(ResourceSpec{14, u"MAINICON", 0, GroupRecord(old, 1)});
    for (std::uint16_t id = 1; id <= 16; ++id)
      spec.resources.push_back(ResourceSpec{6, id, 1033, StringTable(random)});
    ok = ok && WriteFile(dir + "big1g.exe", BuildImage(spec)) &&
         AppendUpTo(dir + "big1g.exe", 1024 * kMiB, 1024);
  }
  {
    // 12,000 string tables, 7,999 icon images, one group: 20,000 resources.
    ImageSpec spec = BaseSpec();
    for (std::uint16_t id = 1; id <= 12000; ++id)
      spec.resources.push_back(ResourceSpec{6, id, 1033, StringTable(random)});
    std::vector<IconImageSpec> group;
    for (std::uint16_t id = 1; id <= 7999; ++id) {
      Bytes image = random.Make(296);
      if (id <= 6) group.push_back(IconImageSpec{16, 16, 16, 0, 1, 4, image});
      spec.resources.push_back(ResourceSpec{3, id, 0, std::move(image)});
    }
    spec.resources.push_back(ResourceSpec{14, u"MAINICON", 0, GroupRecord(group, 1)});
    ok = ok && WriteFile(dir + "many20k.exe", BuildImage(spec));
  }
  {
    ImageSpec spec = BaseSpec();
    spec.resources = {{3, 1, 0, oldImage}, {14, u"MAINICON", 0, GroupRecord({oldIcon}, 1)}};
    ok = ok && WriteFile(dir + "group1.exe", BuildImage(spec));
    std::vector<IconImageSpec> images(65535, IconImageSpec{16, 16, 16, 0, 1, 4, {}});
    for (IconImageSpec& m : images) m.bytes = random.Make(64);
    ok = ok && WriteFile(dir + "ico65535.ico", marovi::test::BuildIcoFile(images));
  }
  {
    // The directory lists the images from id 65,000 down to 1, as the file
    // keeps it; the group lists them from 1 up.
    ImageSpec spec = BaseSpec();
    spec.sortResources = false;
    std::vector<IconImageSpec> group(65000, IconImageSpec{16, 16, 16, 0, 1, 4, {}});
    for (std::uint16_t id = 65000; id >= 1; --id) {
      Bytes image = random.Make(16);
      group[id - 1].bytes = image;
      spec.resources.push_back(ResourceSpec{3, id, 0, std::move(image)});
    }
    spec.resources.push_back(ResourceSpec{14, u"MAINICON", 0, GroupRecord(group, 1)});
    ok = ok && WriteFile(dir + "desc65k.exe", BuildImage(spec));
  }
  {
    std::vector<IconImageSpec> raw = icon;
    for (IconImageSpec& m : raw) {
      if (m.width == 0 && m.height == 0) {
        m.bytes = UncompressedImage256();
        m.bitCount = 32;
        m.planes = 1;
        m.colorCount = 0;
      }
    }
    ok = ok && WriteFile(dir + "raw256.ico", marovi::test::BuildIcoFile(raw));
  }
  ok = ok && WriteFile(dir + "deep100k.manifest", NestedManifest(100000)) &&
       WriteFile(dir + "deep10k.manifest", NestedManifest(10000)) &&
       WriteFile(dir + "wide100k.manifest", WideManifest(100000));
  {
    ImageSpec spec = BaseSpec();
    spec.resources = {{24, 1, 0, NestedManifest(60000)}};
    ok = ok && WriteFile(dir + "deep60k.exe", BuildImage(spec));
  }
  {
    const marovi::VersionInfo info = marovi::NewVersionInfo(
        marovi::VersionNumber{1, 2, 3, 4}, marovi::VersionNumber{1, 2, 0, 0}, marovi::kVftApp);
    const std::optional<Bytes> version = marovi::WriteVersionInfo(info, nullptr);
    ImageSpec spec = BaseSpec();
    spec.resources = {{3, 1, 0, oldImage},
                      {14, u"MAINICON", 0, GroupRecord({oldIcon}, 1)},
                      {16, 1, 1033, version.value_or(Bytes{})}};
    ok = ok && version && WriteFile(dir + "version300.exe", BuildImage(spec)) &&
         AppendUpTo(dir + "version300.exe", 300 * kMiB, 300);
  }
  if (!ok) {
    std::fprintf(stderr, "make_workloads: cannot write the workloads into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
