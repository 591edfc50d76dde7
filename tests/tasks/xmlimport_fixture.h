#pragma once
// XML register fixtures (the builder of tools/XmlRegister.h) and a recording fake of the
// import's window.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tasks/XmlImport.h"
#include "tools/XmlRegister.h"

namespace xmltest {

using demodata::Opt;
using demodata::registerFileName;
using demodata::XmlCase;
using demodata::XmlRegister;

// Writes bytes to a file in a temporary folder of the test process; returns its CP1251 name.
std::string writeTempFile(const std::string& baseName, const std::string& bytes);

// Records everything the import shows.
class FakeXmlUi : public tasks::IXmlImportUi {
public:
  std::vector<std::string> messages;     // CP1251
  std::vector<std::string> protocol;
  std::vector<std::string> boxes;
  std::vector<int> progressMax;
  std::vector<int> progressPosition;
  int steps = 0;
  int events = 0;
  int focus = 0;
  std::string refreshLabel, xmlLabel, status;
  int statusItem = -1;

  void addTaskMessage(const std::string& line) override { messages.push_back(line); }
  void setProgressMax(int max) override { progressMax.push_back(max); }
  void setProgressPosition(int position) override { progressPosition.push_back(position); }
  void progressStep() override { ++steps; }
  void processEvents() override { ++events; }
  void messageBox(const std::string& text) override { boxes.push_back(text); }
  void focusFileEdit() override { ++focus; }
  void setRefreshLabel(const std::string& text) override { refreshLabel = text; }
  void appendTaskMessagesToProtocol() override { protocol.insert(protocol.end(), messages.begin(), messages.end()); }
  void setTaskStatus(int item, const std::string& text) override {
    statusItem = item;
    status = text;
  }
  void setXmlLabel(const std::string& text) override { xmlLabel = text; }
};

}  // namespace xmltest
