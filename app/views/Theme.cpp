#include "app/views/Theme.h"

#include <QGuiApplication>
#include <QPalette>
#include <cstdlib>
#include <cstring>

namespace pallix::views {

Theme Theme::make(bool dark) {
  Theme t;
  t.dark = dark;
  if (dark) {
    t.background = QColor(30, 30, 36, 242);
    t.border = QColor(255, 255, 255, 30);
    t.text = QColor(242, 242, 247);
    t.secondaryText = QColor(152, 152, 163);
    t.sectionTitle = QColor(130, 130, 142);
    t.selection = QColor(78, 140, 255, 70);
    t.selectionBorder = QColor(78, 140, 255, 150);
    t.card = QColor(255, 255, 255, 14);
    t.accent = QColor(96, 160, 255);
    t.separator = QColor(255, 255, 255, 22);
    t.tag = QColor(255, 255, 255, 26);
  } else {
    t.background = QColor(250, 250, 252, 246);
    t.border = QColor(0, 0, 0, 34);
    t.text = QColor(28, 28, 30);
    t.secondaryText = QColor(110, 110, 118);
    t.sectionTitle = QColor(120, 120, 128);
    t.selection = QColor(0, 110, 255, 40);
    t.selectionBorder = QColor(0, 110, 255, 120);
    t.card = QColor(0, 0, 0, 10);
    t.accent = QColor(0, 102, 230);
    t.separator = QColor(0, 0, 0, 20);
    t.tag = QColor(0, 0, 0, 16);
  }
  return t;
}

Theme Theme::current() {
  if (const char* forced = std::getenv("PALLIX_THEME")) {
    if (std::strcmp(forced, "light") == 0) return make(false);
    if (std::strcmp(forced, "dark") == 0) return make(true);
  }
  QColor window = QGuiApplication::palette().color(QPalette::Window);
  return make(window.lightness() < 128);
}

QFont Theme::font(qreal pointSize, int weight) const {
  QFont f = QGuiApplication::font();
  f.setPointSizeF(pointSize);
  f.setWeight(static_cast<QFont::Weight>(weight));
  return f;
}

}  // namespace pallix::views
