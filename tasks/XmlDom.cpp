#include "tasks/XmlDom.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
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

// ---- The nodes ----

namespace xmldom {

// One element: its name and (for an element without element children) its text, both
// UTF-8 and pointing into the parsed text or into the store; its first child and next
// sibling by index.
struct Node {
  const char* name;
  const char* text;
  uint32_t firstChild;
  uint32_t nextSibling;
};

class NodeStore {
public:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  const Node& at(uint32_t i) const { return blocks_[i / kBlock][i % kBlock]; }
  Node& at(uint32_t i) { return blocks_[i / kBlock][i % kBlock]; }
  uint32_t root() const { return root_; }

  // A node of the name below `parent` (kNone: the document element), after `last`, the
  // parent's last child so far (kNone: none yet), which it becomes.
  uint32_t add(const char* name, const char* text, uint32_t parent, uint32_t& last) {
    if (count_ == kNone) throw EDOMParseError("XML document: too many elements");
    if (count_ % kBlock == 0) blocks_.push_back(std::make_unique<Node[]>(kBlock));
    const uint32_t i = count_++;
    at(i) = Node{name, text, kNone, kNone};
    if (last != kNone)
      at(last).nextSibling = i;
    else if (parent != kNone)
      at(parent).firstChild = i;
    else
      root_ = i;
    last = i;
    return i;
  }
  // A text kept by the store (names of the outer levels, texts of several pieces).
  const char* keep(std::string text) { return kept_.emplace_back(std::move(text)).c_str(); }

  // Takes over the element `top` of a parsed document and everything below it.
  void addTree(pugi::xml_node top, uint32_t parent, uint32_t& last) {
    struct Open {
      pugi::xml_node next;  // the next child to look at
      uint32_t index;
      uint32_t last;
    };
    std::vector<Open> open;
    const uint32_t t = add(top.name(), textOf(top), parent, last);
    open.push_back({top.first_child(), t, kNone});
    while (!open.empty()) {
      Open& o = open.back();
      while (o.next && o.next.type() != pugi::node_element) o.next = o.next.next_sibling();
      if (!o.next) {
        open.pop_back();
        continue;
      }
      const pugi::xml_node c = o.next;
      o.next = c.next_sibling();
      const uint32_t ci = add(c.name(), textOf(c), o.index, o.last);
      open.push_back({c.first_child(), ci, kNone});
    }
  }

private:
  static constexpr uint32_t kBlock = 4096;

  // The text of an element without element children: its own (first) text and the texts
  // and CDATA sections after it, joined.
  const char* textOf(pugi::xml_node e) {
    const char* own = e.value();
    std::string joined;
    bool pieces = false;
    for (pugi::xml_node c = e.first_child(); c; c = c.next_sibling()) {
      if (c.type() == pugi::node_element) return nullptr;
      if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) {
        if (!pieces) joined = own;
        joined += c.value();
        pieces = true;
      }
    }
    return pieces ? keep(std::move(joined)) : own;
  }

  std::vector<std::unique_ptr<Node[]>> blocks_;
  uint32_t count_ = 0;
  uint32_t root_ = kNone;
  std::deque<std::string> kept_;
};

}  // namespace xmldom

// ---- XmlNode ----

std::string XmlNode::name() const {
  if (!store_) return {};
  return xmldom::utf8ToCp1251(store_->at(index_).name);
}

bool XmlNode::hasName(std::string_view name) const {
  return store_ && std::string_view(store_->at(index_).name) == name;
}

std::optional<XmlNode> XmlNode::findChild(std::string_view name) const {
  if (!store_) return std::nullopt;
  for (uint32_t c = store_->at(index_).firstChild; c != xmldom::NodeStore::kNone; c = store_->at(c).nextSibling)
    if (std::string_view(store_->at(c).name) == name) return XmlNode(store_, c);
  return std::nullopt;
}

XmlNode XmlNode::requireChild(std::string_view name) const {
  std::optional<XmlNode> c = findChild(name);
  if (!c) throw EXMLDocError("Node \"" + xmldom::utf8ToCp1251(name) + "\" not found");
  return *c;
}

std::vector<XmlNode> XmlNode::childElements() const {
  std::vector<XmlNode> out;
  if (!store_) return out;
  for (uint32_t c = store_->at(index_).firstChild; c != xmldom::NodeStore::kNone; c = store_->at(c).nextSibling)
    out.emplace_back(store_, c);
  return out;
}

std::string XmlNode::text() const {
  if (!store_) return {};
  const xmldom::Node& n = store_->at(index_);
  if (n.firstChild != xmldom::NodeStore::kNone)
    throw EXMLDocError("Node \"" + name() + "\" holds child elements, not a text");
  return n.text ? xmldom::utf8ToCp1251(n.text) : std::string();
}

// ---- XmlDocument ----

XmlDocument::XmlDocument() = default;
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

namespace {

// The pieces a document's inner elements are parsed in: about this much text each.
constexpr size_t kPiece = size_t{1} << 20;
constexpr size_t kNoPos = std::string_view::npos;
constexpr unsigned kPieceOptions = pugi::parse_default | pugi::parse_embed_pcdata;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool at(const char* t, size_t n, size_t i, std::string_view p) {
  return i <= n && n - i >= p.size() && std::memcmp(t + i, p.data(), p.size()) == 0;
}

// Past the end of `close`, searched from `from`; kNoPos when it does not come.
size_t past(const char* t, size_t n, size_t from, std::string_view close) {
  const size_t pos = std::string_view(t, n).find(close, from);
  return pos == kNoPos ? kNoPos : pos + close.size();
}

// Past the comment or processing instruction at i; kNoPos when there is none there or it
// does not end.
size_t skipMisc(const char* t, size_t n, size_t i) {
  if (at(t, n, i, "<!--")) return past(t, n, i + 4, "-->");
  if (at(t, n, i, "<?")) return past(t, n, i + 2, "?>");
  return kNoPos;
}

// A start or end tag at i (a '<' that no '!' or '?' follows), its attribute values skipped
// whole.
struct Tag {
  size_t nameBegin = 0, nameEnd = 0, after = 0;
  bool end = false, empty = false;
  std::string_view name(const char* t) const { return std::string_view(t + nameBegin, nameEnd - nameBegin); }
};

bool scanTag(const char* t, size_t n, size_t i, Tag& tag) {
  tag.end = i + 1 < n && t[i + 1] == '/';
  size_t j = i + (tag.end ? 2 : 1);
  tag.nameBegin = j;
  while (j < n && !isSpace(t[j]) && t[j] != '>' && t[j] != '/' && t[j] != '<') ++j;
  tag.nameEnd = j;
  if (tag.nameEnd == tag.nameBegin) return false;
  while (j < n) {
    const char c = t[j];
    if (c == '"' || c == '\'') {
      const void* q = std::memchr(t + j + 1, c, n - j - 1);
      if (!q) return false;
      j = static_cast<size_t>(static_cast<const char*>(q) - t) + 1;
    } else if (c == '>') {
      tag.empty = !tag.end && t[j - 1] == '/';
      tag.after = j + 1;
      return true;
    } else if (c == '<') {
      return false;
    } else {
      ++j;
    }
  }
  return false;
}

// Past the element whose start tag is at i, with everything inside it; kNoPos when it
// cannot be followed without the parser.
size_t skipElement(const char* t, size_t n, size_t i) {
  size_t depth = 0;
  while (i < n) {
    const void* lt = std::memchr(t + i, '<', n - i);
    if (!lt) return kNoPos;
    i = static_cast<size_t>(static_cast<const char*>(lt) - t);
    if (at(t, n, i, "<!--") || at(t, n, i, "<?")) {
      i = skipMisc(t, n, i);
    } else if (at(t, n, i, "<![CDATA[")) {
      i = past(t, n, i + 9, "]]>");
    } else if (at(t, n, i, "<!")) {
      return kNoPos;
    } else {
      Tag tag;
      if (!scanTag(t, n, i, tag)) return kNoPos;
      i = tag.after;
      if (tag.end) {
        if (depth == 0) return kNoPos;
        if (--depth == 0) return i;
      } else if (!tag.empty) {
        ++depth;
      } else if (depth == 0) {
        return i;
      }
    }
    if (i == kNoPos) return kNoPos;
  }
  return kNoPos;
}

// Past whitespace, comments and processing instructions from i; kNoPos when one of them
// does not end.
size_t skipOther(const char* t, size_t n, size_t i) {
  while (i < n) {
    if (isSpace(t[i])) {
      ++i;
    } else if (at(t, n, i, "<!--") || at(t, n, i, "<?")) {
      i = skipMisc(t, n, i);
      if (i == kNoPos) return kNoPos;
    } else {
      break;
    }
  }
  return i;
}

}  // namespace

bool XmlDocument::loadInPieces(char* text, size_t n) {
  auto store = std::make_unique<xmldom::NodeStore>();
  constexpr uint32_t kNone = xmldom::NodeStore::kNone;
  // The outer tags on their own: the pieces do not show whether they are well-formed.
  std::string outerTags;
  size_t i = skipOther(text, n, 0);
  Tag root;
  if (i == kNoPos || i + 1 >= n || text[i] != '<' || text[i + 1] == '!' || !scanTag(text, n, i, root) || root.end ||
      root.empty)
    return false;
  outerTags.append(text + i, root.after - i);
  uint32_t lastRoot = kNone;
  const uint32_t rootIndex = store->add(store->keep(std::string(root.name(text))), "", kNone, lastRoot);
  i = root.after;
  uint32_t lastOuter = kNone;
  pugi::xml_document piece;
  for (;;) {
    i = skipOther(text, n, i);
    Tag tag;
    if (i == kNoPos || i + 1 >= n || text[i] != '<' || text[i + 1] == '!' || !scanTag(text, n, i, tag)) return false;
    outerTags.append(text + i, tag.after - i);
    if (tag.end) {
      if (tag.name(text) != root.name(text)) return false;
      i = tag.after;
      break;
    }
    const uint32_t outer = store->add(store->keep(std::string(tag.name(text))), "", rootIndex, lastOuter);
    i = tag.after;
    if (tag.empty) continue;
    // The elements inside an outer one, parsed a piece at a time and taken over.
    uint32_t lastInner = kNone;
    size_t pieceBegin = kNoPos, pieceEnd = kNoPos;
    auto flush = [&]() -> bool {
      if (pieceBegin == kNoPos) return true;
      if (!piece.load_buffer_inplace(text + pieceBegin, pieceEnd - pieceBegin, kPieceOptions | pugi::parse_fragment,
                                     pugi::encoding_utf8))
        return false;
      for (pugi::xml_node c = piece.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element)
          store->addTree(c, outer, lastInner);
        else if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata)
          return false;
      }
      piece.reset();
      pieceBegin = kNoPos;
      return true;
    };
    for (;;) {
      i = skipOther(text, n, i);
      if (i == kNoPos || i + 1 >= n || text[i] != '<' || text[i + 1] == '!') return false;
      if (text[i + 1] == '/') {
        Tag close;
        if (!scanTag(text, n, i, close) || close.name(text) != tag.name(text) || !flush()) return false;
        outerTags.append(text + i, close.after - i);
        i = close.after;
        break;
      }
      const size_t after = skipElement(text, n, i);
      if (after == kNoPos) return false;
      if (pieceBegin == kNoPos) pieceBegin = i;
      pieceEnd = i = after;
      if (pieceEnd - pieceBegin >= kPiece && !flush()) return false;
    }
  }
  if (skipOther(text, n, i) != n) return false;
  pugi::xml_document outerDoc;
  if (!outerDoc.load_buffer(outerTags.data(), outerTags.size(), pugi::parse_default, pugi::encoding_utf8))
    return false;
  nodes_ = std::move(store);
  return true;
}

void XmlDocument::load(std::string bytes, const std::string& sourceName, const std::function<std::string()>& pristine) {
  loaded_ = false;
  nodes_.reset();
  converted_.reset();
  bytes_.clear();
  bytes_.shrink_to_fit();
  fileName_ = sourceName;

  // The UTF-8 text: the bytes themselves, or their conversion, after which the bytes go.
  char* text = nullptr;
  size_t size = 0;
  auto takeText = [&](std::string given) {
    std::string convertFrom;
    std::string_view part = utf8Part(given, convertFrom);
    if (convertFrom.empty()) {
      const size_t skip = static_cast<size_t>(part.data() - given.data());
      bytes_ = std::move(given);
      text = bytes_.data() + skip;
      size = bytes_.size() - skip;
    } else {
      converted_ = convertToUtf8(part, convertFrom, sourceName, size);
      text = converted_.get();
      std::string().swap(given);
    }
  };
  takeText(std::move(bytes));
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
  if (loadInPieces(text, size)) {
    loaded_ = true;
    return;
  }
  // The pieces parsed so far have written into the text: the whole document is parsed
  // from the bytes as given.
  converted_.reset();
  std::string().swap(bytes_);
  takeText(pristine());
  pugi::xml_document doc;
  pugi::xml_parse_result r = doc.load_buffer_inplace(text, size, kPieceOptions, pugi::encoding_utf8);
  if (!r) {
    doc.reset();
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
  for (pugi::xml_node c = doc.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) ++roots;
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata)
      throw EDOMParseError("XML file \"" + sourceName + "\": text outside the document element");
  }
  if (roots != 1)
    throw EDOMParseError("XML file \"" + sourceName + "\": " +
                         (roots == 0 ? std::string("no document element") : std::string("more than one top-level element")));
  nodes_ = std::make_unique<xmldom::NodeStore>();
  uint32_t last = xmldom::NodeStore::kNone;
  nodes_->addTree(doc.document_element(), xmldom::NodeStore::kNone, last);
  loaded_ = true;
}

XmlNode XmlDocument::documentElement() const {
  if (!loaded_) throw EXMLDocError("No XML document is loaded");
  return XmlNode(nodes_.get(), nodes_->root());
}

}  // namespace tasks
