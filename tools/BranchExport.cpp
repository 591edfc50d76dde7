#include "tools/BranchExport.h"

#include "db/DataPacket.h"
#include "db/ProviderFb.h"
#include "tools/SmpPackage.h"

namespace demodata {

const std::vector<BranchPacket>& BranchPackets() {
  static const std::vector<BranchPacket> packets = {
      {"CONST_PARAMS.xml", "PATIENT_CONST_PARAMS", "IDP"},
      {"PATIENT.xml", "PATIENT", "IDP"},
      {"VISIT.xml", "VISITS", "PATIENT_ID"},
      {"VISIT_AG.xml", "VISITS_AG", "PATIENT_ID"},
      {"VISIT_MI.xml", "VISITS_MI", "PATIENT_ID"},
      {"VISIT_PREG.xml", "VISITS_PREG", "PATIENT_ID"},
      {"VISIT_RKV.xml", "VISITS_RKV", "PATIENT_ID"},
      {"DISP.xml", "DISPENSARY", "IDP"},
      {"DISEASES.xml", "DISEASES", "PATIENT_ID"},
      {"AG_INVALID.xml", "AG_INVALID", "PATIENT_ID"},
      {"AG_HOSP.xml", "AG_HOSP", "PATIENT_ID"},
      {"AG_DRUGS.xml", "AG_DRUGS", "IDP"},
      {"AG_DIFFICULTIES.xml", "AG_DIFFICULTIES", "PATIENT_ID"},
      {"REAB_MI.xml", "REAB_MI", "PATIENT_ID"},
      {"SERVICES.xml", "SERVICES", "PATIENT_ID"},
      {"NOTICE.xml", "NOTICE", "PATIENT_ID"},
      {"ANALSELF.xml", "ANALSELF", "IDP"},
      {"PAT_RREGNANCY.xml", "PAT_RREGNANCY", "IDP"},
      {"RECEPTS.xml", "RECEPTS", "PATIENT_ID"},
      {"ACTIONS_PAT.xml", "ACTIONS_PAT", "PATIENT_ID"},
      {"HOSPLIST.xml", "HOSPITAL_LIST", "PATIENT_ID"},
      {"DD.xml", "PAT_KARTA_DD", "IDP"},
      {"MO.xml", "MEDOSM", "IDP"}};
  return packets;
}

std::string BranchArchive(fbdb::Attachment& branch, const std::string& patientFilter) {
  fbdb::Transaction tran(branch);
  tran.readOnly = true;
  std::vector<std::pair<std::string, std::string>> entries;
  for (const BranchPacket& p : BranchPackets()) {
    const std::string table = p.table;
    const std::string sql =
        table == "PATIENT" ? "SELECT * FROM PATIENT WHERE " + patientFilter
                           : "SELECT * FROM " + table + " WHERE " + p.patient + " IN (SELECT IDP FROM PATIENT WHERE " +
                                 patientFilter + ") ORDER BY 1";
    cds::TFbDataSetChain chain(tran, std::string("dsp") + p.table, sql);
    chain.ClientDataSet.Open();
    entries.emplace_back(p.file, cds::XmlPacketOf(chain.ClientDataSet));
    chain.ClientDataSet.Close();
  }
  tran.commit();
  return smp::Zip(entries);
}

}  // namespace demodata
