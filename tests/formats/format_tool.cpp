// Test-only tool: shows or edits the version information and the manifest of
// an image through the engine, for the checks by independent readers.
//
//   marovi_format_tool FILE show-version-json
//   marovi_format_tool FILE EDIT...
//     set-version A.B.C.D | set-product-version A.B.C.D | set-string KEY=VALUE | set-level LEVEL
//
// Edits apply in order to every version resource (every manifest for
// set-level), or to a new one when the image has none, and are committed
// together. Exit status: 0 done, 1 a step failed (one line on stderr), 2 bad
// arguments.
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "engine/commit/commit.h"
#include "engine/engine.h"
#include "engine/formats/manifest.h"
#include "engine/formats/version_info.h"
#include "engine/platform/platform.h"
#include "engine/tree/update.h"
#include "tests/support/test_files.h"

namespace {

using namespace marovi;

struct Edit {
  std::string what;
  std::string value;
};

int Fail(const std::string& message) {
  std::cerr << message << "\n";
  return 1;
}

int Usage(const std::string& message) {
  std::cerr << message << "\n";
  return 2;
}

std::string Describe(const Error& error) { return error.detail.empty() ? "error" : error.detail; }

// Applies the version edits to one record; false with a message when an
// argument is not valid.
bool ApplyVersionEdits(VersionInfo& info, const std::vector<Edit>& edits, std::string& problem) {
  for (const Edit& edit : edits) {
    if (edit.what == "set-version" || edit.what == "set-product-version") {
      const std::optional<VersionNumber> version = ParseVersionNumber(edit.value);
      if (!version) {
        problem = "not a version: " + edit.value;
        return false;
      }
      if (edit.what == "set-version") SetFileVersion(info, *version);
      else SetProductVersion(info, *version);
    } else if (edit.what == "set-string") {
      const std::size_t equals = edit.value.find('=');
      if (equals == std::string::npos || equals == 0) {
        problem = "not KEY=VALUE: " + edit.value;
        return false;
      }
      SetVersionString(info, platform::FromUtf8(edit.value.substr(0, equals)),
                       platform::FromUtf8(edit.value.substr(equals + 1)));
    }
  }
  return true;
}

int EditVersion(ResourceUpdate* update, const std::vector<Edit>& edits) {
  std::vector<TypedResource> resources;
  Error error;
  if (!ResourcesOfType(update, kRtVersion, resources, &error)) return Fail(Describe(error));
  if (resources.empty()) {
    VersionNumber first;
    for (const Edit& edit : edits)
      if (edit.what == "set-version") {
        first = ParseVersionNumber(edit.value).value_or(VersionNumber{});
        break;
      }
    resources.push_back({ResourceName(kVersionResourceName), kNewVersionLanguage,
                         *WriteVersionInfo(NewVersionInfo(first, first), nullptr)});
  }
  for (const TypedResource& resource : resources) {
    std::optional<VersionInfo> info = ParseVersionInfo(resource.bytes, &error);
    if (!info) return Fail(Describe(error));
    std::string problem;
    if (!ApplyVersionEdits(*info, edits, problem)) return Fail(problem);
    const std::optional<std::vector<std::uint8_t>> bytes = WriteVersionInfo(*info, &error);
    if (!bytes) return Fail(Describe(error));
    if (!UpdateResourceData(update, MakeIntResource(kRtVersion), resource.name, resource.language,
                            bytes->data(), static_cast<std::uint32_t>(bytes->size())))
      return Fail("cannot store the version information");
  }
  return 0;
}

int EditManifest(ResourceUpdate* update, ExecutionLevel level) {
  std::vector<TypedResource> resources;
  Error error;
  if (!ResourcesOfType(update, kRtManifest, resources, &error)) return Fail(Describe(error));
  if (resources.empty()) {
    const std::vector<std::uint8_t> bytes = NewManifest(level);
    if (!UpdateResourceData(update, MakeIntResource(kRtManifest),
                            MakeIntResource(kProcessManifestName), kNewManifestLanguage,
                            bytes.data(), static_cast<std::uint32_t>(bytes.size())))
      return Fail("cannot store the manifest");
    return 0;
  }
  for (const TypedResource& resource : resources) {
    const std::optional<std::vector<std::uint8_t>> bytes =
        SetRequestedExecutionLevel(resource.bytes, level, &error);
    if (!bytes) return Fail(Describe(error));
    if (!UpdateResourceData(update, MakeIntResource(kRtManifest), resource.name, resource.language,
                            bytes->data(), static_cast<std::uint32_t>(bytes->size())))
      return Fail("cannot store the manifest");
  }
  return 0;
}

// The version resources as a JSON array.
int Show(ResourceUpdate* update) {
  Error error;
  std::vector<TypedResource> resources;
  if (!ResourcesOfType(update, kRtVersion, resources, &error)) return Fail(Describe(error));
  std::string out = "[";
  for (const TypedResource& resource : resources) {
    const std::optional<VersionInfo> info = ParseVersionInfo(resource.bytes, &error);
    if (!info) return Fail(Describe(error));
    out += (out.size() > 1 ? "," : "") + FormatVersionInfoJson(*info);
  }
  std::cout << out << "]\n";
  return 0;
}

int Run(int argc, char** argv) {
  if (argc < 3) {
    return Usage(std::string("usage: ") + argv[0] + " FILE show-version-json | EDIT...");
  }
  const std::string command = argv[2];
  const bool show = command == "show-version-json";
  std::vector<Edit> versionEdits;
  std::optional<ExecutionLevel> level;
  if (!show) {
    for (int i = 2; i < argc; i += 2) {
      const std::string what = argv[i];
      if (i + 1 >= argc) return Usage(what + " needs a value");
      const std::string value = argv[i + 1];
      if (what == "set-level") {
        level = ParseExecutionLevel(value);
        if (!level) return Usage("not an execution level: " + value);
      } else if (what == "set-version" || what == "set-product-version" || what == "set-string") {
        versionEdits.push_back({what, value});
      } else {
        return Usage("unknown edit: " + what);
      }
    }
  }
  const std::u16string file = test::Utf16Path(argv[1]);
  Error error;
  ResourceUpdate* update = BeginResourceUpdate(file.c_str(), false, &error);
  if (update == nullptr && show && error.kind == ErrorKind::NoResources) {
    std::cout << "[]\n";
    return 0;  // nothing to show
  }
  if (update == nullptr) return Fail("cannot begin an update: " + Describe(error));
  int status = 0;
  if (show) {
    status = Show(update);
  } else {
    if (!versionEdits.empty()) status = EditVersion(update, versionEdits);
    if (status == 0 && level) status = EditManifest(update, *level);
  }
  if (status != 0 || show) {
    EndResourceUpdate(update, true);
    return status;
  }
  if (!EndResourceUpdate(update, false, &error)) return Fail("commit failed: " + Describe(error));
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
