#pragma once
// Task 9: import of an XML register of outpatient cases (patients, visits, diagnoses)
// into the clinic database.
//
// The main window's handler (sbExec / SpeedButton4, and the timed run) only delegates
// here. The import works on the data module's native connection and queries:
//   IBTran:  Qry1 (patient by SNILS), Qry2 (patient by policy), Qryw (doctor), Qry3
//            (existing visit), spGenIDP (PATIENT_GEN_ID);
//   IBTran2: QryApp (patient insert), QryUpd (visit insert), QryDis (diagnosis insert);
//   SQL connection, committed at once: spIDVisit (VISIT_GEN_ID), spIDDiseases
//            (DISEASES_GEN_ID).
// What an earlier import or task left open in either native transaction is committed
// before the first record. Both native transactions are committed after each record. When a record fails, both
// are rolled back before the error leaves the import, so no half-written record stays;
// earlier records stay committed. Every parameter is NULL at the start of a record.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/dates.h"
#include "platform/exception.h"

class ITaskUi;
class TdmScheduler;

namespace fbdb {
class Attachment;
class Transaction;
class Query;
class StoredProc;
}  // namespace fbdb

namespace tasks {

// A record (or the document) of the register could not be imported; the message names
// the file and the record and carries the original error's class name and text.
class EXmlImportError : public platform::Exception {
public:
  using Exception::Exception;
  const char* className() const noexcept override { return "EXmlImportError"; }
};

// What the import needs of the main window beyond ITaskUi: the controls of the task's
// own page and the task list, touched when the operator started the import.
class IXmlImportWindow {
public:
  virtual ~IXmlImportWindow() = default;
  virtual void FocusFileEdit() = 0;                              // focus to edF2
  virtual void SetRefreshLabel(const std::string& text) = 0;     // lbRefrLg
  virtual void CopyTaskMessagesToProtocol() = 0;                 // every line of FTaskMessages to FProtocol
  virtual void SetTaskStatus(int item, const std::string& text) = 0;  // status of an item of lvTasks
  virtual void SetXmlLabel(const std::string& text) = 0;         // lbreXML
};

// Everything the import shows, in one interface (the window adapter below, or a test fake).
class IXmlImportUi {
public:
  virtual ~IXmlImportUi() = default;
  // Lines of the task's message list (FTaskMessages).
  virtual void addTaskMessage(const std::string& line) = 0;
  // The progress bar.
  virtual void setProgressMax(int max) = 0;
  virtual void setProgressPosition(int position) = 0;
  virtual void progressStep() = 0;
  // Pending window messages.
  virtual void processEvents() = 0;
  // A message box with the caption "Сообщение".
  virtual void messageBox(const std::string& text) = 0;

  // Window bookkeeping when the operator started the import (not in the timed run).
  virtual void focusFileEdit() = 0;                             // focus to edF2
  virtual void setRefreshLabel(const std::string& text) = 0;    // lbRefrLg
  virtual void appendTaskMessagesToProtocol() = 0;              // FTaskMessages -> FProtocol
  virtual void setTaskStatus(int item, const std::string& text) = 0;  // lvTasks item
  virtual void setXmlLabel(const std::string& text) = 0;        // lbreXML
};

// The database objects the import runs on (the data module's members).
struct XmlImportDb {
  fbdb::Attachment& IBDB;
  fbdb::Transaction& IBTran;
  fbdb::Transaction& IBTran2;
  fbdb::Query& Qry1;
  fbdb::Query& Qry2;
  fbdb::Query& Qryw;
  fbdb::Query& Qry3;
  fbdb::Query& QryApp;
  fbdb::Query& QryUpd;
  fbdb::Query& QryDis;
  fbdb::StoredProc& spGenIDP;      // PATIENT_GEN_ID on IBTran
  fbdb::StoredProc& spIDVisit;     // VISIT_GEN_ID on the SQL connection
  fbdb::StoredProc& spIDDiseases;  // DISEASES_GEN_ID on the SQL connection
};

struct XmlImportOptions {
  // "Today" for the input date, the change date and the update date; 0 = the clock.
  platform::TDateTime today = 0;
  // The native connection is renewed after this many records.
  int reconnectEvery = 500;
};

struct XmlImportResult {
  bool started = false;   // false: no file name was given by the operator
  int records = 0;        // records of the body (children beyond the first 6)
  int patients = 0;       // patients inserted
  int visits = 0;         // visits inserted
  int diagnoses = 0;      // diagnoses inserted
  int reconnects = 0;     // renewals of the native connection
};

// The data module's members that the import runs on.
XmlImportDb XmlImportDbOf(TdmScheduler& dm);

// IXmlImportUi on the shell's ITaskUi and, when given, its window. Without a window, the
// page controls are left alone and the lines this import added to the task messages are
// what reaches the protocol.
class TaskUiXmlImportUi : public IXmlImportUi {
public:
  TaskUiXmlImportUi(ITaskUi& ui, IXmlImportWindow* window) : ui_(ui), window_(window) {}
  void addTaskMessage(const std::string& line) override;
  void setProgressMax(int max) override;
  void setProgressPosition(int position) override;
  void progressStep() override;
  void processEvents() override;
  void messageBox(const std::string& text) override;
  void focusFileEdit() override;
  void setRefreshLabel(const std::string& text) override;
  void appendTaskMessagesToProtocol() override;
  void setTaskStatus(int item, const std::string& text) override;
  void setXmlLabel(const std::string& text) override;

private:
  ITaskUi& ui_;
  IXmlImportWindow* window_;
  std::vector<std::string> lines_;
};

// Task 9 as the main window's TfmMain.sbExecClick runs it: on the data module `dm`, its
// window interface dm.Ui(), and the page controls through `window` (may be null).
XmlImportResult ImportXmlRegister(TdmScheduler& dm, const std::string& fileName, int runFromScheduler,
                                  IXmlImportWindow* window = nullptr, const XmlImportOptions& options = {});

// Runs the import of `fileName` (CP1251; trimmed before use). `runFromScheduler` is the
// shell flag RunFromScheduler: 0 when the operator pressed the button. Errors that stop
// the import are raised (EXmlImportError, EDOMParseError for an unreadable file).
XmlImportResult importXmlRegister(const std::string& fileName, int runFromScheduler, IXmlImportUi& ui,
                                  const XmlImportDb& db, const XmlImportOptions& options = {});

// The statement texts, as prepared on the data module's queries.
namespace xmlsql {
extern const char* const kSelectBySnils;    // Qry1
extern const char* const kSelectByPolicy;   // Qry2
extern const char* const kInsertPatient;    // QryApp
extern const char* const kSelectDoctor;     // Qryw
extern const char* const kSelectVisit;      // Qry3
extern const char* const kInsertVisit;      // QryUpd
extern const char* const kInsertDisease;    // QryDis
}  // namespace xmlsql

}  // namespace tasks
