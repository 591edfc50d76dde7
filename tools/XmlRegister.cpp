#include "tools/XmlRegister.h"

#include <stdexcept>

#include "platform/codepage.h"

namespace demodata {

namespace {

std::string escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

void element(std::string& out, const char* name, const Opt& value, const char* indent) {
  if (!value) return;
  out += indent;
  out += "<";
  out += name;
  out += ">";
  out += escape(*value);
  out += "</";
  out += name;
  out += ">\n";
}

std::string caseXml(const XmlCase& c, bool comments) {
  std::string s = "    <ZAP>\n";
  if (comments) s += "      <!-- record -->\n";
  if (c.withPacient) {
    s += "      <PACIENT>\n        <DPFS>\n";
    element(s, "NPOLIS", c.npolis, "          ");
    element(s, "SPOLIS", c.spolis, "          ");
    element(s, "ENP", c.enp, "          ");
    if (c.withMtr) {
      s += "          <MTR>\n";
      element(s, "VPOLIS", c.vpolis, "            ");
      element(s, "DATE_N", c.dateN, "            ");
      s += "          </MTR>\n";
    }
    s += "        </DPFS>\n        <PERS>\n";
    element(s, "SNILS", c.snils, "          ");
    element(s, "FAM", c.fam, "          ");
    element(s, "IM", c.im, "          ");
    element(s, "OT", c.ot, "          ");
    element(s, "DR", c.dr, "          ");
    element(s, "W", c.w, "          ");
    element(s, "DOCTYPE", c.doctype, "          ");
    element(s, "DOCSER", c.docser, "          ");
    element(s, "DOCNUM", c.docnum, "          ");
    element(s, "MR", c.mr, "          ");
    element(s, "OKATOG", c.okatog, "          ");
    s += "        </PERS>\n";
    if (c.withClsPac) {
      s += "        <PACIENT_TO>\n          <CLS_PAC>\n";
      element(s, "SPR_SOC", c.sprSoc, "            ");
      element(s, "SPR_LGT", c.sprLgt, "            ");
      element(s, "SPR_INVLD", c.sprInvld, "            ");
      s += "          </CLS_PAC>\n        </PACIENT_TO>\n";
    }
    s += "      </PACIENT>\n";
  }
  if (c.withSluch) {
    s += "      <SLUCH>\n        <SL_COM>\n";
    element(s, "KODVR", c.kodvr, "          ");
    element(s, "DATE_1", c.date1, "          ");
    element(s, "RSLT", c.rslt, "          ");
    for (const auto& [mkb, type] : c.diagnoses) {
      s += "          <CLS_MKB>\n";
      element(s, "MKB", mkb, "            ");
      element(s, "MKB_TYPE", type, "            ");
      s += "          </CLS_MKB>\n";
      if (comments) s += "          <!-- diagnosis -->\n";
    }
    s += c.slComExtra;
    s += "        </SL_COM>\n        <SL_AMB>\n";
    element(s, "SPEC", c.spec, "          ");
    element(s, "POS_SCEL", c.posScel, "          ");
    element(s, "POS_MEST", c.posMest, "          ");
    s += "        </SL_AMB>\n      </SLUCH>\n";
  }
  s += "    </ZAP>\n";
  return s;
}

}  // namespace

std::string XmlRegister::toUtf8Xml(bool declaration) const {
  std::string s;
  if (declaration) s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  s += "<REGISTER>\n";
  if (withComments) s += "  <!-- header -->\n";
  s += "  <HEADER>\n    <VERSION>1.0</VERSION>\n";
  element(s, "FILENAME", fileName, "    ");
  s += "  </HEADER>\n  <BODY>\n";
  // Head elements of the body; SMO_PLAT is the second of them.
  const char* headNames[] = {"CODE", "SMO_PLAT", "YEAR", "MONTH", "NSCHET", "DSCHET"};
  for (int i = 0; i < bodyHeadChildren; ++i) {
    const char* n = i < 6 ? headNames[i] : "EXTRA";
    if (std::string(n) == "SMO_PLAT") {
      if (smoPlat) {
        element(s, n, smoPlat, "    ");
      } else {
        element(s, "PLAT", std::string("0"), "    ");
      }
    } else {
      element(s, n, std::to_string(i + 1), "    ");
    }
    if (withComments && i == 2) s += "    <!-- between head elements -->\n";
  }
  for (const XmlCase& c : cases) s += caseXml(c, withComments);
  s += "  </BODY>\n</REGISTER>\n";
  return s;
}

std::string XmlRegister::toCp1251Xml() const {
  std::string utf8 = toUtf8Xml(false);
  return "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n" + platform::Utf8ToCp1251(utf8);
}

std::string registerFileName(const std::string& sender, const std::string& clinic, const std::string& region,
                             const std::string& month) {
  if (sender.size() != 4 || clinic.size() != 4 || region.size() != 2 || month.size() != 2)
    throw std::invalid_argument("registerFileName: wrong part length");
  return sender + "X" + clinic + region + "000" + month + "XX";
}

}  // namespace demodata
