#include "app/Scheduler_FM.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QThread>

#include <cstdio>
#include <typeinfo>

#include "app/List_FM.h"
#include "app/MyDLFile.h"
#include "app/sdTray.h"
#include "app/ShellText.h"
#include "platform/codepage.h"
#include "platform/strutil.h"

using namespace shell;
using platform::Trim;

namespace shell {

std::string StatusWaiting() { return W("Ожидание выполнения"); }
std::string StatusRunning() { return W("Выполняется"); }
std::string StatusDone() { return W("Выполнение завершено"); }
std::string StatusNotDone() { return W("Выполнение не завершено"); }
std::string StatusFailed() { return W("Не выполнено!"); }
std::string StatusInterrupted() { return W("Прервано оператором"); }

std::string TaskCaption(int task) {
  static const char* const kCaptions[kTaskCount] = {
      "Сделать резервную копию БД",
      "Обновить программу ВИРЕЛ",
      "Скачать файл прикрепленного населения с сайта ТФОМС",
      "Актуализировать прикрепленное население",
      "Актуализировать льготников",
      "Актуализация БД из филиалов",
      "Поиск дубликатов пациентов",
      "Правка учета заболеваний",
      "Импорт данных СМП",
      "Загрузка данных из реестра  XML(ТОВИ)",
      "Загрузить справочник ЛС",
      "Сделать резервную копию БД",
  };
  if (task < 0 || task >= kTaskCount) return std::string();
  return W(kCaptions[task]);
}

std::string ProgramTitle() { return W("ВИРЕЛ: менеджер отложенных заданий. Версия от 23.01.2017"); }

}  // namespace shell

namespace {

const char* const kSmpFiles[4] = {"PATIENT.xml", "PATIENT_CONST_PARAMS.xml", "SMP_CALLS.bin", "INTERVAL.xml"};

std::string Caption() { return W("Сообщение"); }

std::string Text(const QLineEdit* e) { return S(e->text()); }
std::string Trimmed(const QLineEdit* e) { return Trim(S(e->text())); }
// Mask edits are compared and passed with their blanks, as shown.
std::string MaskText(const QLineEdit* e) { return S(e->displayText()); }

bool FileExists(const std::string& cp1251) {
  return !cp1251.empty() && QFileInfo(Q(cp1251)).isFile();
}
bool FolderExists(const std::string& cp1251) {
  return !cp1251.empty() && QFileInfo(Q(cp1251)).isDir();
}

QLabel* MakeLabel(QWidget* parent, const char* text, int x, int y, int w, int h = 18) {
  auto* l = new QLabel(QString::fromUtf8(text), parent);
  l->setGeometry(x, y, w, h);
  return l;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int w) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(QString::fromLatin1(name));
  e->setGeometry(x, y, w, 22);
  return e;
}

QToolButton* MakeChooser(QWidget* parent, const char* name, int x, int y) {
  auto* b = new QToolButton(parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setText(QStringLiteral("..."));
  b->setGeometry(x, y, 26, 22);
  return b;
}

QLabel* MakeOutcome(QWidget* parent, const char* name, int x, int y, int w) {
  auto* l = new QLabel(parent);
  l->setObjectName(QString::fromLatin1(name));
  l->setGeometry(x, y, w, 20);
  QFont f = l->font();
  f.setBold(true);
  l->setFont(f);
  l->hide();
  return l;
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, const char* text, int x, int y, int w, bool on) {
  auto* c = new QCheckBox(QString::fromUtf8(text), parent);
  c->setObjectName(QString::fromLatin1(name));
  c->setGeometry(x, y, w, 20);
  c->setChecked(on);
  return c;
}

QGroupBox* MakeGroup(QWidget* parent, const char* text) {
  auto* g = new QGroupBox(QString::fromUtf8(text), parent);
  g->setGeometry(6, 4, 614, 180);
  return g;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction

TfmMain::TfmMain(IShellData& data, IExtractor& extractor, IPrompt& prompt, IClock& clock, std::string exePath,
                 QWidget* parent)
    : QWidget(parent),
      FData(data),
      FExtractor(extractor),
      FPrompt(prompt),
      FClock(clock),
      FExePath(WithTrailingSlash(exePath)) {
  setObjectName(QStringLiteral("fmMain"));
  buildWindow();
  buildTray();
  connectActions();
}

TfmMain::~TfmMain() {
  // A download still running is stopped; its completion handler does not run any more.
  for (QPointer<TDownLoader>* p : {&FTfomsLoader, &FUpdateLoader}) {
    if (TDownLoader* d = p->data()) {
      d->disconnect(this);
      delete d;
    }
  }
  while (FCursorDepth > 0) SetBusyCursor(false);
}

QToolButton* TfmMain::actionButton(QWidget* parent, QAction* action, const char* name, int x, int y, int w,
                                   int h) {
  auto* b = new QToolButton(parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setGeometry(x, y, w, h);
  b->setText(action->text());
  b->setToolTip(action->toolTip());
  b->setEnabled(action->isEnabled());
  connect(b, &QToolButton::clicked, action, &QAction::trigger);
  connect(action, &QAction::changed, b, [b, action] { b->setEnabled(action->isEnabled()); });
  return b;
}

void TfmMain::buildWindow() {
  setWindowTitle(Q(ProgramTitle()));
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(655, 540);

  auto act = [this](const char* name, const char* text, const char* hint) {
    auto* a = new QAction(QString::fromUtf8(text), this);
    a->setObjectName(QString::fromLatin1(name));
    if (hint) a->setToolTip(QString::fromUtf8(hint));
    return a;
  };
  const char* kNow = "Выполнить задание прямо сейчас";
  acRefreshFromFOMS = act("acRefreshFromFOMS", "Выполнить", kNow);
  acLoadRefreshFromFOMS = act("acLoadRefreshFromFOMS", "Скачать", kNow);
  acRefreshFilials = act("acRefreshFilials", "Добавить", "Добавить");
  acStartDealingFilialDB = act("acStartDealingFilialDB", "Запустить", "Запустить задание");
  acDelFilialFile = act("acDelFilialFile", "Удалить", "Удалить файл из списка");
  acTimerTurnON = act("acTimerTurnON", "Включить таймер", nullptr);
  acTimerTurnOFF = act("acTimerTurnOFF", "Отключить таймер", nullptr);
  acShowProtocol = act("acShowProtocol", "Протокол", nullptr);
  acStop = act("acStop", "Остановить выполнение", nullptr);
  acDubl = act("acDubl", "Выполнить", kNow);
  acRefreshL = act("acRefreshL", "Выполнить", kNow);
  acZabol = act("acZabol", "Выполнить", kNow);
  acLoadLS = act("acLoadLS", "Выполнить", kNow);
  UpdateRen = act("UpdateRen", "Обновить", "Обновление");
  acSMPImport = act("acSMPImport", "Выполнить", kNow);
  acTimerTurnOFF->setEnabled(false);

  // Database path.
  MakeLabel(this, "База данных ВИРЕЛ ", 8, 10, 124);
  edDB = MakeEdit(this, "edDB", 134, 8, 484);
  edDB->setReadOnly(true);
  sbDBPath = MakeChooser(this, "sbDBPath", 621, 8);

  // Task list.
  lvTasks = new QTreeWidget(this);
  lvTasks->setObjectName(QStringLiteral("lvTasks"));
  lvTasks->setGeometry(8, 34, 639, 212);
  lvTasks->setColumnCount(2);
  lvTasks->setHeaderLabels({QString::fromUtf8("Задания"), QString::fromUtf8("Статус выполнения")});
  lvTasks->setRootIsDecorated(false);
  lvTasks->setUniformRowHeights(true);
  lvTasks->setItemsExpandable(false);
  lvTasks->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvTasks->setSelectionMode(QAbstractItemView::SingleSelection);
  lvTasks->header()->setSectionsClickable(false);
  lvTasks->header()->setSectionsMovable(false);
  for (int i = 0; i < kTaskCount; ++i) {
    auto* item = new QTreeWidgetItem(lvTasks);
    item->setText(0, Q(TaskCaption(i)));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Unchecked);
  }
  lvTasks->header()->setStretchLastSection(false);
  lvTasks->header()->setSectionResizeMode(QHeaderView::Fixed);
  lvTasks->header()->resizeSection(0, 400);
  lvTasks->header()->resizeSection(1, 200);
  lvTasks->viewport()->installEventFilter(this);

  // Time row.
  auto* label1 = MakeLabel(this, "Выполнить задания в (чч:мм)", 8, 250, 190);
  label1->setObjectName(QStringLiteral("Label1"));
  DTime = new QTimeEdit(this);
  DTime->setObjectName(QStringLiteral("DTime"));
  DTime->setDisplayFormat(QStringLiteral("HH:mm"));
  DTime->setGeometry(200, 248, 70, 22);
  pnlTime = new QLabel(this);
  pnlTime->setObjectName(QStringLiteral("pnlTime"));
  pnlTime->setGeometry(278, 248, 90, 22);
  pnlTime->setAlignment(Qt::AlignCenter);
  pnlTime->setAutoFillBackground(true);
  pnlTime->setStyleSheet(QStringLiteral("QLabel { background: black; color: yellow; font-weight: bold; }"));
  pnlTime->hide();
  ProgBar = new QProgressBar(this);
  ProgBar->setObjectName(QStringLiteral("ProgBar"));
  ProgBar->setGeometry(376, 250, 271, 18);
  ProgBar->setTextVisible(false);
  ProgBar->setRange(0, 100);
  ProgBar->setValue(0);

  // Button row.
  Button4 = actionButton(this, acTimerTurnON, "Button4", 8, 276, 130, 26);
  bTimerTurnOFF = actionButton(this, acTimerTurnOFF, "bTimerTurnOFF", 142, 276, 130, 26);
  cmdSetCn = new QPushButton(QString::fromUtf8("Настройка прок"), this);
  cmdSetCn->setObjectName(QStringLiteral("cmdSetCn"));
  cmdSetCn->setGeometry(276, 276, 120, 26);
  tbShowProtocol = actionButton(this, acShowProtocol, "tbShowProtocol", 400, 276, 110, 26);
  bStop = actionButton(this, acStop, "bStop", 514, 276, 80, 26);
  bStop->setText(QString::fromUtf8("ТОВИ"));

  // Task pages.
  pgcTasks = new QTabWidget(this);
  pgcTasks->setObjectName(QStringLiteral("pgcTasks"));
  pgcTasks->setTabPosition(QTabWidget::South);
  pgcTasks->setGeometry(8, 308, 639, 226);
  auto addPage = [this](QWidget*& w, const char* name, const QString& caption) {
    w = new QWidget;
    w->setObjectName(QString::fromLatin1(name));
    pgcTasks->addTab(w, caption);
  };
  const char* names[13] = {"tsActualityFromFOMS", "tbsLoadUpdate", "tsLoadFile", "tsPrikrep", "tsLgota",
                           "tsFilialsActualization", "tsDupe", "tsZab", "tsSMPImport", "TabSheet1", "tsLS",
                           "tsCopy", "tsTovi"};
  QWidget** pages[13] = {&tsActualityFromFOMS, &tbsLoadUpdate, &tsLoadFile, &tsPrikrep, &tsLgota,
                         &tsFilialsActualization, &tsDupe, &tsZab, &tsSMPImport, &TabSheet1, &tsLS, &tsCopy,
                         &tsTovi};
  for (int i = 0; i < 12; ++i) addPage(*pages[i], names[i], QString::number(i));
  addPage(tsTovi, names[12], QStringLiteral("12-tovi"));

  // 0: backup at the start of a run.
  {
    QGroupBox* g = MakeGroup(tsActualityFromFOMS, "Сделать резервную копию ");
    g->setGeometry(6, 4, 614, 90);
    MakeLabel(g, "Сохранить копию как: ", 10, 26, 150);
    edBackup = MakeEdit(g, "edBackup", 10, 46, 470);
    sbOpenB = MakeChooser(g, "sbOpenB", 484, 46);
    tbBackup1 = new QToolButton(g);
    tbBackup1->setObjectName(QStringLiteral("tbBackup1"));
    tbBackup1->setText(QString::fromUtf8("Выполнить"));
    tbBackup1->setToolTip(QString::fromUtf8(kNow));
    tbBackup1->setGeometry(516, 46, 90, 22);
    lbBack = MakeOutcome(g, "lbBack", 10, 68, 598);
    Button3 = actionButton(tsActualityFromFOMS, acRefreshFromFOMS, "Button3", 6, 104, 90, 24);
    Button3->setText(QStringLiteral("Button3"));
    sbExec = new QToolButton(tsActualityFromFOMS);
    sbExec->setObjectName(QStringLiteral("sbExec"));
    sbExec->setText(QStringLiteral("XML"));
    sbExec->setGeometry(100, 104, 60, 24);
  }
  // 1: program update.
  {
    QGroupBox* g = MakeGroup(tbsLoadUpdate, "Обновление программы ВИРЕЛ");
    g->setGeometry(6, 4, 614, 110);
    MakeLabel(g, "Адрес файла (renewal.exe)", 10, 24, 300);
    txtKestaAdress = MakeEdit(g, "txtKestaAdress", 10, 44, 594);
    chkStartRen = MakeCheck(g, "chkStartRen", "Запустить обновлятор после загрузки", 10, 74, 400, false);
    btUpdateRen = actionButton(g, UpdateRen, "btUpdateRen", 520, 74, 84, 24);
  }
  // 2: fund-file download.
  {
    QGroupBox* g = MakeGroup(tsLoadFile, "Параметры файла ТФОМС ");
    MakeLabel(g, "Код ЛПУ", 10, 22, 104);
    edLPU = MakeEdit(g, "edLPU", 116, 20, 80);
    lbLPUName = new QLabel(g);
    lbLPUName->setObjectName(QStringLiteral("lbLPUName"));
    lbLPUName->setGeometry(206, 22, 398, 18);
    MakeLabel(g, "Пользователь ", 10, 48, 104);
    edUser = MakeEdit(g, "edUser", 116, 46, 170);
    MakeLabel(g, "Пароль ", 300, 48, 60);
    edPass = MakeEdit(g, "edPass", 360, 46, 170);
    edPass->setEchoMode(QLineEdit::Password);
    MakeLabel(g, "Адрес файла ", 10, 74, 104);
    edHTTP = MakeEdit(g, "edHTTP", 116, 72, 488);
    MakeLabel(g, "Сохранить как", 10, 100, 104);
    edSaveAs = MakeEdit(g, "edSaveAs", 116, 98, 458);
    sbtSaveAs = MakeChooser(g, "sbtSaveAs", 578, 98);
    lbLoad = MakeOutcome(g, "lbLoad", 10, 128, 420);
    btLoadRefreshFromFOMS = actionButton(g, acLoadRefreshFromFOMS, "btLoadRefreshFromFOMS", 520, 128, 84, 24);
  }
  // 3: attached population.
  {
    MakeLabel(tsPrikrep, "Файл DBF", 10, 12, 100);
    edFileDBF = MakeEdit(tsPrikrep, "edFileDBF", 10, 32, 560);
    sbOpenDBF = MakeChooser(tsPrikrep, "sbOpenDBF", 574, 32);
    cbAdr = MakeCheck(tsPrikrep, "cbAdr", "Адрес", 10, 60, 200, false);
    cbAdr->hide();
    lbRefr = MakeOutcome(tsPrikrep, "lbRefr", 10, 88, 480);
    btRefreshFromFOMS = actionButton(tsPrikrep, acRefreshFromFOMS, "btRefreshFromFOMS", 520, 88, 84, 24);
  }
  // 4: privileged persons.
  {
    MakeLabel(tsLgota, "Файл DBF", 10, 12, 100);
    edFileL = MakeEdit(tsLgota, "edFileL", 10, 32, 560);
    sbOpenL = MakeChooser(tsLgota, "sbOpenL", 574, 32);
    cbNotFound = MakeCheck(tsLgota, "cbNotFound", "Показать список льготников, не найденных в БД", 10, 60, 500,
                           false);
    lbRefrLg = MakeOutcome(tsLgota, "lbRefrLg", 10, 88, 480);
    btRefreshL = actionButton(tsLgota, acRefreshL, "btRefreshL", 520, 88, 84, 24);
  }
  // 5: branch merge.
  {
    MakeLabel(tsFilialsActualization, "Каталог файлов из филиалов ", 10, 8, 300);
    ledFilialDBPath = MakeEdit(tsFilialsActualization, "ledFilialDBPath", 10, 26, 560);
    sbFilialDBPath = MakeChooser(tsFilialsActualization, "sbFilialDBPath", 574, 26);
    MakeLabel(tsFilialsActualization, "Файлы из филиалов", 10, 52, 300);
    lbFilials = new QListWidget(tsFilialsActualization);
    lbFilials->setObjectName(QStringLiteral("lbFilials"));
    lbFilials->setGeometry(10, 70, 500, 90);
    cbKodPat = MakeCheck(tsFilialsActualization, "cbKodPat", "Присваивать код пациента по правилам Центра ", 10,
                         164, 500, true);
    btRefreshFilials = actionButton(tsFilialsActualization, acRefreshFilials, "btRefreshFilials", 520, 70, 84, 24);
    btDelFilialFile = actionButton(tsFilialsActualization, acDelFilialFile, "btDelFilialFile", 520, 100, 84, 24);
    btStartDealingFilialDB =
        actionButton(tsFilialsActualization, acStartDealingFilialDB, "btStartDealingFilialDB", 520, 130, 84, 24);
  }
  // 6: duplicates.
  {
    cbFIO = MakeCheck(tsDupe, "cbFIO", "Дубликаты по ФИО", 10, 14, 300, false);
    cbPolice = MakeCheck(tsDupe, "cbPolice", "Дубликаты по полису", 10, 40, 300, false);
    cbSNILS = MakeCheck(tsDupe, "cbSNILS", "Дубликаты по СНИЛС", 10, 66, 300, false);
    lDubl = MakeOutcome(tsDupe, "lDubl", 10, 96, 480);
    btDubl = actionButton(tsDupe, acDubl, "btDubl", 520, 96, 84, 24);
  }
  // 7: disease records.
  {
    MakeLabel(tsZab, "Диапазон МКБ с", 10, 14, 110);
    edMKB1 = MakeEdit(tsZab, "edMKB1", 124, 12, 70);
    MakeLabel(tsZab, "по", 204, 14, 24);
    edMKB2 = MakeEdit(tsZab, "edMKB2", 230, 12, 70);
    for (QLineEdit* e : {edMKB1, edMKB2}) {
      e->setInputMask(QStringLiteral(">nnn.nn; "));
      e->installEventFilter(this);
    }
    MakeLabel(tsZab, "Проверочный интервал(+/-):", 10, 44, 200);
    edDop = MakeEdit(tsZab, "edDop", 214, 42, 40);
    edDop->setInputMask(QStringLiteral("00; "));
    MakeLabel(tsZab, "Проверяемый год:", 10, 72, 200);
    edYear = MakeEdit(tsZab, "edYear", 214, 70, 60);
    lZab = MakeOutcome(tsZab, "lZab", 10, 100, 480);
    btZabol = actionButton(tsZab, acZabol, "btZabol", 520, 100, 84, 24);
  }
  // 8: ambulance calls.
  {
    MakeLabel(tsSMPImport, "ZIP-файл данных СМП", 10, 12, 200);
    ledSMPFileName = MakeEdit(tsSMPImport, "ledSMPFileName", 10, 32, 560);
    sbLoadSMPFile = MakeChooser(tsSMPImport, "sbLoadSMPFile", 574, 32);
    btSMPImport = actionButton(tsSMPImport, acSMPImport, "btSMPImport", 520, 64, 84, 24);
  }
  // 9: XML register.
  {
    MakeLabel(TabSheet1, "Файл реестра XML", 10, 12, 200);
    edF2 = MakeEdit(TabSheet1, "edF2", 10, 32, 560);
    sbOpen2 = MakeChooser(TabSheet1, "sbOpen2", 574, 32);
    SpeedButton4 = new QToolButton(TabSheet1);
    SpeedButton4->setObjectName(QStringLiteral("SpeedButton4"));
    SpeedButton4->setText(QString::fromUtf8("Выполнить"));
    SpeedButton4->setToolTip(QString::fromUtf8(kNow));
    SpeedButton4->setGeometry(520, 64, 84, 24);
    lbreXML = MakeOutcome(TabSheet1, "lbreXML", 10, 64, 480);
  }
  // 10: drug directory.
  {
    QGroupBox* g = MakeGroup(tsLS, "Справочник льготных лекарственных средств");
    g->setGeometry(6, 4, 614, 110);
    MakeLabel(g, "Файл DBF", 10, 24, 100);
    edFileLS = MakeEdit(g, "edFileLS", 10, 44, 564);
    sbOpenLS = MakeChooser(g, "sbOpenLS", 578, 44);
    lbLoadLS = MakeOutcome(g, "lbLoadLS", 10, 76, 480);
    btLoadLS = actionButton(g, acLoadLS, "btLoadLS", 520, 76, 84, 24);
  }
  // 11: backup at the end of a run.
  {
    QGroupBox* g = MakeGroup(tsCopy, "Сделать резервную копию ");
    g->setGeometry(6, 4, 614, 90);
    MakeLabel(g, "Сохранить копию как: ", 10, 26, 150);
    edBackup2 = MakeEdit(g, "edBackup2", 10, 46, 470);
    sbOpenB2 = MakeChooser(g, "sbOpenB2", 484, 46);
    tbBackup2 = new QToolButton(g);
    tbBackup2->setObjectName(QStringLiteral("tbBackup2"));
    tbBackup2->setText(QString::fromUtf8("Выполнить"));
    tbBackup2->setToolTip(QString::fromUtf8(kNow));
    tbBackup2->setGeometry(516, 46, 90, 22);
    lbBack2 = MakeOutcome(g, "lbBack2", 10, 68, 598);
  }

  tmTasks = new QTimer(this);
  tmTasks->setObjectName(QStringLiteral("tmTasks"));
  tmTasks->setInterval(1000);
  tmTasks->setTimerType(Qt::PreciseTimer);

  FActionTimer = new QTimer(this);
  FActionTimer->setInterval(200);
}

QWidget* TfmMain::page(int index) { return pgcTasks->widget(index); }

void TfmMain::connectActions() {
  connect(tmTasks, &QTimer::timeout, this, &TfmMain::tmTasksTimer);
  connect(FActionTimer, &QTimer::timeout, this, &TfmMain::ActionListUpdate);
  connect(acTimerTurnON, &QAction::triggered, this, &TfmMain::acTimerTurnONExecute);
  connect(acTimerTurnOFF, &QAction::triggered, this, &TfmMain::acTimerTurnOFFExecute);
  connect(acStop, &QAction::triggered, this, &TfmMain::acStopExecute);
  connect(acShowProtocol, &QAction::triggered, this, &TfmMain::acShowProtocolExecute);
  connect(acRefreshFromFOMS, &QAction::triggered, this, &TfmMain::acRefreshFromFOMSExecute);
  connect(acLoadRefreshFromFOMS, &QAction::triggered, this, &TfmMain::acLoadRefreshFromFOMSExecute);
  connect(acRefreshL, &QAction::triggered, this, &TfmMain::acRefreshLExecute);
  connect(acDubl, &QAction::triggered, this, &TfmMain::acDublExecute);
  connect(acZabol, &QAction::triggered, this, &TfmMain::acZabolExecute);
  connect(acLoadLS, &QAction::triggered, this, &TfmMain::acLoadLSExecute);
  connect(acRefreshFilials, &QAction::triggered, this, &TfmMain::acRefreshFilialsExecute);
  connect(acDelFilialFile, &QAction::triggered, this, &TfmMain::acDelFilialFileExecute);
  connect(acStartDealingFilialDB, &QAction::triggered, this, &TfmMain::acStartDealingFilialDBExecute);
  connect(acSMPImport, &QAction::triggered, this, &TfmMain::acSMPImportExecute);
  connect(UpdateRen, &QAction::triggered, this, &TfmMain::UpdateRenExecute);
  connect(tbBackup1, &QToolButton::clicked, this, &TfmMain::tbBackup1Click);
  connect(tbBackup2, &QToolButton::clicked, this, &TfmMain::tbBackup2Click);
  connect(sbExec, &QToolButton::clicked, this, [this] { sbExecClick(false); });
  connect(SpeedButton4, &QToolButton::clicked, this, [this] { sbExecClick(false); });
  connect(cmdSetCn, &QPushButton::clicked, this, &TfmMain::cmdSetCnClick);
  connect(sbDBPath, &QToolButton::clicked, this, &TfmMain::sbDBPathClick);
  connect(sbOpenDBF, &QToolButton::clicked, this, &TfmMain::sbOpenDBFClick);
  connect(sbOpenL, &QToolButton::clicked, this, &TfmMain::sbOpenLClick);
  connect(sbOpenLS, &QToolButton::clicked, this, &TfmMain::sbOpenLSClick);
  connect(sbOpen2, &QToolButton::clicked, this, &TfmMain::sbOpen2Click);
  connect(sbOpenB, &QToolButton::clicked, this, &TfmMain::sbOpenBClick);
  connect(sbOpenB2, &QToolButton::clicked, this, &TfmMain::sbOpenB2Click);
  connect(sbLoadSMPFile, &QToolButton::clicked, this, &TfmMain::sbLoadSMPFileClick);
  connect(sbtSaveAs, &QToolButton::clicked, this, &TfmMain::sbtSaveAsClick);
  connect(sbFilialDBPath, &QToolButton::clicked, this, &TfmMain::sbFilialDBPathClick);
  connect(lvTasks, &QTreeWidget::itemChanged, this, &TfmMain::lvTasksItemChanged);
  connect(lvTasks, &QTreeWidget::itemSelectionChanged, this, &TfmMain::lvTasksSelectItem);
  for (QLineEdit* e : {txtKestaAdress, edHTTP, edUser, edPass, ledFilialDBPath, ledSMPFileName}) {
    connect(e, &QLineEdit::textChanged, this, &TfmMain::ActionListUpdate);
  }
  connect(pgcTasks, &QTabWidget::currentChanged, this, &TfmMain::ActionListUpdate);
}

// ---------------------------------------------------------------------------------------------
// The interface of the task bodies

void TfmMain::AddTaskMessage(const std::string& line) { FTaskMessages.push_back(line); }
void TfmMain::ClearTaskMessages() { FTaskMessages.clear(); }
void TfmMain::ShowMessage(const std::string& text, const std::string& caption) { FPrompt.messageBox(text, caption); }
void TfmMain::AddProtocolLine(const std::string& line) { FProtocol.push_back(line); }
void TfmMain::SetProgressMax(int max) {
  ProgBar->setMaximum(max < 0 ? 0 : max);
  ProgBar->setValue(0);
}
void TfmMain::SetProgressPosition(int position) { ProgBar->setValue(position); }
void TfmMain::StepProgress() {
  if (ProgBar->value() < ProgBar->maximum()) ProgBar->setValue(ProgBar->value() + 1);
}
void TfmMain::ProcessMessages() {
  // The task bodies call this after every record; pumping (and repainting) more often
  // than every 20 ms only costs time.
  if (FPumpClock.isValid() && FPumpClock.elapsed() < 20) return;
  QCoreApplication::processEvents();
  FPumpClock.start();
}
bool TfmMain::NotFoundChecked() const { return cbNotFound->isChecked(); }
void TfmMain::SetBusyCursor(bool busy) {
  if (busy) {
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    ++FCursorDepth;
  } else if (FCursorDepth > 0) {
    QGuiApplication::restoreOverrideCursor();
    --FCursorDepth;
  }
}

// ---------------------------------------------------------------------------------------------
// Small helpers

std::string TfmMain::status(int task) const {
  QTreeWidgetItem* item = lvTasks->topLevelItem(task);
  return item ? S(item->text(1)) : std::string();
}

void TfmMain::setStatus(int task, const std::string& text) {
  QTreeWidgetItem* item = lvTasks->topLevelItem(task);
  if (!item) return;
  QSignalBlocker block(lvTasks);
  item->setText(1, Q(text));
}

bool TfmMain::ticked(int task) const {
  QTreeWidgetItem* item = lvTasks->topLevelItem(task);
  return item && item->checkState(0) == Qt::Checked;
}

void TfmMain::setLabel(QLabel* label, const std::string& text) {
  label->setText(DisplayText(text));
  label->show();
}

void TfmMain::showPageAndFocus(QWidget* pageWidget, QWidget* edit) {
  if (pageWidget) pgcTasks->setCurrentWidget(pageWidget);
  // During a run the pages are disabled: the edit gets the focus when the run ends.
  if (FRunning) {
    FFocusAfterRun = edit;
    return;
  }
  if (edit) edit->setFocus(Qt::OtherFocusReason);
}

void TfmMain::FocusFileEdit() { showPageAndFocus(nullptr, edF2); }
void TfmMain::SetRefreshLabel(const std::string& text) { setLabel(lbRefrLg, text); }
void TfmMain::CopyTaskMessagesToProtocol() { copyTaskMessages(); }
void TfmMain::SetTaskStatus(int item, const std::string& text) { setStatus(item, text); }
void TfmMain::SetXmlLabel(const std::string& text) { setLabel(lbreXML, text); }

void TfmMain::copyTaskMessages() { FProtocol.insert(FProtocol.end(), FTaskMessages.begin(), FTaskMessages.end()); }

void TfmMain::appendBackupLine(const std::string& fileName) {
  FProtocol.push_back(W("Файл резервной копии создан ") + "\"" + fileName + "\"");
  FProtocol.push_back(" ");
}

void TfmMain::reportException(const std::exception& e) {
  std::string cls;
  if (auto* pe = dynamic_cast<const platform::Exception*>(&e)) {
    cls = pe->className();
  } else {
    cls = typeid(e).name();
  }
  FPrompt.showMessage(cls + "\r" + e.what());
}

std::string TfmMain::connectionName(const std::string& path) const {
  const std::string host = FIni ? FIni->ReadString("DB_PCName", "DB_PCName", "LocalHost") : "LocalHost";
  return host.empty() ? path : host + ":" + path;
}

// ---------------------------------------------------------------------------------------------
// Activation and close

void TfmMain::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (!FActivated && !FActivating) {
    QTimer::singleShot(0, this, [this] {
      if (!FActivated && !FActivating) FormActivate();
    });
  }
  FActionTimer->start();
}

void TfmMain::FormActivate() {
  if (FActivated || FActivating) return;
  FActivating = true;
  bool closeAfter = false;
  try {
    FRunFromScheduler = 0;
    const std::string iniName = FExePath + kMainIni;
    if (!FileExists(iniName)) {
      FPrompt.showMessage(W("Не найден файл ") + iniName + " !");
      closeAfter = true;
    }
    FIni = std::make_unique<platform::TIniFile>(iniName);
    std::string pach = FIni->ReadString("WORK_PATH", "PachRen", DefaultUpdateUrl());
    if (Trim(pach).empty()) pach = DefaultUpdateUrl();
    txtKestaAdress->setText(Q(pach));
    chkStartRen->setChecked(FIni->ReadBool("WORK_PATH", "StartRen", false));
    FSMPPath = FIni->ReadString("WORK_PATH", "SMP_WORK_PATH", FExePath);
    ledSMPFileName->setText(Q(FSMPPath));
    FTaskMessages.clear();
    FPassTries = 3;
    FProtocol.clear();
    const QDateTime now = FClock.now();
    const std::string startName = BackupName(true, now.date());
    const std::string endName = BackupName(false, now.date());
    platform::TIniFile hospital(FExePath + kHospitalIni);
    DTime->setTime(QTime(now.time().hour(), now.time().minute()));
    ledFilialDBPath->setText(Q(FIni->ReadString("WORK_PATH", "FILIALS_WORK_PATH", FExePath)));
    edFileDBF->setText(Q(FIni->ReadString("WORK_PATH", "DBF_P", FExePath)));
    edFileL->setText(Q(FIni->ReadString("WORK_PATH", "DBF_L", FExePath)));
    edFileLS->setText(Q(FIni->ReadString("WORK_PATH", "DBF_LS", FExePath)));
    FBackupPath = WithTrailingSlash(FIni->ReadString("BACKUP_Path", "DB_BACKUP_Path_MAIN", FExePath));
    edBackup->setText(Q(startName));
    edBackup2->setText(Q(endName));
    if (!Trimmed(ledFilialDBPath).empty() && FolderExists(Trimmed(ledFilialDBPath))) acRefreshFilialsExecute();
    edUser->setText(Q(FIni->ReadString("WORK_PATH", "User", "")));
    edPass->setText(Q(FIni->ReadString("WORK_PATH", "Pass", "")));
    edDB->setText(Q(FIni->ReadString("STAT_MAIN", "Database", "")));
    if (!Text(edDB).empty()) {
      try {
        FData.SetIBDatabaseName(connectionName(Text(edDB)));
        FData.ConnectIB();
      } catch (const std::exception& e) {
        const auto* pe = dynamic_cast<const platform::Exception*>(&e);
        const std::string cls = pe ? pe->className() : typeid(e).name();
        FPrompt.messageBox(W("Не удалось соединиться с БД\r") + Text(edDB) + "\r\r" + cls + "\r" + e.what(),
                           Caption());
      }
    }
    lbLPUName->setText(Q(hospital.ReadString("MY_HOSPITAL", "NAME_HOSPITAL", "")));
    edLPU->setText(Q(platform::IntToStr(hospital.ReadInteger("MY_HOSPITAL", "KOD_HOSPITAL", 0))));
    {
      std::string padded;
      edHTTP->setText(Q(FundAddress(Text(edLPU), padded)));
      if (!padded.empty()) edLPU->setText(Q(padded));
    }
    edSaveAs->setText(Q(FExePath + "FileTFOMS.dat"));
    edDop->setText(QStringLiteral("10"));
    edMKB1->setText(QStringLiteral("A00"));
    edMKB2->setText(QStringLiteral("T98.3"));
    edYear->setText(QString::number(now.date().year()));
    lvTasks->setCurrentItem(lvTasks->topLevelItem(0));
    lvTasks->setFocus(Qt::OtherFocusReason);
    std::string err;
    if (!FData.OpenSQLConnection(err, false)) {
      FPrompt.messageBox(W("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r") + err,
                         Caption());
    }
  } catch (const std::exception& e) {
    reportException(e);
  }
  FActivating = false;
  FActivated = true;
  ActionListUpdate();
  if (closeAfter || FCloseWanted) close();
}

void TfmMain::closeEvent(QCloseEvent* e) {
  if (FClosed) {
    e->accept();
    return;
  }
  if (running() || FActivating || FUpdateWaiting) {
    // The run's lists stay in use until the run ends, and the activation fills the
    // controls that the close writes back: the window closes when they are done.
    FCloseWanted = true;
    e->ignore();
    return;
  }
  tmTasks->stop();
  FActionTimer->stop();
  auto guarded = [this](const std::function<void()>& step) {
    try {
      step();
    } catch (const std::exception& ex) {
      const auto* pe = dynamic_cast<const platform::Exception*>(&ex);
      FPrompt.messageBox((pe ? std::string(pe->className()) : std::string(typeid(ex).name())) + "\r" + ex.what(),
                         Caption());
    }
  };
  if (FActivated) {
    guarded([this] {
      const std::string name = S(QDir::current().filePath(QString::fromUtf8("Протокол.txt")));
      SaveLines(name, FProtocol);
    });
  }
  FProtocol.clear();
  FTaskMessages.clear();
  guarded([this] {
    if (FData.IBConnected()) FData.DisconnectIB();
  });
  guarded([this] {
    if (FData.SQLConnected()) FData.DisconnectSQL();
  });
  if (FIni) {
    platform::TIniFile& ini = *FIni;
    const std::string iniName = FExePath + kMainIni;
    auto put = [&](const char* key, const std::string& value) {
      guarded([&] { ini.WriteString("WORK_PATH", key, value); });
    };
    for (auto [key, edit] : {std::pair{"DBF_P", edFileDBF}, std::pair{"DBF_L", edFileL}, std::pair{"DBF_LS", edFileLS}}) {
      if (!Trimmed(edit).empty() && FileExists(iniName)) put(key, Trimmed(edit));
    }
    if (!Trimmed(ledFilialDBPath).empty() && FolderExists(Trimmed(ledFilialDBPath))) {
      put("FILIALS_WORK_PATH", Trimmed(ledFilialDBPath));
    }
    if (!Trimmed(edHTTP).empty()) put("HTTP", Trimmed(edHTTP));
    if (!Trimmed(ledSMPFileName).empty()) {
      const std::string folder = ExtractFilePath(Trimmed(ledSMPFileName));
      if (FolderExists(folder)) put("SMP_WORK_PATH", folder);
    }
    if (!Trimmed(edUser).empty()) put("User", Trimmed(edUser));
    put("PachRen", Text(txtKestaAdress));
    guarded([&] { ini.WriteBool("WORK_PATH", "StartRen", chkStartRen->isChecked()); });
  }
  FIni.reset();
  FClosed = true;
  e->accept();
}

// ---------------------------------------------------------------------------------------------
// The timer and the timed run

void TfmMain::tmTasksTimer() {
  // A tick that arrives while a run or a run-now task pumps messages is not counted: the
  // previous tick stays, so a run time that passes meanwhile is caught at the next tick.
  if (FRunning || FBusy || FActivating || !FActivated) return;
  try {
    const QDateTime now = FClock.now();
    FProtocol.clear();
    pnlTime->setText(now.toString(QStringLiteral("HH:mm:ss")));
    const QDateTime previous = FLastTick;
    FLastTick = now;
    bool tail = true;
    if (RunDue(previous, now, DTime->time().hour(), DTime->time().minute())) {
      tail = false;
      runTasks();
      tail = FRunCompleted;
    }
    if (tail) {
      if (FData.IBConnected()) FData.DisconnectIB();
      if (FData.SQLConnected()) FData.DisconnectSQL();
    }
  } catch (const std::exception& e) {
    reportException(e);
  } catch (...) {
    FPrompt.showMessage(W("Неизвестная ошибка"));
  }
  if (FCloseWanted && !running()) QTimer::singleShot(0, this, &QWidget::close);
}

void TfmMain::runTasks() {
  FRunCompleted = false;
  tmTasks->stop();
  FRunning = true;
  std::string err;
  bool okSql = false;
  bool okIb = false;
  try {
    okSql = FData.OpenSQLConnection(err, false);
    okIb = FData.OpenIBDatabase(err);
  } catch (...) {
    FRunning = false;
    throw;
  }
  if (!okSql || !okIb) {
    FRunning = false;
    FPrompt.messageBox(W("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r") + err,
                       Caption());
    return;
  }
  try {
    for (int t = 0; t < kTaskCount; ++t) {
      if (ticked(t)) setStatus(t, StatusWaiting());
    }
    ProcessMessages();
    pnlTime->hide();
    bool stop = false;
    for (int t = 0; t < kTaskCount && !stop; ++t) runTask(t, stop);
    FRunCompleted = !stop;
  } catch (...) {
    endOfRun();
    throw;
  }
  endOfRun();
}

void TfmMain::endOfRun() {
  pnlTime->hide();
  pgcTasks->setEnabled(true);
  sbDBPath->setEnabled(true);
  DTime->setEnabled(true);
  for (int t = 0; t < kTaskCount; ++t) {
    const std::string s = status(t);
    if (!s.empty() && s != StatusDone()) setStatus(t, StatusInterrupted());
  }
  while (FCursorDepth > 0) SetBusyCursor(false);
  setEnabled(true);
  FRunFromScheduler = 0;
  FRunning = false;
  if (FFocusAfterRun) {
    FFocusAfterRun->setFocus(Qt::OtherFocusReason);
    FFocusAfterRun = nullptr;
  }
  ActionListUpdate();
}

void TfmMain::runTask(int t, bool& stop) {
  if (!ticked(t)) return;
  auto begin = [&](bool clearMessages) {
    setStatus(t, StatusRunning());
    ProcessMessages();
    if (clearMessages) FTaskMessages.clear();
  };
  auto finished = [&] {
    setStatus(t, StatusDone());
    QThread::msleep(1);
    ProcessMessages();
  };
  auto outcome = [&](bool ok, QLabel* label, const char* okText, const char* failText) {
    if (ok) {
      setLabel(label, W(okText));
      copyTaskMessages();
      finished();
    } else {
      setLabel(label, W(failText));
    }
  };
  try {
    switch (t) {
      case 0:
      case 11: {
        begin(false);
        QLineEdit* edit = t == 0 ? edBackup : edBackup2;
        QLabel* label = t == 0 ? lbBack : lbBack2;
        const std::string name = Trimmed(edit).empty() ? BackupName(t == 0, FClock.now().date()) : Trimmed(edit);
        std::string err;
        FData.BackupDatabase(FBackupPath, name, err);
        if (err.empty()) {
          appendBackupLine(name);
          setLabel(label, W("Файл резервной копии создан!"));
        } else {
          setLabel(label, t == 0 ? W("Не удалось создать резервную копию. ") + err
                                 : W("Не удалось создать резервную копию!"));
        }
        finished();
        break;
      }
      case 1: {
        begin(false);
        // An update the operator started first is waited for; then the run's own.
        waitWhile([this] { return FUpdateBusy; });
        setStatus(1, StatusRunning());
        UpdateRenExecute();
        waitWhile([this] { return FUpdateBusy; });
        if (!FUpdateDone) {
          const QDateTime n = FClock.now();
          FProtocol.push_back(ShortDate(n) + " " + LongTime(n) +
                              W(" Выполнение дальнейших задач остановлено из-за ошибки обновления программы ВИРЕЛ."));
          stop = true;
        }
        break;
      }
      case 2: {
        begin(true);
        const std::string file = Trimmed(edSaveAs).empty() ? std::string("FileTTF.ZIP") : Trimmed(edSaveAs);
        waitWhile([this] { return !FTfomsLoader.isNull(); });
        startTFOMSDownload(Trimmed(edHTTP), file, FExePath + kMainIni);
        waitWhile([this] { return !FTfomsLoader.isNull(); });
        break;
      }
      case 3:
        begin(true);
        outcome(FData.RefreshFromFOMS(Trimmed(edFileDBF), cbAdr->isChecked()), lbRefr, "Актуализация БД выполнена!",
                "Не удалось выполнить задание актуализации БД!");
        break;
      case 4:
        begin(true);
        outcome(FData.RefreshPrivileged(Trimmed(edFileL)), lbRefrLg, "Актуализация БД выполнена!",
                "Не удалось выполнить задание актуализации БД!");
        break;
      case 5: {
        begin(false);
        std::vector<std::string> files;
        for (int i = 0; i < lbFilials->count(); ++i) files.push_back(S(lbFilials->item(i)->text()));
        std::string result;
        FData.DealingFilialDB(true, files, cbKodPat->isChecked(), result);
        FTaskMessages = ParseDelimited(result, ';', '@');
        copyTaskMessages();
        finished();
        acRefreshFilialsExecute();
        break;
      }
      case 6: {
        if (!cbFIO->isChecked() && !cbPolice->isChecked() && !cbSNILS->isChecked()) {
          FPrompt.messageBox(W("Не задан тип проверки на дубликаты"), Caption());
          pgcTasks->setCurrentWidget(tsDupe);
          stop = true;
          break;
        }
        begin(true);
        bool ok = false;
        try {
          ok = FData.SearchDuplicates(cbFIO->isChecked(), cbPolice->isChecked(), cbSNILS->isChecked());
        } catch (...) {
          while (FCursorDepth > 0) SetBusyCursor(false);
          setEnabled(true);
          throw;
        }
        while (FCursorDepth > 0) SetBusyCursor(false);
        setEnabled(true);
        outcome(ok, lDubl, "Поиск дубликатов выполнен!", "Не удалось выполнить задание поиска дубликатов!");
        break;
      }
      case 7: {
        if (!checkZab()) {
          stop = true;
          break;
        }
        begin(true);
        bool ok = false;
        try {
          ok = FData.FixDiseaseCases(MaskText(edMKB1), MaskText(edMKB2), MaskText(edDop), Text(edYear));
        } catch (...) {
          while (FCursorDepth > 0) SetBusyCursor(false);
          setEnabled(true);
          throw;
        }
        while (FCursorDepth > 0) SetBusyCursor(false);
        setEnabled(true);
        outcome(ok, lZab, "Правка заболеваний выполнена!", "Не удалось выполнить задание правки заболеваний!");
        break;
      }
      case 8: {
        begin(false);
        int count = 0;
        std::string err;
        smpSteps(true, count, err);
        if (count == 4) {
          if (err.empty()) {
            FProtocol.push_back(W("Импорт вызовов СМП выполнен"));
            FProtocol.push_back(" ");
            finished();
          } else {
            FProtocol.push_back(W("Не выполнен импорт вызовов СМП"));
            FProtocol.push_back(" ");
            setStatus(t, StatusFailed());
          }
        }
        break;
      }
      case 9:
        FRunFromScheduler = 1;
        begin(true);
        FData.ImportXmlRegister(Trimmed(edF2), FRunFromScheduler);
        setLabel(lbreXML, W("Загрузка реестра XML выполнена!"));
        copyTaskMessages();
        finished();
        break;
      case 10:
        begin(true);
        outcome(FData.LoadDrugs(Trimmed(edFileLS)), lbLoadLS, "Справочник ЛС загружен!",
                "Не удалось выполнить задание!");
        break;
      default:
        break;
    }
  } catch (const ENotAvailable& e) {
    // The task cannot run in this build: it fails, the run goes on.
    FProtocol.push_back(TaskCaption(t) + ": " + e.message());
    FProtocol.push_back(" ");
    struct Failure {
      int task;
      QLabel* label;
      const char* text;
    } const failures[] = {
        {3, lbRefr, "Не удалось выполнить задание актуализации БД!"},
        {4, lbRefrLg, "Не удалось выполнить задание актуализации БД!"},
        {6, lDubl, "Не удалось выполнить задание поиска дубликатов!"},
        {7, lZab, "Не удалось выполнить задание правки заболеваний!"},
        {10, lbLoadLS, "Не удалось выполнить задание!"},
    };
    for (const Failure& f : failures) {
      if (f.task == t) setLabel(f.label, W(f.text));
    }
  }
}

void TfmMain::deleteSmpFiles(const std::string& folder) {
  for (const char* name : kSmpFiles) {
    const QString path = Q(folder + name);
    if (QFileInfo::exists(path)) QFile::remove(path);
  }
}

void TfmMain::smpSteps(bool fromScheduler, int& count, std::string& err) {
  (void)fromScheduler;
  const std::string archive = Text(ledSMPFileName);
  const std::string folder = ExtractFilePath(archive);
  deleteSmpFiles(folder);
  try {
    count = FExtractor.Extract(archive, folder, "*.*");
    if (count == 4) FData.ImportSMPCalls(folder, err);
  } catch (...) {
    deleteSmpFiles(folder);
    throw;
  }
  deleteSmpFiles(folder);
}

// ---------------------------------------------------------------------------------------------
// Checks

bool TfmMain::checkConnections(const std::string& lead, bool ibToo) {
  std::string err;
  const bool okSql = FData.OpenSQLConnection(err, false);
  const bool okIb = ibToo ? FData.OpenIBDatabase(err) : true;
  if (okSql && okIb) return true;
  FPrompt.messageBox(lead + err, Caption());
  return false;
}

bool TfmMain::checkDbfFile(QLineEdit* edit, bool focusOnMissing) {
  QWidget* pg = edit->parentWidget();
  while (pg && pgcTasks->indexOf(pg) < 0) pg = pg->parentWidget();
  const std::string name = Trimmed(edit);
  if (name.empty()) {
    FPrompt.showMessage(W("Не задан файл DBF"));
    showPageAndFocus(pg, edit);
    return false;
  }
  if (!FileExists(name)) {
    FPrompt.showMessage(W("Отсутствует файл ") + "\"" + name + "\"");
    if (focusOnMissing) showPageAndFocus(pg, edit);
    return false;
  }
  return true;
}

bool TfmMain::checkZab() {
  auto fail = [&](const char* text, QLineEdit* edit) {
    FPrompt.showMessage(W(text));
    showPageAndFocus(tsZab, edit);
    return false;
  };
  if (Trim(MaskText(edMKB1)) == ".") return fail("Не задана нижняя граница диапазона МКБ", edMKB1);
  if (Trim(MaskText(edMKB2)) == ".") return fail("Не задана верхняя граница диапазона МКБ", edMKB2);
  if (Trim(MaskText(edDop)).empty()) return fail("Не задан проверочный интервал", edDop);
  if (!(MaskText(edMKB1) < MaskText(edMKB2))) return fail("Нижняя граница больше верхней!", edMKB1);
  return true;
}

bool TfmMain::checkUserPass(bool showPage) {
  if (!(Trimmed(edPass).empty() && !Trimmed(edUser).empty())) return true;
  FPrompt.showMessage(W("Не задан пароль!"));
  showPageAndFocus(showPage ? tsLoadFile : nullptr, edPass);
  --FPassTries;
  if (FPassTries > 0) return false;
  // After the third refusal the user name is dropped and the checks go on; the count
  // starts again for the next time a user name is typed.
  edUser->clear();
  FPassTries = 3;
  return true;
}

bool TfmMain::checkHttp(bool showPage) {
  if (!Trimmed(edHTTP).empty()) return true;
  FPrompt.showMessage(W("Не задан адрес файла!"));
  showPageAndFocus(showPage ? tsLoadFile : nullptr, edHTTP);
  std::string padded;
  edHTTP->setText(Q(FundAddress(Text(edLPU), padded)));
  if (!padded.empty()) edLPU->setText(Q(padded));
  return false;
}

bool TfmMain::checkSaveAs(bool showPage) {
  if (!Trimmed(edSaveAs).empty()) return true;
  FPrompt.showMessage(W("Не задано имя файла для сохранения!"));
  showPageAndFocus(showPage ? tsLoadFile : nullptr, edSaveAs);
  edSaveAs->setText(QStringLiteral("FileTFOMS.dat"));
  return false;
}

// ---------------------------------------------------------------------------------------------
// Arming

void TfmMain::acTimerTurnONExecute() {
  if (running() || tmTasks->isActive()) return;
  FBusy = true;
  bool armed = false;
  try {
    for (int t = 0; t < kTaskCount; ++t) setStatus(t, std::string());
    bool any = false;
    for (int t = 0; t < kTaskCount; ++t) any = any || ticked(t);
    if (!any) {
      FPrompt.showMessage(W("Нет выбранных заданий"));
    } else {
      armed = true;
      static const int kOrder[] = {0, 11, 2, 3, 4, 6, 5, 8, 9, 10};
      for (int t : kOrder) {
        if (!ticked(t)) continue;
        bool ok = true;
        switch (t) {
          case 0:
          case 11: {
            QLineEdit* edit = t == 0 ? edBackup : edBackup2;
            if (Trimmed(edit).empty()) {
              FPrompt.showMessage(W("Не задано имя файла - резервной копии"));
              showPageAndFocus(t == 0 ? tsActualityFromFOMS : tsCopy, edit);
              ok = false;
            }
            break;
          }
          case 2:
            ok = checkUserPass(true) && checkHttp(true) && checkSaveAs(true);
            break;
          case 3:
            ok = checkConnections(W("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r"),
                                  true) &&
                 checkDbfFile(edFileDBF, false);
            break;
          case 4:
            ok = checkConnections(W("Не удалось соединиться с БД в задаче актуализации льготников:\r"), true) &&
                 checkDbfFile(edFileL, false);
            break;
          case 6:
            ok = checkConnections(W("Не удалось соединиться с БД в задаче проверки на дубликаты\r"), true);
            if (ok && !cbFIO->isChecked() && !cbPolice->isChecked() && !cbSNILS->isChecked()) {
              FPrompt.messageBox(W("Не задан тип проверки на дубликаты\r"), Caption());
              pgcTasks->setCurrentWidget(tsDupe);
              ok = false;
            }
            break;
          case 5:
            if (Trimmed(ledFilialDBPath).empty()) {
              FPrompt.messageBox(W("Актуализация БД из филиалов: не задан каталог\r"), Caption());
              pgcTasks->setCurrentWidget(tsFilialsActualization);
              ok = false;
            } else if (lbFilials->count() == 0) {
              FPrompt.messageBox(W("Актуализация БД из филиалов: список файлов из филиалов ПУСТОЙ\r"), Caption());
              pgcTasks->setCurrentWidget(tsFilialsActualization);
              ok = false;
            } else {
              ok = checkConnections(W("Не удалось соединиться с БД в задаче актуализации БД из филиалов:\r"), false);
            }
            break;
          case 8:
            ok = checkConnections(W("Не удалось соединиться с БД в задаче импорта вызовов СМП:\r"), true);
            break;
          case 9:
            ok = checkConnections(W("Не удалось соединиться с БД в задаче загрузки реестра XML:\r"), true);
            if (ok && Trimmed(edF2).empty()) {
              FPrompt.showMessage(W("Не задан файл XML"));
              showPageAndFocus(TabSheet1, edF2);
              ok = false;
            }
            break;
          case 10:
            ok = checkDbfFile(edFileLS, true);
            break;
          default:
            break;
        }
        if (!ok) {
          armed = false;
          break;
        }
      }
    }
  } catch (const std::exception& e) {
    armed = false;
    reportException(e);
  }
  FBusy = false;
  if (armed) {
    FLastTick = FClock.now();
    tmTasks->start();
    pnlTime->setText(FLastTick.toString(QStringLiteral("HH:mm:ss")));
    pnlTime->show();
    pgcTasks->setEnabled(false);
    sbDBPath->setEnabled(false);
    DTime->setEnabled(false);
  }
  ActionListUpdate();
  if (FCloseWanted) QTimer::singleShot(0, this, &QWidget::close);
}

void TfmMain::acTimerTurnOFFExecute() {
  tmTasks->stop();
  pgcTasks->setEnabled(true);
  pnlTime->hide();
  sbDBPath->setEnabled(true);
  DTime->setEnabled(true);
  ActionListUpdate();
}

void TfmMain::acStopExecute() { pgcTasks->setCurrentWidget(tsTovi); }

// ---------------------------------------------------------------------------------------------
// Run-now actions

void TfmMain::runNow(int task, const std::function<bool()>& call, QLabel* label, const std::string& ok,
                     const std::string& fail) {
  FBusy = true;
  SetBusyCursor(true);
  ProcessMessages();
  setEnabled(false);
  FTaskMessages.clear();
  try {
    if (call()) {
      setLabel(label, ok);
      copyTaskMessages();
      setStatus(task, StatusDone());
      QThread::msleep(1);
      ProcessMessages();
    } else {
      setLabel(label, fail);
    }
  } catch (const ENotAvailable& e) {
    setLabel(label, fail);
    FPrompt.messageBox(e.message(), Caption());
  } catch (const std::exception& e) {
    reportException(e);
  }
  while (FCursorDepth > 0) SetBusyCursor(false);
  setEnabled(true);
  FBusy = false;
  if (FCloseWanted) QTimer::singleShot(0, this, &QWidget::close);
}

// A run-now handler: refused while anything runs; nothing it calls escapes it.
#define RUN_NOW_GUARD                                                                    \
  if (running()) return;                                                                \
  try {
#define RUN_NOW_END                                                                      \
  }                                                                                     \
  catch (const std::exception& e) {                                                     \
    reportException(e);                                                                 \
  }

void TfmMain::acRefreshFromFOMSExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r"), true))
    return;
  if (!checkDbfFile(edFileDBF, true)) return;
  runNow(3, [this] { return FData.RefreshFromFOMS(Trimmed(edFileDBF), cbAdr->isChecked()); }, lbRefr,
         W("Актуализация БД выполнена!"), W("Не удалось выполнить задание актуализации БД!"));
  RUN_NOW_END
}

void TfmMain::acRefreshLExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче актуализации льготников\r"), true)) return;
  if (!checkDbfFile(edFileL, true)) return;
  runNow(4, [this] { return FData.RefreshPrivileged(Trimmed(edFileL)); }, lbRefrLg, W("Актуализация БД выполнена!"),
         W("Не удалось выполнить задание актуализации БД!"));
  RUN_NOW_END
}

void TfmMain::acDublExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче поиска дубликатов:\r"), true)) return;
  if (!cbFIO->isChecked() && !cbPolice->isChecked() && !cbSNILS->isChecked()) {
    FPrompt.messageBox(W("Не задан тип проверки на дубликаты\r"), Caption());
    pgcTasks->setCurrentWidget(tsDupe);
    return;
  }
  runNow(6, [this] { return FData.SearchDuplicates(cbFIO->isChecked(), cbPolice->isChecked(), cbSNILS->isChecked()); },
         lDubl, W("Поиск дубликатов выполнен!"), W("Не удалось выполнить задание поиска дубликатов!"));
  RUN_NOW_END
}

void TfmMain::acZabolExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче правки заболеваний:\r"), true)) return;
  if (!checkZab()) return;
  if (Trimmed(edYear).empty()) edYear->setText(QString::number(FClock.now().date().year()));
  runNow(7,
         [this] { return FData.FixDiseaseCases(MaskText(edMKB1), MaskText(edMKB2), MaskText(edDop), Text(edYear)); },
         lZab, W("Правка заболеваний выполнена!"), W("Не удалось выполнить задание правки заболеваний!"));
  RUN_NOW_END
}

void TfmMain::acLoadLSExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче загрузки справочника ЛС:\r"), true)) return;
  if (!checkDbfFile(edFileLS, true)) return;
  runNow(10, [this] { return FData.LoadDrugs(Trimmed(edFileLS)); }, lbLoadLS, W("Справочник ЛС загружен!"),
         W("Не удалось загрузить справочник ЛС!"));
  RUN_NOW_END
}

void TfmMain::tbBackup1Click() {
  RUN_NOW_GUARD
  backupNow(0, edBackup, tsActualityFromFOMS, lbBack, W("Не удалось создать резервную копию. "));
  RUN_NOW_END
}

void TfmMain::tbBackup2Click() {
  RUN_NOW_GUARD
  backupNow(11, edBackup2, tsCopy, lbBack2, W("Не удалось создать резервную копию."));
  RUN_NOW_END
}

// Tasks 0 and 11 from their pages: the file name from `edit`, the outcome on `label`,
// whose failure text is followed by the error text of the backup.
void TfmMain::backupNow(int task, QLineEdit* edit, QWidget* page, QLabel* label, const std::string& failure) {
  if (!checkConnections(W("Не удалось соединиться с БД.\r"), true)) return;
  if (Trimmed(edit).empty()) {
    FPrompt.showMessage(W("Не задано имя файла - резервной копии"));
    showPageAndFocus(page, edit);
    return;
  }
  std::string err;
  const std::string name = Trimmed(edit);
  runNow(task,
         [&] {
           FData.BackupDatabase(FBackupPath, name, err);
           if (!err.empty()) return false;
           appendBackupLine(name);
           return true;
         },
         label, W("Файл резервной копии создан!"), failure);
  if (!err.empty()) setLabel(label, failure + err);
}

void TfmMain::acLoadRefreshFromFOMSExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r"), true))
    return;
  if (!checkUserPass(false) || !checkHttp(false) || !checkSaveAs(false)) return;
  SetBusyCursor(true);
  setEnabled(false);
  FTaskMessages.clear();
  const std::string url = Trimmed(edHTTP);
  const std::string file = Trimmed(edSaveAs);
  edSaveAs->setText(Q(file));
  SetBusyCursor(false);
  setEnabled(true);
  startTFOMSDownload(url, file, FExePath + kMainIni);
  RUN_NOW_END
}

void TfmMain::acStartDealingFilialDBExecute() {
  RUN_NOW_GUARD
  std::string err;
  if (FData.OpenSQLConnection(err, true)) {
    FBusy = true;
    SetBusyCursor(true);
    setEnabled(false);
    try {
      std::vector<std::string> files;
      for (int i = 0; i < lbFilials->count(); ++i) files.push_back(S(lbFilials->item(i)->text()));
      std::string result;
      FData.DealingFilialDB(false, files, cbKodPat->isChecked(), result);
      FPrompt.messageBox(result.empty() ? W("Успешное завершение актуализации БД") : result, Caption());
    } catch (const ENotAvailable& e) {
      FPrompt.messageBox(e.message(), Caption());
    } catch (const std::exception& e) {
      reportException(e);
    }
    while (FCursorDepth > 0) SetBusyCursor(false);
    setEnabled(true);
    FBusy = false;
  } else if (FData.SQLConnected()) {
    FPrompt.messageBox(err, Caption());
    FData.DisconnectSQL();
  } else {
    FPrompt.messageBox(W("Не удалось соединиться с БД в задаче актуализации БД из филиалов:\r") + err, Caption());
  }
  RUN_NOW_END
}

void TfmMain::acSMPImportExecute() {
  if (running()) return;
  FBusy = true;
  SetBusyCursor(true);
  const std::string archive = Text(ledSMPFileName);
  try {
    int count = 0;
    std::string err;
    smpSteps(false, count, err);
    if (count == 4) {
      if (!err.empty()) {
        FPrompt.messageBox(err, Caption());
      } else {
        FPrompt.messageBox(W("Успешное завершение импорта вызовов СМП"), Caption());
        ledSMPFileName->clear();
      }
    }
  } catch (const ENotAvailable& e) {
    FPrompt.messageBox(e.message(), Caption());
  } catch (const std::exception& e) {
    const auto* pe = dynamic_cast<const platform::Exception*>(&e);
    FPrompt.messageBox(W("Ошибка при разархивировании файла ") + archive + " :" + "\r\r" +
                           (pe ? std::string(pe->className()) : std::string(typeid(e).name())) + "\r" + e.what(),
                       ProgramTitle());
  }
  while (FCursorDepth > 0) SetBusyCursor(false);
  FBusy = false;
  if (FCloseWanted) QTimer::singleShot(0, this, &QWidget::close);
}

void TfmMain::sbExecClick(bool fromScheduler) {
  if (!fromScheduler) {
    if (running()) return;
    FRunFromScheduler = 0;
  }
  FBusy = true;
  try {
    FData.ImportXmlRegister(Trimmed(edF2), FRunFromScheduler);
  } catch (const ENotAvailable& e) {
    FPrompt.messageBox(e.message(), Caption());
  } catch (const std::exception& e) {
    reportException(e);
  }
  while (FCursorDepth > 0) SetBusyCursor(false);
  setEnabled(true);
  FBusy = false;
  if (FCloseWanted) QTimer::singleShot(0, this, &QWidget::close);
}

// ---------------------------------------------------------------------------------------------
// Action enabling

void TfmMain::ActionListUpdate() {
  ActionState s;
  s.page = pgcTasks->currentIndex();
  s.kestaAddressSet = !Trimmed(txtKestaAdress).empty();
  s.httpSet = !Trimmed(edHTTP).empty();
  s.userSet = !Trimmed(edUser).empty();
  s.passSet = !Trimmed(edPass).empty();
  s.filialFolderExists = FolderExists(Trimmed(ledFilialDBPath));
  s.smpFileSet = !Text(ledSMPFileName).empty();
  s.timerOn = tmTasks->isActive();
  s.running = running();
  if (s.page == 2 || s.page == 3) {
    try {
      s.ibConnected = FData.IBConnected();
    } catch (const std::exception&) {
      s.ibConnected = false;
    }
  }
  const ActionFlags f = ComputeActions(s);
  auto apply = [](QAction* a, const std::optional<bool>& v) {
    if (v) a->setEnabled(*v);
  };
  apply(UpdateRen, f.UpdateRen);
  apply(acRefreshFromFOMS, f.acRefreshFromFOMS);
  apply(acLoadRefreshFromFOMS, f.acLoadRefreshFromFOMS);
  apply(acRefreshFilials, f.acRefreshFilials);
  apply(acStartDealingFilialDB, f.acStartDealingFilialDB);
  apply(acDelFilialFile, f.acDelFilialFile);
  apply(acSMPImport, f.acSMPImport);
  acTimerTurnOFF->setEnabled(f.acTimerTurnOFF);
  acTimerTurnON->setEnabled(f.acTimerTurnON);
  // A download of each kind at a time.
  if (FUpdateBusy) UpdateRen->setEnabled(false);
  if (FTfomsLoader) acLoadRefreshFromFOMS->setEnabled(false);
}

// ---------------------------------------------------------------------------------------------
// Choosers

std::string TfmMain::fileDialog(bool save, const std::string& filter, const std::string& ext,
                                const std::string& title, const std::string& dir, const std::string& file) {
  FileDialogRequest r{filter, ext, title, dir, file};
  std::string chosen;
  try {
    const bool ok = save ? FPrompt.saveFile(r, chosen) : FPrompt.openFile(r, chosen);
    if (!ok) chosen.clear();
  } catch (const std::exception& e) {
    reportException(e);
    chosen.clear();
  }
  return chosen;
}

void TfmMain::chooseDbfInto(QLineEdit* edit, const std::string& title, const std::string& filter,
                            const std::string& ext) {
  const std::string current = Trimmed(edit);
  std::string dir = FExePath;
  std::string file;
  if (!current.empty()) {
    dir = ExtractFilePath(current);
    file = current.substr(dir.size());
    if (dir.empty()) dir = FExePath;
  }
  const std::string chosen = fileDialog(false, filter, ext, title, dir, file);
  if (!chosen.empty()) edit->setText(Q(chosen));
}

void TfmMain::sbDBPathClick() {
  const std::string chosen =
      fileDialog(false, W("Файлы *.GDB|*.gdb"), "gdb", W("Выбор файла БД статистики"), FExePath, "");
  if (chosen.empty()) return;
  edDB->setText(Q(chosen));
  try {
    if (FData.IBConnected()) FData.DisconnectIB();
    FData.SetIBDatabaseName(connectionName(chosen));
    const std::string host = FIni ? FIni->ReadString("DB_PCName", "DB_PCName", "LocalHost") : "LocalHost";
    FData.UseDatabase(host, chosen);
  } catch (const std::exception& e) {
    reportException(e);
  }
  ActionListUpdate();
}

void TfmMain::sbOpenDBFClick() {
  chooseDbfInto(edFileDBF, W("Файл прикрепленного населения ТФОМС"), W("Файлы *.DBF|*.dbf"), "dbf");
}
void TfmMain::sbOpenLClick() { chooseDbfInto(edFileL, W("Файл льготников"), W("Файлы *.DBF|*.dbf"), "dbf"); }
void TfmMain::sbOpenLSClick() { chooseDbfInto(edFileLS, W("Справочник ЛСС"), W("Файлы *.DBF|*.dbf"), "dbf"); }
void TfmMain::sbOpen2Click() { chooseDbfInto(edF2, W("Файл реестра XML"), W("Файлы *.XML|*.xml"), "xml"); }

void TfmMain::sbOpenBClick() {
  const std::string chosen = fileDialog(false, W("Файлы *.GBK|*.gbk"), "gbk", W("Файл резервной копии БД"),
                                        FBackupPath, Trimmed(edBackup).empty() ? "" : Text(edBackup));
  if (!chosen.empty()) edBackup->setText(Q(chosen));
}

void TfmMain::sbOpenB2Click() {
  const std::string chosen = fileDialog(false, W("Файлы *.GBK|*.gbk"), "gbk", W("Файл резервной копии БД"),
                                        FBackupPath, Trimmed(edBackup2).empty() ? "" : Text(edBackup2));
  if (!chosen.empty()) edBackup2->setText(Q(chosen));
}

void TfmMain::sbLoadSMPFileClick() {
  const std::string chosen = fileDialog(false, W("Файлы *.ZIP|*.zip"), "zip", W("ZIP-Файл данных СМП"), FSMPPath, "");
  if (!chosen.empty()) ledSMPFileName->setText(Q(chosen));
}

void TfmMain::sbtSaveAsClick() {
  const std::string chosen = fileDialog(true, W("Все файлы (*.*)|*.*"), "", W("Сохранить в файл..."), FExePath, "");
  if (!chosen.empty()) edSaveAs->setText(Q(chosen));
}

// ---------------------------------------------------------------------------------------------
// Branch archive list

void TfmMain::acRefreshFilialsExecute() {
  lbFilials->clear();
  const std::string folder = Trimmed(ledFilialDBPath);
  if (folder.empty()) return;
  QDir dir(Q(folder));
  if (!dir.exists()) return;
  const QStringList names =
      dir.entryList({QStringLiteral("*.zip")}, QDir::Files | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
  const std::string prefix = WithTrailingSlash(folder);
  for (const QString& n : names) lbFilials->addItem(Q(prefix + S(n)));
  if (lbFilials->count() > 0) lbFilials->setCurrentRow(0);
  ActionListUpdate();
}

void TfmMain::acDelFilialFileExecute() {
  const int index = lbFilials->currentRow();
  if (index < 0 || index >= lbFilials->count()) return;
  delete lbFilials->takeItem(index);
  if (lbFilials->count() == 0) return;
  lbFilials->setCurrentRow(index < lbFilials->count() ? index : lbFilials->count() - 1);
}

void TfmMain::sbFilialDBPathClick() {
  std::string path = Trimmed(ledFilialDBPath);
  bool ok = false;
  try {
    ok = FPrompt.browseFolder("", path);
  } catch (const std::exception& e) {
    reportException(e);
  }
  if (!ok) return;
  ledFilialDBPath->setText(Q(path));
  acRefreshFilialsExecute();
}

// ---------------------------------------------------------------------------------------------
// Task list

void TfmMain::lvTasksSelectItem() {
  QTreeWidgetItem* item = lvTasks->currentItem();
  if (!item) return;
  const int index = lvTasks->indexOfTopLevelItem(item);
  if (index >= 0) pgcTasks->setCurrentIndex(index);
}

void TfmMain::lvTasksItemChanged(QTreeWidgetItem* item, int column) {
  if (column != 0 || !item) return;
  QSignalBlocker block(lvTasks);
  lvTasks->clearSelection();
  lvTasks->setCurrentItem(item);
  item->setSelected(true);
  pgcTasks->setCurrentIndex(lvTasks->indexOfTopLevelItem(item));
}

bool TfmMain::eventFilter(QObject* watched, QEvent* e) {
  if (watched == lvTasks->viewport()) {
    if (e->type() == QEvent::MouseButtonPress) {
      const auto* me = static_cast<QMouseEvent*>(e);
      FPressPos = me->position().toPoint();
      QTreeWidgetItem* under = lvTasks->itemAt(FPressPos);
      if (under && lvTasks->currentItem() && under != lvTasks->currentItem()) {
        {
          QSignalBlocker block(lvTasks);
          lvTasks->clearSelection();
        }
        lvTasks->setCurrentItem(under);
        lvTasks->setFocus(Qt::MouseFocusReason);
      }
    } else if (e->type() == QEvent::MouseButtonDblClick) {
      QTreeWidgetItem* under = lvTasks->itemAt(FPressPos);
      if (under) under->setCheckState(0, under->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
      return true;
    }
    return false;
  }
  if ((watched == edMKB1 || watched == edMKB2) && e->type() == QEvent::KeyPress) {
    auto* ke = static_cast<QKeyEvent*>(e);
    const QString text = ke->text();
    if (text.size() == 1) {
      const char16_t latin = LatinForCyrillicKey(text.at(0).unicode());
      if (latin != 0) {
        const int key = Qt::Key_A + (QChar(latin).toUpper().unicode() - u'A');
        QKeyEvent replaced(QEvent::KeyPress, key, ke->modifiers(), QString(QChar(latin)));
        QCoreApplication::sendEvent(watched, &replaced);
        return true;
      }
    }
  }
  return QWidget::eventFilter(watched, e);
}

// ---------------------------------------------------------------------------------------------
// Protocol window, tray menu

void TfmMain::acShowProtocolExecute() {
  TListFM dlg(FPrompt, FExePath, FProtocol, this);
  dlg.exec();
}

void TfmMain::miShowClick() {
  if (isVisible()) {
    showNormal();
    raise();
    activateWindow();
  } else {
    show();
  }
}

void TfmMain::miExitClick() { close(); }
