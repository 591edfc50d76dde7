#pragma once
// A recording stand-in for the main window in task tests.
#include <functional>
#include <string>
#include <vector>

#include "tasks/TaskUi.h"

namespace testsupport {

class FakeTaskUi : public ITaskUi {
public:
  std::vector<std::string> taskMessages;
  std::vector<std::string> protocol;
  struct Box {
    std::string text, caption;
  };
  std::vector<Box> messageBoxes;
  int progressMax = 0;
  int progressPosition = 0;
  int steps = 0;
  int processMessagesCalls = 0;
  bool busy = false;
  int busyCalls = 0;
  bool notFound = false;  // the state of cbNotFound
  // Called on every ProcessMessages, as the operator's clicks during a walk would be.
  std::function<void(FakeTaskUi&)> onProcessMessages;

  void AddTaskMessage(const std::string& line) override { taskMessages.push_back(line); }
  void ClearTaskMessages() override { taskMessages.clear(); }
  void AddProtocolLine(const std::string& line) override { protocol.push_back(line); }
  void SetProgressMax(int max) override { progressMax = max; }
  void SetProgressPosition(int position) override { progressPosition = position; }
  void StepProgress() override {
    ++steps;
    ++progressPosition;
  }
  bool NotFoundChecked() const override { return notFound; }
  void ProcessMessages() override {
    ++processMessagesCalls;
    if (onProcessMessages) onProcessMessages(*this);
  }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    messageBoxes.push_back({text, caption});
  }
  void SetBusyCursor(bool b) override {
    busy = b;
    ++busyCalls;
  }
};

}  // namespace testsupport
