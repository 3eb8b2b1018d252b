#include "engine/formats/manifest.h"

#include <algorithm>
#include <iterator>

#include "engine/formats/xml.h"

namespace marovi {
namespace {

constexpr std::string_view kAssemblyNamespace = "urn:schemas-microsoft-com:asm.v1";
constexpr std::string_view kTrustInfoNamespace = "urn:schemas-microsoft-com:asm.v3";
// Older manifests put trustInfo in this one; it is found there too.
constexpr std::string_view kOlderTrustInfoNamespace = "urn:schemas-microsoft-com:asm.v2";

constexpr std::string_view kLevelNames[] = {"asInvoker", "highestAvailable",
                                            "requireAdministrator"};

// The elements from the root down to the one that holds the level.
constexpr std::string_view kChain[] = {"trustInfo", "security", "requestedPrivileges",
                                       "requestedExecutionLevel"};
constexpr std::size_t kChainLength = std::size(kChain);

constexpr std::string_view kDefaultIndentUnit = "  ";

std::string_view AsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::optional<XmlDocument> ReadManifest(std::string_view text, Error* error) {
  XmlError xmlError;
  std::optional<XmlDocument> document = ParseXml(text, &xmlError);
  if (!document) {
    if (error != nullptr)
      *error = MakeError(ErrorKind::MalformedImage,
                         "the manifest is not well-formed XML: " + DescribeXmlError(xmlError));
    return std::nullopt;
  }
  const XmlElement& root = document->elements.front();
  if (root.localName != "assembly" || root.namespaceUri != kAssemblyNamespace) {
    if (error != nullptr)
      *error = MakeError(ErrorKind::MalformedImage, "the manifest's root element <" + root.name +
                                                        "> is not an assembly of " +
                                                        std::string(kAssemblyNamespace));
    return std::nullopt;
  }
  return document;
}

// The requestedExecutionLevel elements under the root, and the deepest
// element of the chain present (the root when there is no trustInfo).
struct ChainSearch {
  std::vector<std::size_t> levels;
  std::size_t deepest = 0;
  std::size_t deepestDepth = 0;  // how many elements of the chain it completes
};

void Search(const XmlDocument& document, std::size_t element, std::size_t depth,
            ChainSearch& found) {
  for (std::size_t index : document.elements[element].children) {
    const XmlElement& child = document.elements[index];
    const bool trust =
        child.namespaceUri == kTrustInfoNamespace || child.namespaceUri == kOlderTrustInfoNamespace;
    if (!trust || child.localName != kChain[depth]) continue;
    if (depth + 1 == kChainLength) {
      found.levels.push_back(index);
      continue;
    }
    if (depth + 1 > found.deepestDepth) {
      found.deepest = index;
      found.deepestDepth = depth + 1;
    }
    Search(document, index, depth + 1, found);
  }
}

struct Edit {
  std::size_t offset;
  std::size_t remove;
  std::string insert;
};

// The spaces and tabs that open the line of offset, when nothing else stands
// before it on that line.
std::optional<std::string> LineIndent(std::string_view text, std::size_t offset) {
  std::size_t start = offset;
  while (start > 0 && (text[start - 1] == ' ' || text[start - 1] == '\t')) --start;
  if (start > 0 && text[start - 1] != '\n' && text[start - 1] != '\r') return std::nullopt;
  return std::string(text.substr(start, offset - start));
}

// How the new elements are laid out: line break, the indentation of their
// parent and of its children, and one step of indentation.
struct Style {
  std::string newline;
  std::string parentIndent;
  std::string childIndent;
  std::string unit;
};

// One step of indentation: what a line-starting element's indentation adds
// to its parent's, if it adds something.
std::optional<std::string> Step(std::string_view text, const XmlDocument& document,
                                std::size_t element) {
  const XmlElement& e = document.elements[element];
  if (e.parent == kNoElement) return std::nullopt;
  const std::optional<std::string> inner = LineIndent(text, e.startOffset);
  const std::optional<std::string> outer =
      LineIndent(text, document.elements[e.parent].startOffset);
  if (!inner || !outer || inner->size() <= outer->size() ||
      inner->compare(0, outer->size(), *outer) != 0)
    return std::nullopt;
  return inner->substr(outer->size());
}

Style StyleAround(std::string_view text, const XmlDocument& document, std::size_t element) {
  Style style;
  if (text.find('\n') == std::string_view::npos)
    return style;  // a one-line document stays one line
  style.newline = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  const XmlElement& e = document.elements[element];
  style.parentIndent = LineIndent(text, e.startOffset).value_or("");
  // The step of the nearest elements that show one: the parent's children,
  // the parent itself, then any element of the document.
  std::optional<std::string> unit;
  for (std::size_t child : e.children)
    if ((unit = Step(text, document, child))) break;
  if (!unit) unit = Step(text, document, element);
  for (std::size_t i = 0; !unit && i < document.elements.size(); ++i)
    unit = Step(text, document, i);
  style.unit = unit.value_or(std::string(kDefaultIndentUnit));
  // New children line up with the parent's children that start a line.
  std::optional<std::string> childIndent;
  for (std::size_t child : e.children)
    if ((childIndent = LineIndent(text, document.elements[child].startOffset))) break;
  style.childIndent = childIndent.value_or(style.parentIndent + style.unit);
  return style;
}

// The missing elements of the chain from depth `from` on, each on its own
// line, the first line break included.
std::string ChainText(std::size_t from, std::string_view prefix, bool declareNamespace,
                      ExecutionLevel level, const Style& style) {
  auto indent = [&](std::size_t depth) {
    std::string s = style.childIndent;
    for (std::size_t i = from; i < depth; ++i) s += style.unit;
    return s;
  };
  const std::string p = prefix.empty() ? std::string() : std::string(prefix) + ":";
  std::string out;
  for (std::size_t depth = from; depth + 1 < kChainLength; ++depth) {
    out += style.newline + indent(depth) + "<" + p + std::string(kChain[depth]);
    if (depth == from && declareNamespace)
      out += " xmlns=\"" + std::string(kTrustInfoNamespace) + "\"";
    out += ">";
  }
  out += style.newline + indent(kChainLength - 1) + "<" + p +
         std::string(kChain[kChainLength - 1]) + " level=\"" +
         std::string(ExecutionLevelName(level)) + "\" uiAccess=\"false\"/>";
  for (std::size_t depth = kChainLength - 1; depth-- > from;)
    out += style.newline + indent(depth) + "</" + p + std::string(kChain[depth]) + ">";
  return out;
}

// Adds the chain's missing part inside the deepest element present.
Edit InsertChain(std::string_view text, const XmlDocument& document, const ChainSearch& found,
                 ExecutionLevel level) {
  const XmlElement& parent = document.elements[found.deepest];
  const Style style = StyleAround(text, document, found.deepest);
  // Under the root the new trustInfo declares its namespace; deeper, the
  // new elements take their parent's prefix, and so its namespace.
  const bool underRoot = found.deepestDepth == 0;
  const std::string chain =
      ChainText(found.deepestDepth, underRoot ? std::string_view() : parent.Prefix(), underRoot,
                level, style);
  const std::string close = style.newline + style.parentIndent;
  if (parent.empty) {
    // "<security/>" becomes "<security>...</security>".
    return {parent.startEnd - 2, 2, ">" + chain + close + "</" + parent.name + ">"};
  }
  std::size_t at = parent.endOffset;
  while (at > parent.startEnd && (text[at - 1] == ' ' || text[at - 1] == '\t' ||
                                  text[at - 1] == '\n' || text[at - 1] == '\r'))
    --at;
  const std::string_view trailing = text.substr(at, parent.endOffset - at);
  const bool endTagOnItsLine = trailing.find('\n') != std::string_view::npos;
  return {at, 0, endTagOnItsLine ? chain : chain + close};
}

std::vector<std::uint8_t> Apply(std::string_view text, std::vector<Edit> edits) {
  std::sort(edits.begin(), edits.end(),
            [](const Edit& a, const Edit& b) { return a.offset > b.offset; });
  std::string out(text);
  for (const Edit& edit : edits) out.replace(edit.offset, edit.remove, edit.insert);
  return std::vector<std::uint8_t>(out.begin(), out.end());
}

}  // namespace

std::optional<ExecutionLevel> ParseExecutionLevel(std::string_view text) {
  for (std::size_t i = 0; i < std::size(kLevelNames); ++i)
    if (text == kLevelNames[i]) return static_cast<ExecutionLevel>(i);
  return std::nullopt;
}

std::string_view ExecutionLevelName(ExecutionLevel level) {
  return kLevelNames[static_cast<std::size_t>(level)];
}

std::optional<std::string> RequestedExecutionLevel(std::span<const std::uint8_t> manifest,
                                                   Error* error) {
  const std::optional<XmlDocument> document = ReadManifest(AsText(manifest), error);
  if (!document) return std::nullopt;
  ChainSearch found;
  Search(*document, 0, 0, found);
  for (std::size_t index : found.levels)
    if (const XmlAttribute* level = document->elements[index].Attribute("level"))
      return level->value;
  return std::string();
}

std::optional<std::vector<std::uint8_t>> SetRequestedExecutionLevel(
    std::span<const std::uint8_t> manifest, ExecutionLevel level, Error* error) {
  const std::string_view text = AsText(manifest);
  const std::optional<XmlDocument> document = ReadManifest(text, error);
  if (!document) return std::nullopt;
  ChainSearch found;
  Search(*document, 0, 0, found);
  const std::string name(ExecutionLevelName(level));
  std::vector<Edit> edits;
  for (std::size_t index : found.levels) {
    const XmlElement& element = document->elements[index];
    if (const XmlAttribute* attribute = element.Attribute("level"))
      edits.push_back({attribute->valueOffset, attribute->valueLength, name});
    else edits.push_back({element.nameEnd, 0, " level=\"" + name + "\""});
  }
  if (found.levels.empty()) edits.push_back(InsertChain(text, *document, found, level));
  return Apply(text, std::move(edits));
}

std::vector<std::uint8_t> NewManifest(ExecutionLevel level) {
  const std::string skeleton =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<assembly xmlns=\"" +
      std::string(kAssemblyNamespace) +
      "\" manifestVersion=\"1.0\">\n"
      "</assembly>\n";
  const std::vector<std::uint8_t> bytes(skeleton.begin(), skeleton.end());
  return *SetRequestedExecutionLevel(bytes, level, nullptr);
}

}  // namespace marovi
