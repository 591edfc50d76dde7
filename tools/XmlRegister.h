#pragma once
// XML registers of patients (PACIENT) and cases (SLUCH) as the register import reads them,
// built from plain values: the demo folder's register and the tests' fixtures. Texts given
// to the builder are UTF-8; the register is written in UTF-8 or windows-1251.
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace demodata {

using Opt = std::optional<std::string>;

// One record of the body. A field set to nullopt leaves its element out.
struct XmlCase {
  bool withPacient = true;
  bool withSluch = true;
  // PACIENT/DPFS
  Opt npolis = "6800000000000001";
  Opt spolis;
  Opt enp = "6800000000000001";
  Opt vpolis = "3";
  Opt dateN = "2020-01-15";
  bool withMtr = true;
  // PACIENT/PERS
  Opt snils;
  Opt fam = "Иванов";
  Opt im = "Иван";
  Opt ot = "Иванович";
  Opt dr = "1980-05-17";
  Opt w = "1";
  Opt doctype;
  Opt docser;
  Opt docnum;
  Opt mr = "г. Тамбов";
  Opt okatog = "69401000000";
  // PACIENT/PACIENT_TO/CLS_PAC
  bool withClsPac = true;
  Opt sprSoc = "1";
  Opt sprLgt = "0";
  Opt sprInvld = "0";
  // SLUCH/SL_COM and SLUCH/SL_AMB
  Opt kodvr = "101";
  Opt date1 = "2026-11-05";
  Opt rslt = "301";
  Opt spec = "76";
  Opt posScel = "1";
  Opt posMest = "1";
  // CLS_MKB children of SL_COM: (MKB, MKB_TYPE); nullopt parts are left out.
  std::vector<std::pair<Opt, Opt>> diagnoses{{"J06.9", "1"}};
  // Raw XML added to SL_COM after the diagnoses (other siblings).
  std::string slComExtra;
};

struct XmlRegister {
  // H/FILENAME, nullopt to leave it out.
  Opt fileName = "A061X06891000011XX";  // registerFileName("A061", "0689", "10", "11")
  Opt smoPlat = "68001";
  // Elements of the body before the records (SMO_PLAT is one of them).
  int bodyHeadChildren = 6;
  std::vector<XmlCase> cases;
  bool withComments = true;  // comments and blank text between elements

  std::string toUtf8Xml(bool declaration = true) const;
  std::string toCp1251Xml() const;  // declared windows-1251, bytes CP1251
};

// A FILENAME with the given sender (characters 1-4), clinic code (6-9), region mark
// (10-11) and month (15-16).
std::string registerFileName(const std::string& sender, const std::string& clinic, const std::string& region,
                             const std::string& month);

}  // namespace demodata
