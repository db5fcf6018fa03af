#include "app/views/ResultsView.h"

#include <QFileInfo>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QTextLayout>
#include <QWheelEvent>
#include <algorithm>

namespace pallix::views {
namespace {

constexpr int kMargin = 14;
constexpr int kSectionTitleHeight = 26;
constexpr int kListRowHeight = 46;
constexpr int kCalculatorRowHeight = 64;
constexpr int kWidgetRowHeight = 58;
constexpr int kGridCellHeight = 92;
constexpr int kEmojiCellHeight = 56;
constexpr int kListIconSize = 30;
constexpr int kGridIconSize = 48;

QString q(const std::string& s) {
  return QString::fromStdString(s);
}

// A stable, pleasant colour per name for the stand-in tiles.
QColor tileColor(const std::string& name) {
  uint h = qHash(q(name));
  return QColor::fromHsl(static_cast<int>(h % 360), 120, 120);
}

// One line of text elided to `r`, its `highlights` (UTF-16 runs of the
// whole text) bold in `accent`. Highlighted text is elided at its end, so
// the runs keep their offsets.
void drawLine(QPainter& p, const QRect& r, const QString& text, const QFont& font, const QColor& color,
              const QColor& accent, Qt::TextElideMode mode, const std::vector<TextSpan>& highlights) {
  const QFontMetrics fm(font);
  p.setFont(font);
  p.setPen(color);
  if (highlights.empty()) {
    p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter, fm.elidedText(text, mode, r.width()));
    return;
  }
  const QString shown = fm.elidedText(text, Qt::ElideRight, r.width());
  const auto kept = static_cast<size_t>(shown == text ? text.size() : shown.size() - 1);
  QList<QTextLayout::FormatRange> formats;
  for (const TextSpan& span : highlights) {
    if (span.utf16Start >= kept) continue;
    QTextCharFormat format;
    format.setForeground(accent);
    format.setFontWeight(QFont::Bold);
    formats.push_back({static_cast<int>(span.utf16Start),
                       static_cast<int>(std::min(span.utf16Length, kept - span.utf16Start)), format});
  }
  QTextLayout layout(shown, font);
  layout.setFormats(formats);
  layout.beginLayout();
  QTextLine line = layout.createLine();
  line.setLineWidth(r.width());
  layout.endLayout();
  p.save();
  p.setClipRect(r);
  layout.draw(&p, QPointF(r.left(), r.top() + (r.height() - line.height()) / 2));
  p.restore();
}

}  // namespace

ResultsView::ResultsView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  setMouseTracking(false);
  setTheme(theme_);
}

void ResultsView::setTheme(const Theme& theme) {
  theme_ = theme;
  // A colour emoji font first, where one is installed: text fonts carry
  // some emoji code points in black and white.
  emojiFont_ = theme_.font(22);
  emojiFont_.setFamilies({QStringLiteral("Noto Color Emoji"), emojiFont_.family()});
  glyphs_.clear();
  update();
}

void ResultsView::setContent(std::shared_ptr<const PanelContent> content) {
  content_ = std::move(content);
  layoutRows();
  update();
}

const QRect* ResultsView::rectOf(RowRef row) const {
  if (row.section >= sectionStart_.size()) return nullptr;
  const size_t index = sectionStart_[row.section] + row.row;
  if (index >= geometry_.size() || geometry_[index].section != row.section) return nullptr;
  return &geometry_[index].rect;
}

void ResultsView::rowsChanged(const std::vector<RowRef>& rows) {
  if (scrollToSelection()) {
    update();
    return;
  }
  for (const RowRef& row : rows) {
    if (const QRect* r = rectOf(row)) update(r->translated(0, -scrollOffset_));
  }
}

void ResultsView::layoutRows() {
  geometry_.clear();
  sectionTitles_.clear();
  sectionStart_.clear();
  const int width = this->width() - 2 * kMargin;
  int y = 6;
  for (size_t si = 0; si < content_->sections.size(); ++si) {
    const PanelSection& s = content_->sections[si];
    sectionTitles_.push_back({si, y});
    sectionStart_.push_back(geometry_.size());
    y += kSectionTitleHeight;
    if (s.gridColumns > 0) {
      const int cellWidth = width / s.gridColumns;
      const int cellHeight = s.kind == SectionKind::modeResults ? kEmojiCellHeight : kGridCellHeight;
      for (size_t ri = 0; ri < s.rows.size(); ++ri) {
        int col = static_cast<int>(ri) % s.gridColumns;
        int line = static_cast<int>(ri) / s.gridColumns;
        QRect r(kMargin + col * cellWidth, y + line * cellHeight, cellWidth, cellHeight);
        geometry_.push_back({si, ri, r});
      }
      y += ((static_cast<int>(s.rows.size()) + s.gridColumns - 1) / s.gridColumns) * cellHeight;
    } else {
      const int rowHeight = s.kind == SectionKind::calculator ? kCalculatorRowHeight
                            : s.kind == SectionKind::widget   ? kWidgetRowHeight
                                                              : kListRowHeight;
      for (size_t ri = 0; ri < s.rows.size(); ++ri) {
        geometry_.push_back({si, ri, QRect(kMargin, y, width, rowHeight)});
        y += rowHeight;
      }
    }
    y += 8;
  }
  contentHeight_ = y;
  scrollToSelection();
}

bool ResultsView::scrollToSelection() {
  // Scroll just enough to keep a newly selected row in view; otherwise keep
  // where the wheel left the view.
  const int before = scrollOffset_;
  std::optional<std::pair<size_t, size_t>> selected;
  int selectedTop = -1, selectedBottom = -1;
  for (const RowGeometry& g : geometry_) {
    if (content_->sections[g.section].rows[g.row].selected) {
      selected = std::make_pair(g.section, g.row);
      selectedTop = g.rect.top();
      selectedBottom = g.rect.bottom();
    }
  }
  const bool selectionMoved = selected != lastSelected_;
  lastSelected_ = selected;
  if (selectedTop >= 0 && selectionMoved) {
    if (selectedBottom - scrollOffset_ > height() - 6) scrollOffset_ = selectedBottom - height() + 6;
    if (selectedTop - kSectionTitleHeight - scrollOffset_ < 0)
      scrollOffset_ = std::max(0, selectedTop - kSectionTitleHeight);
  } else if (selectedTop < 0 && selectionMoved) {
    scrollOffset_ = 0;
  }
  scrollOffset_ = std::clamp(scrollOffset_, 0, std::max(0, contentHeight_ - height()));
  return scrollOffset_ != before;
}

void ResultsView::wheelEvent(QWheelEvent* event) {
  // One notch (120) moves about one list row; touchpads send pixel deltas.
  const int delta =
      event->pixelDelta().isNull() ? event->angleDelta().y() * kListRowHeight / 120 : event->pixelDelta().y();
  const int limit = std::max(0, contentHeight_ - height());
  const int offset = std::clamp(scrollOffset_ - delta, 0, limit);
  event->accept();
  if (offset == scrollOffset_) return;
  scrollOffset_ = offset;
  update();
}

std::optional<ResultsView::Hit> ResultsView::hitTest(QPoint point) const {
  QPoint p = point + QPoint(0, scrollOffset_);
  for (const RowGeometry& g : geometry_) {
    if (g.rect.contains(p)) return Hit{g.section, g.row};
  }
  return std::nullopt;
}

QPixmap ResultsView::iconFor(const PanelRow& row, int size) {
  return row.item ? iconForItem(*row.item, size) : QPixmap();
}

QPixmap ResultsView::iconForItem(const IndexedItem& item, int size) {
  const qreal dpr = devicePixelRatioF();
  const int pixels = static_cast<int>(size * dpr);
  QString key = q(item.path) + "@" + QString::number(pixels);
  auto it = icons_.find(key);
  if (it != icons_.end()) return *it;
  if (iconSource_ && !requested_.contains(key)) {
    requested_.insert(key, true);
    QPointer<ResultsView> self(this);
    iconSource_(item, pixels, [self, key, size, dpr](std::optional<std::string> file) {
      if (!self) return;
      QPixmap pm;
      if (file) {
        QIcon icon(q(*file));
        pm = icon.pixmap(QSize(size, size), dpr);
      }
      self->icons_.insert(key, pm);
      self->update();
    });
    it = icons_.find(key);  // a cached answer arrives at once
    if (it != icons_.end()) return *it;
  }
  return {};
}

void ResultsView::paintListRow(QPainter& p, const PanelSection& s, const PanelRow& row, const QRect& r) {
  if (row.selected) {
    p.setPen(QPen(theme_.selectionBorder, 1));
    p.setBrush(theme_.selection);
    p.drawRoundedRect(QRectF(r).adjusted(0.5, 1.5, -0.5, -1.5), 10, 10);
  } else if (s.kind == SectionKind::calculator || s.kind == SectionKind::widget) {
    p.setPen(Qt::NoPen);
    p.setBrush(theme_.card);
    p.drawRoundedRect(QRectF(r).adjusted(0, 2, 0, -2), 10, 10);
  }
  int x = r.left() + 12;
  const int iconSize = s.kind == SectionKind::calculator ? 36 : kListIconSize;
  QRect iconRect(x, r.center().y() - iconSize / 2, iconSize, iconSize);
  if (QPixmap tile = tileImage(row, iconSize); !tile.isNull()) {
    paintTile(p, tile, iconRect);
  } else if (!row.glyph.empty()) {
    p.setPen(theme_.accent);
    p.setFont(theme_.font(s.kind == SectionKind::calculator ? 22 : 18, QFont::DemiBold));
    p.drawText(iconRect, Qt::AlignCenter, q(row.glyph));
  } else if (QPixmap pm = iconFor(row, iconSize); !pm.isNull()) {
    p.drawPixmap(iconRect, pm);
  } else if (row.item || s.kind == SectionKind::modeResults || s.kind == SectionKind::messagePreview) {
    p.setPen(Qt::NoPen);
    p.setBrush(tileColor(row.title));
    p.drawRoundedRect(QRectF(iconRect).adjusted(2, 2, -2, -2), 7, 7);
    p.setPen(Qt::white);
    p.setFont(theme_.font(11, QFont::Bold));
    p.drawText(iconRect, Qt::AlignCenter, q(row.title).left(1).toUpper());
  }
  paintSourceBadge(p, row, iconRect);
  x = iconRect.right() + 12;
  int tagWidth = 0;
  if (!row.tag.empty() && s.kind != SectionKind::widget) {
    QFont tagFont = theme_.font(8.5, QFont::Medium);
    QFontMetrics fm(tagFont);
    tagWidth = fm.horizontalAdvance(q(row.tag)) + 14;
    QRect tagRect(r.right() - tagWidth - 10, r.center().y() - 10, tagWidth, 20);
    p.setPen(Qt::NoPen);
    p.setBrush(theme_.tag);
    p.drawRoundedRect(tagRect, 10, 10);
    p.setPen(theme_.secondaryText);
    p.setFont(tagFont);
    p.drawText(tagRect, Qt::AlignCenter, q(row.tag));
    tagWidth += 16;
  }
  const int textWidth = r.right() - x - 10 - tagWidth;
  const bool twoLines = !row.detail.empty();
  QFont titleFont = theme_.font(s.kind == SectionKind::calculator ? 17 : 11.5,
                                s.kind == SectionKind::calculator ? QFont::DemiBold : QFont::Medium);
  QFontMetrics tm(titleFont);
  p.setFont(titleFont);
  p.setPen(theme_.text);
  const int titleHeight = tm.height();
  QFont detailFont = theme_.font(9.5);
  QFontMetrics dm(detailFont);
  const int total = titleHeight + (twoLines ? dm.height() + 1 : 0);
  int ty = r.center().y() - total / 2;
  drawLine(p, QRect(x, ty, textWidth, titleHeight), q(row.title), titleFont, theme_.text, theme_.accent, Qt::ElideRight,
           row.titleHighlights);
  if (twoLines) {
    Qt::TextElideMode mode = row.item ? Qt::ElideMiddle : Qt::ElideRight;
    drawLine(p, QRect(x, ty + titleHeight + 1, textWidth, dm.height()), q(row.detail), detailFont, theme_.secondaryText,
             theme_.accent, mode, row.detailHighlights);
  }
}

void ResultsView::paintGridCell(QPainter& p, const PanelSection& s, const PanelRow& row, const QRect& r) {
  QRect cell = r.adjusted(3, 2, -3, -2);
  if (row.selected) {
    p.setPen(QPen(theme_.selectionBorder, 1));
    p.setBrush(theme_.selection);
    p.drawRoundedRect(QRectF(cell).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
  }
  if (s.kind == SectionKind::modeResults) {
    const QString glyph = q(row.glyph.empty() ? row.title : row.glyph);
    p.drawPixmap(cell.topLeft(), glyphPixmap(glyph, cell.size()));
    return;
  }
  QRect iconRect(cell.center().x() - kGridIconSize / 2, cell.top() + 8, kGridIconSize, kGridIconSize);
  if (QPixmap pm = iconFor(row, kGridIconSize); !pm.isNull()) {
    p.drawPixmap(iconRect, pm);
  } else {
    p.setPen(Qt::NoPen);
    p.setBrush(tileColor(row.title));
    p.drawRoundedRect(QRectF(iconRect).adjusted(3, 3, -3, -3), 11, 11);
    p.setPen(Qt::white);
    p.setFont(theme_.font(17, QFont::Bold));
    p.drawText(iconRect, Qt::AlignCenter, q(row.title).left(1).toUpper());
  }
  QFont f = theme_.font(9, QFont::Medium);
  QFontMetrics fm(f);
  p.setFont(f);
  p.setPen(theme_.text);
  QRect textRect(cell.left() + 4, iconRect.bottom() + 6, cell.width() - 8, fm.height());
  p.drawText(textRect, Qt::AlignHCenter | Qt::AlignTop, fm.elidedText(q(row.title), Qt::ElideRight, textRect.width()));
}

QPixmap ResultsView::glyphPixmap(const QString& glyph, QSize size) {
  // Colour emoji are bitmaps scaled at every draw: each is scaled once.
  const QString key =
      glyph + QLatin1Char('@') + QString::number(size.width()) + QLatin1Char('x') + QString::number(size.height());
  if (auto it = glyphs_.constFind(key); it != glyphs_.constEnd()) return *it;
  if (glyphs_.size() > 8000) glyphs_.clear();
  const qreal dpr = devicePixelRatioF();
  QPixmap pm(size * dpr);
  pm.setDevicePixelRatio(dpr);
  pm.fill(Qt::transparent);
  {
    QPainter gp(&pm);
    gp.setRenderHint(QPainter::TextAntialiasing);
    gp.setPen(theme_.text);
    gp.setFont(emojiFont_);
    gp.drawText(QRect(QPoint(0, 0), size), Qt::AlignCenter, glyph);
  }
  glyphs_.insert(key, pm);
  return pm;
}

void ResultsView::resizeEvent(QResizeEvent*) {
  layoutRows();
}

void ResultsView::paintEvent(QPaintEvent* event) {
  if (geometry_.empty() && !content_->sections.empty()) layoutRows();
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  if (content_->sections.empty()) {
    p.setPen(theme_.secondaryText);
    p.setFont(theme_.font(11));
    p.drawText(rect().adjusted(20, 0, -20, -20), Qt::AlignCenter | Qt::TextWordWrap, q(content_->emptyText));
    return;
  }
  // What needs painting, in content coordinates.
  const QRect exposed = event->rect().translated(0, scrollOffset_);
  p.translate(0, -scrollOffset_);
  p.setPen(theme_.sectionTitle);
  p.setFont(theme_.font(8.5, QFont::DemiBold));
  for (const auto& [section, y] : sectionTitles_) {
    const QRect titleRect(kMargin + 6, y, width() - 2 * kMargin, kSectionTitleHeight);
    if (!titleRect.intersects(exposed)) continue;
    p.drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter, q(content_->sections[section].title).toUpper());
  }
  // The rows go down the page: the first one reaching into view, then on
  // until one starts below it.
  auto first = std::partition_point(geometry_.begin(), geometry_.end(),
                                    [&](const RowGeometry& g) { return g.rect.bottom() < exposed.top(); });
  for (auto it = first; it != geometry_.end() && it->rect.top() <= exposed.bottom(); ++it) {
    if (!it->rect.intersects(exposed)) continue;
    const PanelSection& s = content_->sections[it->section];
    if (s.gridColumns > 0) {
      paintGridCell(p, s, s.rows[it->row], it->rect);
    } else {
      paintListRow(p, s, s.rows[it->row], it->rect);
    }
  }
  paintPinnedTitle(p, exposed);
}

void ResultsView::paintPinnedTitle(QPainter& p, const QRect& exposed) {
  // The title of the section whose rows pass under the top edge stays there,
  // so a long grid always says which category is in view; the next title
  // pushes it up as it arrives.
  if (scrollOffset_ <= 0) return;
  for (size_t i = 0; i < sectionTitles_.size(); ++i) {
    const auto& [section, y] = sectionTitles_[i];
    const int next = i + 1 < sectionTitles_.size() ? sectionTitles_[i + 1].second : contentHeight_;
    if (y >= scrollOffset_ || next <= scrollOffset_) continue;
    const int top = std::min(scrollOffset_, next - kSectionTitleHeight);
    // Over the rows only, clear of the panel's border; opaque, as the rows pass below it.
    const QRect band(kMargin / 2, top, width() - kMargin, kSectionTitleHeight);
    if (!band.intersects(exposed) || top + kSectionTitleHeight <= scrollOffset_) return;
    QColor background = theme_.background;
    background.setAlpha(255);
    p.save();
    p.setClipRect(QRect(band.left(), scrollOffset_, band.width(), kSectionTitleHeight));
    p.fillRect(band, background);
    p.setPen(theme_.sectionTitle);
    p.setFont(theme_.font(8.5, QFont::DemiBold));
    p.drawText(band.adjusted(kMargin / 2 + 6, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
               q(content_->sections[section].title).toUpper());
    p.restore();
    return;
  }
}

}  // namespace pallix::views
