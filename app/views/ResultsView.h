// ResultsView: paints the panel's sections (lists and grids, each under its
// title) from a PanelContent, scrolls with the wheel and reports which row a
// click hit. Only the rows in view are painted; a moved selection repaints
// its old and new rows (or the view, when it scrolls). Icons come from the
// catalog's icon resolver through `IconSource`; until one arrives a tile
// with the item's initial stands in. Emoji are drawn once into pixmaps.
//
// Threading: GUI thread.
#pragma once

#include <QHash>
#include <QPixmap>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "app/views/PanelContent.h"
#include "app/views/PanelPresenter.h"
#include "app/views/Theme.h"

namespace pallix::views {

class ResultsView final : public QWidget {
 public:
  // Looks up the icon file of an item; calls back on the GUI thread.
  using IconSource = std::function<void(const IndexedItem&, int, std::function<void(std::optional<std::string>)>)>;
  struct Hit {
    size_t section = 0;
    size_t row = 0;
  };

  explicit ResultsView(QWidget* parent = nullptr);
  void setTheme(const Theme& theme);
  void setIconSource(IconSource source) { iconSource_ = std::move(source); }
  // Shared with the presenter, which changes only the rows' selection marks
  // and then calls rowsChanged().
  void setContent(std::shared_ptr<const PanelContent> content);
  const PanelContent& content() const { return *content_; }
  const std::shared_ptr<const PanelContent>& sharedContent() const { return content_; }
  void rowsChanged(const std::vector<RowRef>& rows);

  std::optional<Hit> hitTest(QPoint point) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  struct RowGeometry {
    size_t section;
    size_t row;
    QRect rect;
  };
  void layoutRows();
  // Scrolls just enough to show the selected row when it is a new one;
  // answers whether the view scrolled.
  bool scrollToSelection();
  const QRect* rectOf(RowRef row) const;
  QPixmap glyphPixmap(const QString& glyph, QSize size);
  QPixmap iconFor(const PanelRow& row, int size);
  QPixmap iconForItem(const IndexedItem& item, int size);
  // A row's thumbnail or site icon (its media's tile image), the tile drawn
  // in `rect`, and the icon of the application it came from at the tile's
  // corner (ResultsTiles.cpp).
  QPixmap tileImage(const PanelRow& row, int size);
  void paintTile(QPainter& p, const QPixmap& tile, const QRect& rect);
  void paintSourceBadge(QPainter& p, const PanelRow& row, const QRect& tileRect);
  void paintPinnedTitle(QPainter& p, const QRect& exposed);
  void paintListRow(QPainter& p, const PanelSection& s, const PanelRow& row, const QRect& r);
  void paintGridCell(QPainter& p, const PanelSection& s, const PanelRow& row, const QRect& r);

  Theme theme_ = Theme::make(true);
  std::shared_ptr<const PanelContent> content_ = std::make_shared<PanelContent>();
  IconSource iconSource_;
  QHash<QString, QPixmap> icons_;  // by item path and size
  // Decoded tile images by their bytes' address and size; the weak pointer
  // tells a reused address from the bytes that were decoded.
  QHash<QString, std::pair<std::weak_ptr<const std::string>, QPixmap>> tiles_;
  QHash<QString, bool> requested_;
  std::vector<RowGeometry> geometry_;  // in reading order: top to bottom
  std::vector<size_t> sectionStart_;   // per section, its first row in geometry_
  QFont emojiFont_;
  QHash<QString, QPixmap> glyphs_;                     // by glyph and cell size
  std::vector<std::pair<size_t, int>> sectionTitles_;  // section, y
  int scrollOffset_ = 0;
  int contentHeight_ = 0;
  std::optional<std::pair<size_t, size_t>> lastSelected_;  // section, row
};

}  // namespace pallix::views
