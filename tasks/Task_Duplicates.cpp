#include "tasks/Task_Duplicates.h"

#include <algorithm>
#include <cstdint>
#include <numeric>

#include "db/ClientDataSet.h"
#include "db/Provider.h"
#include "db/ProviderFb.h"
#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/strutil.h"
#include "tasks/TaskUi.h"

namespace tasks {

const char* const kPatientKeysSql =
    "select IDP,LAST_NAME,FIRST_NAME,MIDDLE_NAME,BIRTHDAY,POLICY_SERIA,POLICY_NUM,ID_LIC,SNILS_KOD from PATIENT";

namespace {

// The task's own texts, CP1251, converted once.
struct Texts {
  std::string headNames = platform::Utf8ToCp1251("ПОИСК ДУБЛИКАТОВ ПО ФИО");
  std::string headPolicy = platform::Utf8ToCp1251("ПОИСК ДУБЛИКАТОВ ПО ПОЛИСУ");
  std::string headSnils = platform::Utf8ToCp1251("ПОИСК ДУБЛИКАТОВ ПО СНИЛС");
  std::string noPolicy = platform::Utf8ToCp1251("Отсутствует серия и номер полиса:");
  std::string end = platform::Utf8ToCp1251("Конец задания поиска дубликатов");
  std::string cyrX = platform::Utf8ToCp1251("ХХХ");
  std::string otk = platform::Utf8ToCp1251("ОТК");
};

const Texts& texts() {
  static const Texts t;
  return t;
}

// The row before the current one, as the comparison keeps it: names upper-cased in the
// ASCII range (as they are shown), their folded forms (as they are compared), and the
// other texts as read.
struct StoredRow {
  std::string idp, last, first, middle, birthday, seria, num, snils;
  std::string lastKey, firstKey, middleKey;
};

// A birthday text in an order that sorts by date: "dd.mm.yyyy" becomes "yyyymmdd";
// any other text (the empty one included) stays as it is. Equal texts give equal keys.
std::string BirthdayKey(const std::string& b) {
  if (b.size() == 10 && b[2] == '.' && b[5] == '.') return b.substr(6, 4) + b.substr(3, 2) + b.substr(0, 2);
  return b;
}

struct NameKeys {
  std::string last, first, middle, birth;
};

class Search {
public:
  Search(const std::vector<PatientKeyRow>& rows, const DuplicateProgress& progress, std::vector<std::string>& out)
      : rows_(rows), progress_(progress), out_(out) {}

  void byNames() {
    std::vector<NameKeys> keys(rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i) {
      keys[i].last = FoldName(rows_[i].lastName);
      keys[i].first = FoldName(rows_[i].firstName);
      keys[i].middle = FoldName(rows_[i].middleName);
      keys[i].birth = BirthdayKey(rows_[i].birthday);
    }
    std::vector<uint32_t> order = sorted([&](uint32_t a, uint32_t b) {
      const NameKeys& x = keys[a];
      const NameKeys& y = keys[b];
      if (int c = x.last.compare(y.last)) return c < 0;
      if (int c = x.first.compare(y.first)) return c < 0;
      if (int c = x.middle.compare(y.middle)) return c < 0;
      return x.birth < y.birth;
    });
    begin();
    out_.push_back(texts().headNames);
    out_.push_back(" ");
    for (uint32_t i : order) {
      const PatientKeyRow& r = rows_[i];
      const NameKeys& k = keys[i];
      bool equal = k.last == stored_.lastKey && k.first == stored_.firstKey && k.middle == stored_.middleKey &&
                   r.birthday == stored_.birthday;
      if (equal && !group_) {
        out_.push_back(stored_.last + " " + stored_.first + " " + stored_.middle + " " + stored_.birthday);
        out_.push_back("   " + stored_.idp + "   " + stored_.seria + "  " + stored_.num);
        out_.push_back("   " + r.idp + "   " + r.policySeria + "  " + r.policyNum);
        group_ = true;
      } else if (equal) {
        out_.push_back("   " + r.idp + "   " + r.policySeria + "  " + r.policyNum);
      } else {
        store(r, &k);
      }
      step();
    }
  }

  void byPolicy() {
    std::vector<uint32_t> order = sorted([&](uint32_t a, uint32_t b) {
      const PatientKeyRow& x = rows_[a];
      const PatientKeyRow& y = rows_[b];
      if (int c = x.policySeria.compare(y.policySeria)) return c < 0;
      return x.policyNum < y.policyNum;
    });
    begin();
    out_.push_back(" ");
    out_.push_back(texts().headPolicy);
    out_.push_back(" ");
    for (uint32_t i : order) {
      const PatientKeyRow& r = rows_[i];
      bool equal = r.policySeria == stored_.seria && r.policyNum == stored_.num;
      if (equal && !group_) {
        if (platform::Trim(stored_.seria + stored_.num).empty())
          out_.push_back(texts().noPolicy);
        else
          out_.push_back(stored_.seria + " " + stored_.num);
        out_.push_back(storedPersonLine());
        out_.push_back("   " + r.idp + " " + r.lastName + " " + r.firstName + " " + r.middleName + " " + r.birthday);
        group_ = true;
      } else if (equal) {
        out_.push_back("   " + r.idp + " " + r.lastName + " " + r.firstName + " " + r.middleName + " " + r.birthday);
      } else {
        store(r, nullptr);
      }
      step();
    }
  }

  void bySnils() {
    std::vector<uint32_t> order =
        sorted([&](uint32_t a, uint32_t b) { return rows_[a].snils < rows_[b].snils; });
    begin();
    out_.push_back(" ");
    out_.push_back(texts().headSnils);
    out_.push_back(" ");
    for (uint32_t i : order) {
      const PatientKeyRow& r = rows_[i];
      bool equal = r.snils == stored_.snils;
      if (equal && !group_) {
        // A SNILS that stands for "none" is never a group, however many share it.
        if (!IsJunkSnils(stored_.snils)) {
          out_.push_back(stored_.snils);
          out_.push_back(storedPersonLine());
          out_.push_back(currentSnilsLine(r));
          group_ = true;
        }
      } else if (equal) {
        out_.push_back(currentSnilsLine(r));
      } else {
        store(r, nullptr);
      }
      step();
    }
  }

private:
  template <class Less>
  std::vector<uint32_t> sorted(Less less) const {
    std::vector<uint32_t> order(rows_.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), less);
    return order;
  }

  void begin() {
    if (progress_.start) progress_.start(static_cast<int>(rows_.size()));
    stored_ = StoredRow();
    group_ = false;
  }

  void step() {
    if (progress_.step) progress_.step();
  }

  void store(const PatientKeyRow& r, const NameKeys* keys) {
    stored_.idp = r.idp;
    stored_.last = platform::UpperCase(r.lastName);
    stored_.first = platform::UpperCase(r.firstName);
    stored_.middle = platform::UpperCase(r.middleName);
    stored_.birthday = r.birthday;
    stored_.seria = r.policySeria;
    stored_.num = r.policyNum;
    stored_.snils = r.snils;
    if (keys) {
      stored_.lastKey = keys->last;
      stored_.firstKey = keys->first;
      stored_.middleKey = keys->middle;
    } else {
      stored_.lastKey = FoldName(r.lastName);
      stored_.firstKey = FoldName(r.firstName);
      stored_.middleKey = FoldName(r.middleName);
    }
    group_ = false;
  }

  std::string storedPersonLine() const {
    return "   " + stored_.idp + " " + stored_.last + " " + stored_.first + " " + stored_.middle + " " +
           stored_.birthday;
  }

  static std::string currentSnilsLine(const PatientKeyRow& r) {
    return "   " + r.idp + "  " + r.lastName + "  " + r.firstName + " " + r.middleName + "  " + r.birthday;
  }

  const std::vector<PatientKeyRow>& rows_;
  const DuplicateProgress& progress_;
  std::vector<std::string>& out_;
  StoredRow stored_;
  bool group_ = false;
};

}  // namespace

std::string FoldName(const std::string& name) { return platform::AnsiUpperCase(name); }

bool IsJunkSnils(const std::string& snils) {
  auto startsWith = [&](std::string_view p) { return snils.compare(0, p.size(), p) == 0; };
  return startsWith("   ") || startsWith("XXX") || startsWith(texts().cyrX) || startsWith(texts().otk) ||
         platform::Trim(snils).empty();
}

std::vector<std::string> FindDuplicateLines(const std::vector<PatientKeyRow>& rows, bool byFio, bool byPolicy,
                                            bool bySnils, const DuplicateProgress& progress) {
  std::vector<std::string> out;
  Search search(rows, progress, out);
  if (byFio) search.byNames();
  if (byPolicy) search.byPolicy();
  if (bySnils) search.bySnils();
  out.push_back(" ");
  out.push_back(texts().end);
  out.push_back(" ");
  return out;
}

void ReadPatientKeys(const PatientKeyChain& chain) {
  chain.Qry1.close();
  chain.Qry1.setSql(kPatientKeysSql);
  cds::TFbQuerySource source(chain.Qry1);
  chain.dsp1.SetSource(&source);
  chain.cds1.SetProvider(&chain.dsp1);
  const bool startedHere = !chain.IBTran.active();
  try {
    chain.cds1.Close();
    chain.cds1.Open();
  } catch (...) {
    chain.dsp1.SetSource(nullptr);
    if (startedHere && chain.IBTran.active()) {
      try {
        chain.IBTran.rollback();
      } catch (...) {
      }
    }
    throw;
  }
  chain.dsp1.SetSource(nullptr);
  // The rows are in memory: a snapshot started only for this read must not live on, or
  // the next read of the resident program would see the same old register.
  if (startedHere) chain.IBTran.commit();
}

std::vector<PatientKeyRow> PatientKeyRows(cds::TClientDataSet& cds1) {
  cds1.SetIndexName("");
  cds::TField& idp = cds1.FieldByName("IDP");
  cds::TField& last = cds1.FieldByName("LAST_NAME");
  cds::TField& first = cds1.FieldByName("FIRST_NAME");
  cds::TField& middle = cds1.FieldByName("MIDDLE_NAME");
  cds::TField& birthday = cds1.FieldByName("BIRTHDAY");
  cds::TField& seria = cds1.FieldByName("POLICY_SERIA");
  cds::TField& num = cds1.FieldByName("POLICY_NUM");
  cds::TField& idLic = cds1.FieldByName("ID_LIC");
  cds::TField& snils = cds1.FieldByName("SNILS_KOD");
  std::vector<PatientKeyRow> rows;
  rows.reserve(static_cast<size_t>(cds1.RecordCount()));
  for (cds1.First(); !cds1.Eof(); cds1.Next()) {
    PatientKeyRow r;
    r.idp = idp.AsString();
    r.lastName = last.AsString();
    r.firstName = first.AsString();
    r.middleName = middle.AsString();
    r.birthday = birthday.AsString();
    r.policySeria = seria.AsString();
    r.policyNum = num.AsString();
    r.idLic = idLic.AsString();
    r.snils = snils.AsString();
    rows.push_back(std::move(r));
  }
  cds1.First();
  return rows;
}

bool SearchDuplicates(const PatientKeyChain& chain, ITaskUi& ui, bool ByFIO, bool ByPolicy, bool BySNILS) {
  ReadPatientKeys(chain);
  std::vector<PatientKeyRow> rows = PatientKeyRows(chain.cds1);
  DuplicateProgress progress;
  progress.start = [&ui](int max) {
    ui.SetProgressMax(max);
    ui.SetProgressPosition(0);
  };
  progress.step = [&ui] { ui.StepProgress(); };
  for (const std::string& line : FindDuplicateLines(rows, ByFIO, ByPolicy, BySNILS, progress))
    ui.AddTaskMessage(line);
  return true;
}

}  // namespace tasks
