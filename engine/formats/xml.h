// A small XML reader for editing documents in place: it checks that a
// document is well-formed and records where each element and attribute lies
// in the text, so that an edit replaces or inserts a few bytes and leaves
// everything else (declaration, comments, CDATA, whitespace, prefixes,
// attribute order and quotes) exactly as it was.
//
// It reads UTF-8 or any encoding that keeps ASCII as ASCII, and holds a
// document to what it claims: one in UTF-8 (declared so, or declaring no
// encoding) must be valid UTF-8, and one that declares an encoding of wider
// units (UTF-16) is refused. It refuses document type declarations, so no
// entity beyond the five predefined ones and character references is ever
// expanded. Its cost grows linearly with the document's length at any depth;
// elements nested deeper than 10,000 levels are refused.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marovi {

inline constexpr std::size_t kNoElement = static_cast<std::size_t>(-1);

struct XmlAttribute {
  std::string name;  // qualified, as written ("xmlns:asmv3", "level")
  std::size_t nameOffset = 0;
  std::size_t valueOffset = 0;  // the first byte behind the opening quote
  std::size_t valueLength = 0;  // up to the closing quote
  std::string value;            // with references replaced
};

struct XmlElement {
  std::string name;             // qualified, as written ("asmv3:trustInfo")
  std::string localName;        // "trustInfo"
  std::string namespaceUri;     // resolved through the xmlns declarations in scope
  std::size_t startOffset = 0;  // the "<" of the start tag (or empty-element tag)
  std::size_t startEnd = 0;     // behind its ">"
  std::size_t nameEnd = 0;      // behind the name in the start tag
  bool empty = false;           // written as an empty-element tag "<name .../>"
  std::size_t endOffset = 0;    // the "<" of the end tag; startEnd when empty
  std::size_t endEnd = 0;       // behind the end tag's ">"; startEnd when empty
  std::vector<XmlAttribute> attributes;
  std::size_t parent = kNoElement;
  std::vector<std::size_t> children;  // child elements, in order

  const XmlAttribute* Attribute(std::string_view qualifiedName) const;
  std::string_view Prefix() const;  // "" for an unprefixed name
};

struct XmlDocument {
  std::vector<XmlElement> elements;  // in document order; the root element first
};

struct XmlError {
  std::size_t offset = 0;
  std::size_t line = 0;    // from 1
  std::size_t column = 0;  // from 1, in characters
  std::string message;
};

// Reads text as a whole document. None, with the place and the reason in
// error, when it is not well-formed (or declares a document type).
std::optional<XmlDocument> ParseXml(std::string_view text, XmlError* error);

// "line 3, column 7: <message>".
std::string DescribeXmlError(const XmlError& error);

}  // namespace marovi
