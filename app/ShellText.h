#pragma once
// Pure rules of the shell, kept apart from the widgets so that they can be tested alone:
// text conversion at the widgets, the run-time rule of the timer, the fund-site address,
// the backup names, the delimited text of task results, the Latin input of ICD codes,
// the enabling of the actions and the protocol text file.
#include <QDateTime>
#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace shell {

// CP1251 <-> widget text.
QString Q(std::string_view cp1251);
std::string S(const QString& text);
// A UTF-8 literal of this source as the program's CP1251 text.
std::string W(std::string_view utf8);
// A message text as shown on screen: each "\r" breaks a line.
QString DisplayText(std::string_view cp1251);

// Base addresses of the update server and of the insurance fund's server.
inline constexpr const char* kUpdateServer = "http://update.kesta.local";
inline constexpr const char* kFundServer = "http://tfoms.kesta.local";
std::string DefaultUpdateUrl();

// The timer rule: the run starts at the first tick at or after hh:mm:00 of today's date,
// provided the previous tick (or the arming) came before that moment.
bool RunDue(const QDateTime& previousTick, const QDateTime& thisTick, int hour, int minute);

// The fund-site address rule. codeText is the text of edLPU; padded receives the code
// with "0" in front up to 4 characters (empty when the trimmed text is empty).
std::string FundAddress(std::string_view codeText, std::string& padded);

// "BackupStart_" / "BackupEnd_" + ddMMyyyy + ".gbk".
std::string BackupName(bool start, const QDate& date);

// The date and time in front of dated protocol lines: "dd.MM.yyyy" and "HH:mm:ss".
std::string ShortDate(const QDateTime& t);
std::string LongTime(const QDateTime& t);

// Delimited text with the platform's relaxed rules: leading blanks and control
// characters skipped; an item starting with the quote runs to the next single quote (a
// doubled quote is one); an unquoted item ends at the delimiter or at any character
// not above a blank; a delimiter that is the last character adds an empty item.
std::vector<std::string> ParseDelimited(std::string_view text, char delimiter, char quote);

// The folder part of a path with its trailing '/', or "" when there is none.
std::string ExtractFilePath(std::string_view path);
// Path with one trailing '/' when it is not empty.
std::string WithTrailingSlash(std::string_view path);

// ICD codes are typed in Latin letters: the Latin letter on the same key as a Cyrillic
// letter of the Russian layout, upper case kept; 0 when c is no such letter.
char16_t LatinForCyrillicKey(char16_t c);

// Lines written as the platform's text files: CP1251 bytes as they stand, CRLF after
// each line. Raises platform::EOSError when the file cannot be written.
void SaveLines(const std::string& fileNameCp1251, const std::vector<std::string>& lines);

// The enabling rule of the actions, by the page showing.
struct ActionState {
  int page = 0;
  bool kestaAddressSet = false;  // trimmed txtKestaAdress not empty
  bool httpSet = false;          // trimmed edHTTP
  bool userSet = false;          // trimmed edUser
  bool passSet = false;          // trimmed edPass
  bool ibConnected = false;
  bool filialFolderExists = false;
  bool smpFileSet = false;  // ledSMPFileName not empty
  bool timerOn = false;
  bool running = false;  // a timed run or a run-now task is in progress
};
struct ActionFlags {
  // Unset: the action keeps its state.
  std::optional<bool> UpdateRen, acRefreshFromFOMS, acLoadRefreshFromFOMS, acRefreshFilials,
      acStartDealingFilialDB, acDelFilialFile, acSMPImport;
  bool acTimerTurnON = true;
  bool acTimerTurnOFF = false;
};
ActionFlags ComputeActions(const ActionState& s);

}  // namespace shell
