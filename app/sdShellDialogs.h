#pragma once
// TsdBrowseDialog: a dialog component that lets the user pick a folder. Path is the
// initial selection on entry and the chosen folder on return (CP1251).
#include <QFileDialog>
#include <QObject>
#include <QPointer>

#include <string>

enum class TsdBrowseOption : unsigned {
  sdboRestrictedRoot = 1u << 0,
  sdboBrowseNetWork = 1u << 1,
  sdboBrowsePrinter = 1u << 2,
  sdboBrowseFiles = 1u << 3,
  sdboBrowseURLs = 1u << 4,
  sdboDontGoBelowDomain = 1u << 5,
  sdboEditBox = 1u << 6,
  sdboReturnAncestors = 1u << 7,
  sdboReturnOnlyFileSysDirs = 1u << 8,
  sdboReturnOnlyResolvedPaths = 1u << 9,
  sdboStatusText = 1u << 10,
  sdboUseNewUI = 1u << 11,
  sdboValidate = 1u << 12,
  sdboIncludeBackSlash = 1u << 13,
};

class TsdBrowseDialog : public QObject {
  Q_OBJECT

public:
  explicit TsdBrowseDialog(QWidget* owner = nullptr);

  unsigned Options = 0;
  std::string Caption;
  std::string Path;
  // Qt's own dialog in place of the desktop's (tests need it).
  bool UseQtDialog = false;

  bool has(TsdBrowseOption o) const { return (Options & static_cast<unsigned>(o)) != 0; }
  void include(TsdBrowseOption o) { Options |= static_cast<unsigned>(o); }

  // True when the user chose a folder; Path then holds it.
  bool Execute();
  // The dialog while Execute runs, else null.
  QFileDialog* dialog() const { return FDialog; }

signals:
  void OnInitialized();
  void OnSelectedChanged();
  void OnValidateFailed();

private:
  QWidget* FOwner;
  QPointer<QFileDialog> FDialog;
};
