#include "app/List_FM.h"

#include <QHBoxLayout>
#include <QVBoxLayout>
#include <QWidget>

#include <typeinfo>

#include "app/ShellText.h"

using namespace shell;

TListFM::TListFM(IPrompt& prompt, std::string exePath, const std::vector<std::string>& lines, QWidget* parent)
    : QDialog(parent), FPrompt(prompt), FExePath(std::move(exePath)) {
  setObjectName(QStringLiteral("ListFM"));
  setWindowTitle(QString::fromUtf8("Протокол выполнения отложенных заданий"));
  setMinimumSize(580, 220);
  resize(580, 320);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  lxList = new QListWidget(this);
  lxList->setObjectName(QStringLiteral("lxList"));
  layout->addWidget(lxList, 1);
  auto* panel = new QWidget(this);
  auto* row = new QHBoxLayout(panel);
  row->addStretch(1);
  btPrint = new QPushButton(QString::fromUtf8("Сохранить"), panel);
  btPrint->setObjectName(QStringLiteral("btPrint"));
  row->addWidget(btPrint);
  layout->addWidget(panel);
  for (const std::string& l : lines) lxList->addItem(Q(l));
  connect(btPrint, &QPushButton::clicked, this, &TListFM::btPrintClick);
}

std::vector<std::string> TListFM::lines() const {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(lxList->count()));
  for (int i = 0; i < lxList->count(); ++i) out.push_back(S(lxList->item(i)->text()));
  return out;
}

void TListFM::btPrintClick() {
  try {
    // A title of its own, as the program's other file dialogs have (not the toolkit's).
    FileDialogRequest r{"*.txt|*.txt", "txt", W("Сохранить протокол в файл..."), FExePath, W("Протокол")};
    std::string chosen;
    if (!FPrompt.saveFile(r, chosen) || chosen.empty()) return;
    SaveLines(chosen, lines());
  } catch (const std::exception& e) {
    FPrompt.messageBox(platform::ExceptionClassName(e) + "\r" + e.what(),
                       W("Сообщение"));
  }
}
