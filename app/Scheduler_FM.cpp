// The main window: the task texts, the construction of the window and its controls, the
// interface of the task bodies and the small helpers the other parts share. Activation and
// close, the timed run, arming, the run-now actions and the choosers have files of their own
// (Scheduler_FM_*.cpp).
#include "app/Scheduler_FM.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QThread>

#include <typeinfo>

#include "app/MyDLFile.h"
#include "app/Scheduler_FM_Local.h"
#include "app/ShellText.h"
#include "app/sdTray.h"
#include "archive/arcUnRar.h"
#include "platform/codepage.h"
#include "platform/strutil.h"

using namespace shell;
using namespace shell::fm;
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
  // Without the library the component stays and every RAR extraction reports it missing.
  arc::LoadUnRarLibrary();
  UnRar1 = std::make_unique<arc::TUnRar>();
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
  UnRar1.reset();
  arc::FreeUnRarLibrary();
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
  FPrompt.showMessage(platform::ExceptionClassName(e) + "\r" + e.what());
}

void TfmMain::reportUnknownException() { FPrompt.showMessage(W("Неизвестная ошибка")); }

std::string TfmMain::connectionName(const std::string& path) const {
  const std::string host = FIni ? FIni->ReadString("DB_PCName", "DB_PCName", "LocalHost") : "LocalHost";
  return host.empty() ? path : host + ":" + path;
}

