#include "engine/formats/manifest.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/formats/xml.h"
#include "tests/formats/real_resources.h"

namespace marovi {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr ExecutionLevel kLevels[] = {ExecutionLevel::AsInvoker, ExecutionLevel::HighestAvailable,
                                      ExecutionLevel::RequireAdministrator};

Bytes AsBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string Set(const std::string& manifest, ExecutionLevel level) {
  Error error;
  const std::optional<Bytes> result = SetRequestedExecutionLevel(AsBytes(manifest), level, &error);
  EXPECT_TRUE(result.has_value()) << error.detail;
  return result ? AsText(*result) : std::string();
}

std::string LevelOf(const std::string& manifest) {
  Error error;
  const std::optional<std::string> level = RequestedExecutionLevel(AsBytes(manifest), &error);
  EXPECT_TRUE(level.has_value()) << error.detail;
  return level.value_or("(refused)");
}

// text with the value of its (first) level attribute replaced, found by
// the reader; the bytes around it are text's own.
std::string WithLevelValue(const std::string& text, std::string_view value) {
  XmlError error;
  const std::optional<XmlDocument> doc = ParseXml(text, &error);
  if (!doc) return "(not well-formed: " + DescribeXmlError(error) + ")";
  for (const XmlElement& e : doc->elements)
    if (const XmlAttribute* level = e.Attribute("level");
        level != nullptr && e.localName == "requestedExecutionLevel")
      return text.substr(0, level->valueOffset) + std::string(value) +
             text.substr(level->valueOffset + level->valueLength);
  return "(no level attribute)";
}

// text without the trustInfo element that starts at `from`, and without the
// line break and indentation before it.
std::string WithoutChainAt(std::string text, std::size_t from) {
  const std::size_t end = text.find("</trustInfo>", from);
  if (from == std::string::npos || end == std::string::npos) return "(no chain)";
  std::size_t start = from;
  while (start > 0 && (text[start - 1] == ' ' || text[start - 1] == '\t')) --start;
  if (start > 0 && text[start - 1] == '\n') --start;
  if (start > 0 && text[start - 1] == '\r') --start;
  return text.erase(start, end + std::string_view("</trustInfo>").size() - start);
}

struct NamedManifest {
  std::string name;
  std::string text;
};

std::vector<NamedManifest> RealManifests() {
  std::vector<NamedManifest> manifests;
  std::ifstream own(test::HostPath(MAROVI_SOURCE_DIR "/app/marovi.manifest"), std::ios::binary);
  manifests.push_back(
      {"app/marovi.manifest", std::string(std::istreambuf_iterator<char>(own), {})});
  for (const test::RealResource& r : test::RealResources(kRtManifest))
    manifests.push_back({r.file, AsText(r.bytes)});
  return manifests;
}

TEST(ManifestTest, RealManifestsGetTheLevelAndKeepEverythingElse) {
  const std::vector<NamedManifest> manifests = RealManifests();
  ASSERT_FALSE(manifests.front().text.empty()) << "app/marovi.manifest not read";
  if (manifests.size() == 1)
    std::cerr << "wine64's programs are not on this machine: only our own manifest\n";
  else EXPECT_GE(manifests.size(), 10u);
  for (const NamedManifest& m : manifests) {
    const std::string original = LevelOf(m.text);
    for (const ExecutionLevel level : kLevels) {
      const std::string name(ExecutionLevelName(level));
      const std::string result = Set(m.text, level);
      EXPECT_EQ(LevelOf(result), name) << m.name;
      if (original.empty()) {
        // The whole chain is added in one place; nothing else changes.
        const std::size_t chain =
            result.find("<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">");
        EXPECT_EQ(WithoutChainAt(result, chain), m.text) << m.name;
        EXPECT_NE(
            result.find("<requestedExecutionLevel level=\"" + name + "\" uiAccess=\"false\"/>",
                        chain),
            std::string::npos)
            << m.name << "\n"
            << result;
      } else {
        // Only the attribute's value changes.
        EXPECT_EQ(result, WithLevelValue(m.text, name)) << m.name;
      }
      // Setting it again changes nothing, and another level changes only the value.
      EXPECT_EQ(Set(result, level), result) << m.name;
      for (const ExecutionLevel other : kLevels)
        EXPECT_EQ(Set(result, other), WithLevelValue(result, ExecutionLevelName(other))) << m.name;
    }
  }
}

TEST(ManifestTest, EditsChangeOnlyWhatTheyMust) {
  struct Case {
    const char* name;
    std::string in;
    ExecutionLevel level;
    std::string out;
  };
  const Case cases[] = {
      {"prefixed, security empty",
       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
       "xmlns:asmv3=\"urn:schemas-microsoft-com:asm.v3\">\n"
       "  <asmv3:trustInfo>\n"
       "    <asmv3:security/>\n"
       "  </asmv3:trustInfo>\n"
       "</assembly>\n",
       ExecutionLevel::RequireAdministrator,
       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
       "xmlns:asmv3=\"urn:schemas-microsoft-com:asm.v3\">\n"
       "  <asmv3:trustInfo>\n"
       "    <asmv3:security>\n"
       "      <asmv3:requestedPrivileges>\n"
       "        <asmv3:requestedExecutionLevel level=\"requireAdministrator\" "
       "uiAccess=\"false\"/>\n"
       "      </asmv3:requestedPrivileges>\n"
       "    </asmv3:security>\n"
       "  </asmv3:trustInfo>\n"
       "</assembly>\n"},
      {"single quotes, uiAccess kept, comment and CDATA around",
       "<assembly xmlns='urn:schemas-microsoft-com:asm.v1'><!-- keep -->"
       "<trustInfo xmlns='urn:schemas-microsoft-com:asm.v3'><security><requestedPrivileges>"
       "<requestedExecutionLevel uiAccess='true'  level='asInvoker' "
       "/></requestedPrivileges></security>"
       "</trustInfo><x><![CDATA[ <y> ]]></x></assembly>",
       ExecutionLevel::HighestAvailable,
       "<assembly xmlns='urn:schemas-microsoft-com:asm.v1'><!-- keep -->"
       "<trustInfo xmlns='urn:schemas-microsoft-com:asm.v3'><security><requestedPrivileges>"
       "<requestedExecutionLevel uiAccess='true'  level='highestAvailable' "
       "/></requestedPrivileges></security>"
       "</trustInfo><x><![CDATA[ <y> ]]></x></assembly>"},
      {"no level attribute",
       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\"><trustInfo "
       "xmlns=\"urn:schemas-microsoft-com:asm.v3\">"
       "<security><requestedPrivileges><requestedExecutionLevel "
       "uiAccess=\"false\"/></requestedPrivileges>"
       "</security></trustInfo></assembly>",
       ExecutionLevel::AsInvoker,
       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\"><trustInfo "
       "xmlns=\"urn:schemas-microsoft-com:asm.v3\">"
       "<security><requestedPrivileges><requestedExecutionLevel level=\"asInvoker\" "
       "uiAccess=\"false\"/>"
       "</requestedPrivileges></security></trustInfo></assembly>"},
      {"one line, no trustInfo",
       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
       "manifestVersion=\"1.0\"><assemblyIdentity name=\"x\"/>"
       "</assembly>",
       ExecutionLevel::AsInvoker,
       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
       "manifestVersion=\"1.0\"><assemblyIdentity name=\"x\"/>"
       "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>"
       "<requestedExecutionLevel level=\"asInvoker\" "
       "uiAccess=\"false\"/></requestedPrivileges></security>"
       "</trustInfo></assembly>"},
      {"CRLF and tabs, older namespace, requestedPrivileges empty",
       "<?xml version=\"1.0\"?>\r\n<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">\r\n"
       "\t<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v2\">\r\n\t\t<security>\r\n"
       "\t\t\t<requestedPrivileges>\r\n\t\t\t</requestedPrivileges>\r\n\t\t</security>\r\n\t</"
       "trustInfo>\r\n"
       "</assembly>\r\n",
       ExecutionLevel::RequireAdministrator,
       "<?xml version=\"1.0\"?>\r\n<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">\r\n"
       "\t<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v2\">\r\n\t\t<security>\r\n"
       "\t\t\t<requestedPrivileges>\r\n"
       "\t\t\t\t<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>\r\n"
       "\t\t\t</requestedPrivileges>\r\n\t\t</security>\r\n\t</trustInfo>\r\n"
       "</assembly>\r\n"},
      {"a trustInfo of another namespace is not the one",
       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">\n  <trustInfo xmlns=\"urn:other\">\n"
       "    <security/>\n  </trustInfo>\n</assembly>\n",
       ExecutionLevel::AsInvoker,
       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">\n  <trustInfo xmlns=\"urn:other\">\n"
       "    <security/>\n  </trustInfo>\n"
       "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n    <security>\n      "
       "<requestedPrivileges>\n"
       "        <requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>\n      "
       "</requestedPrivileges>\n"
       "    </security>\n  </trustInfo>\n</assembly>\n"},
      {"empty trustInfo indented by four",
       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">\n"
       "    <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"/>\n</assembly>",
       ExecutionLevel::HighestAvailable,
       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">\n"
       "    <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n        <security>\n"
       "            <requestedPrivileges>\n"
       "                <requestedExecutionLevel level=\"highestAvailable\" uiAccess=\"false\"/>\n"
       "            </requestedPrivileges>\n        </security>\n    </trustInfo>\n</assembly>"},
      {"byte order mark, comment before the root, zero padding behind it",
       "\xEF\xBB\xBF<!-- c -->\n<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">\n"
       "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>"
       "<requestedExecutionLevel "
       "level=\"asInvoker\"/></requestedPrivileges></security></trustInfo>\n</assembly>\n" +
           std::string(3, '\0'),
       ExecutionLevel::RequireAdministrator,
       "\xEF\xBB\xBF<!-- c -->\n<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">\n"
       "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>"
       "<requestedExecutionLevel "
       "level=\"requireAdministrator\"/></requestedPrivileges></security></trustInfo>\n"
       "</assembly>\n" +
           std::string(3, '\0')},
  };
  for (const Case& c : cases) {
    const std::string out = Set(c.in, c.level);
    EXPECT_EQ(out, c.out) << c.name;
    EXPECT_EQ(LevelOf(out), ExecutionLevelName(c.level)) << c.name;
  }
}

TEST(ManifestTest, RefusesWhatIsNotAManifest) {
  struct Case {
    const char* name;
    std::string text;
    const char* reason;
  };
  const Case cases[] = {
      {"mismatched tags",
       "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">\n<trustInfo>\n</assembly>",
       "not well-formed XML: line 3, column 3: the end tag </assembly> does not match the start "
       "tag <trustInfo>"},
      {"entity definitions", "<!DOCTYPE a [<!ENTITY x \"y\">]><assembly/>",
       "line 1, column 1: a document type"},
      {"another root", "<application xmlns=\"urn:schemas-microsoft-com:asm.v3\"/>",
       "root element <application> is not an assembly"},
      {"assembly of another namespace", "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v3\"/>",
       "root element <assembly> is not an assembly of urn:schemas-microsoft-com:asm.v1"},
      {"empty", "", "has no root element"},
  };
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(
        SetRequestedExecutionLevel(AsBytes(c.text), ExecutionLevel::AsInvoker, &error).has_value())
        << c.name;
    EXPECT_EQ(error.kind, ErrorKind::MalformedImage) << c.name;
    EXPECT_NE(error.detail.find(c.reason), std::string::npos) << c.name << ": " << error.detail;
    Error readError;
    EXPECT_FALSE(RequestedExecutionLevel(AsBytes(c.text), &readError).has_value()) << c.name;
    EXPECT_EQ(readError.detail, error.detail) << c.name;
  }
}

TEST(ManifestTest, NewManifestIsMinimal) {
  for (const ExecutionLevel level : kLevels) {
    const std::string text = AsText(NewManifest(level));
    EXPECT_EQ(text,
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
              "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
              "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
              "    <security>\n"
              "      <requestedPrivileges>\n"
              "        <requestedExecutionLevel level=\"" +
                  std::string(ExecutionLevelName(level)) +
                  "\" uiAccess=\"false\"/>\n"
                  "      </requestedPrivileges>\n"
                  "    </security>\n"
                  "  </trustInfo>\n"
                  "</assembly>\n");
    EXPECT_EQ(LevelOf(text), ExecutionLevelName(level));
  }
}

TEST(ManifestTest, LevelNamesAreExact) {
  for (const ExecutionLevel level : kLevels)
    EXPECT_EQ(ParseExecutionLevel(ExecutionLevelName(level)), level);
  for (const char* text : {"AsInvoker", "asinvoker", "requireAdministrator ", "", "admin"})
    EXPECT_EQ(ParseExecutionLevel(text), std::nullopt) << text;
}

}  // namespace
}  // namespace marovi
