// ClipboardDetailView: the detail pane beside the clipboard mode's rows: the
// selected item's heading (a link's title, an image's format and size, a
// file's name), its picture at size (the copied image, a link's preview
// image), its full text (the text, the URL, the paths) and its facts (when
// copied, from where, type, size). It paints what the panel content's
// selectedDetail() holds and decides nothing.
//
// Threading: GUI thread.
#pragma once

#include <QPixmap>
#include <QWidget>
#include <memory>

#include "app/search/ModeResultMedia.h"
#include "app/views/Theme.h"

namespace pallix::views {

class ClipboardDetailView final : public QWidget {
 public:
  static constexpr int kWidth = 250;

  explicit ClipboardDetailView(QWidget* parent = nullptr);
  void setTheme(const Theme& theme);
  // Repaints when the media changed.
  void setMedia(std::shared_ptr<const ModeResultMedia> media);
  const std::shared_ptr<const ModeResultMedia>& media() const { return media_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap picture(QSize fit);

  Theme theme_ = Theme::make(true);
  std::shared_ptr<const ModeResultMedia> media_;
  // The decoded picture of media_->image, and its bytes' owner.
  std::weak_ptr<const std::string> pictureBytes_;
  QImage decoded_;
};

}  // namespace pallix::views
