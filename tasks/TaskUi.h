#pragma once
// What the task bodies need of the main window, so that they run without it: the
// per-task message list, the run protocol, the progress bar, the "not found" check
// box, the message pump, message boxes and the wait cursor. The shell implements it;
// tests use a fake. All texts are CP1251.
#include <string>

class ITaskUi {
public:
  virtual ~ITaskUi() = default;

  // The per-task message list (FTaskMessages of the main window).
  virtual void AddTaskMessage(const std::string& line) = 0;
  virtual void ClearTaskMessages() = 0;
  // The run protocol (FProtocol of the main window).
  virtual void AddProtocolLine(const std::string& line) = 0;

  // The progress bar (ProgBar): maximum, position, one step forward.
  virtual void SetProgressMax(int max) = 0;
  virtual void SetProgressPosition(int position) = 0;
  virtual void StepProgress() = 0;

  // The state of the check box cbNotFound (list the persons not found).
  virtual bool NotFoundChecked() const = 0;

  // Processes pending window messages.
  virtual void ProcessMessages() = 0;
  // A message box with an OK button; the caption of the program's message boxes is
  // "Сообщение" (CP1251).
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
  // The hourglass (true) or the default cursor (false).
  virtual void SetBusyCursor(bool busy) = 0;
};

// Does nothing; answers false. Used when no window is attached.
class TNullTaskUi : public ITaskUi {
public:
  void AddTaskMessage(const std::string&) override {}
  void ClearTaskMessages() override {}
  void AddProtocolLine(const std::string&) override {}
  void SetProgressMax(int) override {}
  void SetProgressPosition(int) override {}
  void StepProgress() override {}
  bool NotFoundChecked() const override { return false; }
  void ProcessMessages() override {}
  void ShowMessage(const std::string&, const std::string&) override {}
  void SetBusyCursor(bool) override {}
};
