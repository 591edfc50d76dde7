#pragma once
// TsdTrayIcon: an icon in the notification area with a tip, popup menus for left and
// right clicks, click and double-click events and an optional animation. The icon itself
// goes through a host (the system tray, or a test's recorder); the component keeps the
// click logic: a single click acts only when no double click follows within two thirds
// of the double-click time.
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/exception.h"

class QSystemTrayIcon;

enum class TsdDblClickAsDefaultItem { sddiNone, sddiLeftPopup, sddiRightPopup };
enum class TsdMouseButton { mbLeft, mbRight };

// Shift state of a mouse event.
struct TsdShiftState {
  bool Shift = false, Ctrl = false, Alt = false, Left = false, Right = false, Double = false;
  bool operator==(const TsdShiftState&) const = default;
};

using TsdMouseEvent = std::function<void(QObject* Sender, TsdMouseButton Button, TsdShiftState Shift, int X, int Y)>;

// An image list: the icons of the component's still state and of its animation.
using TsdImageList = std::vector<QIcon>;

class ERangeError : public platform::Exception {
public:
  using Exception::Exception;
  const char* className() const noexcept override { return "ERangeError"; }
};

// Where the icon is shown.
class ITrayHost {
public:
  virtual ~ITrayHost() = default;
  virtual void Add(const QIcon& icon, const QString& tip) = 0;
  virtual void Modify(const QIcon& icon, const QString& tip) = 0;
  virtual void Delete() = 0;
};

class TsdTrayIcon : public QObject {
  Q_OBJECT

public:
  // host: null takes the system tray.
  explicit TsdTrayIcon(QObject* owner = nullptr, std::unique_ptr<ITrayHost> host = nullptr);
  ~TsdTrayIcon() override;

  // Called when the owner has set every property; a wish to be active made before now is
  // carried out here.
  void Loaded();

  bool Active() const { return FActive; }
  void SetActive(bool on);
  int StateIndex() const { return FStateIndex; }
  void SetStateIndex(int index);
  const TsdImageList* StateIcons() const { return FStateIcons; }
  void SetStateIcons(const TsdImageList* list);
  const std::string& Hint() const { return FHint; }  // CP1251
  void SetHint(const std::string& hint);
  bool Animated() const { return FAnimated; }
  void SetAnimated(bool on);
  int AnimatedDelay() const { return FAnimatedDelay; }
  void SetAnimatedDelay(int ms);  // a negative delay raises ERangeError
  const TsdImageList* AnimatedIcons() const { return FAnimatedIcons; }
  void SetAnimatedIcons(const TsdImageList* list);
  QMenu* LeftPopup() const { return FLeftPopup; }
  void SetLeftPopup(QMenu* m) { FLeftPopup = m; }
  QMenu* RightPopup() const { return FRightPopup; }
  void SetRightPopup(QMenu* m) { FRightPopup = m; }
  TsdDblClickAsDefaultItem DblClickAsDefaultItem = TsdDblClickAsDefaultItem::sddiRightPopup;
  TsdMouseEvent OnClick, OnDblClick;

  // What the notification area tells the component.
  void MouseDown(TsdMouseButton button, QPoint pos, TsdShiftState shift);
  void MouseDoubleClick(TsdMouseButton button, QPoint pos, TsdShiftState shift);
  void TaskbarCreated();
  void EndSession();

  // The icon handed to the host now.
  QIcon CurrentIcon() const;
  int FrameIndex() const { return FFrame; }
  // The tip as passed: at most 127 characters.
  QString PassedTip() const;
  QTimer* AnimationTimer() const { return FAnimTimer; }
  QTimer* ClickTimer(TsdMouseButton b) const { return b == TsdMouseButton::mbLeft ? FLeftTimer : FRightTimer; }

private:
  void UpdateIcon(bool advance);
  void ClickTimerFired(TsdMouseButton button);
  void ClickStep(TsdMouseButton button, TsdShiftState shift);
  void DblClickStep(TsdMouseButton button, TsdShiftState shift);
  void Tick();

  std::unique_ptr<ITrayHost> FHost;
  bool FActive = false;
  bool FLoading = true;
  bool FActiveWanted = false;
  bool FDestroying = false;
  int FStateIndex = -1;
  const TsdImageList* FStateIcons = nullptr;
  const TsdImageList* FAnimatedIcons = nullptr;
  std::string FHint;
  bool FAnimated = false;
  int FAnimatedDelay = 1000;
  QPointer<QMenu> FLeftPopup, FRightPopup;
  QIcon FStillIcon, FFrameIcon;
  int FFrame = -1;
  QTimer *FAnimTimer, *FLeftTimer, *FRightTimer;
  bool FLeftDbl = false, FRightDbl = false;
  QPoint FPos;
  TsdShiftState FShift;
};

// The system tray as a host; its clicks go to the component.
class TQtTrayHost : public QObject, public ITrayHost {
  Q_OBJECT

public:
  TQtTrayHost();
  ~TQtTrayHost() override;
  void Attach(TsdTrayIcon* component) { FComponent = component; }
  void Add(const QIcon& icon, const QString& tip) override;
  void Modify(const QIcon& icon, const QString& tip) override;
  void Delete() override;

private:
  QSystemTrayIcon* FIcon;
  TsdTrayIcon* FComponent = nullptr;
};
