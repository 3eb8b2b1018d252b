// The stb headers the icon code uses, with the configuration that their one
// implementation (stb_impl.cpp) is compiled with: PNG only, no file access.
#pragma once

#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_WRITE_NO_STDIO

#include <stb_image.h>
#include <stb_image_resize.h>
#include <stb_image_write.h>

namespace marovi {

// stb keeps the reason of its last failure per thread and does not clear it;
// some failures (a reserved deflate block type) set none. Called before a
// decode, so that the reason read after a failure is that failure's or none.
void ForgetStbFailureReason();

}  // namespace marovi
