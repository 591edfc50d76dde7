// The window's controls, the branch list, the task list, the ICD input, the choosers,
// the protocol window and the folder dialog.
#include <QFileDialog>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <vector>

#include "app/List_FM.h"
#include "app/SetSetting.h"
#include "app/ShellPrompt.h"
#include "app/sdShellDialogs.h"
#include "shell_fakes.h"
#include "tasks/Scheduler_DM.h"

using namespace testshell;
using shell::Q;
using shell::S;

namespace {

TEST(Window, ControlsCaptionsAndPages) {
  Shell sh(true, "");
  sh.create();
  TfmMain& w = *sh.w;
  EXPECT_EQ(w.size(), QSize(655, 540));
  EXPECT_EQ(S(w.windowTitle()), C("ВИРЕЛ: менеджер отложенных заданий. Версия от 23.01.2017"));
  for (const char* name :
       {"edDB", "sbDBPath", "lvTasks", "Label1", "DTime", "pnlTime", "ProgBar", "Button4", "bTimerTurnOFF", "cmdSetCn",
        "tbShowProtocol", "bStop", "pgcTasks", "edBackup", "sbOpenB", "tbBackup1", "lbBack", "Button3", "sbExec",
        "txtKestaAdress", "chkStartRen", "edLPU", "lbLPUName", "edUser", "edPass", "edHTTP", "edSaveAs", "sbtSaveAs",
        "lbLoad", "edFileDBF", "sbOpenDBF", "cbAdr", "lbRefr", "edFileL", "sbOpenL", "cbNotFound", "lbRefrLg",
        "ledFilialDBPath", "sbFilialDBPath", "lbFilials", "cbKodPat", "cbFIO", "cbPolice", "cbSNILS", "lDubl", "edMKB1",
        "edMKB2", "edDop", "edYear", "lZab", "ledSMPFileName", "sbLoadSMPFile", "edF2", "sbOpen2", "SpeedButton4",
        "lbreXML", "edFileLS", "sbOpenLS", "lbLoadLS", "edBackup2", "sbOpenB2", "tbBackup2", "lbBack2", "tmTasks",
        "acRefreshFromFOMS", "acLoadRefreshFromFOMS", "acRefreshFilials", "acStartDealingFilialDB", "acDelFilialFile",
        "acTimerTurnON", "acTimerTurnOFF", "acShowProtocol", "acStop", "acDubl", "acRefreshL", "acZabol", "acLoadLS",
        "UpdateRen", "acSMPImport"}) {
    EXPECT_NE(w.findChild<QObject*>(QString::fromLatin1(name)), nullptr) << name;
  }
  ASSERT_EQ(w.pgcTasks->count(), 13);
  EXPECT_EQ(w.pgcTasks->tabPosition(), QTabWidget::South);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(w.pgcTasks->tabText(i), QString::number(i));
  EXPECT_EQ(w.pgcTasks->tabText(12), QStringLiteral("12-tovi"));
  EXPECT_EQ(w.pgcTasks->widget(7)->objectName(), QStringLiteral("tsZab"));
  ASSERT_EQ(w.lvTasks->topLevelItemCount(), 12);
  EXPECT_EQ(S(w.lvTasks->topLevelItem(9)->text(0)), C("Загрузка данных из реестра  XML(ТОВИ)"));
  EXPECT_EQ(w.lvTasks->columnWidth(0), 400);
  EXPECT_EQ(w.lvTasks->columnWidth(1), 200);
  EXPECT_TRUE(w.cbKodPat->isChecked());
  EXPECT_FALSE(w.cbNotFound->isChecked());
  EXPECT_FALSE(w.timerOn());
  EXPECT_EQ(w.tmTasks->interval(), 1000);
  EXPECT_EQ(S(w.bStop->text()), C("ТОВИ"));
  EXPECT_EQ(S(w.Button4->text()), C("Включить таймер"));
  for (QLabel* l : {w.lbBack, w.lbLoad, w.lbRefr, w.lbRefrLg, w.lDubl, w.lZab, w.lbreXML, w.lbLoadLS, w.lbBack2}) {
    EXPECT_TRUE(l->isHidden()) << l->objectName().toStdString();
  }
  w.acStopExecute();
  EXPECT_EQ(w.pgcTasks->currentWidget(), w.tsTovi);
}

// The part of a grab under a widget of the window.
QImage Under(const QImage& shot, const QWidget& window, const QWidget& child) {
  return shot.copy(QRect(child.mapTo(&window, QPoint(0, 0)), child.size()));
}

// The number of distinct colours of an image (stops counting at 'enough').
int Colours(const QImage& img, int enough = 3) {
  std::vector<QRgb> seen;
  for (int y = 0; y < img.height(); ++y) {
    for (int x = 0; x < img.width(); ++x) {
      const QRgb c = img.pixel(x, y);
      if (std::find(seen.begin(), seen.end(), c) == seen.end()) seen.push_back(c);
      if (static_cast<int>(seen.size()) >= enough) return enough;
    }
  }
  return static_cast<int>(seen.size());
}

TEST(Window, Screenshot) {
  Shell sh(true, "[STAT_MAIN]\r\nDatabase=/srv/db/clinic.fdb\r\n",
           C("[MY_HOSPITAL]\r\nNAME_HOSPITAL=Поликлиника №1\r\nKOD_HOSPITAL=7\r\n"));
  sh.create();
  sh.w->show();
  sh.only({0, 3, 11});
  sh.w->setStatus(0, C("Выполнение завершено"));
  sh.w->pgcTasks->setCurrentIndex(2);
  QCoreApplication::processEvents();
  TfmMain& w = *sh.w;
  const QString out = qEnvironmentVariable("KESTA_SCREENSHOT");
  const QPixmap shot = w.grab();
  ASSERT_EQ(shot.size(), QSize(655, 540));
  const QImage img = shot.toImage();
  // Every main control is drawn: its frame, text or items make more than one colour.
  for (QWidget* c : std::initializer_list<QWidget*>{w.edDB, w.sbDBPath, w.lvTasks, w.DTime, w.ProgBar, w.Button4,
                                                     w.bTimerTurnOFF, w.cmdSetCn, w.tbShowProtocol, w.bStop,
                                                     w.pgcTasks}) {
    ASSERT_FALSE(c->size().isEmpty()) << c->objectName().toStdString();
    EXPECT_GE(Colours(Under(img, w, *c)), 2) << c->objectName().toStdString();
  }
  // The clock panel is hidden while the timer is off: nothing black is drawn there.
  const QImage idleClock = Under(img, w, *w.pnlTime);
  EXPECT_NE(idleClock.pixel(1, 1), qRgb(0, 0, 0));

  // Each task page shows its own controls.
  std::vector<QImage> pages;
  for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}) {
    w.pgcTasks->setCurrentIndex(i);
    QCoreApplication::processEvents();
    const QPixmap page = w.pgcTasks->grab();
    if (!out.isEmpty()) {
      EXPECT_TRUE(page.save(out + QStringLiteral(".page%1.png").arg(i)));
    }
    pages.push_back(page.toImage());
  }
  for (size_t i = 0; i < pages.size(); ++i) {
    for (size_t j = i + 1; j < pages.size(); ++j) {
      // Pages 0 and 11 are both backup pages but differ in their captions.
      EXPECT_NE(pages[i], pages[j]) << "pages " << i << " and " << j;
    }
  }
  if (!out.isEmpty()) {
    EXPECT_TRUE(shot.save(out));
  }

  // Armed: the clock panel shows the time in yellow on black.
  sh.only({1, 7});
  w.acTimerTurnONExecute();
  ASSERT_TRUE(w.timerOn());
  QCoreApplication::processEvents();
  const QImage armed = w.grab().toImage();
  const QImage clock = Under(armed, w, *w.pnlTime);
  EXPECT_EQ(clock.pixel(1, 1), qRgb(0, 0, 0));
  EXPECT_EQ(clock.pixel(clock.width() - 2, clock.height() - 2), qRgb(0, 0, 0));
  int yellow = 0, other = 0;
  for (int y = 0; y < clock.height(); ++y) {
    for (int x = 0; x < clock.width(); ++x) {
      const QColor c = clock.pixelColor(x, y);
      if (c.red() > 200 && c.green() > 200 && c.blue() < 80) {
        ++yellow;
      } else if (c.blue() > 80 || std::abs(c.red() - c.green()) > 80) {
        ++other;  // neither black, yellow, nor a shade between them
      }
    }
  }
  EXPECT_GT(yellow, 20);  // the digits of "HH:mm:ss"
  EXPECT_EQ(other, 0);
  EXPECT_FALSE(w.pgcTasks->isEnabled());
  w.acTimerTurnOFFExecute();
}

TEST(BranchList, SortedZipFilesAndDeletion) {
  Shell sh(true, "");
  sh.create();
  TfmMain& w = *sh.w;
  const std::string b = sh.dir.path + "branches";
  std::filesystem::create_directory(b);
  for (const char* f : {"c.Zip", "B.ZIP", "a.zip", "d.zipx", "e.txt"}) sh.dir.write(std::string("branches/") + f, "");
  w.ledFilialDBPath->setText(Q(b + "/"));  // a typed trailing '/' gives no "//"
  w.acRefreshFilialsExecute();
  ASSERT_EQ(w.lbFilials->count(), 3);
  EXPECT_EQ(S(w.lbFilials->item(0)->text()), b + "/a.zip");
  EXPECT_EQ(S(w.lbFilials->item(1)->text()), b + "/B.ZIP");
  EXPECT_EQ(S(w.lbFilials->item(2)->text()), b + "/c.Zip");
  EXPECT_EQ(w.lbFilials->currentRow(), 0);
  w.lbFilials->setCurrentRow(2);
  w.acDelFilialFileExecute();  // the last: the new last is selected
  EXPECT_EQ(w.lbFilials->count(), 2);
  EXPECT_EQ(w.lbFilials->currentRow(), 1);
  w.lbFilials->setCurrentRow(0);
  w.acDelFilialFileExecute();
  EXPECT_EQ(S(w.lbFilials->item(0)->text()), b + "/B.ZIP");
  EXPECT_EQ(w.lbFilials->currentRow(), 0);
  w.acDelFilialFileExecute();
  w.acDelFilialFileExecute();  // empty list: nothing
  EXPECT_EQ(w.lbFilials->count(), 0);
  EXPECT_TRUE(std::filesystem::exists(b + "/a.zip"));  // files stay
  // The folder chooser fills the edit and the list.
  sh.prompt.folderOk = true;
  sh.prompt.folder = b;
  w.ledFilialDBPath->clear();
  w.sbFilialDBPathClick();
  EXPECT_EQ(S(w.ledFilialDBPath->text()), b);
  EXPECT_EQ(w.lbFilials->count(), 3);
  std::filesystem::create_directory(b + "/empty");
  w.ledFilialDBPath->setText(Q(b + "/empty"));
  w.acRefreshFilialsExecute();
  EXPECT_EQ(w.lbFilials->count(), 0);
}

TEST(TaskList, SelectionShowsThePageAndDoubleClickToggles) {
  Shell sh(true, "");
  sh.create();
  TfmMain& w = *sh.w;
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  w.lvTasks->setCurrentItem(w.lvTasks->topLevelItem(5));
  EXPECT_EQ(w.pgcTasks->currentIndex(), 5);
  // A check mark set on another item selects only that one and shows its page.
  w.lvTasks->topLevelItem(8)->setCheckState(0, Qt::Checked);
  EXPECT_EQ(w.lvTasks->currentItem(), w.lvTasks->topLevelItem(8));
  EXPECT_EQ(w.lvTasks->selectedItems().size(), 1);
  EXPECT_EQ(w.pgcTasks->currentIndex(), 8);
  // Double click on the caption of item 2 toggles it; on empty space nothing.
  const QRect r = w.lvTasks->visualItemRect(w.lvTasks->topLevelItem(2));
  const QPoint p(r.center().x() + 100, r.center().y());
  QTest::mouseClick(w.lvTasks->viewport(), Qt::LeftButton, {}, p);
  QTest::mouseDClick(w.lvTasks->viewport(), Qt::LeftButton, {}, p);
  EXPECT_EQ(w.lvTasks->topLevelItem(2)->checkState(0), Qt::Checked);
  QTest::mouseClick(w.lvTasks->viewport(), Qt::LeftButton, {}, p);
  QTest::mouseDClick(w.lvTasks->viewport(), Qt::LeftButton, {}, p);
  EXPECT_EQ(w.lvTasks->topLevelItem(2)->checkState(0), Qt::Unchecked);
  const QPoint empty(50, w.lvTasks->viewport()->height() - 3);
  ASSERT_EQ(w.lvTasks->itemAt(empty), nullptr);
  std::vector<Qt::CheckState> before;
  for (int i = 0; i < 12; ++i) before.push_back(w.lvTasks->topLevelItem(i)->checkState(0));
  QTest::mouseClick(w.lvTasks->viewport(), Qt::LeftButton, {}, empty);
  QTest::mouseDClick(w.lvTasks->viewport(), Qt::LeftButton, {}, empty);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(w.lvTasks->topLevelItem(i)->checkState(0), before[static_cast<size_t>(i)]);
  // Status updates leave the captions and the selection alone.
  w.setStatus(2, C("Выполняется"));
  EXPECT_EQ(S(w.lvTasks->topLevelItem(2)->text(0)), shell::TaskCaption(2));
  EXPECT_EQ(w.pgcTasks->currentIndex(), 2);
}

TEST(IcdInput, CyrillicKeysGiveLatinLetters) {
  struct Case {
    char16_t in, out;
  } cases[] = {{u'й', u'q'}, {u'Ц', u'W'}, {u'ф', u'a'}, {u'Я', u'Z'}, {u'ь', u'm'}, {u'Т', u'N'},
               {u'б', 0},    {u'ё', 0},    {u'A', 0},    {u'1', 0}};
  for (const Case& c : cases) EXPECT_EQ(shell::LatinForCyrillicKey(c.in), c.out) << int(c.in);
  Shell sh(true, "");
  sh.create();
  sh.w->show();
  sh.w->pgcTasks->setCurrentWidget(sh.w->tsZab);
  sh.w->edMKB1->clear();
  sh.w->edMKB1->setFocus();
  sh.w->edMKB1->setCursorPosition(0);
  QKeyEvent cyr(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString::fromUtf8("е"));
  QCoreApplication::sendEvent(sh.w->edMKB1, &cyr);
  QTest::keyClicks(sh.w->edMKB1, QStringLiteral("98"));
  EXPECT_EQ(sh.w->edMKB1->displayText(), QStringLiteral("T98.  "));
}

TEST(Choosers, DatabaseChoiceAppliesToBothConnections) {
  Shell sh(true, "[DB_PCName]\r\nDB_PCName=srv\r\n");
  sh.create();
  sh.data.ibConnected = true;
  sh.data.calls.clear();
  sh.prompt.files.push_back("/db/other.fdb");
  sh.w->sbDBPathClick();
  EXPECT_EQ(S(sh.w->edDB->text()), "/db/other.fdb");
  const std::vector<std::string> calls = {"DisconnectIB", "SetIBDatabaseName srv:/db/other.fdb",
                                          "UseDatabase srv /db/other.fdb"};
  EXPECT_EQ(sh.data.calls, calls);
  ASSERT_EQ(sh.prompt.requests.size(), 1u);
  EXPECT_EQ(sh.prompt.requests[0].title, C("Выбор файла БД статистики"));
  EXPECT_EQ(sh.prompt.requests[0].defaultExt, "gdb");
  // A Firebird 3 database is what the program opens: "*.fdb" beside the old "*.gdb".
  EXPECT_EQ(sh.prompt.requests[0].filter, C("Файлы *.GDB, *.FDB|*.gdb;*.fdb"));
  EXPECT_EQ(shell::QtFilter(sh.prompt.requests[0].filter),
            QString::fromUtf8("Файлы *.GDB, *.FDB (*.gdb *.GDB *.fdb *.FDB)"));
}

TEST(Choosers, InitialFolderAndTarget) {
  Shell sh(true, "[BACKUP_Path]\r\nDB_BACKUP_Path_MAIN=/bak/\r\n");
  sh.create();
  TfmMain& w = *sh.w;
  w.edFileDBF->setText(QStringLiteral("/in/prik.dbf"));
  sh.prompt.files.push_back("/in/new.dbf");
  w.sbOpenDBFClick();
  EXPECT_EQ(sh.prompt.requests[0].initialDir, "/in/");
  EXPECT_EQ(sh.prompt.requests[0].fileName, "prik.dbf");
  EXPECT_EQ(sh.prompt.requests[0].filter, C("Файлы *.DBF|*.dbf"));
  EXPECT_EQ(w.edFileDBF->text(), QStringLiteral("/in/new.dbf"));
  w.edFileLS->clear();
  w.sbOpenLSClick();  // cancelled: the edit stays
  EXPECT_EQ(sh.prompt.requests[1].initialDir, sh.dir.path);
  EXPECT_EQ(sh.prompt.requests[1].fileName, "");
  EXPECT_TRUE(w.edFileLS->text().isEmpty());
  w.sbOpenBClick();
  EXPECT_EQ(sh.prompt.requests[2].initialDir, "/bak/");
  EXPECT_EQ(sh.prompt.requests[2].fileName, "BackupStart_09122026.gbk");
  EXPECT_EQ(shell::QtFilter(C("Файлы *.DBF|*.dbf")), QString::fromUtf8("Файлы *.DBF (*.dbf *.DBF)"));
}

TEST(ProtocolWindow, SavesTheLinesInCp1251) {
  Shell sh(true, "");
  const std::vector<std::string> lines = {C("АКТУАЛИЗАЦИЯ"), " ", C("Добавлено - 5"), ""};
  TListFM dlg(sh.prompt, sh.dir.path, lines);
  EXPECT_EQ(S(dlg.windowTitle()), C("Протокол выполнения отложенных заданий"));
  EXPECT_EQ(dlg.minimumSize(), QSize(580, 220));
  EXPECT_EQ(dlg.lxList->count(), 4);
  EXPECT_EQ(dlg.lines(), lines);
  sh.prompt.files.push_back(sh.dir.path + C("протокол.txt"));
  dlg.btPrintClick();
  ASSERT_EQ(sh.prompt.requests.size(), 1u);
  EXPECT_EQ(sh.prompt.requests[0].fileName, C("Протокол"));
  EXPECT_EQ(sh.prompt.requests[0].title, C("Сохранить протокол в файл..."));
  EXPECT_EQ(sh.prompt.requests[0].defaultExt, "txt");
  EXPECT_EQ(sh.prompt.requests[0].initialDir, sh.dir.path);
  EXPECT_EQ(sh.dir.read("протокол.txt"), C("АКТУАЛИЗАЦИЯ") + "\r\n \r\n" + C("Добавлено - 5") + "\r\n\r\n");
  sh.prompt.files.push_back("/no/such/dir/p.txt");
  dlg.btPrintClick();
  ASSERT_EQ(sh.prompt.msgs.size(), 1u);
  EXPECT_EQ(sh.prompt.msgs[0].text.rfind("EOSError\r", 0), 0u);
}

TEST(ProtocolText, DelimitedResultText) {
  struct Case {
    const char* in;
    std::vector<std::string> out;
  } cases[] = {
      {"@a b@;", {"a b", ""}},
      {"@x@;@y@", {"x", "y"}},
      {"  a b;c", {"a", "b", "c"}},
      {"@a@@b@;", {"a@b", ""}},
      {"@open", {"open"}},
      {"", {}},
      {"@@", {""}},
      {"a;;b", {"a", "", "b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(shell::ParseDelimited(c.in, ';', '@'), c.out) << c.in;
}

TEST(BrowseDialog, AcceptCancelAndRoots) {
  TempDir d;
  std::filesystem::create_directory(d.path + "sub");
  TsdBrowseDialog dlg;
  dlg.UseQtDialog = true;
  dlg.Path = d.path;
  dlg.include(TsdBrowseOption::sdboIncludeBackSlash);
  int inits = 0;
  QObject::connect(&dlg, &TsdBrowseDialog::OnInitialized, [&] {
    ++inits;
    dlg.dialog()->setDirectory(Q(d.path + "sub"));
    static_cast<QDialog*>(dlg.dialog())->accept();
  });
  EXPECT_TRUE(dlg.Execute());
  EXPECT_EQ(inits, 1);
  EXPECT_EQ(dlg.Path, d.path + "sub/");
  TsdBrowseDialog cancel;
  cancel.UseQtDialog = true;
  cancel.Path = "/kept";
  QObject::connect(&cancel, &TsdBrowseDialog::OnInitialized, [&] { cancel.dialog()->reject(); });
  EXPECT_FALSE(cancel.Execute());
  EXPECT_EQ(cancel.Path, "/kept");
  TsdBrowseDialog printers;
  printers.include(TsdBrowseOption::sdboRestrictedRoot);
  printers.include(TsdBrowseOption::sdboBrowsePrinter);
  EXPECT_FALSE(printers.Execute());
}

}  // namespace

namespace {

TEST(ProtocolWindow, ShownModallyWithTheRunProtocol) {
  Shell sh(true, "");
  sh.create();
  sh.w->show();
  sh.w->AddProtocolLine(C("Строка 1"));
  sh.w->AddProtocolLine(" ");
  int shownLines = -1;
  QTimer::singleShot(0, [&] {
    if (auto* dlg = qobject_cast<TListFM*>(QApplication::activeModalWidget())) {
      shownLines = dlg->lxList->count();
      EXPECT_EQ(S(dlg->lxList->item(0)->text()), C("Строка 1"));
      dlg->reject();
    }
  });
  sh.w->acShowProtocolExecute();
  EXPECT_EQ(shownLines, 2);
}

// The save dialog of the protocol window, as the operator sees it: its own title, the
// protocol's name in the program folder.
TEST(ProtocolWindow, TheSaveDialogHasATitleOfItsOwn) {
  Shell sh(true, "");
  shell::QtPrompt prompt;
  TListFM dlg(prompt, sh.dir.path, {C("Строка 1")});
  prompt.setOwner(&dlg);
  dlg.show();
  QString title, folder;
  bool shown = false;
  QTimer::singleShot(0, [&] {
    if (auto* save = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      shown = true;
      title = save->windowTitle();
      folder = save->directory().absolutePath() + QStringLiteral("/");
      save->reject();
    }
  });
  dlg.btPrintClick();
  ASSERT_TRUE(shown);
  EXPECT_EQ(title, QString::fromUtf8("Сохранить протокол в файл..."));
  EXPECT_EQ(folder, QString::fromStdString(sh.dir.path));
  EXPECT_FALSE(sh.dir.exists("Протокол.txt"));
}

TEST(NetworkSettings, TheButtonShowsAFreshDialogModally) {
  Shell sh(true, "[PROXY]\r\nServer=proxy.local\r\n");
  sh.create();
  QString caption, server;
  QTimer::singleShot(0, [&] {
    if (auto* dlg = qobject_cast<TfrmSetCon*>(QApplication::activeModalWidget())) {
      caption = dlg->windowTitle();
      server = dlg->txtServer->text();
      dlg->reject();
    }
  });
  sh.w->cmdSetCnClick();
  EXPECT_EQ(caption, QString::fromUtf8("Настройка сети"));
  EXPECT_EQ(server, QStringLiteral("proxy.local"));
  EXPECT_TRUE(sh.prompt.msgs.empty());
}

}  // namespace

namespace {

// Errors from outside the program name their class as the language writes it, wherever the
// window shows "class name, carriage return, message".
TEST(Errors, ForeignExceptionsShowReadableClassNames) {
  Shell sh(true, "[STAT_MAIN]\r\nDatabase=/db/c.fdb\r\n[DB_PCName]\r\nDB_PCName=\r\n");
  sh.data.onCall = [](const std::string& c) {
    if (c == "ConnectIB") throw std::runtime_error("no server");
    if (c.rfind("RefreshFromFOMS", 0) == 0) throw std::out_of_range("index 7");
  };
  sh.create();
  ASSERT_FALSE(sh.prompt.msgs.empty());
  EXPECT_EQ(sh.prompt.msgs[0].text, C("Не удалось соединиться с БД\r/db/c.fdb\r\rstd::runtime_error\rno server"));
  sh.prompt.msgs.clear();
  sh.dir.write("p.dbf", "x");
  sh.w->edFileDBF->setText(Q(sh.dir.path + "p.dbf"));
  sh.w->acRefreshFromFOMSExecute();
  EXPECT_EQ(sh.texts(), std::vector<std::string>{"std::out_of_range\rindex 7"});
  sh.prompt.msgs.clear();
  sh.w->ledSMPFileName->setText(Q(sh.dir.path + "c.zip"));
  sh.extractor.onExtract = [](const std::string&) { throw std::runtime_error("bad zip"); };
  sh.w->acSMPImportExecute();
  EXPECT_EQ(sh.texts(), std::vector<std::string>{C("Ошибка при разархивировании файла ") + sh.dir.path +
                                                 "c.zip :\r\rstd::runtime_error\rbad zip"});
  EXPECT_EQ(platform::describe(std::logic_error("x")), "std::logic_error\rx");
  EXPECT_EQ(platform::ExceptionClassName(platform::EOSError("x")), "EOSError");
}

}  // namespace

namespace {

// The backup choosers store what the backup joins to the backup folder correctly.
TEST(Choosers, BackupChoosersStoreANameInsideTheBackupFolderAndAFullPathElsewhere) {
  Shell sh(true, "[BACKUP_Path]\r\nDB_BACKUP_Path_MAIN=/bak/\r\n");
  sh.create();
  struct Case {
    const char* chosen;
    const char* stored;
  } const cases[] = {{"/bak/mycopy.gbk", "mycopy.gbk"},
                     {"/bak/old/mycopy.gbk", "old/mycopy.gbk"},
                     {"/bak//mycopy.gbk", "mycopy.gbk"},
                     {"/elsewhere/mycopy.gbk", "/elsewhere/mycopy.gbk"},
                     {"/bakery/mycopy.gbk", "/bakery/mycopy.gbk"}};
  for (const Case& c : cases) {
    for (QLineEdit* edit : {sh.w->edBackup, sh.w->edBackup2}) {
      sh.prompt.files.push_back(c.chosen);
      if (edit == sh.w->edBackup) {
        sh.w->sbOpenBClick();
      } else {
        sh.w->sbOpenB2Click();
      }
      EXPECT_EQ(S(edit->text()), c.stored) << c.chosen;
      EXPECT_EQ(TdmScheduler::JoinBackupPath(sh.w->backupPath(), S(edit->text())),
                std::string(c.chosen) == "/bak//mycopy.gbk" ? "/bak/mycopy.gbk" : c.chosen);
    }
  }
  sh.prompt.files.push_back("/bak/mycopy.gbk");
  sh.w->sbOpenBClick();
  sh.data.calls.clear();
  sh.w->tbBackup1Click();
  EXPECT_EQ(sh.data.count("BackupDatabase /bak/mycopy.gbk"), 1);
  EXPECT_EQ(sh.w->protocol()[0], C("Файл резервной копии создан \"mycopy.gbk\""));
}

}  // namespace
