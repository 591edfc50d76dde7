// The second workstation of the server merge test: merges one branch archive into a centre
// database through a server, in a process of its own, as the run-now action does (result
// text empty on success).
//
//   tasks_merge_child <attach name> <SYSDBA password> <archive path> [nowait]
//
// With "nowait" the connection does not wait for locks.
//
// When the merge is about to commit it writes the line "committing" to its standard output
// and waits for a line on its standard input. At the end it writes "result:" and the
// result text in hexadecimal, and exits 0 (2 on wrong arguments).
#include <cstdio>
#include <iostream>
#include <string>

#include "platform/dates.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/Task_FilialMerge.h"

namespace {

void HoldBeforeCommit() {
  std::cout << "committing" << std::endl;
  std::string line;
  std::getline(std::cin, line);
}

std::string Hex(const std::string& s) {
  static const char* const kDigits = "0123456789abcdef";
  std::string r;
  for (unsigned char c : s) {
    r += kDigits[c >> 4];
    r += kDigits[c & 15];
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && !(argc == 5 && std::string(argv[4]) == "nowait")) return 2;
  const std::string archive = argv[3];
  TdmScheduler dm(tasks::FilialFolderOf(archive));
  dm.SQLConnection.Params.setValue("DataBase", argv[1]);
  dm.SQLConnection.Params.setValue("User_Name", "SYSDBA");
  dm.SQLConnection.Params.setValue("Password", argv[2]);
  dm.SQLConnection.Params.setValue("ServerCharSet", "win1251");
  if (argc == 5) dm.SQLConnection.Params.setValue("WaitOnLocks", "False");
  dm.SQLConnection.open();
  dm.FixedToday = platform::EncodeDate(2026, 12, 10);
  tasks::FilialMergeCommitHook = HoldBeforeCommit;
  std::string result;
  dm.DealingFilialDB(false, {archive}, true, result);
  std::cout << "result:" << Hex(result) << std::endl;
  dm.SQLConnection.close();
  return 0;
}
