#pragma once
// Small helpers shared by the source files of the main window (Scheduler_FM*.cpp); not
// part of the window's interface.
#include <QFileInfo>
#include <QLineEdit>

#include <string>

#include "app/ShellText.h"
#include "platform/strutil.h"

namespace shell::fm {

inline const char* const kSmpFiles[4] = {"PATIENT.xml", "PATIENT_CONST_PARAMS.xml", "SMP_CALLS.bin", "INTERVAL.xml"};

inline std::string Caption() { return W("Сообщение"); }

inline std::string Text(const QLineEdit* e) { return S(e->text()); }
inline std::string Trimmed(const QLineEdit* e) { return platform::Trim(S(e->text())); }
// Mask edits are compared and passed with their blanks, as shown.
inline std::string MaskText(const QLineEdit* e) { return S(e->displayText()); }

inline bool FileExists(const std::string& cp1251) { return !cp1251.empty() && QFileInfo(Q(cp1251)).isFile(); }
inline bool FolderExists(const std::string& cp1251) { return !cp1251.empty() && QFileInfo(Q(cp1251)).isDir(); }

}  // namespace shell::fm
