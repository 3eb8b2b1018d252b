#include "engine/xml.h"

#include <cstdint>
#include <utility>

#include "engine/bytes.h"

namespace marovi {
namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

struct XmlSyntaxError {
  std::size_t offset;
  std::string message;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Names are checked on ASCII; every byte from 0x80 on is taken as part of a
// name character, which the encodings this reader accepts allow.
bool IsNameStart(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_' || b == ':' || b >= 0x80;
}
bool IsNameChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  return IsNameStart(c) || (b >= '0' && b <= '9') || b == '-' || b == '.';
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  XmlDocument Parse() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    if (text_.size() >= 2 && (text_.substr(0, 2) == "\xFF\xFE" || text_.substr(0, 2) == "\xFE\xFF"))
      Fail(0, "the document is UTF-16; only UTF-8 (or another ASCII-based encoding) is read");
    if (At("<?xml") && pos_ + 5 < text_.size() && IsSpace(text_[pos_ + 5]))
      ProcessingInstruction(true);
    Misc();
    if (pos_ >= text_.size()) Fail(pos_, "the document has no root element");
    if (text_[pos_] != '<') Fail(pos_, "text before the root element");
    Element();
    Misc();
    // Resources are sometimes padded with zero bytes behind the document.
    while (pos_ < text_.size() && text_[pos_] == '\0') ++pos_;
    if (pos_ < text_.size()) Fail(pos_, "content behind the root element");
    return std::move(document_);
  }

 private:
  [[noreturn]] void Fail(std::size_t offset, std::string message) const {
    throw XmlSyntaxError{offset, std::move(message)};
  }

  bool At(std::string_view token) const { return text_.substr(pos_, token.size()) == token; }

  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }

  // Comments, processing instructions and whitespace outside the root.
  void Misc() {
    for (;;) {
      SkipSpace();
      if (At("<!--")) {
        Comment();
      } else if (At("<?")) {
        ProcessingInstruction(false);
      } else if (At("<!DOCTYPE")) {
        Fail(pos_, "a document type declaration is not accepted");
      } else {
        return;
      }
    }
  }

  std::size_t Find(std::string_view token, std::size_t from, const char* unterminated) const {
    const std::size_t at = text_.find(token, from);
    if (at == std::string_view::npos) Fail(from, unterminated);
    return at;
  }

  void CheckChars(std::size_t from, std::size_t to) const {
    for (std::size_t i = from; i < to; ++i) {
      const auto b = static_cast<unsigned char>(text_[i]);
      if (b < 0x20 && b != '\t' && b != '\n' && b != '\r')
        Fail(i, "the control character " + std::to_string(b) + " is not allowed in XML");
    }
  }

  void Comment() {
    const std::size_t start = pos_;
    const std::size_t body = pos_ + 4;
    const std::size_t dashes = Find("--", body, "a comment is not closed by \"-->\"");
    if (dashes + 2 >= text_.size() || text_[dashes + 2] != '>')
      Fail(dashes, "\"--\" inside a comment");
    CheckChars(start, dashes);
    pos_ = dashes + 3;
  }

  // "<?target ...?>"; the XML declaration only at the very start.
  void ProcessingInstruction(bool declaration) {
    const std::size_t start = pos_;
    pos_ += 2;
    const std::string target = Name("a processing instruction's target");
    if (!declaration && target.size() == 3 && (target[0] | 0x20) == 'x' &&
        (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l')
      Fail(start, "an XML declaration is only allowed at the start of the document");
    if (pos_ < text_.size() && !IsSpace(text_[pos_]) && !At("?>"))
      Fail(pos_, "a processing instruction's target must be followed by a space or \"?>\"");
    const std::size_t end = Find("?>", pos_, "a processing instruction is not closed by \"?>\"");
    CheckChars(pos_, end);
    pos_ = end + 2;
  }

  std::string Name(const char* what) {
    const std::size_t start = pos_;
    if (pos_ >= text_.size() || !IsNameStart(text_[pos_]))
      Fail(pos_, std::string("expected ") + what);
    while (pos_ < text_.size() && IsNameChar(text_[pos_])) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  // Checks text in [from, to) for references and forbidden characters, and
  // returns it with the references replaced.
  std::string Characters(std::size_t from, std::size_t to, bool attribute) const {
    std::string out;
    for (std::size_t i = from; i < to; ++i) {
      const char c = text_[i];
      const auto b = static_cast<unsigned char>(c);
      if (b < 0x20 && c != '\t' && c != '\n' && c != '\r')
        Fail(i, "the control character " + std::to_string(b) + " is not allowed in XML");
      if (attribute && c == '<') Fail(i, "\"<\" inside an attribute value");
      if (!attribute && c == ']' && text_.substr(i, 3) == "]]>")
        Fail(i, "\"]]>\" outside a CDATA section");
      if (c != '&') {
        out += c;
        continue;
      }
      const std::size_t semicolon = text_.find(';', i);
      if (semicolon == std::string_view::npos || semicolon >= to)
        Fail(i, "\"&\" that starts no reference");
      const std::string_view name = text_.substr(i + 1, semicolon - i - 1);
      if (name == "lt") out += '<';
      else if (name == "gt") out += '>';
      else if (name == "amp") out += '&';
      else if (name == "quot") out += '"';
      else if (name == "apos") out += '\'';
      else if (!name.empty() && name[0] == '#') AppendUtf8(out, CharacterReference(i, name));
      else Fail(i, "the entity \"" + std::string(name) + "\" is not defined");
      i = semicolon;
    }
    return out;
  }

  std::uint32_t CharacterReference(std::size_t at, std::string_view name) const {
    const bool hex = name.size() > 1 && name[1] == 'x';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) Fail(at, "a malformed character reference");
    std::uint32_t value = 0;
    for (char c : digits) {
      std::uint32_t digit = 16;
      if (c >= '0' && c <= '9') digit = static_cast<std::uint32_t>(c - '0');
      else if (hex && c >= 'a' && c <= 'f') digit = static_cast<std::uint32_t>(c - 'a' + 10);
      else if (hex && c >= 'A' && c <= 'F') digit = static_cast<std::uint32_t>(c - 'A' + 10);
      if (digit >= (hex ? 16u : 10u)) Fail(at, "a malformed character reference");
      value = value * (hex ? 16 : 10) + digit;
    }
    const bool allowed =
        value == 0x9 || value == 0xA || value == 0xD || (value >= 0x20 && value <= 0xD7FF) ||
        (value >= 0xE000 && value <= 0xFFFD) || (value >= 0x10000 && value <= 0x10FFFF);
    if (!allowed) Fail(at, "a character reference to a character XML does not allow");
    return value;
  }

  // The start tag at pos_; returns the new element's index.
  std::size_t StartTag(std::size_t parent) {
    XmlElement element;
    element.startOffset = pos_;
    element.parent = parent;
    ++pos_;
    element.name = Name("an element name");
    element.nameEnd = pos_;
    for (;;) {
      const std::size_t before = pos_;
      SkipSpace();
      if (pos_ >= text_.size())
        Fail(element.startOffset, "the start tag of <" + element.name + "> is not closed");
      if (At("/>") || At(">")) {
        element.empty = At("/>");
        pos_ += element.empty ? 2 : 1;
        break;
      }
      if (pos_ == before) Fail(pos_, "attributes must be separated by whitespace");
      XmlAttribute attribute;
      attribute.nameOffset = pos_;
      attribute.name = Name("an attribute name");
      SkipSpace();
      if (!At("=")) Fail(pos_, "expected \"=\" after the attribute " + attribute.name);
      ++pos_;
      SkipSpace();
      if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\''))
        Fail(pos_, "the value of the attribute " + attribute.name + " is not quoted");
      const char quote = text_[pos_++];
      const std::size_t close = text_.find(quote, pos_);
      if (close == std::string_view::npos)
        Fail(pos_, "the value of the attribute " + attribute.name + " is not closed");
      attribute.valueOffset = pos_;
      attribute.valueLength = close - pos_;
      attribute.value = Characters(pos_, close, true);
      pos_ = close + 1;
      for (const XmlAttribute& other : element.attributes)
        if (other.name == attribute.name)
          Fail(attribute.nameOffset, "the attribute " + attribute.name + " appears twice");
      element.attributes.push_back(std::move(attribute));
    }
    element.startEnd = pos_;
    if (element.empty) {
      element.endOffset = element.endEnd = pos_;
    }
    const std::size_t index = document_.elements.size();
    document_.elements.push_back(std::move(element));
    if (parent != kNoElement) document_.elements[parent].children.push_back(index);
    ResolveNamespaces(index);
    return index;
  }

  // The namespace that prefix stands for in the scope of element, or none.
  std::optional<std::string> Lookup(std::size_t element, std::string_view prefix) const {
    if (prefix == "xml") return std::string(kXmlNamespace);
    const std::string declaration = prefix.empty() ? "xmlns" : "xmlns:" + std::string(prefix);
    for (std::size_t e = element; e != kNoElement; e = document_.elements[e].parent)
      if (const XmlAttribute* a = document_.elements[e].Attribute(declaration)) return a->value;
    if (prefix.empty()) return std::string();
    return std::nullopt;
  }

  void ResolveNamespaces(std::size_t index) {
    XmlElement& element = document_.elements[index];
    auto split = [&](const std::string& name, std::size_t at) {
      const std::size_t colon = name.find(':');
      if (colon == std::string::npos)
        return std::pair<std::string_view, std::string_view>{{}, name};
      const std::string_view prefix = std::string_view(name).substr(0, colon);
      const std::string_view local = std::string_view(name).substr(colon + 1);
      if (prefix.empty() || local.empty() || local.find(':') != std::string_view::npos)
        Fail(at, "the name " + name + " is not a valid qualified name");
      return std::pair{prefix, local};
    };
    for (const XmlAttribute& attribute : element.attributes) {
      const auto [prefix, local] = split(attribute.name, attribute.nameOffset);
      if (prefix == "xmlns" && attribute.value.empty())
        Fail(attribute.nameOffset,
             "the prefix " + std::string(local) + " is bound to an empty namespace name");
      if (prefix == "xmlns" && attribute.value == kXmlnsNamespace)
        Fail(attribute.nameOffset, "the xmlns namespace cannot be bound to a prefix");
      if (!prefix.empty() && prefix != "xmlns" && !Lookup(index, prefix))
        Fail(attribute.nameOffset,
             "the namespace prefix " + std::string(prefix) + " is not declared");
    }
    const auto [prefix, local] = split(element.name, element.startOffset + 1);
    if (prefix == "xmlns")
      Fail(element.startOffset + 1, "an element name cannot use the prefix xmlns");
    const std::optional<std::string> uri = Lookup(index, prefix);
    if (!uri)
      Fail(element.startOffset + 1,
           "the namespace prefix " + std::string(prefix) + " is not declared");
    element.localName = std::string(local);
    element.namespaceUri = *uri;
  }

  // The root element and everything in it, without recursion.
  void Element() {
    std::vector<std::size_t> open;
    std::size_t textStart = pos_;
    auto flushText = [&]() {
      if (open.empty()) return;
      Characters(textStart, pos_, false);
    };
    open.push_back(StartTag(kNoElement));
    if (document_.elements[open.back()].empty) return;
    textStart = pos_;
    while (!open.empty()) {
      const std::size_t lt = text_.find('<', pos_);
      if (lt == std::string_view::npos) {
        pos_ = text_.size();
        flushText();
        Fail(document_.elements[open.back()].startOffset,
             "the element <" + document_.elements[open.back()].name + "> is not closed");
      }
      pos_ = lt;
      flushText();
      if (At("</")) {
        XmlElement& element = document_.elements[open.back()];
        element.endOffset = pos_;
        pos_ += 2;
        const std::size_t nameAt = pos_;
        const std::string name = Name("an element name");
        if (name != element.name)
          Fail(nameAt,
               "the end tag </" + name + "> does not match the start tag <" + element.name + ">");
        SkipSpace();
        if (!At(">")) Fail(pos_, "expected \">\" to close the end tag </" + name + ">");
        ++pos_;
        element.endEnd = pos_;
        open.pop_back();
      } else if (At("<!--")) {
        Comment();
      } else if (At("<![CDATA[")) {
        const std::size_t end = Find("]]>", pos_ + 9, "a CDATA section is not closed by \"]]>\"");
        CheckChars(pos_ + 9, end);
        pos_ = end + 3;
      } else if (At("<?")) {
        ProcessingInstruction(false);
      } else if (At("<!")) {
        Fail(pos_, "markup declarations are not accepted inside an element");
      } else {
        const std::size_t index = StartTag(open.back());
        if (!document_.elements[index].empty) open.push_back(index);
      }
      textStart = pos_;
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  XmlDocument document_;
};

}  // namespace

const XmlAttribute* XmlElement::Attribute(std::string_view qualifiedName) const {
  for (const XmlAttribute& a : attributes)
    if (a.name == qualifiedName) return &a;
  return nullptr;
}

std::string_view XmlElement::Prefix() const {
  const std::size_t colon = name.find(':');
  return colon == std::string::npos ? std::string_view() : std::string_view(name).substr(0, colon);
}

std::optional<XmlDocument> ParseXml(std::string_view text, XmlError* error) {
  try {
    return Parser(text).Parse();
  } catch (const XmlSyntaxError& e) {
    if (error != nullptr) {
      error->offset = e.offset;
      error->message = e.message;
      error->line = 1;
      error->column = 1;
      for (std::size_t i = 0; i < e.offset && i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '\n') {
          ++error->line;
          error->column = 1;
        } else if ((b & 0xC0) != 0x80 && b != '\r') {
          ++error->column;  // continuation bytes belong to the character before
        }
      }
    }
    return std::nullopt;
  }
}

std::string DescribeXmlError(const XmlError& error) {
  return "line " + std::to_string(error.line) + ", column " + std::to_string(error.column) + ": " +
         error.message;
}

}  // namespace marovi
