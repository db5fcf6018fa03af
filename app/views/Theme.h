// Theme: the panel's colours and type sizes, dark or light after the
// desktop's palette ($PALLIX_THEME=dark|light overrides).
#pragma once

#include <QColor>
#include <QFont>

namespace pallix::views {

struct Theme {
  bool dark = true;
  QColor background;
  QColor border;
  QColor text;
  QColor secondaryText;
  QColor sectionTitle;
  QColor selection;
  QColor selectionBorder;
  QColor card;
  QColor accent;
  QColor separator;
  QColor tag;
  qreal cornerRadius = 18;

  static Theme current();
  static Theme make(bool dark);
  QFont font(qreal pointSize, int weight = QFont::Normal) const;
};

}  // namespace pallix::views
