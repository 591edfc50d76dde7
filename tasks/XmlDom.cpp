#include "tasks/XmlDom.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <fstream>
#include <iterator>
#include <pugixml.hpp>

#include "platform/codepage.h"
#include "platform/strutil.h"

namespace tasks {

void xmldom::FreeText::operator()(char* p) const noexcept { std::free(p); }

namespace {

using TextBuffer = std::unique_ptr<char, xmldom::FreeText>;

pugi::xml_node wrap(pugi::xml_node_struct* n) { return pugi::xml_node(n); }

bool asciiSameText(std::string_view a, std::string_view b) { return platform::SameText(a, b); }

bool isUtf8Name(std::string_view enc) { return asciiSameText(enc, "UTF-8") || asciiSameText(enc, "UTF8"); }

// Conversion to UTF-8 from an encoding iconv knows, into a buffer of the converted
// text (malloc'd: its pages are only made resident as they are written, and it is cut to
// the text's size at the end). A byte sequence that the source encoding does not define
// becomes '?'.
TextBuffer convertToUtf8(std::string_view bytes, const std::string& encoding, const std::string& sourceName,
                         size_t& size) {
  iconv_t cd = iconv_open("UTF-8", encoding.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1))
    throw EDOMParseError("XML file \"" + sourceName + "\": unsupported encoding \"" + encoding + "\"");
  // A byte of a single-byte encoding takes up to 3 bytes in UTF-8; no encoding takes more.
  size_t capacity = bytes.size() * 3 + 16;
  TextBuffer out(static_cast<char*>(std::malloc(capacity)));
  if (!out) {
    iconv_close(cd);
    throw std::bad_alloc();
  }
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char* op = out.get();
  size_t outLeft = capacity;
  auto grow = [&] {
    const size_t used = static_cast<size_t>(op - out.get());
    char* bigger = static_cast<char*>(std::realloc(out.get(), capacity * 2));
    if (!bigger) {
      iconv_close(cd);
      throw std::bad_alloc();
    }
    static_cast<void>(out.release());
    out.reset(bigger);
    capacity *= 2;
    op = out.get() + used;
    outLeft = capacity - used;
  };
  while (inLeft > 0) {
    size_t r = iconv(cd, &in, &inLeft, &op, &outLeft);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      grow();
      continue;
    }
    // EILSEQ: a sequence the source encoding does not define; EINVAL: an incomplete
    // sequence at the end. Either becomes one '?'.
    const bool atEnd = errno == EINVAL;
    if (outLeft == 0) grow();
    *op++ = '?';
    --outLeft;
    if (atEnd) {
      inLeft = 0;
    } else {
      ++in;
      --inLeft;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  size = static_cast<size_t>(op - out.get());
  // Cut to the text (the untouched rest was never resident, but it is address space).
  if (char* cut = static_cast<char*>(std::realloc(out.get(), size ? size : 1))) {
    static_cast<void>(out.release());
    out.reset(cut);
  }
  return out;
}

// Line and column (1-based) of a byte offset, for parse messages.
void lineColumn(std::string_view text, size_t offset, size_t& line, size_t& column) {
  line = 1;
  column = 1;
  if (offset > text.size()) offset = text.size();
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
}

}  // namespace

namespace xmldom {

std::string declaredEncoding(std::string_view bytes) {
  if (bytes.substr(0, 5) != "<?xml") return {};
  size_t end = bytes.find("?>");
  if (end == std::string_view::npos) return {};
  std::string_view decl = bytes.substr(5, end - 5);
  size_t pos = 0;
  while ((pos = decl.find("encoding", pos)) != std::string_view::npos) {
    // The pseudo-attribute must start after whitespace, not inside another name.
    if (pos == 0 || static_cast<unsigned char>(decl[pos - 1]) > 0x20) {
      pos += 8;
      continue;
    }
    size_t i = pos + 8;
    while (i < decl.size() && static_cast<unsigned char>(decl[i]) <= 0x20) ++i;
    if (i >= decl.size() || decl[i] != '=') {
      pos += 8;
      continue;
    }
    ++i;
    while (i < decl.size() && static_cast<unsigned char>(decl[i]) <= 0x20) ++i;
    if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) return {};
    char quote = decl[i++];
    size_t close = decl.find(quote, i);
    if (close == std::string_view::npos) return {};
    return std::string(decl.substr(i, close - i));
  }
  return {};
}

size_t findInvalidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return i;
    }
    if (i + len > n) return i;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return i;
    i += len;
  }
  return std::string_view::npos;
}

std::string utf8ToCp1251(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return platform::Utf8ToCp1251(s);
  return std::string(s);
}

}  // namespace xmldom

// ---- XmlNode ----

std::string XmlNode::name() const {
  if (!node_) return {};
  return xmldom::utf8ToCp1251(wrap(node_).name());
}

bool XmlNode::hasName(std::string_view name) const {
  return node_ && std::string_view(wrap(node_).name()) == name;
}

std::optional<XmlNode> XmlNode::findChild(std::string_view name) const {
  if (!node_) return std::nullopt;
  for (pugi::xml_node c = wrap(node_).first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element && std::string_view(c.name()) == name) return XmlNode(c.internal_object());
  }
  return std::nullopt;
}

XmlNode XmlNode::requireChild(std::string_view name) const {
  std::optional<XmlNode> c = findChild(name);
  if (!c) throw EXMLDocError("Node \"" + xmldom::utf8ToCp1251(name) + "\" not found");
  return *c;
}

std::vector<XmlNode> XmlNode::childElements() const {
  std::vector<XmlNode> out;
  if (!node_) return out;
  for (pugi::xml_node c = wrap(node_).first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element) out.emplace_back(c.internal_object());
  return out;
}

std::string XmlNode::text() const {
  if (!node_) return {};
  // The element's first text is kept in the element itself; later ones are nodes.
  std::string utf8 = wrap(node_).value();
  for (pugi::xml_node c = wrap(node_).first_child(); c; c = c.next_sibling()) {
    switch (c.type()) {
      case pugi::node_pcdata:
      case pugi::node_cdata:
        utf8 += c.value();
        break;
      case pugi::node_element:
        throw EXMLDocError("Node \"" + name() + "\" holds child elements, not a text");
      default:
        break;
    }
  }
  return xmldom::utf8ToCp1251(utf8);
}

// ---- XmlDocument ----

XmlDocument::XmlDocument() : doc_(std::make_unique<pugi::xml_document>()) {}
XmlDocument::~XmlDocument() = default;

namespace {

// The whole file, read into a text of its size.
std::string readWholeFile(const std::string& fileName) {
  std::ifstream in(platform::ToFsPath(fileName), std::ios::binary | std::ios::ate);
  if (!in) throw EDOMParseError("Cannot open the XML file \"" + fileName + "\"");
  std::string bytes;
  const std::streamoff size = in.tellg();
  if (size > 0) {
    bytes.resize(static_cast<size_t>(size));
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    if (in.gcount() != static_cast<std::streamsize>(size))
      throw EDOMParseError("Cannot read the XML file \"" + fileName + "\"");
  } else {
    // Not a regular file (or an empty one): read as a stream.
    in.clear();
    in.seekg(0);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (in.bad()) throw EDOMParseError("Cannot read the XML file \"" + fileName + "\"");
  return bytes;
}

// Where the UTF-8 text of the bytes starts and what encoding they need converting from
// ("" for none).
std::string_view utf8Part(std::string_view b, std::string& convertFrom) {
  convertFrom.clear();
  if (b.substr(0, 3) == "\xEF\xBB\xBF") return b.substr(3);
  if (b.substr(0, 2) == "\xFF\xFE") {
    convertFrom = "UTF-16LE";
    return b.substr(2);
  }
  if (b.substr(0, 2) == "\xFE\xFF") {
    convertFrom = "UTF-16BE";
    return b.substr(2);
  }
  std::string enc = xmldom::declaredEncoding(b);
  if (!enc.empty() && !isUtf8Name(enc)) convertFrom = enc;
  return b;
}

}  // namespace

void XmlDocument::loadFromFile(const std::string& fileName) {
  load(readWholeFile(fileName), fileName, [&fileName] { return readWholeFile(fileName); });
}

void XmlDocument::loadFromBytes(std::string bytes, const std::string& sourceName) {
  const std::string copy = bytes;
  load(std::move(bytes), sourceName, [&copy] { return copy; });
}

void XmlDocument::load(std::string bytes, const std::string& sourceName, const std::function<std::string()>& pristine) {
  loaded_ = false;
  doc_->reset();
  converted_.reset();
  bytes_.clear();
  bytes_.shrink_to_fit();
  fileName_ = sourceName;

  // The UTF-8 text: the bytes themselves, or their conversion, after which the bytes go.
  std::string convertFrom;
  std::string_view part = utf8Part(bytes, convertFrom);
  char* text = nullptr;
  size_t size = 0;
  if (convertFrom.empty()) {
    const size_t skip = static_cast<size_t>(part.data() - bytes.data());
    bytes_ = std::move(bytes);
    text = bytes_.data() + skip;
    size = bytes_.size() - skip;
  } else {
    converted_ = convertToUtf8(part, convertFrom, sourceName, size);
    text = converted_.get();
    std::string().swap(bytes);
  }
  const std::string_view utf8(text, size);

  size_t bad = xmldom::findInvalidUtf8(utf8);
  if (bad != std::string::npos) {
    size_t line, column;
    lineColumn(utf8, bad, line, column);
    throw EDOMParseError("XML file \"" + sourceName + "\": invalid UTF-8 text at line " + platform::IntToStr(
                             static_cast<int64_t>(line)) + ", column " + platform::IntToStr(static_cast<int64_t>(column)));
  }

  // Parsed where the text lies, element texts kept in their elements rather than in nodes
  // of their own: comments, processing instructions and whitespace-only text are not kept.
  pugi::xml_parse_result r =
      doc_->load_buffer_inplace(text, size, pugi::parse_default | pugi::parse_embed_pcdata, pugi::encoding_utf8);
  if (!r) {
    doc_->reset();
    converted_.reset();
    std::string().swap(bytes_);
    // The parse has written into the text: the position is found in the bytes as given.
    const std::string again = pristine();
    std::string from;
    std::string_view againPart = utf8Part(again, from);
    std::string convertedAgain;
    if (!from.empty()) {
      size_t n = 0;
      TextBuffer t = convertToUtf8(againPart, from, sourceName, n);
      convertedAgain.assign(t.get(), n);
      againPart = convertedAgain;
    }
    size_t line, column;
    lineColumn(againPart, static_cast<size_t>(r.offset), line, column);
    throw EDOMParseError("XML file \"" + sourceName + "\": " + r.description() + " at line " +
                         platform::IntToStr(static_cast<int64_t>(line)) + ", column " +
                         platform::IntToStr(static_cast<int64_t>(column)));
  }
  size_t roots = 0;
  for (pugi::xml_node c = doc_->first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) ++roots;
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata)
      throw EDOMParseError("XML file \"" + sourceName + "\": text outside the document element");
  }
  if (roots != 1)
    throw EDOMParseError("XML file \"" + sourceName + "\": " +
                         (roots == 0 ? std::string("no document element") : std::string("more than one top-level element")));
  loaded_ = true;
}

XmlNode XmlDocument::documentElement() const {
  if (!loaded_) throw EXMLDocError("No XML document is loaded");
  return XmlNode(doc_->document_element().internal_object());
}

}  // namespace tasks
