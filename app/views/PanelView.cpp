#include "app/views/PanelView.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>
#include <utility>

#include "app/views/PanelContentJson.h"
#include "core/FileUtil.h"

namespace pallix::views {
namespace {

// Which filter a chip label shows, by its place in the row.
constexpr const char* kChipIndexProperty = "pallixChipIndex";
constexpr int kFieldHeight = 58;

QRect toQRect(const Rect& r) {
  return QRect(static_cast<int>(r.x), static_cast<int>(r.y), static_cast<int>(r.width), static_cast<int>(r.height));
}
Rect fromQRect(const QRect& r) {
  return {double(r.x()), double(r.y()), double(r.width()), double(r.height())};
}

}  // namespace

PanelView::PanelView(DesktopAgent& agent, MainLoopPump& pump)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::NoDropShadowWindowHint),
      agent_(agent),
      pump_(pump),
      theme_(Theme::current()),
      presenter_(agent.model(), [this] { return buildPanelContent(agent_.model(), &agent_.intelligence()); }) {
  setAttribute(Qt::WA_TranslucentBackground);
  setWindowTitle("Pallix");
  setFixedSize(kWidth, kHeight);
  setWindowOpacity(0.0);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 10);
  column->setSpacing(0);
  auto* top = new QHBoxLayout();
  top->setContentsMargins(22, 0, 18, 0);
  field_ = new QLineEdit(this);
  field_->setFrame(false);
  field_->setFixedHeight(kFieldHeight);
  field_->setFont(theme_.font(17));
  field_->setAttribute(Qt::WA_MacShowFocusRect, false);
  QPalette palette = field_->palette();
  palette.setColor(QPalette::Base, Qt::transparent);
  palette.setColor(QPalette::Text, theme_.text);
  palette.setColor(QPalette::PlaceholderText, theme_.secondaryText);
  palette.setColor(QPalette::Highlight, theme_.selectionBorder);
  field_->setPalette(palette);
  field_->setStyleSheet("QLineEdit { background: transparent; border: none; }");
  modeChip_ = new QLabel(this);
  modeChip_->setFont(theme_.font(9, QFont::DemiBold));
  modeChip_->setStyleSheet(
      QString("QLabel { color: %1; background: transparent; padding: 3px 10px; }").arg(theme_.accent.name()));
  filterChips_ = new QWidget(this);
  auto* chipRow = new QHBoxLayout(filterChips_);
  chipRow->setContentsMargins(0, 0, 6, 0);
  chipRow->setSpacing(4);
  filterChips_->setVisible(false);
  top->addWidget(filterChips_, 0, Qt::AlignVCenter);
  top->addWidget(field_, 1);
  top->addWidget(modeChip_, 0, Qt::AlignVCenter);
  column->addLayout(top);
  results_ = new ResultsView(this);
  results_->setTheme(theme_);
  results_->setIconSource(
      [this](const IndexedItem& item, int size, auto completion) { agent_.icon(item, size, std::move(completion)); });
  // Clipboard mode shows the selected item's detail pane beside the rows.
  auto* body = new QHBoxLayout();
  body->setContentsMargins(0, 0, 0, 0);
  body->setSpacing(0);
  body->addWidget(results_, 1);
  detail_ = new ClipboardDetailView(this);
  detail_->setTheme(theme_);
  detail_->hide();
  body->addWidget(detail_);
  column->addLayout(body, 1);

  field_->installEventFilter(this);
  results_->installEventFilter(this);
  connect(field_, &QLineEdit::textEdited, this, [this](const QString& text) {
    presenter_.textEdited();
    agent_.model().handleSearchTextChange(text.toStdString());
    afterInput();
  });

  fade_ = new QPropertyAnimation(this, "windowOpacity", this);
  glide_ = new QPropertyAnimation(this, "pos", this);
  glide_->setEasingCurve(QEasingCurve::OutCubic);

  agent_.model().setChangeHandler([this] { scheduleRefresh(); });
  agent_.model().setSelectionChangeHandler([this] { selectionMoved(); });
  agent_.intelligence().setChangeHandler([this] { scheduleRefresh(); });
  refresh();
}

void PanelView::bindWindowManager(WindowManager& wm) {
  wm_ = &wm;
  wm.setEscapeKeyHandler([this] {
    if (field_->text().isEmpty()) return false;
    field_->clear();
    agent_.model().handleSearchTextChange("");
    afterInput();
    return true;
  });
  auto screensChanged = [this] {
    if (wm_) wm_->handleScreensChanged();
  };
  connect(qGuiApp, &QGuiApplication::screenAdded, this, screensChanged);
  connect(qGuiApp, &QGuiApplication::screenRemoved, this, screensChanged);
}

void PanelView::afterInput() {
  // The session's immediate work (the app search) runs before the repaint.
  pump_.pumpNow();
  if (refreshPending_) refresh();
}

void PanelView::scheduleRefresh() {
  if (std::exchange(refreshPending_, true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (refreshPending_) refresh();
      },
      Qt::QueuedConnection);
}

void PanelView::refresh() {
  refreshPending_ = false;
  const ContentViewModel& model = agent_.model();
  if (!updatingField_ && field_->text().toStdString() != model.searchText()) {
    updatingField_ = true;
    field_->setText(QString::fromStdString(model.searchText()));
    updatingField_ = false;
  }
  presenter_.refresh();
  showContent(presenter_.sharedContent());
}

void PanelView::showContent(std::shared_ptr<const PanelContent> content) {
  field_->setPlaceholderText(QString::fromStdString(content->placeholder));
  modeChip_->setText(modeTitle(content->mode));
  modeChip_->setVisible(content->mode != SearchMode::standard);
  if (content->filterChips != shownChips_) showFilterChips(content->filterChips);
  results_->setContent(std::move(content));
  showDetail();
}

// One rounded pill per filter, in the mode pill's colours; a click on one
// removes that filter.
void PanelView::showFilterChips(const std::vector<std::string>& chips) {
  shownChips_ = chips;
  auto* chipRow = static_cast<QHBoxLayout*>(filterChips_->layout());
  while (QLayoutItem* item = chipRow->takeAt(0)) {
    // Later: this may run inside the click on the chip itself.
    item->widget()->hide();
    item->widget()->deleteLater();
    delete item;
  }
  for (size_t i = 0; i < chips.size(); ++i) {
    auto* label = new QLabel(QString::fromStdString(chips[i]) + QString::fromUtf8(" \u00D7"), filterChips_);
    label->setProperty(kChipIndexProperty, static_cast<qulonglong>(i));
    label->setCursor(Qt::PointingHandCursor);
    label->setToolTip("Remove this filter");
    label->installEventFilter(this);
    label->setFont(theme_.font(10, QFont::DemiBold));
    label->setTextFormat(Qt::PlainText);
    // The tag colour is translucent: name() would drop its alpha.
    label->setStyleSheet(QString("QLabel { color: %1; background: %2; border-radius: 9px; padding: 2px 9px; }")
                             .arg(theme_.accent.name(), theme_.tag.name(QColor::HexArgb)));
    chipRow->addWidget(label);
  }
  filterChips_->setVisible(!chips.empty());
}

void PanelView::showDetail() {
  std::shared_ptr<const ModeResultMedia> media = selectedDetail(results_->content());
  detail_->setMedia(media);
  detail_->setVisible(media != nullptr);
}

void PanelView::selectionMoved() {
  // The results are as drawn: a change still waiting redraws everything anyway.
  if (refreshPending_) return;
  std::vector<RowRef> changed = presenter_.applySelectionChange();
  if (results_->sharedContent() != presenter_.sharedContent()) return showContent(presenter_.sharedContent());
  results_->rowsChanged(changed);
  showDetail();
}

void PanelView::syncContent() {
  if (refreshPending_) return refresh();
  if (results_->sharedContent() != presenter_.sharedContent()) return showContent(presenter_.sharedContent());
  showDetail();
}

bool PanelView::activateSelection(bool reveal) {
  ContentViewModel& model = agent_.model();
  const PanelSection* s = presenter_.focusedSection();
  const int previewSelection = presenter_.previewSelection();
  bool done = false;
  switch (s ? s->kind : SectionKind::widget) {
    case SectionKind::apps:
      done = model.activateSelectedApp(reveal);
      break;
    case SectionKind::files:
      done = model.activateSelectedFile(reveal);
      break;
    case SectionKind::filePreview: {
      const auto& previews = model.filePreviewResults();
      if (previewSelection < static_cast<int>(previews.size())) {
        FileSearchResult result = previews[static_cast<size_t>(previewSelection)];
        done = model.activate(result, reveal, true);
      }
      break;
    }
    case SectionKind::modeResults:
      done = model.activateSelectedModeResult();
      break;
    case SectionKind::calculator:
      done = model.copyCalculatorResultToPasteboard();
      if (done && wm_) wm_->hideWindow(false, true);
      break;
    case SectionKind::messagePreview:
    case SectionKind::widget:
      break;
  }
  afterInput();
  return done;
}

void PanelView::activateRow(size_t section, size_t row, bool reveal) {
  const PanelSection& s = results_->content().sections[section];
  if (!s.navigable()) return;
  if (s.kind == SectionKind::apps) {
    if (!s.rows[row].item) return;
    // A copy: activation redraws, which replaces the rows.
    IndexedItem app = *s.rows[row].item;
    presenter_.selectRow({section, row});
    agent_.model().activate(app, reveal);
    afterInput();
    return;
  }
  presenter_.selectRow({section, row});
  activateSelection(reveal);
}

bool PanelView::handleKey(QKeyEvent* key) {
  const bool control = key->modifiers() & Qt::ControlModifier;
  const bool shift = key->modifiers() & Qt::ShiftModifier;
  if (control && key->key() >= Qt::Key_1 && key->key() <= Qt::Key_5) {
    if (wm_) wm_->showWindow(static_cast<PresentationIntent>(key->key() - Qt::Key_1));
    afterInput();
    return true;
  }
  // A change still waiting to be drawn is what the key acts on.
  if (refreshPending_) refresh();
  if (agent_.model().searchMode() == SearchMode::clipboard) {
    // Delete acts on the item once there is nothing after the cursor to delete.
    const bool remove = (key->key() == Qt::Key_Backspace && control) ||
                        (key->key() == Qt::Key_Delete && !control && !shift &&
                         field_->cursorPosition() == field_->text().size() && !field_->hasSelectedText());
    if (remove || (control && key->key() == Qt::Key_P)) {
      agent_.model().performModeCommand(remove ? ModeCommand::remove : ModeCommand::togglePin);
      afterInput();
      return true;
    }
  }
  // Backspace on the empty field takes back the last filter chip.
  if (key->key() == Qt::Key_Backspace && !control && !shift && field_->text().isEmpty() &&
      agent_.model().removeFileFilterChip()) {
    afterInput();
    return true;
  }
  const bool grid = presenter_.focusedSectionIsGrid();
  switch (key->key()) {
    case Qt::Key_Escape:
      if (wm_) wm_->handleEscapeKey();
      return true;
    case Qt::Key_Up:
      presenter_.moveSelection(0, -1);
      syncContent();
      return true;
    case Qt::Key_Down:
      presenter_.moveSelection(0, 1);
      syncContent();
      return true;
    case Qt::Key_Left:
    case Qt::Key_Right:
      if (!grid) return false;
      presenter_.moveSelection(key->key() == Qt::Key_Left ? -1 : 1, 0);
      syncContent();
      return true;
    case Qt::Key_Tab:
      presenter_.cycleFocus(1);
      syncContent();
      return true;
    case Qt::Key_Backtab:
      presenter_.cycleFocus(-1);
      syncContent();
      return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      activateSelection(shift);
      return true;
    default:
      return false;
  }
}

bool PanelView::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease && watched->parent() == filterChips_ &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    const QVariant index = watched->property(kChipIndexProperty);
    if (index.isValid() && agent_.model().removeFileFilterChip(static_cast<size_t>(index.toULongLong()))) {
      field_->setFocus(Qt::MouseFocusReason);
      afterInput();
    }
    return true;
  }
  if (watched == field_ && event->type() == QEvent::KeyPress) {
    return handleKey(static_cast<QKeyEvent*>(event));
  }
  if (watched == results_ && event->type() == QEvent::MouseButtonRelease) {
    // The end of a drag, not a click: the panel itself ends the drag.
    if (dragging_) return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (auto hit = results_->hitTest(mouse->position().toPoint())) {
      activateRow(hit->section, hit->row, mouse->modifiers() & Qt::ShiftModifier);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

bool PanelView::event(QEvent* event) {
  if (event->type() == QEvent::WindowDeactivate && wm_) wm_->handleApplicationDeactivated();
  if (event->type() == QEvent::ShortcutOverride) {
    // Tab must reach the panel's key handling, not move the widget focus.
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) event->accept();
  }
  return QWidget::event(event);
}

void PanelView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  dragOrigin_ = event->globalPosition().toPoint() - pos();
  dragging_ = false;
}

void PanelView::mouseMoveEvent(QMouseEvent* event) {
  if (!dragOrigin_) return;
  QPoint target = event->globalPosition().toPoint() - *dragOrigin_;
  if (!dragging_ && (target - pos()).manhattanLength() < QApplication::startDragDistance()) return;
  if (!dragging_ && wm_) wm_->handleDragStarted();
  dragging_ = true;
  glide_->stop();
  move(target);
}

void PanelView::mouseReleaseEvent(QMouseEvent*) {
  if (dragging_ && wm_) wm_->handleDragEnded();
  dragOrigin_.reset();
  dragging_ = false;
}

void PanelView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  QPainterPath path;
  path.addRoundedRect(r, theme_.cornerRadius, theme_.cornerRadius);
  p.fillPath(path, theme_.background);
  p.setPen(QPen(theme_.border, 1));
  p.drawPath(path);
  if (modeChip_->isVisible()) {
    // The pill behind the mode's name.
    QRectF chip = QRectF(modeChip_->geometry()).adjusted(0, 1, 0, -1);
    p.setPen(Qt::NoPen);
    p.setBrush(theme_.tag);
    p.drawRoundedRect(chip, chip.height() / 2, chip.height() / 2);
  }
  p.setPen(QPen(theme_.separator, 1));
  p.drawLine(QPointF(16, kFieldHeight + 0.5), QPointF(width() - 16, kFieldHeight + 0.5));
}

Status PanelView::writeSnapshot(const std::string& path) {
  refresh();
  QPixmap image = grab();
  if (!image.save(QString::fromStdString(path), "PNG")) {
    return Error::make("cannot write the panel snapshot to \"" + path + "\"");
  }
  return writeFileAtomically(path + ".json", panelContentJson(results_->content()));
}

std::vector<ScreenGeometry> PanelView::screens() const {
  std::vector<ScreenGeometry> out;
  for (QScreen* s : QGuiApplication::screens())
    out.push_back({fromQRect(s->geometry()), fromQRect(s->availableGeometry())});
  return out;
}

std::optional<Point> PanelView::pointerLocation() const {
  QPoint p = QCursor::pos();
  return Point{double(p.x()), double(p.y())};
}

std::vector<Rect> PanelView::filterChipFrames() const {
  std::vector<Rect> frames;
  if (!filterChips_->isVisible()) return frames;
  for (QObject* child : filterChips_->children()) {
    auto* chip = qobject_cast<QWidget*>(child);
    if (!chip || !chip->isVisible() || !chip->property(kChipIndexProperty).isValid()) continue;
    frames.push_back(fromQRect(QRect(chip->mapToGlobal(QPoint(0, 0)), chip->size())));
  }
  return frames;
}

Rect PanelView::frame() const {
  return fromQRect(geometry());
}

void PanelView::setFrame(const Rect& frame, std::chrono::milliseconds duration) {
  QRect target = toQRect(frame);
  glide_->stop();
  if (duration.count() == 0 || !QWidget::isVisible()) {
    move(target.topLeft());
    return;
  }
  glide_->setDuration(static_cast<int>(duration.count()));
  glide_->setStartValue(pos());
  glide_->setEndValue(target.topLeft());
  glide_->start();
}

void PanelView::fadeTo(double opacity, std::chrono::milliseconds duration) {
  fade_->stop();
  if (duration.count() == 0) {
    setWindowOpacity(opacity);
    return;
  }
  fade_->setDuration(static_cast<int>(duration.count()));
  fade_->setStartValue(windowOpacity());
  fade_->setEndValue(opacity);
  fade_->start();
}

void PanelView::orderFrontAndFocus() {
  if (focusReturn_) focusReturn_->remember(static_cast<xcb_window_t>(winId()));
  show();
  raise();
  activateWindow();
  field_->setFocus(Qt::ActiveWindowFocusReason);
}

void PanelView::orderOut() {
  hide();
}

void PanelView::setAcceptsMouseEvents(bool accepts) {
  setAttribute(Qt::WA_TransparentForMouseEvents, !accepts);
}

void PanelView::deactivateApplication() {
  // Without a window manager nobody else would; with one this only hurries it.
  if (focusReturn_) focusReturn_->handBack();
}

}  // namespace pallix::views
