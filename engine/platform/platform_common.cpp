// Parts of the file services that are the same on every platform.
#include <utility>

#include "engine/pe/bytes.h"
#include "engine/platform/platform.h"
#include "engine/platform/platform_hooks.h"

namespace marovi::platform {

namespace detail {
constinit Hooks* g_hooks = nullptr;
}  // namespace detail

void SetHooks(Hooks* hooks) { detail::g_hooks = hooks; }

namespace {

bool MapWhole(FileHandle file, bool writable, MappingHandle& mapping, std::uint8_t*& view,
              std::uint32_t& viewSize) {
  view = nullptr;
  viewSize = 0;
  mapping = 0;
  return detail::MapFile(file, writable, mapping, view, viewSize);
}

}  // namespace

bool MapWholeFile(FileHandle file, MappingHandle& mapping, std::uint8_t*& view,
                  std::uint32_t& viewSize) {
  return MapWhole(file, true, mapping, view, viewSize);
}

bool MapWholeFileForReading(FileHandle file, MappingHandle& mapping, std::uint8_t*& view,
                            std::uint32_t& viewSize) {
  return MapWhole(file, false, mapping, view, viewSize);
}

Error LastCallError(std::string detail, std::string file) {
  const std::uint32_t code = LastError();
  return MakeError(ClassifyError(code), std::move(detail), code, std::move(file));
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::uint32_t c = 0xFFFD;
    std::size_t len = 1;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len > 1) {
      if (i + len > text.size()) {
        len = 1;
      } else {
        c = b & (0x7Fu >> len);
        bool ok = true;
        for (std::size_t k = 1; k < len; ++k) {
          const auto t = static_cast<unsigned char>(text[i + k]);
          if ((t & 0xC0) != 0x80) ok = false;
          c = (c << 6) | (t & 0x3Fu);
        }
        if (!ok || c > 0x10FFFF) {
          c = 0xFFFD;
          len = 1;
        }
      }
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += len;
  }
  return out;
}

}  // namespace marovi::platform
