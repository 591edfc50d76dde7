// The XML layer of the register import: encodings, child lists, texts and errors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>

#include "platform/codepage.h"
#include "support/PeakMemory.h"
#include "tasks/XmlDom.h"
#include "xmlimport_fixture.h"

namespace {

using tasks::EDOMParseError;
using tasks::EXMLDocError;
using tasks::XmlDocument;
using tasks::XmlNode;
using platform::Utf8ToCp1251;

// The message of the exception `f` raises as type E ("" when it raises nothing).
template <class E, class F>
std::string messageOf(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return {};
}

const char* kBodyUtf8 =
    "<R>\n"
    "  <H><FILENAME>A061</FILENAME></H>\n"
    "  <!-- a comment between the children -->\n"
    "  <B>\n"
    "    <FAM>Иванов&#1049;</FAM>\n"
    "    <?pi ignored?>\n"
    "    <IM><![CDATA[Пётр & <co>]]></IM>\n"
    "    <OT></OT>\n"
    "    <MR>a &amp; b &lt; c</MR>\n"
    "    <SNOW>x&#9731;y</SNOW>\n"
    "  </B>\n"
    "</R>\n";

void checkBody(const XmlDocument& doc) {
  XmlNode root = doc.documentElement();
  EXPECT_EQ(root.name(), "R");
  std::vector<XmlNode> kids = root.childElements();
  ASSERT_EQ(kids.size(), 2u);  // the comment and whitespace are no children
  EXPECT_EQ(kids[0].requireChild("FILENAME").text(), "A061");
  XmlNode b = kids[1];
  ASSERT_EQ(b.childElements().size(), 5u);
  EXPECT_EQ(b.requireChild("FAM").text(), Utf8ToCp1251("ИвановЙ"));
  EXPECT_EQ(b.requireChild("FAM").text(), "\xC8\xE2\xE0\xED\xEE\xE2\xC9");
  EXPECT_EQ(b.requireChild("IM").text(), Utf8ToCp1251("Пётр & <co>"));
  EXPECT_EQ(b.requireChild("OT").text(), "");
  EXPECT_EQ(b.requireChild("MR").text(), "a & b < c");
  EXPECT_EQ(b.requireChild("SNOW").text(), "x?y");  // no such character in CP1251
  EXPECT_EQ(b.childElements()[3].name(), "MR");
}

TEST(XmlDom, Utf8Declared) {
  XmlDocument doc;
  doc.loadFromBytes(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") + kBodyUtf8, "u.xml");
  checkBody(doc);
}

TEST(XmlDom, Utf8WithoutDeclarationAndWithBom) {
  XmlDocument doc;
  doc.loadFromBytes(kBodyUtf8, "plain.xml");
  checkBody(doc);
  XmlDocument bom;
  bom.loadFromBytes(std::string("\xEF\xBB\xBF") + kBodyUtf8, "bom.xml");
  checkBody(bom);
}

TEST(XmlDom, Windows1251DeclaredWithCharacterReference) {
  // The file's own bytes are CP1251, and &#1049; must come out as the CP1251 letter too.
  const std::string bytes =
      Utf8ToCp1251(std::string("<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n") + kBodyUtf8);
  ASSERT_NE(bytes.find("\xC8\xE2\xE0\xED\xEE\xE2"), std::string::npos);
  XmlDocument doc;
  doc.loadFromBytes(bytes, "w.xml");
  checkBody(doc);
  XmlDocument single;
  single.loadFromBytes(Utf8ToCp1251(std::string("<?xml version='1.0' encoding='CP1251' ?>") + kBodyUtf8), "w2.xml");
  checkBody(single);
}

TEST(XmlDom, Utf16WithBom) {
  std::string utf16 = platform::ConvertCodepage(kBodyUtf8, "UTF-8", "UTF-16LE");
  XmlDocument doc;
  doc.loadFromBytes(std::string("\xFF\xFE") + utf16, "w16.xml");
  checkBody(doc);
}

TEST(XmlDom, InvalidUtf8WithoutDeclarationIsAParseError) {
  XmlDocument doc;
  const std::string cp1251 = Utf8ToCp1251(kBodyUtf8);
  std::string msg = messageOf<EDOMParseError>([&] { doc.loadFromBytes(cp1251, "bad.xml"); });
  EXPECT_NE(msg.find("bad.xml"), std::string::npos) << msg;
  EXPECT_NE(msg.find("invalid UTF-8"), std::string::npos) << msg;
  EXPECT_NE(msg.find("line 5"), std::string::npos) << msg;
  EXPECT_THROW(doc.documentElement(), EXMLDocError);
}

TEST(XmlDom, MalformedInput) {
  const std::pair<const char*, const char*> cases[] = {
      {"this is no XML at all", "No document element"},
      {"", "No document element"},
      {"<R><H></R>", "mismatch at line 1, column 9"},
      {"<R><H></H>", ""},
      {"<R/><S/>", "more than one top-level element"},
      {"<R a=1/>", ""},
      {"<?xml version=\"1.0\" encoding=\"no-such-charset\"?><R/>", "unsupported encoding \"no-such-charset\""},
  };
  for (const auto& c : cases) {
    const char* text = c.first;
    const char* part = c.second;
    XmlDocument doc;
    std::string msg = messageOf<EDOMParseError>([&] { doc.loadFromBytes(text, "m.xml"); });
    ASSERT_FALSE(msg.empty()) << text;
    EXPECT_NE(msg.find("m.xml"), std::string::npos) << msg;
    EXPECT_NE(msg.find(part), std::string::npos) << msg;
  }
}

TEST(XmlDom, MissingChildAndTextOfAnElementWithChildren) {
  XmlDocument doc;
  doc.loadFromBytes("<R><H><X>1</X></H></R>", "t.xml");
  XmlNode h = doc.documentElement().requireChild("H");
  EXPECT_EQ(messageOf<EXMLDocError>([&] { h.requireChild("FILENAME"); }), "Node \"FILENAME\" not found");
  EXPECT_FALSE(h.findChild("FILENAME").has_value());
  EXPECT_TRUE(h.findChild("X").has_value());
  EXPECT_THROW(h.text(), EXMLDocError);
  EXPECT_EQ(h.requireChild("X").text(), "1");
  EXPECT_TRUE(h.requireChild("X").hasName("X"));
  EXPECT_FALSE(h.requireChild("X").hasName("x"));
}

TEST(XmlDom, TextKeepsInnerBlanks) {
  XmlDocument doc;
  doc.loadFromBytes("<R><A> 12 </A><B>\n</B></R>", "t.xml");
  EXPECT_EQ(doc.documentElement().requireChild("A").text(), " 12 ");
  EXPECT_EQ(doc.documentElement().requireChild("B").text(), "");
}

// The parse writes into the text it parses (references decoded, line ends joined): the
// position of an error is still counted in the text as it came, from a file or from bytes,
// in UTF-8 or converted.
TEST(XmlDom, ParseErrorPositionsCountTheTextAsItCame) {
  const std::string body = "<R>\n<A>x&#10;&#10;y\r\n&#13;</A>\n<B a=\"1\n2\"/>\n  <C></D></R>";
  const std::pair<std::string, const char*> cases[] = {
      {body, "UTF-8"},
      {"<?xml version=\"1.0\" encoding=\"windows-1251\"?>" + body, "CP1251"},
  };
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kesta_xmldom_pos_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  for (const auto& c : cases) {
    const std::string& bytes = c.first;  // a plain reference: clang 14 captures no structured binding
    SCOPED_TRACE(c.second);
    XmlDocument doc;
    const std::string fromBytes = messageOf<EDOMParseError>([&] { doc.loadFromBytes(bytes, "p.xml"); });
    EXPECT_NE(fromBytes.find("mismatch at line 6, column 8"), std::string::npos) << fromBytes;
    const std::string file = (dir / "p.xml").string();
    std::ofstream(file, std::ios::binary) << bytes;
    const std::string fromFile = messageOf<EDOMParseError>([&] { doc.loadFromFile(file); });
    EXPECT_EQ(fromFile.substr(fromFile.find(':')), fromBytes.substr(fromBytes.find(':')));
    EXPECT_THROW(doc.documentElement(), EXMLDocError);
  }
  std::filesystem::remove_all(dir);
}

TEST(XmlDom, LoadFromFile) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kesta_xmldom_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string utf8Name = (dir / "реестр.xml").string();
  {
    std::ofstream out(utf8Name, std::ios::binary);
    out << Utf8ToCp1251(std::string("<?xml version=\"1.0\" encoding=\"windows-1251\"?>") + kBodyUtf8);
  }
  XmlDocument doc;
  doc.loadFromFile(platform::FromFsPath(utf8Name));  // the program names files in CP1251
  checkBody(doc);
  std::string missing = Utf8ToCp1251((dir / "нет.xml").string());
  std::string msg = messageOf<EDOMParseError>([&] { doc.loadFromFile(missing); });
  EXPECT_EQ(msg, "Cannot open the XML file \"" + missing + "\"");
  std::filesystem::remove_all(dir);
}

TEST(XmlDom, DeclaredEncoding) {
  using tasks::xmldom::declaredEncoding;
  EXPECT_EQ(declaredEncoding("<?xml version=\"1.0\" encoding=\"windows-1251\"?><R/>"), "windows-1251");
  EXPECT_EQ(declaredEncoding("<?xml version='1.0' encoding = 'utf-8' standalone='yes'?>"), "utf-8");
  EXPECT_EQ(declaredEncoding("<?xml version=\"1.0\"?><R encoding=\"x\"/>"), "");
  EXPECT_EQ(declaredEncoding("<?xml version=\"1.0\" xencoding=\"x\"?>"), "");
  EXPECT_EQ(declaredEncoding("<R/>"), "");
  EXPECT_EQ(declaredEncoding("<?xml encoding=\"x\""), "");
  EXPECT_EQ(declaredEncoding(""), "");
}

TEST(XmlDom, Utf8Validation) {
  using tasks::xmldom::findInvalidUtf8;
  const size_t npos = std::string::npos;
  const std::pair<std::string, size_t> cases[] = {
      {"abc", npos},
      {"\xD0\x99", npos},
      {"\xE2\x98\x83", npos},
      {"\xF0\x9F\x98\x80", npos},
      {"a\xC9z", 1},              // a CP1251 letter
      {"ab\xD0", 2},              // cut sequence
      {"\xC0\xAF", 0},            // overlong
      {"\xE0\x80\xAF", 0},        // overlong
      {"\xED\xA0\x80", 0},        // surrogate
      {"\xF4\x90\x80\x80", 0},    // above U+10FFFF
      {"x\xFF", 1},
  };
  for (const auto& [s, pos] : cases) EXPECT_EQ(findInvalidUtf8(s), pos) << s;
}

// What the Python script prints for the file (UTF-8).
std::string runPython(const std::string& scriptName, const std::string& script, const std::string& file) {
  const std::string py = xmltest::writeTempFile(scriptName, script);
  const std::string cmd = "python3 '" + platform::ToFsPath(py) + "' '" + platform::ToFsPath(file) + "'";
  FILE* f = ::popen(cmd.c_str(), "r");
  if (!f) return "<popen failed>";
  std::string out;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  if (::pclose(f) != 0) return "<python failed>";
  return out;
}

// Python's XML parser as an oracle: the names of every record of generated registers, in
// both encodings, with character references and a character CP1251 lacks.
std::string pythonNames(const std::string& file) {
  const std::string script =
      "import sys, xml.etree.ElementTree as E\n"
      "b = list(E.parse(sys.argv[1]).getroot())[1]\n"
      "out = []\n"
      "for z in list(b)[6:]:\n"
      "    p = z.find('PACIENT/PERS')\n"
      "    out.append('|'.join((p.find(t).text or '') for t in ('FAM', 'IM', 'OT', 'MR')))\n"
      "sys.stdout.buffer.write('\\n'.join(out).encode('utf-8'))\n";
  return runPython("names.py", script, file);
}

std::string ourNames(const std::string& file) {
  XmlDocument doc;
  doc.loadFromFile(file);
  std::vector<XmlNode> items = doc.documentElement().childElements().at(1).childElements();
  std::string out;
  for (size_t i = 6; i < items.size(); ++i) {
    XmlNode p = items[i].requireChild("PACIENT").requireChild("PERS");
    if (i > 6) out += "\n";
    out += p.requireChild("FAM").text() + "|" + p.requireChild("IM").text() + "|" + p.requireChild("OT").text() + "|" +
           p.requireChild("MR").text();
  }
  return out;
}

TEST(XmlDom, AgreesWithPythonOnGeneratedRegisters) {
  xmltest::XmlRegister reg;
  const char* names[][4] = {
      {"Иванов", "Иван", "Иванович", "г. Тамбов, ул. Советская & Ко"},
      {"Щёкина", "Ёлка", "", "<село> \"Ключи\""},
      {"Smith", "John", "Paul", "x ☃ y"},
  };
  for (const auto& n : names) {
    xmltest::XmlCase c;
    c.fam = n[0];
    c.im = n[1];
    c.ot = n[2];
    c.mr = n[3];
    reg.cases.push_back(c);
  }
  const std::string utf8 = xmltest::writeTempFile("oracle_utf8.xml", reg.toUtf8Xml());
  std::string cp1251Bytes = reg.toCp1251Xml();
  const std::string smith = "<FAM>Smith</FAM>";
  cp1251Bytes.replace(cp1251Bytes.find(smith), smith.size(), "<FAM>&#1049;&#x0439;Smith</FAM>");
  const std::string cp1251 = xmltest::writeTempFile("oracle_1251.xml", cp1251Bytes);

  const std::string expectedUtf8 = ourNames(utf8);
  EXPECT_EQ(expectedUtf8, Utf8ToCp1251(pythonNames(utf8)));
  EXPECT_EQ(ourNames(cp1251), Utf8ToCp1251(pythonNames(cp1251)));
  EXPECT_NE(ourNames(cp1251).find("\xC9\xE9Smith|John|Paul|x ? y"), std::string::npos);
  EXPECT_NE(expectedUtf8.find(Utf8ToCp1251("Щёкина|Ёлка||<село> \"Ключи\"")), std::string::npos);
}


// Every element in document order as "depth name" lines, a leaf with "=" and its text.
std::string pythonDump(const std::string& file) {
  const std::string script =
      "import sys, xml.etree.ElementTree as E\n"
      "out = []\n"
      "def walk(e, d):\n"
      "    kids = list(e)\n"
      "    out.append('%d %s' % (d, e.tag) + ('' if kids else '=' + ''.join(e.itertext())))\n"
      "    for k in kids: walk(k, d + 1)\n"
      "walk(E.parse(sys.argv[1]).getroot(), 0)\n"
      "sys.stdout.buffer.write('\\n'.join(out).encode('utf-8'))\n";
  return platform::Utf8ToCp1251(runPython("dump.py", script, file));
}

std::string ourDump(const std::string& file) {
  XmlDocument doc;
  doc.loadFromFile(file);
  std::string out;
  std::function<void(const XmlNode&, int)> walk = [&](const XmlNode& e, int d) {
    const std::vector<XmlNode> kids = e.childElements();
    if (!out.empty()) out += "\n";
    out += std::to_string(d) + " " + e.name() + (kids.empty() ? "=" + e.text() : std::string());
    for (const XmlNode& k : kids) walk(k, d + 1);
  };
  walk(doc.documentElement(), 0);
  return out;
}

// A document of several megabytes, so that its inner elements are parsed in many pieces,
// with what can stand between and inside elements at every level: comments, processing
// instructions, CDATA sections, references, attributes whose values hold '>', '/' and
// quotes, empty elements, deep nesting, with and without whitespace between elements.
TEST(XmlDom, ALargeDocumentReadsAsPythonReadsIt) {
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- before -->\n<R a=\"1>2\" b='/'>";
  x += "<H x=\"&quot;\"><FILENAME>A061</FILENAME></H><?pi between?>\n<EMPTY/><B>";
  for (int i = 0; i < 60000; ++i) {
    const std::string n = std::to_string(i);
    if (i % 2) {
      x += "<Z id=\"" + n + "\" note='a>b/c'><P><FAM>Иванов" + n + "</FAM><IM><![CDATA[<" + n +
           "> & co]]></IM><OT/><MR>a &amp; b<!-- c -->d&#1049;</MR></P>"
           "<S><D><E><F>deep " + n + "</F></E></D></S></Z>";
    } else {
      x += "\n  <Z id=\"" + n + "\">\n    <P>\n      <FAM>Щёкина" + n + "</FAM>\n      <?pi x?>\n"
           "      <IM>Ёлка</IM>\n    </P>\n  </Z>\n  <!-- z -->";
    }
  }
  x += "</B><T>tail</T></R>\n<!-- after -->\n";
  const std::string file = xmltest::writeTempFile("large.xml", x);
  ASSERT_GT(x.size(), size_t{4} << 20);
  const std::string ours = ourDump(file);
  EXPECT_TRUE(ours == pythonDump(file));  // (several megabytes: not printed)
  EXPECT_NE(ours.find(Utf8ToCp1251("4 FAM=Иванов59999")), std::string::npos);
  // A fault deep inside it is the parser's error at its place, as for a document read whole.
  x.replace(x.rfind("<IM>"), 4, "<IM x=>");
  const std::string bad = xmltest::writeTempFile("large_bad.xml", x);
  const std::string message = messageOf<EDOMParseError>([&] {
    XmlDocument doc;
    doc.loadFromFile(bad);
  });
  EXPECT_NE(message.find("at line "), std::string::npos) << message;
  EXPECT_NE(message.find("Error parsing element attribute"), std::string::npos) << message;
}

// Peak memory of reading a register written without indentation (the most elements for
// its size) and walking its records: at most three times its file.
TEST(XmlDom, ARegisterWithoutIndentationTakesAtMostThreeTimesItsFile) {
  xmltest::XmlRegister reg;
  reg.withComments = false;
  for (int i = 0; i < 40000; ++i) {
    xmltest::XmlCase c;
    c.npolis = std::to_string(6800000000000000LL + i);
    c.snils = std::to_string(10000000000LL + i);
    c.fam = i % 2 ? "Иванов" : "Ли";
    c.im = "Анна";
    c.diagnoses = {{"J06.9", "1"}, {"I10", "0"}};
    reg.cases.push_back(std::move(c));
  }
  std::string xml = reg.toUtf8Xml(true), flat;
  for (size_t i = 0; i < xml.size(); ++i) {  // the whitespace between elements dropped
    flat += xml[i];
    if (xml[i] == '>')
      while (i + 1 < xml.size() && (xml[i + 1] == ' ' || xml[i + 1] == '\n')) ++i;
  }
  const std::string file = xmltest::writeTempFile("flat.xml", flat);
  const long growthKb = testsupport::ChildPeakRssGrowthKb([&] {
    XmlDocument doc;
    doc.loadFromFile(file);
    size_t n = 0;
    for (const XmlNode& z : doc.documentElement().childElements().at(1).childElements())
      if (z.findChild("PACIENT")) n += z.requireChild("PACIENT").requireChild("PERS").requireChild("FAM").text().size();
    if (n == 0) std::abort();
  });
  const long fileKb = static_cast<long>(flat.size() / 1024);
  RecordProperty("peak_rss_growth_kb", static_cast<int>(growthKb));
  ASSERT_GT(growthKb, 0);
  EXPECT_LE(growthKb, 3 * fileKb) << "file " << fileKb << " KB";
}

}  // namespace
