#include "app/views/ClipboardDetailView.h"

#include <QPainter>
#include <QPainterPath>
#include <QTextOption>

namespace pallix::views {
namespace {

constexpr int kPadding = 12;
constexpr int kMaxPictureHeight = 170;
// Text beyond this is not laid out (the pane shows a screenful).
constexpr int kMaxShownCharacters = 4000;

QString q(const std::string& s) {
  return QString::fromStdString(s);
}

}  // namespace

ClipboardDetailView::ClipboardDetailView(QWidget* parent) : QWidget(parent) {
  setFixedWidth(kWidth);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void ClipboardDetailView::setTheme(const Theme& theme) {
  theme_ = theme;
  update();
}

void ClipboardDetailView::setMedia(std::shared_ptr<const ModeResultMedia> media) {
  if (media == media_) return;
  media_ = std::move(media);
  update();
}

QPixmap ClipboardDetailView::picture(QSize fit) {
  if (!media_ || !media_->image) return {};
  if (pictureBytes_.lock() != media_->image) {
    pictureBytes_ = media_->image;
    decoded_ = QImage();
    decoded_.loadFromData(reinterpret_cast<const uchar*>(media_->image->data()),
                          static_cast<int>(media_->image->size()));
  }
  if (decoded_.isNull()) return {};
  const qreal dpr = devicePixelRatioF();
  // At most the image's own size in points: a small icon is not blown up.
  QSize target = decoded_.size().scaled(fit * dpr, Qt::KeepAspectRatio);
  if (target.width() > decoded_.width() * dpr) target = decoded_.size() * dpr;
  QPixmap pm = QPixmap::fromImage(decoded_.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  pm.setDevicePixelRatio(dpr);
  return pm;
}

void ClipboardDetailView::paintEvent(QPaintEvent*) {
  if (!media_) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  const QRectF card = QRectF(rect()).adjusted(2, 8, -14, -4);
  p.setPen(Qt::NoPen);
  p.setBrush(theme_.card);
  p.drawRoundedRect(card, 12, 12);

  const QRect inner = card.toRect().adjusted(kPadding, kPadding, -kPadding, -kPadding);
  int y = inner.top();
  // The facts at the bottom, one line each.
  const QFont factFont = theme_.font(8.5);
  const QFontMetrics fm(factFont);
  const int factsHeight = static_cast<int>(media_->facts.size()) * (fm.height() + 2);
  const int factsTop = inner.bottom() - factsHeight;

  const QFont headingFont = theme_.font(11.5, QFont::DemiBold);
  p.setFont(headingFont);
  p.setPen(theme_.text);
  const QRect headingBox(inner.left(), y, inner.width(), QFontMetrics(headingFont).height() * 3);
  QRect used = p.boundingRect(headingBox, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, q(media_->heading));
  used = used.intersected(headingBox);
  p.drawText(headingBox.intersected(QRect(inner.left(), y, inner.width(), used.height())),
             Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, q(media_->heading));
  y += used.height() + 10;

  const int pictureSpace = std::min(kMaxPictureHeight, factsTop - y - 8);
  if (QPixmap pm = picture(QSize(inner.width(), pictureSpace)); !pm.isNull() && pictureSpace > 24) {
    const QSizeF size = pm.deviceIndependentSize();
    QRectF target(QPointF(inner.left() + (inner.width() - size.width()) / 2, y), size);
    // A backdrop that shows where a transparent image ends.
    p.setPen(QPen(theme_.separator, 1));
    p.setBrush(theme_.background);
    p.drawRoundedRect(target.adjusted(-3, -3, 3, 3), 6, 6);
    p.drawPixmap(target, pm, QRectF(pm.rect()));
    y += static_cast<int>(size.height()) + 12;
  }

  if (!media_->text.empty() && factsTop - y > 12) {
    QString text = q(media_->text).left(kMaxShownCharacters);
    p.setFont(theme_.font(9.5));
    p.setPen(theme_.text);
    const QRect box(inner.left(), y, inner.width(), factsTop - y - 6);
    p.save();
    p.setClipRect(box);
    // Words stay whole; a URL or a path longer than a line breaks anywhere.
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    p.drawText(QRectF(box), text, option);
    p.restore();
  }

  p.setPen(QPen(theme_.separator, 1));
  p.drawLine(QPointF(inner.left(), factsTop - 3.5), QPointF(inner.right(), factsTop - 3.5));
  p.setFont(factFont);
  int fy = factsTop + 1;
  const int labelWidth = 54;
  for (const auto& [label, value] : media_->facts) {
    p.setPen(theme_.secondaryText);
    p.drawText(QRect(inner.left(), fy, labelWidth, fm.height()), Qt::AlignLeft | Qt::AlignVCenter, q(label));
    p.setPen(theme_.text);
    const int valueWidth = inner.width() - labelWidth;
    p.drawText(QRect(inner.left() + labelWidth, fy, valueWidth, fm.height()), Qt::AlignLeft | Qt::AlignVCenter,
               fm.elidedText(q(value), Qt::ElideMiddle, valueWidth));
    fy += fm.height() + 2;
  }
}

}  // namespace pallix::views
