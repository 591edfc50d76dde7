// XML register import: the peak resident size of reading a register and walking its
// records, over the size of the file, for a register in CP1251 (converted to UTF-8 before
// parsing) and one in UTF-8 (parsed where it was read), each written with indentation and
// without (one line, no whitespace between elements: far more elements per byte).
//
// Each load runs in a child process made for it, so that neither the making of the files
// nor an earlier load blurs the figure. Counters: file_MB, peak_growth_MB (how far the
// child's resident size rises above what it was before the load) and peak_per_file.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/PeakMemory.h"
#include "tasks/XmlDom.h"
#include "xmlimport_fixture.h"

namespace {

constexpr int kCases = 200000;

std::string g_dir;
// CP1251 indented, UTF-8 indented, CP1251 on one line, UTF-8 on one line.
std::string g_files[4];
const char* const kLabels[4] = {"CP1251", "UTF-8", "CP1251, no indentation", "UTF-8, no indentation"};

// The same register without the whitespace between elements.
std::string Unindented(const std::string& xml) {
  std::string out;
  out.reserve(xml.size());
  for (size_t i = 0; i < xml.size();) {
    if (xml[i] == '>') {
      size_t j = i + 1;
      while (j < xml.size() && (xml[j] == ' ' || xml[j] == '\n')) ++j;
      out += '>';
      if (j < xml.size() && xml[j] != '<') out.append(xml, i + 1, j - i - 1);
      i = j;
    } else {
      out += xml[i++];
    }
  }
  return out;
}

xmltest::XmlRegister MakeRegister() {
  xmltest::XmlRegister reg;
  reg.withComments = false;
  reg.cases.reserve(kCases);
  const char* names[][3] = {{"Иванов", "Иван", "Иванович"}, {"Щёкина", "Ольга", "Петровна"}, {"Ли", "Анна", ""}};
  for (int i = 0; i < kCases; ++i) {
    xmltest::XmlCase c;
    c.npolis = std::to_string(6800000000000000LL + i);
    c.snils = std::to_string(10000000000LL + i);
    c.fam = names[i % 3][0];
    c.im = names[i % 3][1];
    c.ot = names[i % 3][2];
    c.date1 = "2026-11-05";
    c.diagnoses = {{"J06.9", "1"}, {"I10", "0"}};
    reg.cases.push_back(std::move(c));
  }
  return reg;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The registers are written by a child process, so that the memory used to make them
// does not stay in this process.
void MakeFiles() {
  if (!g_dir.empty()) return;
  g_dir = (std::filesystem::temp_directory_path() / ("kesta_xmlreg_bench_" + std::to_string(::getpid()))).string();
  std::filesystem::create_directories(g_dir);
  for (int i = 0; i < 4; ++i) g_files[i] = g_dir + "/register_" + std::to_string(i) + ".xml";
  pid_t pid = ::fork();
  if (pid == 0) {
    const xmltest::XmlRegister reg = MakeRegister();
    WriteFile(g_files[0], reg.toCp1251Xml());
    WriteFile(g_files[1], reg.toUtf8Xml(true));
    WriteFile(g_files[2], Unindented(reg.toCp1251Xml()));
    WriteFile(g_files[3], Unindented(reg.toUtf8Xml(true)));
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::atexit([] { std::filesystem::remove_all(g_dir); });
}

// Loads the register and reads every record's names, as the import does; the texts read
// are counted so that the walk is not left out.
size_t LoadAndWalk(const std::string& file) {
  tasks::XmlDocument doc;
  doc.loadFromFile(file);
  const std::vector<tasks::XmlNode> body = doc.documentElement().childElements().at(1).childElements();
  size_t bytes = 0;
  for (size_t i = 6; i < body.size(); ++i) {
    const tasks::XmlNode pers = body[i].requireChild("PACIENT").requireChild("PERS");
    bytes += pers.requireChild("FAM").text().size() + pers.requireChild("IM").text().size();
  }
  return bytes;
}

void BM_XmlRegisterLoadPeakOverFile(benchmark::State& state) {
  MakeFiles();
  const std::string& file = g_files[state.range(0)];
  long growth = -1;
  for (auto _ : state) {
    growth = testsupport::ChildPeakRssGrowthKb([&] { benchmark::DoNotOptimize(LoadAndWalk(file)); });
    if (growth < 0) state.SkipWithError("the load failed");
  }
  const double fileMB = static_cast<double>(std::filesystem::file_size(file)) / (1024.0 * 1024.0);
  state.SetLabel(kLabels[state.range(0)]);
  state.counters["file_MB"] = fileMB;
  state.counters["peak_growth_MB"] = static_cast<double>(growth) / 1024.0;
  state.counters["peak_per_file"] = static_cast<double>(growth) / 1024.0 / fileMB;
}
BENCHMARK(BM_XmlRegisterLoadPeakOverFile)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
