// Draws the program's icon and writes it as an .ico file: one 32 x 32 and one
// 16 x 16 image, 16 colours each (4 bits per pixel with the standard palette
// and a transparency mask). Runs on the build machine:
//   make_mainicon <output.ico>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

namespace {

enum Colour : std::uint8_t {
  kBlack,
  kMaroon,
  kGreen,
  kOlive,
  kNavy,
  kPurple,
  kTeal,
  kSilver,
  kGray,
  kRed,
  kLime,
  kYellow,
  kBlue,
  kFuchsia,
  kAqua,
  kWhite,
  kClear = 0xFF,  // transparent
};

// The standard 16-colour palette, as RGB.
constexpr std::uint32_t kPalette[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                        0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                        0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

struct Canvas {
  int size;
  std::vector<std::uint8_t> pixels;  // top row first
  explicit Canvas(int n) : size(n), pixels(static_cast<std::size_t>(n * n), kClear) {}
  void Set(int x, int y, std::uint8_t c) {
    if (x >= 0 && y >= 0 && x < size && y < size)
      pixels[static_cast<std::size_t>(y * size + x)] = c;
  }
  void Fill(int x0, int y0, int x1, int y1, std::uint8_t c) {  // inclusive corners
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) Set(x, y, c);
  }
  void Frame(int x0, int y0, int x1, int y1, std::uint8_t c) {
    Fill(x0, y0, x1, y0, c);
    Fill(x0, y1, x1, y1, c);
    Fill(x0, y0, x0, y1, c);
    Fill(x1, y0, x1, y1, c);
  }
};

// A program window (title bar and a few lines of text) with a picture tile
// laid over its lower right corner, the tile in four colours: an executable
// receiving a new icon. scale is 1 for 16 x 16 and 2 for 32 x 32.
Canvas Draw(int scale) {
  const int s = scale;
  Canvas c(16 * s);
  // The window.
  c.Fill(0, 1 * s, 11 * s - 1, 12 * s - 1, kWhite);
  c.Fill(0, 1 * s, 11 * s - 1, 3 * s - 1, kNavy);
  c.Frame(0, 1 * s, 11 * s - 1, 12 * s - 1, kBlack);
  c.Fill(8 * s, 1 * s + 1, 10 * s - 1, 3 * s - 2, kSilver);  // its close box
  for (int line = 0; line < 3; ++line) {
    const int y = (5 + 2 * line) * s;
    c.Fill(2 * s, y, (line == 2 ? 4 : 6) * s, y + s / 2, kGray);
  }
  // The picture tile with its shadow.
  const int x0 = 6 * s, y0 = 6 * s, x1 = 15 * s - 1, y1 = 15 * s - 1;
  c.Fill(x0 + 1, y1 + 1, x1 + 1, y1 + 1, kGray);
  c.Fill(x1 + 1, y0 + 1, x1 + 1, y1 + 1, kGray);
  const int mx = (x0 + x1) / 2, my = (y0 + y1) / 2;
  c.Fill(x0, y0, mx, my, kRed);
  c.Fill(mx + 1, y0, x1, my, kLime);
  c.Fill(x0, my + 1, mx, y1, kBlue);
  c.Fill(mx + 1, my + 1, x1, y1, kYellow);
  c.Frame(x0, y0, x1, y1, kBlack);
  return c;
}

void Put16(std::vector<std::uint8_t>& out, unsigned v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// The image as an icon resource: BITMAPINFOHEADER (height doubled), palette,
// colour bits bottom-up, then the AND mask bottom-up; rows padded to 4 bytes.
std::vector<std::uint8_t> EncodeImage(const Canvas& c) {
  const int n = c.size;
  const int colourRow = ((n * 4 + 31) / 32) * 4;
  const int maskRow = ((n + 31) / 32) * 4;
  const auto imageSize = static_cast<std::uint32_t>((colourRow + maskRow) * n);
  std::vector<std::uint8_t> out;
  Put32(out, 40);
  Put32(out, static_cast<std::uint32_t>(n));
  Put32(out, static_cast<std::uint32_t>(2 * n));
  Put16(out, 1);
  Put16(out, 4);
  Put32(out, 0);  // BI_RGB
  Put32(out, imageSize);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 16);
  Put32(out, 0);
  for (std::uint32_t rgb : kPalette) {
    out.push_back(static_cast<std::uint8_t>(rgb & 0xFF));
    out.push_back(static_cast<std::uint8_t>((rgb >> 8) & 0xFF));
    out.push_back(static_cast<std::uint8_t>((rgb >> 16) & 0xFF));
    out.push_back(0);
  }
  for (int y = n - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(static_cast<std::size_t>(colourRow), 0);
    for (int x = 0; x < n; ++x) {
      std::uint8_t p = c.pixels[static_cast<std::size_t>(y * n + x)];
      if (p == kClear) p = kBlack;
      row[static_cast<std::size_t>(x / 2)] |= static_cast<std::uint8_t>(x % 2 ? p : p << 4);
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  for (int y = n - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(static_cast<std::size_t>(maskRow), 0);
    for (int x = 0; x < n; ++x) {
      if (c.pixels[static_cast<std::size_t>(y * n + x)] == kClear) {
        row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_mainicon <output.ico>\n");
    return 2;
  }
  const std::vector<std::uint8_t> images[] = {EncodeImage(Draw(2)), EncodeImage(Draw(1))};
  const int sizes[] = {32, 16};

  std::vector<std::uint8_t> file;
  Put16(file, 0);
  Put16(file, 1);  // icon
  Put16(file, 2);
  std::uint32_t offset = 6 + 2 * 16;
  for (int i = 0; i < 2; ++i) {
    file.push_back(static_cast<std::uint8_t>(sizes[i]));
    file.push_back(static_cast<std::uint8_t>(sizes[i]));
    file.push_back(16);  // colours
    file.push_back(0);
    Put16(file, 1);  // planes
    Put16(file, 4);  // bits per pixel
    Put32(file, static_cast<std::uint32_t>(images[i].size()));
    Put32(file, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& image : images) file.insert(file.end(), image.begin(), image.end());

  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  if (!out) {
    std::fprintf(stderr, "make_mainicon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
