// SQL scripts: splitting into statements and creating a database from a script.
#include "db/fbdb_internal.h"
#include "platform/strutil.h"

namespace fbdb {

namespace {

// The statement without leading blanks and comments, for classifying it.
std::string CodeStart(std::string_view s) {
  size_t i = 0, n = s.size();
  for (;;) {
    while (i < n && static_cast<unsigned char>(s[i]) <= 0x20) ++i;
    if (i + 1 < n && s[i] == '-' && s[i + 1] == '-') {
      size_t j = s.find('\n', i);
      i = j == std::string_view::npos ? n : j + 1;
    } else if (i + 1 < n && s[i] == '/' && s[i + 1] == '*') {
      size_t j = s.find("*/", i + 2);
      i = j == std::string_view::npos ? n : j + 2;
    } else {
      break;
    }
  }
  return std::string(s.substr(i));
}

// Upper-cased words of the statement's start, blanks collapsed.
std::vector<std::string> FirstWords(std::string_view s, size_t count) {
  std::vector<std::string> words;
  size_t i = 0, n = s.size();
  while (words.size() < count && i < n) {
    while (i < n && static_cast<unsigned char>(s[i]) <= 0x20) ++i;
    size_t j = i;
    while (j < n && static_cast<unsigned char>(s[j]) > 0x20) ++j;
    if (j > i) words.push_back(platform::UpperCase(s.substr(i, j - i)));
    i = j;
  }
  return words;
}

}  // namespace

std::vector<std::string> SplitSqlScript(std::string_view script) {
  std::vector<std::string> out;
  std::string term = ";";
  std::string cur;
  size_t i = 0, n = script.size();
  auto emit = [&]() {
    std::string stmt = platform::Trim(cur);
    cur.clear();
    std::string code = CodeStart(stmt);
    if (code.empty()) return;
    std::vector<std::string> w = FirstWords(code, 3);
    if (w.size() >= 2 && w[0] == "SET" && w[1] == "TERM") {
      if (w.size() >= 3) term = w[2];
      else {
        // "SET TERM" followed by the new terminator without a blank is not valid; ignore.
      }
      return;
    }
    out.push_back(stmt);
  };
  while (i < n) {
    char c = script[i];
    if (c == '\'' || c == '"') {
      size_t j = i + 1;
      while (j < n) {
        if (script[j] == c) {
          if (j + 1 < n && script[j + 1] == c) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      size_t end = j < n ? j + 1 : n;
      cur.append(script.substr(i, end - i));
      i = end;
    } else if (c == '-' && i + 1 < n && script[i + 1] == '-') {
      size_t j = script.find('\n', i);
      size_t end = j == std::string_view::npos ? n : j;
      cur.append(script.substr(i, end - i));
      i = end;
    } else if (c == '/' && i + 1 < n && script[i + 1] == '*') {
      size_t j = script.find("*/", i + 2);
      size_t end = j == std::string_view::npos ? n : j + 2;
      cur.append(script.substr(i, end - i));
      i = end;
    } else if (script.compare(i, term.size(), term) == 0) {
      i += term.size();
      emit();
    } else {
      cur.push_back(c);
      ++i;
    }
  }
  emit();
  return out;
}

void ExecuteScript(Attachment& db, std::string_view script) {
  std::vector<std::string> stmts = SplitSqlScript(script);
  size_t no = 0;
  for (const std::string& s : stmts) {
    ++no;
    std::string code = CodeStart(s);
    std::vector<std::string> w = FirstWords(code, 2);
    if (w.empty()) continue;
    if (w[0] == "COMMIT" || w[0] == "CONNECT") continue;
    if (w[0] == "CREATE" && w.size() > 1 && (w[1] == "DATABASE" || w[1] == "SCHEMA")) continue;
    if (w[0] == "SET" && w.size() > 1) {
      static const char* const kClientSets[] = {"SQL", "NAMES", "AUTODDL", "AUTO", "ECHO", "LIST", "COUNT",
                                                "STATS", "PLAN", "TIME", "WARNINGS", "HEADING", "BAIL",
                                                "BLOBDISPLAY", "TERM", "WNG", "ROWCOUNT"};
      bool client = false;
      for (const char* k : kClientSets)
        if (w[1] == k) client = true;
      if (client) continue;
    }
    try {
      db.executeImmediate(s);
    } catch (const EFbError& e) {
      throw EFbError(std::string(e.what()) + "\nScript statement " + std::to_string(no) + ": " +
                         platform::Copy(code, 1, 200),
                     e.gdsCode(), e.sqlCode());
    }
  }
}

void CreateDatabaseFromScript(Attachment& db, const std::string& name, std::string_view script,
                              const CreateOptions& opt) {
  db.createDatabase(name, opt);
  ExecuteScript(db, script);
}

void CreateClinicDatabase(Attachment& db, const std::string& name, const CreateOptions& opt) {
  CreateDatabaseFromScript(db, name, ClinicSchemaScript(), opt);
}

}  // namespace fbdb
