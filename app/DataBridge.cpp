#include "app/DataBridge.h"

#include "app/ShellText.h"

namespace shell {

void NotAvailable(const char* what) {
  throw ENotAvailable(W(what) + W(" недоступно в этой версии программы."));
}

struct TDataBridge::Impl {
  std::string exePath;
  std::string ibName;
  bool ibConnected = false;
};

TDataBridge::TDataBridge(std::string exePath) : d(std::make_unique<Impl>()) { d->exePath = std::move(exePath); }
TDataBridge::~TDataBridge() = default;

bool TDataBridge::OpenSQLConnection(std::string& ErrMsg, bool) {
  ErrMsg = W("ENotAvailable\rСоединение с БД недоступно в этой версии программы.");
  return false;
}
bool TDataBridge::OpenIBDatabase(std::string& ErrMsg) {
  ErrMsg = W("ENotAvailable\rСоединение с БД недоступно в этой версии программы.");
  return false;
}
void TDataBridge::BackupDatabase(const std::string&, const std::string&, std::string&) {
  NotAvailable("Резервное копирование БД");
}
bool TDataBridge::RefreshFromFOMS(const std::string&, bool) { NotAvailable("Актуализация прикрепленного населения"); }
bool TDataBridge::RefreshPrivileged(const std::string&) { NotAvailable("Актуализация льготников"); }
bool TDataBridge::LoadDrugs(const std::string&) { NotAvailable("Загрузка справочника ЛС"); }
void TDataBridge::DealingFilialDB(bool, const std::vector<std::string>&, bool, std::string&) {
  NotAvailable("Актуализация БД из филиалов");
}
bool TDataBridge::SearchDuplicates(bool, bool, bool) { NotAvailable("Поиск дубликатов"); }
bool TDataBridge::FixDiseaseCases(const std::string&, const std::string&, const std::string&, const std::string&) {
  NotAvailable("Правка учета заболеваний");
}
void TDataBridge::ImportSMPCalls(const std::string&, std::string&) { NotAvailable("Импорт вызовов СМП"); }
void TDataBridge::ImportXmlRegister(const std::string&, int) { NotAvailable("Загрузка реестра XML"); }
void TDataBridge::SetIBDatabaseName(const std::string& Name) { d->ibName = Name; }
void TDataBridge::ConnectIB() { NotAvailable("Соединение с БД"); }
bool TDataBridge::IBConnected() { return d->ibConnected; }
void TDataBridge::DisconnectIB() { d->ibConnected = false; }
bool TDataBridge::SQLConnected() { return false; }
void TDataBridge::DisconnectSQL() {}
void TDataBridge::UseDatabase(const std::string&, const std::string&) {}

int TPendingExtractor::Extract(const std::string&, const std::string&, const std::string&) {
  NotAvailable("Распаковка архивов");
}

}  // namespace shell
