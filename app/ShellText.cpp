#include "app/ShellText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/strutil.h"

namespace shell {

QString Q(std::string_view cp1251) { return QString::fromStdString(platform::Cp1251ToUtf8(cp1251)); }

std::string S(const QString& text) { return platform::Utf8ToCp1251(text.toStdString()); }

std::string W(std::string_view utf8) { return platform::Utf8ToCp1251(utf8); }

QString DisplayText(std::string_view cp1251) {
  QString s = Q(cp1251);
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  s.replace(QChar('\r'), QChar('\n'));
  return s;
}

std::string DefaultUpdateUrl() { return std::string(kUpdateServer) + "/Download/upd1.exe"; }

bool RunDue(const QDateTime& previousTick, const QDateTime& thisTick, int hour, int minute) {
  if (!previousTick.isValid() || !thisTick.isValid()) return false;
  const QDateTime due(thisTick.date(), QTime(hour, minute, 0));
  return previousTick < due && due <= thisTick;
}

std::string FundAddress(std::string_view codeText, std::string& padded) {
  const std::string code = platform::Trim(codeText);
  if (code.empty()) {
    padded.clear();
    return std::string(kFundServer) + "/cgi/upload.php?fid=NP";
  }
  padded = code;
  while (padded.size() < 4) padded.insert(padded.begin(), '0');
  return std::string(kFundServer) + "/cgi/upload.php?fid=PRIK" + padded;
}

std::string BackupName(bool start, const QDate& date) {
  const QString d = date.toString(QStringLiteral("ddMMyyyy"));
  return std::string(start ? "BackupStart_" : "BackupEnd_") + d.toStdString() + ".gbk";
}

std::string ShortDate(const QDateTime& t) { return t.toString(QStringLiteral("dd.MM.yyyy")).toStdString(); }

std::string LongTime(const QDateTime& t) { return t.toString(QStringLiteral("HH:mm:ss")).toStdString(); }

std::vector<std::string> ParseDelimited(std::string_view text, char delimiter, char quote) {
  std::vector<std::string> out;
  const size_t n = text.size();
  auto low = [&](size_t i) { return static_cast<unsigned char>(text[i]) <= 0x20; };
  size_t i = 0;
  while (i < n && low(i)) ++i;
  while (i < n) {
    std::string item;
    if (text[i] == quote) {
      ++i;
      while (i < n) {
        if (text[i] == quote) {
          if (i + 1 < n && text[i + 1] == quote) {
            item += quote;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += text[i++];
      }
    } else {
      while (i < n && text[i] != delimiter && !low(i)) item += text[i++];
    }
    out.push_back(item);
    while (i < n && low(i)) ++i;
    if (i < n && text[i] == delimiter) {
      ++i;
      if (i == n) {
        out.emplace_back();
        break;
      }
      while (i < n && low(i)) ++i;
    }
  }
  return out;
}

std::string ExtractFilePath(std::string_view path) {
  const size_t p = path.rfind('/');
  if (p == std::string_view::npos) return std::string();
  return std::string(path.substr(0, p + 1));
}

std::string WithTrailingSlash(std::string_view path) {
  std::string s(path);
  if (!s.empty() && s.back() != '/') s += '/';
  return s;
}

char16_t LatinForCyrillicKey(char16_t c) {
  // Russian layout, letters in the order of the Latin keys A..Z.
  static const char16_t kKeys[26] = {u'ф', u'и', u'с', u'в', u'у', u'а', u'п', u'р', u'ш', u'о', u'л', u'д', u'ь',
                                     u'т', u'щ', u'з', u'й', u'к', u'ы', u'е', u'г', u'м', u'ц', u'ч', u'н', u'я'};
  for (int k = 0; k < 26; ++k) {
    if (c == kKeys[k]) return static_cast<char16_t>(u'a' + k);
    if (c == static_cast<char16_t>(kKeys[k] - 0x20)) return static_cast<char16_t>(u'A' + k);
  }
  return 0;
}

void SaveLines(const std::string& fileNameCp1251, const std::vector<std::string>& lines) {
  const std::string fsName = platform::ToFsPath(fileNameCp1251);
  std::FILE* f = std::fopen(fsName.c_str(), "wb");
  if (!f) {
    throw platform::EOSError(W("Не удалось создать файл ") + fileNameCp1251 + ": " + std::strerror(errno));
  }
  bool ok = true;
  for (const std::string& line : lines) {
    if (std::fwrite(line.data(), 1, line.size(), f) != line.size() || std::fwrite("\r\n", 1, 2, f) != 2) {
      ok = false;
      break;
    }
  }
  if (std::fclose(f) != 0) ok = false;
  if (!ok) throw platform::EOSError(W("Не удалось записать файл ") + fileNameCp1251);
}

ActionFlags ComputeActions(const ActionState& s) {
  ActionFlags f;
  switch (s.page) {
    case 1:
      f.UpdateRen = s.kestaAddressSet;
      break;
    case 2:
    case 3:
      if (s.page == 3) f.acRefreshFromFOMS = s.ibConnected;
      f.acLoadRefreshFromFOMS = s.httpSet && s.userSet && s.passSet && s.ibConnected;
      break;
    case 5:
      f.acRefreshFilials = s.filialFolderExists;
      f.acStartDealingFilialDB = true;
      f.acDelFilialFile = true;
      break;
    case 8:
    case 9:
      f.acSMPImport = s.smpFileSet;
      break;
    default:
      break;
  }
  f.acTimerTurnOFF = s.timerOn;
  f.acTimerTurnON = !s.timerOn && !s.running;
  return f;
}

}  // namespace shell
