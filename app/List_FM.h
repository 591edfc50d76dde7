#pragma once
// TListFM: the run-protocol window. Shows the lines of the run protocol and saves them
// to a text file of the operator's choice.
#include <QDialog>
#include <QListWidget>
#include <QPushButton>

#include <string>
#include <vector>

#include "app/ShellSeams.h"

class TListFM : public QDialog {
  Q_OBJECT

public:
  TListFM(shell::IPrompt& prompt, std::string exePath, const std::vector<std::string>& lines,
          QWidget* parent = nullptr);

  // The lines shown (CP1251).
  std::vector<std::string> lines() const;
  void btPrintClick();

  QListWidget* lxList;
  QPushButton* btPrint;

private:
  shell::IPrompt& FPrompt;
  std::string FExePath;
};
