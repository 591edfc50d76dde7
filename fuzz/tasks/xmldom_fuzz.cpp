// Any bytes as an XML register file: the loader and the node walk must raise or succeed,
// never crash, hang or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tasks/XmlDom.h"

namespace {

void walk(const tasks::XmlNode& n, int depth) {
  if (depth > 64) return;
  (void)n.name();
  try {
    (void)n.text();
  } catch (const tasks::EXMLDocError&) {
  }
  (void)n.findChild("FILENAME");
  for (const tasks::XmlNode& c : n.childElements()) walk(c, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tasks::XmlDocument doc;
  try {
    doc.loadFromBytes(std::string(reinterpret_cast<const char*>(data), size), "fuzz.xml");
    walk(doc.documentElement(), 0);
  } catch (const platform::Exception&) {
  }
  return 0;
}
