// Task 10: the drug directory load from a DBF file.
#include "tasks/Task_Drugs.h"

#include <exception>

#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/dates.h"
#include "platform/strutil.h"
#include "tasks/DbfTaskSupport.h"
#include "tasks/Scheduler_DM.h"

namespace tasks::drugs {

namespace {

struct Texts {
  std::string heading = platform::Utf8ToCp1251("Загрузка справочника ЛС");
  std::string truth = platform::Utf8ToCp1251("ИСТИНА");
};

const Texts& texts() {
  static const Texts t;
  return t;
}

}  // namespace

std::optional<std::string> DateText(std::string_view fieldText) {
  if (fieldText == "30.12.1899" || platform::Trim(fieldText).empty()) return std::nullopt;
  return std::string(fieldText);
}

int FlagBk(std::string_view kateg) { return kateg == texts().truth ? 1 : 0; }

std::string GeneratorStatement(int count) { return "SET GENERATOR GEN_DRUGS_ID TO " + platform::IntToStr(count); }

}  // namespace tasks::drugs

namespace {

const char* const kInsertDrug =
    "insert into DRUGS (ID_DRUGS,DISPLAY_NAME,KOD_MINISTRY,DRUG_GROUPS_KOD,IS_PRIVILEGE,REF_PRICE,MNN_NAME_RUSSIAN,"
    "MNN_NAME_LATIN,DOSE_NAME_RUSSIAN,DOSE_NAME_LATIN,LF_L,LF_R,TRADE_NAME_LATIN,FIRM_COUNTRY_NAME,DATE_END,C_MNN,"
    "C_FARG,DATE_B,COMMENT,C_LF,C_TRN,KATEG,FLAG_BK) VALUES(:PID_DRUGS,:PDISPLAY_NAME,:PKOD_MINISTRY,"
    ":PDRUG_GROUPS_KOD,:PIS_PRIVILEGE,:PREF_PRICE,:PMNN_NAME_RUSSIAN,:PMNN_NAME_LATIN,:PDOSE_NAME_RUSSIAN,"
    ":PDOSE_NAME_LATIN,:PLF_L,:PLF_R,:PTRADE_NAME_LATIN,:PFIRM_COUNTRY_NAME,:PDATE_END,:PC_MNN,:PC_FARG,:PDATE_B,"
    ":PCOMMENT,:PC_LF,:PC_TRN,:PKATEG,:PFLAG_BK)";

// A date column from a date field's text: NULL for no date, a date value when the text
// reads as one, else the text for the server to judge.
void setDate(fbdb::Param& p, const std::string& fieldText) {
  std::optional<std::string> t = tasks::drugs::DateText(fieldText);
  platform::TDateTime d;
  if (!t)
    p.setNull();
  else if (platform::TryStrToDate(*t, d))
    p.setDate(d);
  else
    p.setString(*t);
}

}  // namespace

bool TdmScheduler::LoadDrugs(const std::string& FileName) {
  namespace dr = tasks::drugs;
  ITaskUi& ui = Ui();
  bool result = false;
  int count = 0;
  try {
    // What an earlier task left in IBTran2 is not this task's to undo.
    IBTran2.commit();
    tasks::dbftask::OpenDbf(hdsDBF, FileName);
    ui.AddTaskMessage(dr::texts().heading);
    ui.AddTaskMessage(" ");
    ui.SetProgressMax(hdsDBF.RecordCount());
    ui.SetProgressPosition(0);

    {
      fbdb::Query del(IBTran2);
      del.setSql("DELETE FROM DRUGS");
      del.execSQL();
    }
    QryApp.close();
    QryApp.setSql(kInsertDrug);
    QryApp.prepare();

    auto text = [this](std::string_view name) { return hdsDBF.FieldByName(name).AsString(); };
    auto integer = [this](std::string_view name) { return hdsDBF.FieldByName(name).AsInteger(); };
    fbdb::Query& q = QryApp;
    auto p = [&q](std::string_view name) -> fbdb::Param& { return q.param(name); };
    while (!hdsDBF.Eof()) {
      ++count;
      q.clearParams();
      p("PID_DRUGS").setInteger(count);
      p("PDISPLAY_NAME").setString(text("NAME_MED"));
      p("PKOD_MINISTRY").setInteger(integer("NOMK_LS"));
      p("PDRUG_GROUPS_KOD").setInteger(integer("C_RLP"));
      p("PIS_PRIVILEGE").setInteger(integer("TYPE_LGT"));
      p("PREF_PRICE").setDouble(hdsDBF.FieldByName("PRICE").AsFloat());
      p("PMNN_NAME_RUSSIAN").setString(text("MNN_NAME_R"));
      p("PMNN_NAME_LATIN").setString(text("MNN_NAME_L"));
      p("PDOSE_NAME_RUSSIAN").setString(text("D_R"));
      p("PDOSE_NAME_LATIN").setString(text("D_L"));
      p("PLF_L").setString(text("N_LF_L"));
      p("PLF_R").setString(text("N_LF_R"));
      p("PTRADE_NAME_LATIN").setString(text("NAME_TRN"));
      p("PFIRM_COUNTRY_NAME").setString(text("NAME_FCT"));
      setDate(p("PDATE_END"), text("DATE_E"));
      p("PC_MNN").setInteger(integer("C_MNN"));
      p("PC_FARG").setInteger(integer("C_FARG"));
      setDate(p("PDATE_B"), text("DATE_B"));
      p("PCOMMENT").setString(text("MSG_TEXT"));
      p("PC_LF").setInteger(integer("C_LF"));
      p("PC_TRN").setInteger(integer("C_TRN"));
      const std::string kateg = text("KATEG");
      p("PKATEG").setString(kateg);
      p("PFLAG_BK").setInteger(dr::FlagBk(kateg));
      q.execSQL();
      ui.StepProgress();
      ui.ProcessMessages();
      hdsDBF.Next();
    }
    q.close();
    IBTran2.commit();
    result = true;
    sdsTemp.close();
    sdsTemp.setSql(dr::GeneratorStatement(count));
    sdsTemp.execSQL();
    sdsTemp.close();
  } catch (const std::exception& e) {
    ui.AddTaskMessage(tasks::dbftask::FailureLine(e));
    // The old directory stays whole.
    for (fbdb::Transaction* t : {&IBTran2, &IBTran}) {
      try {
        t->rollback();
      } catch (...) {
      }
    }
    try {
      sdsTemp.close();
    } catch (...) {
    }
  }
  hdsDBF.Close();
  return result;
}
