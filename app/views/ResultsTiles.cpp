// The pictures of clipboard rows in ResultsView: thumbnails and site icons
// decoded from their bytes once per size, and the source application's icon.
#include <QPainter>
#include <QPainterPath>

#include "app/views/ResultsView.h"

namespace pallix::views {
namespace {

constexpr int kBadgeSize = 14;
constexpr int kMaxTiles = 96;

}  // namespace

QPixmap ResultsView::tileImage(const PanelRow& row, int size) {
  if (!row.media || !row.media->tileImage) return {};
  const std::shared_ptr<const std::string>& bytes = row.media->tileImage;
  const qreal dpr = devicePixelRatioF();
  const int pixels = static_cast<int>(size * dpr);
  const QString key = QString::number(reinterpret_cast<quintptr>(bytes.get())) + "@" + QString::number(pixels);
  if (auto it = tiles_.find(key); it != tiles_.end() && it->first.lock() == bytes) return it->second;
  if (tiles_.size() > kMaxTiles) tiles_.clear();
  QImage image;
  QPixmap pm;
  // An image that does not decode keeps the letter tile (cached as empty).
  if (image.loadFromData(reinterpret_cast<const uchar*>(bytes->data()), static_cast<int>(bytes->size()))) {
    pm = QPixmap::fromImage(image.scaled(
        QSize(pixels, pixels), Qt::KeepAspectRatio,
        image.width() > pixels || image.height() > pixels ? Qt::SmoothTransformation : Qt::FastTransformation));
    pm.setDevicePixelRatio(dpr);
  }
  tiles_.insert(key, {bytes, pm});
  return pm;
}

void ResultsView::paintTile(QPainter& p, const QPixmap& tile, const QRect& rect) {
  const QSizeF size = tile.deviceIndependentSize();
  QRectF target(QPointF(0, 0), size);
  target.moveCenter(QRectF(rect).center());
  p.save();
  QPainterPath clip;
  clip.addRoundedRect(QRectF(rect), 6, 6);
  p.setClipPath(clip);
  p.drawPixmap(target, tile, QRectF(tile.rect()));
  p.restore();
}

void ResultsView::paintSourceBadge(QPainter& p, const PanelRow& row, const QRect& tileRect) {
  if (!row.media || row.media->sourceAppIdentifier.empty()) return;
  IndexedItem app;
  app.itemTypeRaw = "app";
  app.path = row.media->sourceAppIdentifier;
  const QPixmap icon = iconForItem(app, kBadgeSize);
  if (icon.isNull()) return;
  const QRect badge(tileRect.right() - kBadgeSize + 5, tileRect.bottom() - kBadgeSize + 5, kBadgeSize, kBadgeSize);
  p.setPen(Qt::NoPen);
  p.setBrush(theme_.background);
  p.drawEllipse(QRectF(badge).adjusted(-1.5, -1.5, 1.5, 1.5));
  p.drawPixmap(badge, icon);
}

}  // namespace pallix::views
