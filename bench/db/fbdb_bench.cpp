// The cost of the layer: a per-record lookup, update and commit through fbdb against
// the same statements run through the Firebird object API with fixed messages.
#include <benchmark/benchmark.h>
#include <firebird/Interface.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "db/fbdb.h"

namespace {

constexpr int kPatients = 20000;

// A clinic database with kPatients patients, made once per process.
const std::string& BenchDatabase() {
  static std::string path = [] {
    std::string dir = std::filesystem::temp_directory_path().string() + "/kesta-bench-fbdb-" +
                      std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    static std::string toRemove = dir;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(toRemove, ec);
    });
    std::string p = dir + "/clinic.fdb";
    fbdb::Attachment a;
    fbdb::CreateOptions opt;
    opt.forcedWrites = false;
    fbdb::CreateClinicDatabase(a, p, opt);
    fbdb::Transaction t(a);
    fbdb::Query ins(t);
    ins.setSql("insert into PATIENT (IDP, POLICY_SERIA, POLICY_NUM) values (:ID, :S, :N)");
    for (int i = 1; i <= kPatients; ++i) {
      ins.param("ID").setInteger(i);
      ins.param("S").setString("000000");
      ins.param("N").setString(std::to_string(1000000 + i));
      ins.execSQL();
    }
    t.commit();
    a.disconnect();
    return p;
  }();
  return path;
}

void BM_LayerLookupUpdateCommit(benchmark::State& state) {
  fbdb::Attachment a;
  a.databaseName = BenchDatabase();
  a.connect();
  fbdb::Transaction t(a);
  fbdb::Query look(t), upd(t);
  look.setSql("select * from PATIENT where POLICY_SERIA=:P_POLSER and POLICY_NUM=:P_POLNUM");
  upd.setSql("update PATIENT SET UPDATE_DATE = :PUPDATE_DATE, DATEPRIK = :PDATE_PRIK where IDP = :P_IDP");
  look.prepare();
  upd.prepare();
  int i = 0;
  for (auto _ : state) {
    t.start();
    look.param("P_POLSER").setString("000000");
    look.param("P_POLNUM").setString(std::to_string(1000000 + 1 + (i++ % kPatients)));
    look.open();
    int idp = look.field("IDP").asInteger();
    look.close();
    upd.param("P_IDP").setInteger(idp);
    upd.param("PUPDATE_DATE").setDate(46000);
    upd.param("PDATE_PRIK").setString("01.02.2026");
    upd.execSQL();
    t.commit();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LayerLookupUpdateCommit);

void BM_RawLookupUpdateCommit(benchmark::State& state) {
  using namespace Firebird;
  IMaster* master = fb_get_master_interface();
  ThrowStatusWrapper st(master->getStatus());
  IProvider* prov = master->getDispatcher();
  IUtil* util = master->getUtilInterface();
  IXpbBuilder* dpb = util->getXpbBuilder(&st, IXpbBuilder::DPB, nullptr, 0);
  dpb->insertString(&st, isc_dpb_user_name, "SYSDBA");
  dpb->insertString(&st, isc_dpb_lc_ctype, "WIN1251");
  IAttachment* att = prov->attachDatabase(&st, BenchDatabase().c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st));
  dpb->dispose();
  const unsigned char tpb[] = {isc_tpb_version3, isc_tpb_concurrency, isc_tpb_write, isc_tpb_wait,
                               isc_tpb_lock_timeout, 4, 5, 0, 0, 0};
  ITransaction* tra = att->startTransaction(&st, sizeof(tpb), tpb);
  IStatement* look = att->prepare(&st, tra, 0, "select * from PATIENT where POLICY_SERIA=? and POLICY_NUM=?", 3,
                                  IStatement::PREPARE_PREFETCH_METADATA);
  IStatement* upd = att->prepare(&st, tra, 0, "update PATIENT SET UPDATE_DATE = ?, DATEPRIK = ? where IDP = ?", 3, 0);
  tra->commit(&st);
  // Fixed input messages: two VARCHAR(30); DATE, VARCHAR(10), BIGINT.
  IMessageMetadata* lin = look->getInputMetadata(&st);
  IMetadataBuilder* b = lin->getBuilder(&st);
  for (unsigned k = 0; k < 2; ++k) {
    b->setType(&st, k, SQL_VARYING);
    b->setLength(&st, k, 30);
    b->setCharSet(&st, k, 52);
  }
  IMessageMetadata* lookIn = b->getMetadata(&st);
  b->release();
  IMessageMetadata* lookOut = look->getOutputMetadata(&st);
  IMessageMetadata* uin = upd->getInputMetadata(&st);
  b = uin->getBuilder(&st);
  b->setType(&st, 0, SQL_TYPE_DATE);
  b->setLength(&st, 0, 4);
  b->setType(&st, 1, SQL_VARYING);
  b->setLength(&st, 1, 10);
  b->setCharSet(&st, 1, 52);
  b->setType(&st, 2, SQL_INT64);
  b->setLength(&st, 2, 8);
  IMessageMetadata* updIn = b->getMetadata(&st);
  b->release();
  std::vector<unsigned char> lbuf(lookIn->getMessageLength(&st)), obuf(lookOut->getMessageLength(&st)),
      ubuf(updIn->getMessageLength(&st));
  unsigned idpOff = lookOut->getOffset(&st, 0);
  auto putVar = [&](std::vector<unsigned char>& buf, IMessageMetadata* m, unsigned k, const std::string& v) {
    uint16_t l = static_cast<uint16_t>(v.size());
    std::memcpy(&buf[m->getOffset(&st, k)], &l, 2);
    std::memcpy(&buf[m->getOffset(&st, k) + 2], v.data(), l);
    std::memset(&buf[m->getNullOffset(&st, k)], 0, 2);
  };
  int i = 0;
  for (auto _ : state) {
    tra = att->startTransaction(&st, sizeof(tpb), tpb);
    putVar(lbuf, lookIn, 0, "000000");
    putVar(lbuf, lookIn, 1, std::to_string(1000000 + 1 + (i++ % kPatients)));
    IResultSet* rs = look->openCursor(&st, tra, lookIn, lbuf.data(), lookOut, 0);
    rs->fetchNext(&st, obuf.data());
    int32_t idp;
    std::memcpy(&idp, &obuf[idpOff], 4);
    rs->close(&st);
    int32_t d = 46000 + 15018;
    std::memcpy(&ubuf[updIn->getOffset(&st, 0)], &d, 4);
    std::memset(&ubuf[updIn->getNullOffset(&st, 0)], 0, 2);
    putVar(ubuf, updIn, 1, "01.02.2026");
    int64_t id64 = idp;
    std::memcpy(&ubuf[updIn->getOffset(&st, 2)], &id64, 8);
    std::memset(&ubuf[updIn->getNullOffset(&st, 2)], 0, 2);
    upd->execute(&st, tra, updIn, ubuf.data(), nullptr, nullptr);
    tra->commit(&st);
  }
  state.SetItemsProcessed(state.iterations());
  lookIn->release();
  lookOut->release();
  updIn->release();
  lin->release();
  uin->release();
  look->free(&st);
  upd->free(&st);
  att->detach(&st);
}
BENCHMARK(BM_RawLookupUpdateCommit);

}  // namespace

