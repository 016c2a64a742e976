// Paints the splash picture of Videomill: a rounded card with a soft shadow
// (per-pixel alpha), a strip of film frames turning into a play symbol, the
// product name and a tag line. Writes <folder>/splash.png.
//
// Usage: gen_pictures <output folder>   (run with QT_QPA_PLATFORM=offscreen)

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>

namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 300;
constexpr int kShadow = 14; // room around the card for its shadow

QImage PaintSplash() {
  QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);

  const QRectF card(kShadow, kShadow - 4, kWidth - 2 * kShadow, kHeight - 2 * kShadow);

  // Soft shadow: stacked translucent rounded rectangles, growing and fading.
  for (int i = kShadow; i > 0; --i) {
    QColor shade(0, 0, 0, 6 + (kShadow - i));
    p.setPen(Qt::NoPen);
    p.setBrush(shade);
    p.drawRoundedRect(card.adjusted(-i, -i + 6, i, i + 6), 18 + i, 18 + i);
  }

  // The card: deep blue to teal.
  QLinearGradient body(card.topLeft(), card.bottomRight());
  body.setColorAt(0.0, QColor(18, 32, 72));
  body.setColorAt(0.6, QColor(20, 78, 120));
  body.setColorAt(1.0, QColor(16, 128, 132));
  p.setBrush(body);
  p.drawRoundedRect(card, 18, 18);

  // A glow behind the emblem.
  const QPointF centre(card.left() + 120, card.center().y() - 10);
  QRadialGradient glow(centre, 110);
  glow.setColorAt(0.0, QColor(120, 220, 255, 110));
  glow.setColorAt(1.0, QColor(120, 220, 255, 0));
  p.setBrush(glow);
  p.drawEllipse(centre, 110, 110);

  // Emblem: a film strip bent into a mill wheel around a play triangle.
  p.save();
  p.translate(centre);
  for (int blade = 0; blade < 8; ++blade) {
    p.save();
    p.rotate(blade * 45.0);
    QRectF frame(-11, -74, 22, 30);
    p.setBrush(QColor(235, 245, 255, blade % 2 ? 170 : 230));
    p.drawRoundedRect(frame, 4, 4);
    p.setBrush(QColor(18, 32, 72, 200));
    p.drawRect(QRectF(-6, -69, 12, 20));
    p.restore();
  }
  QPainterPath ring;
  ring.addEllipse(QPointF(0, 0), 44, 44);
  ring.addEllipse(QPointF(0, 0), 36, 36);
  p.setBrush(QColor(235, 245, 255, 230));
  p.drawPath(ring);
  QPainterPath play;
  play.moveTo(-12, -20);
  play.lineTo(22, 0);
  play.lineTo(-12, 20);
  play.closeSubpath();
  p.setBrush(QColor(255, 196, 64));
  p.drawPath(play);
  p.restore();

  // Product name and tag line.
  QFont name(QStringLiteral("DejaVu Sans"));
  name.setPixelSize(40);
  name.setBold(true);
  p.setFont(name);
  p.setPen(QColor(255, 255, 255));
  const QRectF text(card.left() + 212, card.top() + 70, card.width() - 222, 60);
  p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Videomill"));

  QFont tag(QStringLiteral("DejaVu Sans"));
  tag.setPixelSize(15);
  p.setFont(tag);
  p.setPen(QColor(200, 228, 245));
  p.drawText(QRectF(text.left() + 2, text.bottom() + 2, text.width(), 44),
             Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
             QStringLiteral("Convert your videos for every screen"));

  // Progress hint along the bottom.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 50));
  const QRectF track(text.left() + 2, card.bottom() - 60, text.width() - 10, 6);
  p.drawRoundedRect(track, 3, 3);
  p.setBrush(QColor(255, 196, 64));
  p.drawRoundedRect(QRectF(track.left(), track.top(), track.width() * 0.4, track.height()), 3, 3);

  QFont small(QStringLiteral("DejaVu Sans"));
  small.setPixelSize(11);
  p.setFont(small);
  p.setPen(QColor(200, 228, 245, 200));
  p.drawText(QRectF(track.left(), track.bottom() + 6, track.width(), 18), Qt::AlignLeft,
             QStringLiteral("Loading..."));
  p.end();
  return image;
}

} // namespace

int main(int argc, char *argv[]) {
  QGuiApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: gen_pictures <output folder>\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  if (!QDir().mkpath(folder)) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  const QString file = QDir(folder).filePath(QStringLiteral("splash.png"));
  if (!PaintSplash().save(file, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
    return 1;
  }
  std::printf("%s\n", qPrintable(file));
  return 0;
}
