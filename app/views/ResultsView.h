// ResultsView: paints the panel's sections (lists and grids) from a
// PanelContent, scrolls with the wheel and reports which row a click hit. Icons come from the
// catalog's icon resolver through `IconSource`; until one arrives a tile
// with the item's initial stands in.
//
// Threading: GUI thread.
#pragma once

#include <QHash>
#include <QPixmap>
#include <QWidget>
#include <functional>
#include <optional>

#include "app/views/PanelContent.h"
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
  void setContent(PanelContent content);
  const PanelContent& content() const { return content_; }
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
  QPixmap iconFor(const PanelRow& row, int size);
  void paintListRow(QPainter& p, const PanelSection& s, const PanelRow& row, const QRect& r);
  void paintGridCell(QPainter& p, const PanelSection& s, const PanelRow& row, const QRect& r);

  Theme theme_ = Theme::make(true);
  PanelContent content_;
  IconSource iconSource_;
  QHash<QString, QPixmap> icons_;  // by item path and size
  QHash<QString, bool> requested_;
  std::vector<RowGeometry> geometry_;
  std::vector<std::pair<size_t, int>> sectionTitles_;  // section, y
  int scrollOffset_ = 0;
  int contentHeight_ = 0;
  std::optional<std::pair<size_t, size_t>> lastSelected_;  // section, row
};

}  // namespace pallix::views
