#include "dbf_fixture.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <stdexcept>

#include "db/fbdb.h"
#include "platform/codepage.h"

namespace dbftest {

namespace {

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      static const char* hex = "0123456789abcdef";
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

}  // namespace

void WriteDbf(const std::string& path, const std::string& fields, const std::vector<Record>& records,
              const std::vector<int>& deleted, const std::string& codepage) {
  std::string json = "{\"path\": " + JsonText(path) + ", \"fields\": " + JsonText(fields) + ", \"records\": [";
  for (size_t i = 0; i < records.size(); ++i) {
    json += i ? ",\n[" : "\n[";
    for (size_t j = 0; j < records[i].size(); ++j) {
      if (j) json += ", ";
      json += records[i][j] ? JsonText(*records[i][j]) : std::string("null");
    }
    json += "]";
  }
  json += "], \"deleted\": [";
  for (size_t i = 0; i < deleted.size(); ++i) json += (i ? ", " : "") + std::to_string(deleted[i]);
  json += "], \"codepage\": " + JsonText(codepage) + "}";
  const std::string descPath = path + ".json";
  testsupport::WriteFile(descPath, json);
  const char* src = std::getenv("KESTA_SOURCE_DIR");
  if (!src) throw std::runtime_error("KESTA_SOURCE_DIR is not set");
  const std::string cmd =
      "/usr/bin/python3 '" + std::string(src) + "/tests/tasks/dbf_writer.py' '" + descPath + "'";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("the DBF writer failed: " + cmd);
}

const std::vector<Damage>& Damages() {
  static const std::vector<Damage> d = {Damage::NoTerminator, Damage::LastRecordCut, Damage::CountBeyondFile};
  return d;
}

void DamageDbf(const std::string& path, Damage d) {
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (bytes.size() < 32) throw std::runtime_error("not a table: " + path);
  auto le = [&](size_t at, int n) {
    size_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  const size_t count = le(4, 4), headerLen = le(8, 2), recordLen = le(10, 2);
  switch (d) {
    case Damage::NoTerminator: {
      size_t at = 32;
      while (at < headerLen && bytes[at] != '\r') at += 32;
      if (at >= headerLen) throw std::runtime_error("no terminator in " + path);
      bytes[at] = ' ';
      break;
    }
    case Damage::LastRecordCut:
      bytes.resize(headerLen + recordLen * (count - 1) + recordLen / 2);
      break;
    case Damage::CountBeyondFile:
      for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<char>((count + 1000) >> (8 * i));
      break;
  }
  testsupport::WriteFile(path, bytes);
}

std::string DamagedLine(const std::string& path, Damage d, int records) {
  const std::string n = std::to_string(records);
  std::string what;
  switch (d) {
    case Damage::NoTerminator:
      what = "в заголовке нет конца списка полей, записей в заголовке - " + n;
      break;
    case Damage::LastRecordCut:
      what = "записей в заголовке - " + n + ", в файле - " + std::to_string(records - 1);
      break;
    case Damage::CountBeyondFile:
      what = "записей в заголовке - " + std::to_string(records + 1000) + ", в файле - " + n;
      break;
  }
  return "EDamagedTable: " + C("Файл \"") + path + C("\" поврежден: " + what);
}

std::string C(const char* utf8) { return platform::Utf8ToCp1251(utf8); }
std::string C(const std::string& utf8) { return platform::Utf8ToCp1251(utf8); }

std::vector<std::string> PopulationProtocol(int unchanged, int replaced, int added) {
  return {C("АКТУАЛИЗАЦИЯ ПРИКРЕПЛЕННОГО НАСЕЛЕНИЯ"),
          " ",
          C("Записей без изменений - ") + std::to_string(unchanged),
          C("Замена записи - ") + std::to_string(replaced),
          C("Добавлено новых записей - ") + std::to_string(added),
          " ",
          C("Актуализации прикрепленного населения завершена"),
          " "};
}

DbfTaskFixture::DbfTaskFixture() : dm(tdb.dir()), today(platform::EncodeDate(2026, 12, 10)) {
  tdb.connect(dm.IBDB);
  tdb.fillParams(dm.SQLConnection.Params);
  dm.SQLConnection.open();
  dm.SetUi(&ui);
  dm.FixedToday = today;
}

DbfTaskFixture::~DbfTaskFixture() {
  dm.SetUi(nullptr);
  try {
    dm.hdsDBF.Close();
    dm.IBDB.disconnect();
    dm.SQLConnection.close();
  } catch (...) {
  }
}

std::vector<std::string> DbfTaskFixture::row(const std::string& sql) const {
  fbdb::Attachment a;
  tdb.connect(a);
  fbdb::Transaction t(a);
  fbdb::Query q(t);
  q.setSql(sql);
  q.open();
  std::vector<std::string> r;
  if (!q.eof())
    for (size_t i = 0; i < q.fieldCount(); ++i) r.push_back(q.field(i).isNull() ? "<null>" : q.field(i).asString());
  q.close();
  t.commit();
  a.disconnect();
  return r;
}

std::vector<std::string> DbfTaskFixture::column(const std::string& sql) const {
  fbdb::Attachment a;
  tdb.connect(a);
  fbdb::Transaction t(a);
  fbdb::Query q(t);
  q.setSql(sql);
  std::vector<std::string> r;
  for (q.open(); !q.eof(); q.next()) r.push_back(q.field(0).isNull() ? "<null>" : q.field(0).asString());
  q.close();
  t.commit();
  a.disconnect();
  return r;
}

std::string DbfTaskFixture::one(const std::string& sql) const {
  std::vector<std::string> r = row(sql);
  return r.empty() ? std::string("<no row>") : r[0];
}

}  // namespace dbftest
