#include "app/sdTray.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QStyle>
#include <QSystemTrayIcon>

#include "app/ShellText.h"

namespace {

TsdShiftState KeyState() {
  TsdShiftState s;
  const Qt::KeyboardModifiers m = QGuiApplication::queryKeyboardModifiers();
  s.Shift = m & Qt::ShiftModifier;
  s.Ctrl = m & Qt::ControlModifier;
  s.Alt = m & Qt::AltModifier;
  return s;
}

}  // namespace

TsdTrayIcon::TsdTrayIcon(QObject* owner, std::unique_ptr<ITrayHost> host) : QObject(owner), FHost(std::move(host)) {
  if (!FHost) {
    auto qt = std::make_unique<TQtTrayHost>();
    qt->Attach(this);
    FHost = std::move(qt);
  }
  FAnimTimer = new QTimer(this);
  FAnimTimer->setInterval(FAnimatedDelay);
  connect(FAnimTimer, &QTimer::timeout, this, &TsdTrayIcon::Tick);
  const int clickDelay = QApplication::doubleClickInterval() / 3 * 2;
  FLeftTimer = new QTimer(this);
  FRightTimer = new QTimer(this);
  for (QTimer* t : {FLeftTimer, FRightTimer}) {
    t->setInterval(clickDelay);
    t->setSingleShot(true);
  }
  connect(FLeftTimer, &QTimer::timeout, this, [this] { ClickTimerFired(TsdMouseButton::mbLeft); });
  connect(FRightTimer, &QTimer::timeout, this, [this] { ClickTimerFired(TsdMouseButton::mbRight); });
  // Log-off and shut-down take the icon away.
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(app, &QCoreApplication::aboutToQuit, this, &TsdTrayIcon::EndSession);
  }
}

TsdTrayIcon::~TsdTrayIcon() {
  SetActive(false);
  FDestroying = true;
}

void TsdTrayIcon::Loaded() {
  FLoading = false;
  if (FActiveWanted) SetActive(true);
}

void TsdTrayIcon::SetActive(bool on) {
  if (FLoading) {
    FActiveWanted = on;
    return;
  }
  if (on == FActive || FDestroying) return;
  FActive = on;
  if (on) {
    UpdateIcon(false);
    FHost->Add(CurrentIcon(), PassedTip());
  } else {
    FHost->Delete();
  }
}

void TsdTrayIcon::SetStateIndex(int index) {
  FStateIndex = index;
  UpdateIcon(false);
  if (FActive) FHost->Modify(CurrentIcon(), PassedTip());
}

void TsdTrayIcon::SetStateIcons(const TsdImageList* list) {
  FStateIcons = list;
  UpdateIcon(false);
  if (FActive) FHost->Modify(CurrentIcon(), PassedTip());
}

void TsdTrayIcon::SetHint(const std::string& hint) {
  FHint = hint;
  if (FActive) FHost->Modify(CurrentIcon(), PassedTip());
}

QString TsdTrayIcon::PassedTip() const { return shell::Q(FHint.substr(0, 127)); }

void TsdTrayIcon::SetAnimated(bool on) {
  FAnimated = on;
  if (on) {
    FAnimTimer->start(FAnimatedDelay);
  } else {
    FAnimTimer->stop();
    UpdateIcon(false);
    if (FActive) FHost->Modify(CurrentIcon(), PassedTip());
  }
}

void TsdTrayIcon::SetAnimatedDelay(int ms) {
  if (ms < 0) throw ERangeError("AnimatedDelay: " + std::to_string(ms) + " is out of range");
  FAnimatedDelay = ms;
  FAnimTimer->setInterval(ms);
}

void TsdTrayIcon::SetAnimatedIcons(const TsdImageList* list) {
  FAnimatedIcons = list;
  FFrame = -1;
}

void TsdTrayIcon::UpdateIcon(bool advance) {
  if (FAnimated && advance && FAnimatedIcons && !FAnimatedIcons->empty()) {
    FFrame = (FFrame + 1) % static_cast<int>(FAnimatedIcons->size());
    FFrameIcon = (*FAnimatedIcons)[static_cast<size_t>(FFrame)];
    return;
  }
  if (FAnimated && FFrame >= 0) return;  // keeps the frame shown
  FFrameIcon = QIcon();
  FFrame = -1;
  if (FStateIcons && FStateIndex >= 0 && FStateIndex < static_cast<int>(FStateIcons->size())) {
    FStillIcon = (*FStateIcons)[static_cast<size_t>(FStateIndex)];
  } else {
    FStillIcon = QIcon();
  }
}

QIcon TsdTrayIcon::CurrentIcon() const {
  if (!FFrameIcon.isNull()) return FFrameIcon;
  if (!FStillIcon.isNull()) return FStillIcon;
  const QIcon app = QApplication::windowIcon();
  if (!app.isNull()) return app;
  return QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
}

void TsdTrayIcon::Tick() {
  if (!FAnimatedIcons || FAnimatedIcons->empty()) return;
  UpdateIcon(true);
  if (FActive) FHost->Modify(CurrentIcon(), PassedTip());
}

void TsdTrayIcon::MouseDown(TsdMouseButton button, QPoint pos, TsdShiftState shift) {
  FPos = pos;
  FShift = shift;
  ClickTimer(button)->start();
}

void TsdTrayIcon::MouseDoubleClick(TsdMouseButton button, QPoint pos, TsdShiftState shift) {
  (button == TsdMouseButton::mbLeft ? FLeftDbl : FRightDbl) = true;
  FPos = pos;
  FShift = shift;
  TsdShiftState s = shift;
  s.Double = true;
  DblClickStep(button, s);
}

void TsdTrayIcon::ClickTimerFired(TsdMouseButton button) {
  ClickTimer(button)->stop();
  bool& dbl = button == TsdMouseButton::mbLeft ? FLeftDbl : FRightDbl;
  if (!dbl) {
    TsdShiftState s = FShift;
    (button == TsdMouseButton::mbLeft ? s.Left : s.Right) = true;
    ClickStep(button, s);
  }
  dbl = false;
}

void TsdTrayIcon::ClickStep(TsdMouseButton button, TsdShiftState shift) {
  QMenu* popup = button == TsdMouseButton::mbLeft ? FLeftPopup.data() : FRightPopup.data();
  if (popup) {
    popup->popup(FPos);
    return;
  }
  if (OnClick) OnClick(this, button, shift, FPos.x(), FPos.y());
}

void TsdTrayIcon::DblClickStep(TsdMouseButton button, TsdShiftState shift) {
  if (button == TsdMouseButton::mbLeft) {
    QMenu* popup = DblClickAsDefaultItem == TsdDblClickAsDefaultItem::sddiLeftPopup    ? FLeftPopup.data()
                   : DblClickAsDefaultItem == TsdDblClickAsDefaultItem::sddiRightPopup ? FRightPopup.data()
                                                                                       : nullptr;
    if (popup && popup->defaultAction() && popup->defaultAction()->isEnabled()) {
      popup->defaultAction()->trigger();
      return;
    }
  }
  if (OnDblClick) OnDblClick(this, button, shift, FPos.x(), FPos.y());
}

void TsdTrayIcon::TaskbarCreated() {
  if (FActive) FHost->Add(CurrentIcon(), PassedTip());
}

void TsdTrayIcon::EndSession() { SetActive(false); }

// ---------------------------------------------------------------------------------------------

TQtTrayHost::TQtTrayHost() : FIcon(new QSystemTrayIcon(this)) {
  connect(FIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (!FComponent) return;
    const QPoint pos = QCursor::pos();
    const TsdShiftState shift = KeyState();
    switch (r) {
      case QSystemTrayIcon::Trigger:
        FComponent->MouseDown(TsdMouseButton::mbLeft, pos, shift);
        break;
      case QSystemTrayIcon::DoubleClick:
        FComponent->MouseDoubleClick(TsdMouseButton::mbLeft, pos, shift);
        break;
      case QSystemTrayIcon::Context:
        FComponent->MouseDown(TsdMouseButton::mbRight, pos, shift);
        break;
      default:
        break;
    }
  });
}

TQtTrayHost::~TQtTrayHost() = default;

void TQtTrayHost::Add(const QIcon& icon, const QString& tip) {
  FIcon->setIcon(icon);
  FIcon->setToolTip(tip);
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    FIcon->hide();
    FIcon->show();
  }
}

void TQtTrayHost::Modify(const QIcon& icon, const QString& tip) {
  FIcon->setIcon(icon);
  FIcon->setToolTip(tip);
}

void TQtTrayHost::Delete() { FIcon->hide(); }
