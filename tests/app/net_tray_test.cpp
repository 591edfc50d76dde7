// The tray icon component on a recording host (no real notification area needed).
#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "app/ShellText.h"
#include "app/sdTray.h"
#include "shell_fakes.h"

namespace {

using namespace testshell;

struct Host : ITrayHost {
  std::vector<std::string>* log;
  explicit Host(std::vector<std::string>* l) : log(l) {}
  void Add(const QIcon& icon, const QString& tip) override {
    log->push_back("add " + shell::S(tip) + " " + std::to_string(icon.cacheKey()));
  }
  void Modify(const QIcon& icon, const QString& tip) override {
    log->push_back("modify " + shell::S(tip) + " " + std::to_string(icon.cacheKey()));
  }
  void Delete() override { log->push_back("delete"); }
};

QIcon Coloured(Qt::GlobalColor c) {
  QPixmap p(8, 8);
  p.fill(c);
  return QIcon(p);
}

struct Tray : ::testing::Test {
  std::vector<std::string> log;
  TsdImageList icons{Coloured(Qt::red), Coloured(Qt::green)};
  std::unique_ptr<TsdTrayIcon> t{new TsdTrayIcon(nullptr, std::make_unique<Host>(&log))};
  std::vector<std::string> clicks;
  Tray() {
    t->OnClick = [this](QObject*, TsdMouseButton b, TsdShiftState, int x, int y) {
      clicks.push_back(std::string(b == TsdMouseButton::mbLeft ? "click L " : "click R ") + std::to_string(x) + "," +
                       std::to_string(y));
    };
    t->OnDblClick = [this](QObject*, TsdMouseButton, TsdShiftState s, int, int) {
      clicks.push_back(s.Double ? "dbl" : "dbl?");
    };
    t->ClickTimer(TsdMouseButton::mbLeft)->setInterval(1);
    t->ClickTimer(TsdMouseButton::mbRight)->setInterval(1);
  }
  void waitTimer(TsdMouseButton b) {
    QSignalSpy spy(t->ClickTimer(b), &QTimer::timeout);
    ASSERT_TRUE(spy.wait(2000));
  }
  std::string key(const QIcon& i) { return std::to_string(i.cacheKey()); }
};

TEST_F(Tray, ActivationWaitsForTheEndOfLoadingAndTheTipIsCut) {
  t->SetHint(std::string(200, 'h'));
  t->SetActive(true);
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(t->Active());
  t->Loaded();
  EXPECT_TRUE(t->Active());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("add " + std::string(127, 'h') + " ", 0), 0u);
  t->SetHint("tip");
  EXPECT_EQ(log.back().rfind("modify tip ", 0), 0u);
  t->SetActive(false);
  EXPECT_EQ(log.back(), "delete");
  t->SetHint("quiet");  // inactive: nothing is passed
  EXPECT_EQ(log.back(), "delete");
}

TEST_F(Tray, TheStillIconFallsBackToTheApplicationIcon) {
  const QIcon app = Coloured(Qt::blue);
  QApplication::setWindowIcon(app);
  t->SetStateIcons(&icons);
  t->SetStateIndex(1);
  EXPECT_EQ(t->CurrentIcon().cacheKey(), icons[1].cacheKey());
  t->SetStateIndex(2);  // beyond the list
  EXPECT_EQ(t->CurrentIcon().cacheKey(), QApplication::windowIcon().cacheKey());
  t->SetStateIndex(-1);
  EXPECT_EQ(t->CurrentIcon().cacheKey(), QApplication::windowIcon().cacheKey());
  QApplication::setWindowIcon(QIcon());
  EXPECT_FALSE(t->CurrentIcon().isNull());
}

TEST_F(Tray, TheAnimationCyclesThroughItsFrames) {
  t->Loaded();
  t->SetActive(true);
  t->SetAnimatedIcons(&icons);
  t->SetAnimatedDelay(1);
  t->SetAnimated(true);
  std::vector<int> frames;
  for (int i = 0; i < 3; ++i) {
    QSignalSpy spy(t->AnimationTimer(), &QTimer::timeout);
    ASSERT_TRUE(spy.wait(2000));
    frames.push_back(t->FrameIndex());
  }
  EXPECT_EQ(frames, (std::vector<int>{0, 1, 0}));
  EXPECT_EQ(t->CurrentIcon().cacheKey(), icons[0].cacheKey());
  t->SetAnimated(false);
  EXPECT_EQ(t->FrameIndex(), -1);
  EXPECT_THROW(t->SetAnimatedDelay(-1), ERangeError);
  EXPECT_EQ(t->AnimatedDelay(), 1);
}

TEST_F(Tray, ADoubleClickFiresNoSingleClick) {
  t->MouseDown(TsdMouseButton::mbLeft, QPoint(5, 6), {});
  t->MouseDoubleClick(TsdMouseButton::mbLeft, QPoint(5, 6), {});
  waitTimer(TsdMouseButton::mbLeft);
  EXPECT_EQ(clicks, (std::vector<std::string>{"dbl"}));
  // A lone press is a click once the timer has run out.
  clicks.clear();
  t->MouseDown(TsdMouseButton::mbRight, QPoint(7, 8), {});
  EXPECT_TRUE(clicks.empty());
  waitTimer(TsdMouseButton::mbRight);
  EXPECT_EQ(clicks, (std::vector<std::string>{"click R 7,8"}));
}

TEST_F(Tray, ADoubleClickRunsTheDefaultItemOfTheChosenPopup) {
  QMenu menu;
  QAction* open = menu.addAction(QStringLiteral("Open"));
  int runs = 0;
  QObject::connect(open, &QAction::triggered, [&] { ++runs; });
  menu.setDefaultAction(open);
  t->SetRightPopup(&menu);
  t->MouseDoubleClick(TsdMouseButton::mbLeft, QPoint(1, 1), {});
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(clicks.empty());
  open->setEnabled(false);  // a disabled default item: the event instead
  t->MouseDoubleClick(TsdMouseButton::mbLeft, QPoint(1, 1), {});
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(clicks, (std::vector<std::string>{"dbl"}));
  t->DblClickAsDefaultItem = TsdDblClickAsDefaultItem::sddiNone;
  open->setEnabled(true);
  t->MouseDoubleClick(TsdMouseButton::mbLeft, QPoint(1, 1), {});
  EXPECT_EQ(runs, 1);
}

TEST_F(Tray, AClickWithAPopupShowsItInsteadOfTheEvent) {
  auto* menu = new QMenu;
  menu->addAction(QStringLiteral("x"));
  t->SetLeftPopup(menu);
  t->MouseDown(TsdMouseButton::mbLeft, QPoint(10, 10), {});
  waitTimer(TsdMouseButton::mbLeft);
  EXPECT_TRUE(clicks.empty());
  EXPECT_TRUE(menu->isVisible());
  menu->hide();
  delete menu;  // the component forgets a popup that is gone
  EXPECT_EQ(t->LeftPopup(), nullptr);
  t->MouseDown(TsdMouseButton::mbLeft, QPoint(10, 10), {});
  waitTimer(TsdMouseButton::mbLeft);
  EXPECT_EQ(clicks, (std::vector<std::string>{"click L 10,10"}));
}

TEST_F(Tray, TheIconComesBackWhenTheTaskbarRestartsOnlyWhenActive) {
  t->SetStateIcons(&icons);
  t->SetStateIndex(0);
  t->Loaded();
  t->TaskbarCreated();
  EXPECT_TRUE(log.empty());
  t->SetActive(true);
  t->TaskbarCreated();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "add  " + key(icons[0]));
  EXPECT_EQ(log[1], log[0]);
  t->EndSession();
  EXPECT_FALSE(t->Active());
  EXPECT_EQ(log.back(), "delete");
}

TEST(MainWindowTray, IsActiveWithItsHintIconAndMenu) {
  Shell sh(true, "");
  sh.create();
  TsdTrayIcon* tray = sh.w->sdTrayIcon;
  EXPECT_TRUE(tray->Active());
  EXPECT_EQ(tray->Hint(), C("ВИРЕЛ - планировщик заданий"));
  EXPECT_EQ(tray->StateIndex(), 3);
  EXPECT_EQ(tray->AnimatedDelay(), 500);
  ASSERT_EQ(tray->RightPopup(), sh.w->pmTrayIcon);
  const auto actions = sh.w->pmTrayIcon->actions();
  ASSERT_EQ(actions.size(), 3);
  EXPECT_EQ(actions[0]->text(), QString::fromUtf8("Открыть"));
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_EQ(actions[2]->text(), QString::fromUtf8("Выгрузить"));
  sh.w->show();
  sh.w->hide();
  actions[0]->trigger();
  EXPECT_TRUE(sh.w->isVisible());
  actions[2]->trigger();
  EXPECT_FALSE(sh.w->isVisible());
}

}  // namespace
