#pragma once
// A small read-only XML document object model for the register import.
//
// The file is read as bytes; its encoding (a byte-order mark, else the encoding of the
// XML declaration, else UTF-8) is turned into UTF-8 before parsing, so that character
// references and literal text end up in one encoding. Every text handed out is CP1251,
// with '?' for a character that CP1251 cannot hold.
//
// Only element nodes count as children: comments, processing instructions and
// whitespace between elements are not part of the child lists.
//
// The document keeps its elements in compact nodes of its own, which point into the
// parsed text. The elements below the children of the document element are parsed a
// piece (about a megabyte of text) at a time and taken over piece by piece, so that the
// parser's much larger nodes never exist for the whole document: a register takes at most
// about three times its file, with or without indentation. A document whose outer levels
// hold anything else than elements, comments and processing instructions is parsed whole.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/exception.h"

namespace tasks {

namespace xmldom {
class NodeStore;
}  // namespace xmldom

// Missing nodes, texts asked of elements with element children, bad child indexes.
class EXMLDocError : public platform::Exception {
public:
  using Exception::Exception;
  const char* className() const noexcept override { return "EXMLDocError"; }
};

// A file that cannot be read or is not well-formed XML in a known encoding.
class EDOMParseError : public platform::Exception {
public:
  using Exception::Exception;
  const char* className() const noexcept override { return "EDOMParseError"; }
};

class XmlNode {
public:
  XmlNode() = default;
  XmlNode(const xmldom::NodeStore* store, uint32_t index) : store_(store), index_(index) {}

  bool valid() const { return store_ != nullptr; }
  // Element name (CP1251).
  std::string name() const;
  // Name compare without conversion (element names of the register are ASCII).
  bool hasName(std::string_view name) const;

  // First child element of that name, or an empty optional.
  std::optional<XmlNode> findChild(std::string_view name) const;
  // First child element of that name; raises EXMLDocError "Node "X" not found".
  XmlNode requireChild(std::string_view name) const;
  // Child elements in document order.
  std::vector<XmlNode> childElements() const;

  // The element's text: its text and CDATA children joined, the empty text when it has
  // none; raises EXMLDocError when it has element children.
  std::string text() const;

private:
  const xmldom::NodeStore* store_ = nullptr;
  uint32_t index_ = 0;
};

namespace xmldom {
struct FreeText {
  void operator()(char* p) const noexcept;
};
}  // namespace xmldom

class XmlDocument {
public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Reads and parses the file (name in CP1251). Raises EDOMParseError. The document is
  // parsed in its own UTF-8 text, which it keeps: UTF-8 files are parsed where they were
  // read, other encodings in their conversion (the bytes read are dropped first).
  void loadFromFile(const std::string& fileName);
  // Parses bytes as they would be read from a file; `sourceName` names them in errors.
  void loadFromBytes(std::string bytes, const std::string& sourceName);

  // The single top-level element; raises EXMLDocError when no document is loaded.
  XmlNode documentElement() const;
  const std::string& fileName() const { return fileName_; }

private:
  // `pristine` gives the bytes again, for the position of a parse error (the parse
  // writes into the text).
  void load(std::string bytes, const std::string& sourceName, const std::function<std::string()>& pristine);
  // Parses the text piece by piece into the nodes; false (nothing kept) when its outer
  // levels hold more than elements, comments and processing instructions, or a piece
  // does not parse: the whole text is parsed then, for its nodes or its error.
  bool loadInPieces(char* text, size_t size);

  // The UTF-8 text the document points into: the bytes as given when they are UTF-8,
  // else their conversion. Declared before the document, which goes first.
  std::string bytes_;
  std::unique_ptr<char, xmldom::FreeText> converted_;
  std::unique_ptr<xmldom::NodeStore> nodes_;
  std::string fileName_;
  bool loaded_ = false;
};

// Helpers of the loader, exposed for tests.
namespace xmldom {
// The encoding named by the XML declaration at the start of the bytes ("" when there is
// no declaration or it names none).
std::string declaredEncoding(std::string_view bytes);
// Offset of the first malformed UTF-8 sequence, or npos when the bytes are valid UTF-8.
size_t findInvalidUtf8(std::string_view bytes);
// UTF-8 to CP1251 with '?' for what CP1251 cannot hold (ASCII passes without iconv).
std::string utf8ToCp1251(std::string_view s);
}  // namespace xmldom

}  // namespace tasks
