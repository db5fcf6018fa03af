// PanelView: the floating panel window: a frameless, always-on-top window
// that stays out of the taskbar, with one search field above the result
// sections. It is the window manager's PanelSurface (placement, fades,
// showing and hiding) and turns keys and clicks into the session's own
// operations (text changes, selection, activation, modes); it holds no
// search logic.
//
// Threading: GUI thread (the main thread). The agent, the window manager
// and the pump outlive the view.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPropertyAnimation>
#include <QWidget>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/PanelSurface.h"
#include "app/shell/DesktopAgent.h"
#include "app/views/ClipboardDetailView.h"
#include "app/views/MainLoopPump.h"
#include "app/views/PanelContent.h"
#include "app/views/PanelPresenter.h"
#include "app/views/ResultsView.h"
#include "app/views/Theme.h"
#include "app/views/X11FocusReturn.h"

namespace pallix::views {

class PanelView final : public QWidget, public PanelSurface {
 public:
  static constexpr int kWidth = 680;
  static constexpr int kHeight = 460;

  PanelView(DesktopAgent& agent, MainLoopPump& pump);
  // Connects the view to the window manager (after DesktopAgent::attachPanel).
  void bindWindowManager(WindowManager& wm);
  // Where the keyboard goes back to when the panel hides (X11 only).
  void setFocusReturn(std::shared_ptr<X11FocusReturn> focusReturn) { focusReturn_ = std::move(focusReturn); }
  // Redraws from the session's state.
  void refresh();
  // A refresh on the next turn of the event loop: the session's changes of
  // one input (the text, then its answer) are drawn once.
  void scheduleRefresh();
  // Writes the panel as it looks now to `path` (PNG), and what it shows to
  // `path`.json (panelContentJson).
  Status writeSnapshot(const std::string& path);

  // PanelSurface
  std::vector<ScreenGeometry> screens() const override;
  std::optional<Point> pointerLocation() const override;
  Size panelSize() const override { return {kWidth, kHeight}; }
  Rect frame() const override;
  void setFrame(const Rect& frame, std::chrono::milliseconds duration) override;
  double opacity() const override { return windowOpacity(); }
  void fadeTo(double opacity, std::chrono::milliseconds duration) override;
  void orderFrontAndFocus() override;
  void orderOut() override;
  bool isVisible() const override { return QWidget::isVisible(); }
  void setAcceptsMouseEvents(bool accepts) override;
  void deactivateApplication() override;
  std::vector<Rect> filterChipFrames() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool handleKey(QKeyEvent* key);
  bool activateSelection(bool reveal);
  void activateRow(size_t section, size_t row, bool reveal);
  void afterInput();
  void selectionMoved();
  void showContent(std::shared_ptr<const PanelContent> content);
  // The detail pane follows the selected clipboard row.
  void showDetail();
  void showFilterChips(const std::vector<std::string>& chips);
  // Shows what the presenter holds when it rebuilt (a focus change).
  void syncContent();

  DesktopAgent& agent_;
  MainLoopPump& pump_;
  WindowManager* wm_ = nullptr;
  std::shared_ptr<X11FocusReturn> focusReturn_;
  Theme theme_;
  QLineEdit* field_ = nullptr;
  QLabel* modeChip_ = nullptr;
  std::vector<std::string> shownChips_;
  QWidget* filterChips_ = nullptr;  // files mode's filter chips (a pill each), before the field
  ResultsView* results_ = nullptr;
  ClipboardDetailView* detail_ = nullptr;
  QPropertyAnimation* fade_ = nullptr;
  QPropertyAnimation* glide_ = nullptr;
  PanelPresenter presenter_;
  bool refreshPending_ = false;
  std::optional<QPoint> dragOrigin_;
  bool dragging_ = false;
  bool updatingField_ = false;
};

}  // namespace pallix::views
