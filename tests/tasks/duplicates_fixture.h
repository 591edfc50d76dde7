#pragma once
// A data module connected to a fresh embedded clinic database, with the client datasets
// and providers of the patient read and of the visit read, for the duplicate search and
// the disease-record correction.
#include <gtest/gtest.h>
#include <ibase.h>

#include <memory>
#include <string>

#include "db/ClientDataSet.h"
#include "db/Provider.h"
#include "db/fbdb.h"
#include "platform/codepage.h"
#include "support/FakeTaskUi.h"
#include "support/TestDatabase.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/Task_DiseaseCases.h"
#include "tasks/Task_Duplicates.h"

namespace duptest {

// Ends the embedded engine's threads before the process exits, so that none of them runs
// while the sanitizer build's leak check walks the threads.
class EngineShutdown : public ::testing::Environment {
public:
  void TearDown() override { fb_shutdown(0, fb_shutrsn_app_stopped); }
};
inline const auto* const kEngineShutdown = ::testing::AddGlobalTestEnvironment(new EngineShutdown);

inline std::string W(const char* utf8) { return platform::Utf8ToCp1251(utf8); }

class ModuleFixture : public ::testing::Test {
protected:
  void SetUp() override {
    db_ = std::make_unique<testsupport::TestDatabase>();
    dm_ = std::make_unique<TdmScheduler>(db_->dir());
    dm_->SetUi(&ui_);
    db_->connect(dm_->IBDB);
    db_->fillParams(dm_->SQLConnection.Params);
    dm_->SQLConnection.open();
  }
  void TearDown() override {
    dm_.reset();
    db_.reset();
  }

  tasks::PatientKeyChain chain() { return {dm_->IBTran, dm_->Qry1, dsp1_, cds1_}; }
  tasks::DiseaseCasesDb diseaseDb() {
    return {chain(), dm_->sdsVis, dspVis_, cdsVis_, dm_->sdsDis, dm_->sdsTemp};
  }

  // Statements in UTF-8, run on an attachment of their own and committed.
  void exec(const char* utf8) { db_->exec(W(utf8)); }
  void exec(const std::string& utf8) { db_->exec(platform::Utf8ToCp1251(utf8)); }

  void patient(int idp) { exec("insert into PATIENT (IDP, LAST_NAME) values (" + std::to_string(idp) + ", 'P')"); }
  // A visit with a result (RESULT not null) unless told otherwise.
  void visit(int idv, int idp, const std::string& date, bool withResult = true) {
    exec("insert into VISITS (IDV, PATIENT_ID, DATE_VISIT, RESULT) values (" + std::to_string(idv) + ", " +
         std::to_string(idp) + ", '" + date + "', " + (withResult ? "1" : "null") + ")");
  }
  void disease(int idd, int idv, int idp, const std::string& mkb, int caseKod) {
    exec("insert into DISEASES (IDD, VISIT_ID, PATIENT_ID, MKB_KOD, CASE_KOD) values (" + std::to_string(idd) +
         ", " + std::to_string(idv) + ", " + std::to_string(idp) + ", '" + mkb + "', " + std::to_string(caseKod) +
         ")");
  }
  int caseOf(int idd) {
    std::string s = db_->scalar("select CASE_KOD from DISEASES where IDD = " + std::to_string(idd));
    return s.empty() ? -100 : std::stoi(s);
  }

  std::unique_ptr<testsupport::TestDatabase> db_;
  testsupport::FakeTaskUi ui_;
  std::unique_ptr<TdmScheduler> dm_;
  cds::TDataSetProvider dsp1_{"dsp1", static_cast<cds::IDataSource*>(nullptr)};
  cds::TClientDataSet cds1_;
  cds::TDataSetProvider dspVis_{"dspVis", static_cast<cds::IDataSource*>(nullptr)};
  cds::TClientDataSet cdsVis_;
};

}  // namespace duptest
