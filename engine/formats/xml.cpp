#include "engine/formats/xml.h"

#include <cstdint>
#include <set>
#include <unordered_map>
#include <utility>

#include "engine/pe/bytes.h"

namespace marovi {
namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

// Real manifests nest six levels at most (assembly, trustInfo, security,
// requestedPrivileges, requestedExecutionLevel); no document that is meant
// as one comes near this. A deeper one is refused as soon as it gets there,
// before it costs anything.
constexpr std::size_t kMaxDepth = 10000;

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

// The offset of the first byte that does not begin a well-formed UTF-8
// sequence (overlong forms, surrogates and code points past U+10FFFF are
// not), or npos.
std::size_t FirstInvalidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (b >= 0xC2 && b <= 0xDF) length = 2;
    else if (b >= 0xE0 && b <= 0xEF) length = 3;
    else if (b >= 0xF0 && b <= 0xF4) length = 4;
    else return i;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
    if (i + length > text.size()) return i;
    for (std::size_t k = 1; k < length; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return i;
    }
    i += length;
  }
  return std::string_view::npos;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  XmlDocument Parse() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    if (text_.size() >= 2 && (text_.substr(0, 2) == "\xFF\xFE" || text_.substr(0, 2) == "\xFE\xFF"))
      Fail(0, "the document is UTF-16; only UTF-8 (or another ASCII-based encoding) is read");
    const bool bom = pos_ == 3;
    std::string encoding;
    if (At("<?xml") && pos_ + 5 < text_.size() && IsSpace(text_[pos_ + 5]))
      encoding = DeclaredEncoding(ProcessingInstruction(true));
    CheckEncoding(bom, encoding);
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

  // "<?target ...?>"; the XML declaration only at the very start. Returns
  // where what follows the target begins.
  std::size_t ProcessingInstruction(bool declaration) {
    const std::size_t start = pos_;
    pos_ += 2;
    const std::string target = Name("a processing instruction's target");
    if (!declaration && target.size() == 3 && (target[0] | 0x20) == 'x' &&
        (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l')
      Fail(start, "an XML declaration is only allowed at the start of the document");
    if (pos_ < text_.size() && !IsSpace(text_[pos_]) && !At("?>"))
      Fail(pos_, "a processing instruction's target must be followed by a space or \"?>\"");
    const std::size_t body = pos_;
    const std::size_t end = Find("?>", pos_, "a processing instruction is not closed by \"?>\"");
    CheckChars(pos_, end);
    pos_ = end + 2;
    return body;
  }

  // The value of the declaration's encoding="..." (from body to its "?>"),
  // upper-cased; empty when it names none.
  std::string DeclaredEncoding(std::size_t body) const {
    const std::size_t end = text_.find("?>", body);
    std::size_t at = text_.find("encoding", body);
    if (at == std::string_view::npos || at >= end) return std::string();
    at += 8;
    while (at < end && IsSpace(text_[at])) ++at;
    if (at >= end || text_[at] != '=')
      Fail(at, "expected \"=\" after encoding in the XML declaration");
    ++at;
    while (at < end && IsSpace(text_[at])) ++at;
    const char quote = at < end ? text_[at] : '\0';
    const std::size_t close = quote == '"' || quote == '\'' ? text_.find(quote, at + 1) : end;
    if (close >= end || close == at + 1)
      Fail(at, "the encoding of the XML declaration is not a quoted name");
    std::string name(text_.substr(at + 1, close - at - 1));
    for (char& c : name)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return name;
  }

  // The bytes must be what the document says they are. It is read as bytes
  // that keep ASCII as ASCII; a declaration that names an encoding of wider
  // units is false, and a document in UTF-8 (declared so, marked with its
  // byte order mark or, as XML has it, declaring nothing) must be valid UTF-8.
  void CheckEncoding(bool bom, const std::string& encoding) const {
    const bool utf8 = encoding.empty() || encoding == "UTF-8" || encoding == "UTF8";
    if (bom && !utf8)
      Fail(0, "the document starts with the UTF-8 byte order mark but declares the encoding " +
                  encoding);
    for (std::string_view wide : {"UTF-16", "UTF-32", "UCS-2", "UCS-4", "UNICODE"})
      if (encoding.compare(0, wide.size(), wide) == 0)
        Fail(0, "the document declares the encoding " + encoding +
                    ", but its bytes are not in it (the declaration itself is one byte a "
                    "character)");
    if (encoding == "US-ASCII" || encoding == "ASCII") {
      for (std::size_t i = 0; i < text_.size(); ++i)
        if (static_cast<unsigned char>(text_[i]) >= 0x80)
          Fail(i, "the byte " + HexByte(text_[i]) + " is not ASCII, the declared encoding");
      return;
    }
    if (!utf8) return;
    const std::size_t invalid = FirstInvalidUtf8(text_);
    if (invalid != std::string_view::npos)
      Fail(invalid, "the byte " + HexByte(text_[invalid]) + " does not begin a UTF-8 character (" +
                        (encoding.empty() ? std::string("a document that declares no encoding is "
                                                        "read as UTF-8")
                                          : "the declared encoding is " + encoding) +
                        ")");
  }

  static std::string HexByte(char c) {
    static const char kDigits[] = "0123456789ABCDEF";
    const auto b = static_cast<unsigned char>(c);
    return std::string("0x") + kDigits[b >> 4] + kDigits[b & 15];
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
    std::set<std::string_view> names;  // as written, so that many attributes cost n log n
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
      if (!names.insert(text_.substr(attribute.nameOffset, attribute.name.size())).second)
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
    DeclareNamespaces(index);
    ResolveNamespaces(index);
    return index;
  }

  // The xmlns declarations of an element come into scope with its start tag
  // and leave it with its end: each prefix keeps a stack of its bindings, so
  // that a lookup costs the same at any depth.
  void DeclareNamespaces(std::size_t index) {
    std::vector<std::string> declared;
    for (const XmlAttribute& attribute : document_.elements[index].attributes) {
      const std::string_view name = attribute.name;
      if (name != "xmlns" && name.substr(0, 6) != "xmlns:") continue;
      const std::string prefix(name.size() > 6 ? name.substr(6) : std::string_view());
      bindings_[prefix].push_back(attribute.value);
      declared.push_back(prefix);
    }
    scopes_.push_back(std::move(declared));
  }

  void CloseScope() {
    for (const std::string& prefix : scopes_.back()) bindings_[prefix].pop_back();
    scopes_.pop_back();
  }

  // The namespace that prefix stands for in the scope of the current element,
  // or none.
  std::optional<std::string> Lookup(std::string_view prefix) const {
    if (prefix == "xml") return std::string(kXmlNamespace);
    const auto found = bindings_.find(std::string(prefix));
    if (found != bindings_.end() && !found->second.empty()) return found->second.back();
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
      if (!prefix.empty() && prefix != "xmlns" && !Lookup(prefix))
        Fail(attribute.nameOffset,
             "the namespace prefix " + std::string(prefix) + " is not declared");
    }
    const auto [prefix, local] = split(element.name, element.startOffset + 1);
    if (prefix == "xmlns")
      Fail(element.startOffset + 1, "an element name cannot use the prefix xmlns");
    const std::optional<std::string> uri = Lookup(prefix);
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
    if (document_.elements[open.back()].empty) {
      CloseScope();
      return;
    }
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
        CloseScope();
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
        if (open.size() >= kMaxDepth)
          Fail(pos_, "elements are nested deeper than " + std::to_string(kMaxDepth) +
                         " levels, far deeper than any manifest");
        const std::size_t index = StartTag(open.back());
        if (document_.elements[index].empty) CloseScope();
        else open.push_back(index);
      }
      textStart = pos_;
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  XmlDocument document_;
  std::unordered_map<std::string, std::vector<std::string>> bindings_;  // by prefix, "" the default
  std::vector<std::vector<std::string>> scopes_;  // the prefixes each open element declared
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
