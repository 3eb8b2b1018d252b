#include "engine/formats/xml.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/engine.h"

namespace marovi {
namespace {

std::string_view Slice(std::string_view text, std::size_t offset, std::size_t length) {
  return text.substr(offset, length);
}

TEST(XmlTest, RecordsWhereElementsAndAttributesLie) {
  const std::string text =
      "\xEF\xBB\xBF<?xml version='1.0'?>\n<!-- c -->\n"
      "<a:root xmlns:a=\"urn:a\" xmlns=\"urn:d\" k = 'v&amp;&#x41;&#66;'>"
      "<child/><b:x xmlns:b=\"urn:b\" a:at=\"1\">t<![CDATA[<raw>]]><?pi x?></b:x>"
      "<plain xmlns=\"\"></plain></a:root>\n" +
      std::string(2, '\0');  // padding behind the document
  XmlError error;
  const std::optional<XmlDocument> doc = ParseXml(text, &error);
  ASSERT_TRUE(doc.has_value()) << DescribeXmlError(error);
  ASSERT_EQ(doc->elements.size(), 4u);

  const XmlElement& root = doc->elements[0];
  EXPECT_EQ(root.name, "a:root");
  EXPECT_EQ(root.localName, "root");
  EXPECT_EQ(root.namespaceUri, "urn:a");
  EXPECT_EQ(root.Prefix(), "a");
  EXPECT_EQ(root.children, (std::vector<std::size_t>{1, 2, 3}));
  EXPECT_EQ(Slice(text, root.startOffset, root.nameEnd - root.startOffset), "<a:root");
  EXPECT_EQ(Slice(text, root.endOffset, root.endEnd - root.endOffset), "</a:root>");
  const XmlAttribute* k = root.Attribute("k");
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->value, "v&AB");
  EXPECT_EQ(Slice(text, k->valueOffset, k->valueLength), "v&amp;&#x41;&#66;");
  EXPECT_EQ(Slice(text, k->nameOffset, 1), "k");

  const XmlElement& child = doc->elements[1];
  EXPECT_TRUE(child.empty);
  EXPECT_EQ(child.namespaceUri, "urn:d");  // the default namespace
  EXPECT_EQ(child.parent, 0u);
  EXPECT_EQ(child.endOffset, child.startEnd);
  EXPECT_EQ(Slice(text, child.startOffset, child.startEnd - child.startOffset), "<child/>");

  const XmlElement& x = doc->elements[2];
  EXPECT_EQ(x.namespaceUri, "urn:b");
  EXPECT_FALSE(x.empty);
  EXPECT_EQ(Slice(text, x.startEnd, x.endOffset - x.startEnd), "t<![CDATA[<raw>]]><?pi x?>");

  EXPECT_EQ(doc->elements[3].namespaceUri, "");  // xmlns="" takes the default away
}

TEST(XmlTest, RefusesWhatIsNotWellFormedAndSaysWhere) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t line, column;
    const char* reason;
  };
  const Case cases[] = {
      {"empty", "", 1, 1, "no root element"},
      {"only a declaration", "<?xml version=\"1.0\"?>\n", 2, 1, "no root element"},
      {"text before the root", "hello <a/>", 1, 1, "text before the root element"},
      {"unclosed element", "<a>\n  <b>\n</a>", 3, 3, "does not match the start tag <b>"},
      {"never closed", "<a>\n<b></b>", 1, 1, "the element <a> is not closed"},
      {"second root", "<a/>\n<b/>", 2, 1, "content behind the root element"},
      {"text after the root", "<a/>x", 1, 5, "content behind the root element"},
      {"document type", "<!DOCTYPE a [<!ENTITY e \"x\">]>\n<a>&e;</a>", 1, 1,
       "document type declaration"},
      {"undefined entity", "<a>\n x &nbsp; y</a>", 2, 4, "the entity \"nbsp\" is not defined"},
      {"bare ampersand", "<a>fish & chips</a>", 1, 9, "starts no reference"},
      {"unquoted attribute", "<a b=c/>", 1, 6, "is not quoted"},
      {"attribute without value", "<a b/>", 1, 5, "expected \"=\""},
      {"attributes run together", "<a b='1'c='2'/>", 1, 9, "separated by whitespace"},
      {"duplicate attribute", "<a b='1' b='2'/>", 1, 10, "the attribute b appears twice"},
      {"less-than in a value", "<a b='<'/>", 1, 7, "\"<\" inside an attribute value"},
      {"undeclared prefix", "<a>\n<x:b/></a>", 2, 2, "prefix x is not declared"},
      {"undeclared attribute prefix", "<a y:b='1'/>", 1, 4, "prefix y is not declared"},
      {"double colon", "<a:b:c xmlns:a='u'/>", 1, 2, "not a valid qualified name"},
      {"double hyphen in a comment", "<a><!-- a -- b --></a>", 1, 11, "\"--\" inside a comment"},
      {"unclosed comment", "<a><!-- a </a>", 1, 8, "not closed by \"-->\""},
      {"unclosed CDATA", "<a><![CDATA[x</a>", 1, 13, "not closed by \"]]>\""},
      {"CDATA end in text", "<a>x]]>y</a>", 1, 5, "outside a CDATA section"},
      {"declaration later", "<a/>\n<?xml version='1.0'?>", 2, 1, "only allowed at the start"},
      {"control character", "<a>\x01</a>", 1, 4, "control character 1"},
      {"bad character reference", "<a>&#0;</a>", 1, 4, "a character XML does not allow"},
      {"malformed character reference", "<a>&#x;</a>", 1, 4, "malformed character reference"},
      {"UTF-16", std::string("\xFF\xFE<\0a\0/\0>\0", 10), 1, 1, "UTF-16"},
      {"columns count characters", "<a>\xC3\xA9\xC3\xA9<", 1, 7, "expected an element name"},
      {"element in the xmlns prefix", "<xmlns:a/>", 1, 2, "cannot use the prefix xmlns"},
      {"empty prefix binding", "<a xmlns:p=''/>", 1, 4, "bound to an empty namespace name"},
      {"prefix out of scope", "<a><b xmlns:p='u'/><p:c/></a>", 1, 21, "prefix p is not declared"},
      {"invalid UTF-8", "<a>\xC3\x28</a>", 1, 4, "0xC3 does not begin a UTF-8 character"},
      {"invalid UTF-8 declared", "<?xml version='1.0' encoding='utf-8'?>\n<a>x\xFF</a>", 2, 5,
       "(the declared encoding is UTF-8)"},
      {"overlong UTF-8", "<a>\xC0\xAF</a>", 1, 4, "0xC0 does not begin a UTF-8 character"},
      {"UTF-8 surrogate", "<a b='\xED\xA0\x80'/>", 1, 7, "0xED does not begin"},
      {"UTF-8 cut short", "<a/>\xE2\x82", 1, 5, "0xE2 does not begin"},
      {"UTF-16 declared", "<?xml version='1.0' encoding='UTF-16'?><a/>", 1, 1,
       "declares the encoding UTF-16, but its bytes are not in it"},
      {"byte order mark and another encoding",
       "\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?><a/>", 1, 1,
       "UTF-8 byte order mark but declares the encoding ISO-8859-1"},
      {"ASCII declared", "<?xml version='1.0' encoding='us-ascii'?>\n<a>\xC3\xA9</a>", 2, 4,
       "0xC3 is not ASCII"},
      {"encoding unquoted", "<?xml version='1.0' encoding=UTF-8?><a/>", 1, 30, "not a quoted name"},
  };
  for (const Case& c : cases) {
    XmlError error;
    EXPECT_FALSE(ParseXml(c.text, &error).has_value()) << c.name;
    EXPECT_EQ(error.line, c.line) << c.name << ": " << DescribeXmlError(error);
    EXPECT_EQ(error.column, c.column) << c.name << ": " << DescribeXmlError(error);
    EXPECT_NE(error.message.find(c.reason), std::string::npos) << c.name << ": " << error.message;
  }
}

TEST(XmlTest, AcceptsWhatXmlAllows) {
  const char* cases[] = {
      "<a/>",
      "<a></a >",
      "<a\n  b = \"1\"\n  c='2'\n/>",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!--x--><?pi?><a/><!--y-->\n",
      "<a>&lt;&gt;&amp;&quot;&apos;&#x10FFFF;&#9;</a>",
      "<a><![CDATA[ <not> & a ]] tag ]]></a>",
      "<a xmlns:p='u'><p:b p:c='1'/></a>",
      "<a xml:lang='en'/>",
      "<a><!----></a>",
      "<\xC3\xA9l\xC3\xA9ment/>",
      "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>",  // one byte a character
      "<?xml version='1.0' encoding='utf-8'?><a>\xF0\x9F\x98\x80\xEF\xBF\xBD</a>",
  };
  for (const char* text : cases) {
    XmlError error;
    EXPECT_TRUE(ParseXml(text, &error).has_value()) << text << ": " << DescribeXmlError(error);
  }
}

// A prefix is bound from its element's start tag to its end tag; a binding
// deeper down hides it only there.
TEST(XmlTest, NamespaceBindingsLastTheirElement) {
  const std::string text =
      "<a xmlns:p='u1' xmlns='d1'><b xmlns:p='u2' xmlns='d2'><p:x/><y/></b><p:z/><w/></a>";
  XmlError error;
  const std::optional<XmlDocument> doc = ParseXml(text, &error);
  ASSERT_TRUE(doc.has_value()) << DescribeXmlError(error);
  std::vector<std::string> uris;
  for (const XmlElement& e : doc->elements) uris.push_back(e.localName + "=" + e.namespaceUri);
  EXPECT_EQ(uris, (std::vector<std::string>{"a=d1", "b=d2", "x=u2", "y=d2", "z=u1", "w=d1"}));
}

// Nesting costs the same at any depth, up to a limit no manifest comes near;
// one level more is refused where it starts.
TEST(XmlTest, NestingIsLimitedFarBeyondAnyManifest) {
  auto nested = [](std::size_t depth) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += "<a xmlns:p='u'>";
    for (std::size_t i = 0; i < depth; ++i) text += "</a>";
    return text;
  };
  XmlError error;
  const std::optional<XmlDocument> deepest = ParseXml(nested(10000), &error);
  ASSERT_TRUE(deepest.has_value()) << DescribeXmlError(error);
  EXPECT_EQ(deepest->elements.size(), 10000u);
  EXPECT_EQ(deepest->elements.back().parent, 9998u);
  EXPECT_FALSE(ParseXml(nested(10001), &error).has_value());
  EXPECT_EQ(error.offset, 10000u * 15);
  EXPECT_NE(error.message.find("nested deeper than 10000 levels"), std::string::npos)
      << error.message;
  EXPECT_FALSE(ParseXml(nested(100000), &error).has_value());
}

TEST(JsonTest, StringLiteralsAreAlwaysValidJson) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c/", "\"a\\\"b\\\\c/\""},
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {std::string("\x01\x1f\x7f\0", 4), "\"\\u0001\\u001f\\u007f\\u0000\""},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {"\xFF", "\"\xEF\xBF\xBD\""},                                  // never a UTF-8 byte
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate
      {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // cut short
      {"\xF4\x90\x80\x80",
       "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // past U+10FFFF
  };
  for (const Case& c : cases) EXPECT_EQ(JsonString(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace marovi
