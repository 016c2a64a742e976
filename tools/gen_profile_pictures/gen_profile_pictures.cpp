// Draws the picture of every device model named in the profile library.
//
// Reads <data folder>/format.ini, collects the distinct "pic" names of the
// profile sections and paints each one as a 96 x 96 PNG with alpha at
// <data folder>/<pic>: a silhouette of the kind of device (phone, tablet,
// TV, set-top box, console, handheld, player, laptop, disc, web page, video
// or audio file, classic phone) in the brand's colour with a short label.
// How a picture looks is chosen by its file's base name from the table
// below; a name missing from the table gets a look from its device text and
// a warning, so a new profile never goes without a picture.
//
// Usage: gen_profile_pictures <data folder>   (run with QT_QPA_PLATFORM=offscreen)
// Exit status 0 when every picture was written.

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStringList>
#include <QTextStream>

#include <cstdio>
#include <map>

namespace {

constexpr int kSize = 96;

enum class Kind {
  Phone,
  Tablet,
  Tv,
  SetTop,
  Console,
  Handheld,
  Player,
  Laptop,
  Disc,
  Web,
  VideoFile,
  AudioFile,
  ClassicPhone
};

struct Look {
  Kind kind;
  QColor colour;  // brand colour: screen, body or band
  QString label;  // short text drawn on the picture
  QColor second = QColor(); // optional second colour (two-tone bodies)
};

// The look of every shipped picture, by file base name.
const std::map<QString, Look> &Looks() {
  static const std::map<QString, Look> looks = {
      // Apple
      {"iphone_16_pro", {Kind::Phone, QColor(0x8a, 0x7a, 0x66), "16 Pro"}},
      {"iphone_16", {Kind::Phone, QColor(0x4f, 0x7c, 0xc9), "16"}},
      {"iphone_15", {Kind::Phone, QColor(0xd9, 0x6f, 0x8e), "15"}},
      {"iphone_se", {Kind::Phone, QColor(0xc0, 0x1f, 0x2f), "SE"}},
      {"ipad_pro", {Kind::Tablet, QColor(0x5a, 0x5f, 0x6b), "iPad Pro"}},
      {"ipad_air", {Kind::Tablet, QColor(0x5b, 0x8d, 0xd6), "iPad Air"}},
      {"ipad_mini", {Kind::Tablet, QColor(0x9b, 0x7c, 0xc7), "mini"}},
      {"apple_tv_4k", {Kind::SetTop, QColor(0x1d, 0x1d, 0x1f), "4K"}},
      {"apple_tv_hd", {Kind::SetTop, QColor(0x3a, 0x3a, 0x3c), "HD"}},
      {"ipod_classic", {Kind::Player, QColor(0x8e, 0x8e, 0x93), "classic"}},
      {"ipod_nano", {Kind::Player, QColor(0xe0, 0x4f, 0x8a), "nano"}},
      {"ipod_touch", {Kind::Phone, QColor(0x2f, 0x8f, 0xd8), "touch"}},
      {"mac", {Kind::Laptop, QColor(0x6e, 0x6e, 0x73), "Mac"}},
      // Android
      {"galaxy_s24", {Kind::Phone, QColor(0x14, 0x28, 0xa0), "S24"}},
      {"galaxy_a55", {Kind::Phone, QColor(0x3b, 0x5b, 0xdb), "A55"}},
      {"galaxy_tab_s9", {Kind::Tablet, QColor(0x14, 0x28, 0xa0), "Tab S9"}},
      {"pixel_9", {Kind::Phone, QColor(0x42, 0x85, 0xf4), "Pixel 9"}},
      {"pixel_8a", {Kind::Phone, QColor(0x34, 0xa8, 0x53), "8a"}},
      {"pixel_tablet", {Kind::Tablet, QColor(0x42, 0x85, 0xf4), "Pixel"}},
      {"redmi_note_13", {Kind::Phone, QColor(0xff, 0x69, 0x00), "Redmi"}},
      {"oneplus_12", {Kind::Phone, QColor(0xeb, 0x00, 0x29), "12"}},
      {"moto_g", {Kind::Phone, QColor(0x1f, 0x5f, 0xbf), "moto g"}},
      {"fire_hd_10", {Kind::Tablet, QColor(0xff, 0x99, 0x00), "Fire HD"}},
      {"android_generic", {Kind::Phone, QColor(0x3d, 0xdc, 0x84), "Android"}},
      // Game consoles
      {"ps5", {Kind::Console, QColor(0x00, 0x37, 0x91), "PS5"}},
      {"ps4", {Kind::Console, QColor(0x00, 0x37, 0x91), "PS4"}},
      {"psp", {Kind::Handheld, QColor(0x20, 0x20, 0x24), "PSP"}},
      {"ps_vita", {Kind::Handheld, QColor(0x00, 0x37, 0x91), "Vita"}},
      {"xbox_series", {Kind::Console, QColor(0x10, 0x7c, 0x10), "Series"}},
      {"xbox_one", {Kind::Console, QColor(0x10, 0x7c, 0x10), "One"}},
      {"xbox_360", {Kind::Console, QColor(0x5d, 0xc2, 0x1e), "360"}},
      {"switch", {Kind::Handheld, QColor(0xff, 0x45, 0x54), "Switch", QColor(0x00, 0xc3, 0xe3)}},
      // Portable players
      {"walkman", {Kind::Player, QColor(0x1a, 0x1a, 0x1a), "Walkman"}},
      {"zen_vision_m", {Kind::Player, QColor(0x9a, 0x1b, 0x2f), "ZEN"}},
      {"zune_hd", {Kind::Player, QColor(0xf2, 0x65, 0x22), "Zune"}},
      {"archos_5", {Kind::Tablet, QColor(0x44, 0x4b, 0x55), "Archos"}},
      {"mp4_player", {Kind::Player, QColor(0x2e, 0x86, 0xc1), "MP4"}},
      // TV and streaming
      {"samsung_tv", {Kind::Tv, QColor(0x14, 0x28, 0xa0), "QLED"}},
      {"lg_tv", {Kind::Tv, QColor(0xa5, 0x00, 0x34), "OLED"}},
      {"bravia_tv", {Kind::Tv, QColor(0x22, 0x22, 0x22), "BRAVIA"}},
      {"philips_tv", {Kind::Tv, QColor(0x0b, 0x5e, 0xd7), "Philips"}},
      {"roku", {Kind::SetTop, QColor(0x6c, 0x3c, 0x97), "Roku"}},
      {"chromecast", {Kind::SetTop, QColor(0x42, 0x85, 0xf4), "Cast"}},
      {"fire_tv_stick", {Kind::SetTop, QColor(0xff, 0x99, 0x00), "fire tv"}},
      {"usb_tv", {Kind::Tv, QColor(0x37, 0x47, 0x4f), "USB"}},
      // DVD and disc
      {"dvd", {Kind::Disc, QColor(0x1e, 0x3a, 0x8a), "DVD"}},
      {"svcd", {Kind::Disc, QColor(0x6a, 0x1b, 0x9a), "SVCD"}},
      {"vcd", {Kind::Disc, QColor(0x00, 0x69, 0x5c), "VCD"}},
      {"divx_player", {Kind::Disc, QColor(0x1a, 0x1a, 0x1a), "DivX"}},
      {"bluray", {Kind::Disc, QColor(0x00, 0x5b, 0xbb), "AVCHD"}},
      // Web
      {"youtube", {Kind::Web, QColor(0xff, 0x00, 0x00), "YouTube"}},
      {"vimeo", {Kind::Web, QColor(0x1a, 0xb7, 0xea), "Vimeo"}},
      {"facebook", {Kind::Web, QColor(0x18, 0x77, 0xf2), "Facebook"}},
      {"x_twitter", {Kind::Web, QColor(0x14, 0x17, 0x1a), "X"}},
      {"html5", {Kind::Web, QColor(0xe3, 0x4f, 0x26), "WebM"}},
      {"html5_mp4", {Kind::Web, QColor(0xe3, 0x4f, 0x26), "MP4"}},
      {"flash_flv", {Kind::Web, QColor(0xcc, 0x00, 0x00), "FLV"}},
      {"flash_swf", {Kind::Web, QColor(0xcc, 0x00, 0x00), "SWF"}},
      {"email", {Kind::Web, QColor(0x4a, 0x90, 0xd9), "E-mail"}},
      // Classic phones
      {"phone_3gp", {Kind::ClassicPhone, QColor(0x60, 0x7d, 0x8b), "3GP"}},
      {"phone_3gp_h264", {Kind::ClassicPhone, QColor(0x45, 0x5a, 0x64), "3GP"}},
      {"nokia_n95", {Kind::ClassicPhone, QColor(0x12, 0x41, 0x91), "N95"}},
      {"blackberry", {Kind::ClassicPhone, QColor(0x22, 0x22, 0x22), "Bold"}},
      {"windows_mobile", {Kind::ClassicPhone, QColor(0x00, 0xa4, 0xef), "WM"}},
      // Video formats
      {"avi_divx", {Kind::VideoFile, QColor(0x1a, 0x1a, 0x1a), "DivX"}},
      {"avi_xvid", {Kind::VideoFile, QColor(0xc6, 0x28, 0x28), "Xvid"}},
      {"avi_mpeg4", {Kind::VideoFile, QColor(0x55, 0x8b, 0x2f), "AVI"}},
      {"avi_h264", {Kind::VideoFile, QColor(0x2e, 0x7d, 0x32), "H.264"}},
      {"mp4_h264", {Kind::VideoFile, QColor(0x15, 0x65, 0xc0), "MP4"}},
      {"mp4_mpeg4", {Kind::VideoFile, QColor(0x02, 0x77, 0xbd), "MPEG-4"}},
      {"mkv", {Kind::VideoFile, QColor(0x4a, 0x14, 0x8c), "MKV"}},
      {"mov", {Kind::VideoFile, QColor(0x42, 0x42, 0x42), "MOV"}},
      {"wmv", {Kind::VideoFile, QColor(0x00, 0x78, 0xd4), "WMV"}},
      {"realmedia", {Kind::VideoFile, QColor(0x00, 0x5c, 0xa8), "RM"}},
      {"ogg_theora", {Kind::VideoFile, QColor(0xd8, 0x43, 0x15), "OGG"}},
      {"webm", {Kind::VideoFile, QColor(0x2e, 0x7d, 0x9a), "WebM"}},
      {"flv", {Kind::VideoFile, QColor(0xb7, 0x1c, 0x1c), "FLV"}},
      {"mpeg1", {Kind::VideoFile, QColor(0x6d, 0x4c, 0x41), "MPEG-1"}},
      {"mpeg2_ts", {Kind::VideoFile, QColor(0x79, 0x55, 0x48), "TS"}},
      {"format_3gp", {Kind::VideoFile, QColor(0x60, 0x7d, 0x8b), "3GP"}},
      // Audio only
      {"audio_mp3", {Kind::AudioFile, QColor(0xef, 0x6c, 0x00), "MP3"}},
      {"audio_aac", {Kind::AudioFile, QColor(0xad, 0x14, 0x57), "M4A"}},
      {"audio_wma", {Kind::AudioFile, QColor(0x00, 0x78, 0xd4), "WMA"}},
      {"audio_flac", {Kind::AudioFile, QColor(0x00, 0x89, 0x7b), "FLAC"}},
      {"audio_ac3", {Kind::AudioFile, QColor(0x28, 0x35, 0x93), "AC3"}},
      {"audio_ogg", {Kind::AudioFile, QColor(0xd8, 0x43, 0x15), "OGG"}},
      {"audio_opus", {Kind::AudioFile, QColor(0x5e, 0x35, 0xb1), "OPUS"}},
      {"audio_wav", {Kind::AudioFile, QColor(0x54, 0x6e, 0x7a), "WAV"}},
  };
  return looks;
}

// A look for a picture missing from the table, from its profile's texts.
Look GuessLook(const QString &device, const QString &model) {
  const QString d = device.toLower();
  Kind kind = Kind::VideoFile;
  if (d.contains("audio"))
    kind = Kind::AudioFile;
  else if (d.contains("tv"))
    kind = Kind::Tv;
  else if (d.contains("console"))
    kind = Kind::Console;
  else if (d.contains("disc") || d.contains("dvd"))
    kind = Kind::Disc;
  else if (d.contains("web"))
    kind = Kind::Web;
  else if (d.contains("classic"))
    kind = Kind::ClassicPhone;
  else if (d.contains("player"))
    kind = Kind::Player;
  else if (d.contains("apple") || d.contains("android") || d.contains("phone"))
    kind = model.toLower().contains("tab") || model.toLower().contains("ipad") ? Kind::Tablet
                                                                              : Kind::Phone;
  // A stable colour from the model text.
  const QColor colour = QColor::fromHsv(int(qHash(model) % 360), 170, 170);
  return {kind, colour, model.section(' ', -1)};
}

// ---------------------------------------------------------------------------
// Painting helpers

QColor Mix(const QColor &a, const QColor &b, double t) {
  return QColor::fromRgbF(float(a.redF() * (1 - t) + b.redF() * t),
                          float(a.greenF() * (1 - t) + b.greenF() * t),
                          float(a.blueF() * (1 - t) + b.blueF() * t),
                          float(a.alphaF() * (1 - t) + b.alphaF() * t));
}

// A text colour that reads well on `background`.
QColor TextOn(const QColor &background) {
  return background.lightnessF() > 0.62 ? QColor(0x1c, 0x1c, 0x1e) : QColor(Qt::white);
}

// Draws `text` centred in `box`, bold, shrinking the font until it fits.
void DrawLabel(QPainter &p, const QRectF &box, const QString &text, const QColor &colour,
               double maxPixels) {
  QFont font("DejaVu Sans");
  font.setBold(true);
  font.setStyleStrategy(QFont::PreferAntialias);
  double px = maxPixels;
  for (; px > 6; px -= 0.5) {
    font.setPixelSize(int(px));
    if (QFontMetricsF(font).horizontalAdvance(text) <= box.width())
      break;
  }
  if (px <= 6) {
    font.setStretch(QFont::Condensed);
    font.setPixelSize(7);
  }
  p.setFont(font);
  p.setPen(colour);
  p.drawText(box, Qt::AlignCenter, text);
}

// A soft ground shadow under a device.
void DrawShadow(QPainter &p, const QRectF &r) {
  QRadialGradient g(r.center(), r.width() / 2);
  g.setColorAt(0, QColor(0, 0, 0, 70));
  g.setColorAt(1, QColor(0, 0, 0, 0));
  p.save();
  p.translate(r.center());
  p.scale(1.0, r.height() / r.width());
  p.translate(-r.center());
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawEllipse(r.center(), r.width() / 2, r.width() / 2);
  p.restore();
}

// A screen: brand-coloured gradient with a glossy diagonal highlight.
void DrawScreen(QPainter &p, const QRectF &r, double radius, const QColor &colour) {
  QLinearGradient g(r.topLeft(), r.bottomRight());
  g.setColorAt(0, colour.lighter(135));
  g.setColorAt(1, colour.darker(135));
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawRoundedRect(r, radius, radius);
  QPainterPath gloss;
  gloss.moveTo(r.topLeft());
  gloss.lineTo(r.left() + r.width() * 0.75, r.top());
  gloss.lineTo(r.left(), r.top() + r.height() * 0.55);
  gloss.closeSubpath();
  QPainterPath clip;
  clip.addRoundedRect(r, radius, radius);
  p.setBrush(QColor(255, 255, 255, 38));
  p.drawPath(gloss.intersected(clip));
}

// A body with a light top-to-bottom shading and a thin darker outline.
void DrawBody(QPainter &p, const QRectF &r, double radius, const QColor &colour) {
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  g.setColorAt(0, colour.lighter(118));
  g.setColorAt(1, colour.darker(118));
  p.setPen(QPen(colour.darker(160), 1.0));
  p.setBrush(g);
  p.drawRoundedRect(r, radius, radius);
}

void PlayTriangle(QPainter &p, const QPointF &c, double size, const QColor &colour) {
  QPainterPath tri;
  tri.moveTo(c.x() - size * 0.4, c.y() - size * 0.5);
  tri.lineTo(c.x() + size * 0.55, c.y());
  tri.lineTo(c.x() - size * 0.4, c.y() + size * 0.5);
  tri.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawPath(tri);
}

// ---------------------------------------------------------------------------
// The device kinds

void PaintPhone(QPainter &p, const Look &l) {
  const QRectF body(25, 5, 46, 84);
  DrawShadow(p, QRectF(22, 84, 52, 10));
  DrawBody(p, body, 9, QColor(0x2c, 0x2c, 0x2e));
  const QRectF screen = body.adjusted(3, 3, -3, -3);
  DrawScreen(p, screen, 7, l.colour);
  // Camera island.
  p.setBrush(QColor(0x0a, 0x0a, 0x0a));
  p.drawRoundedRect(QRectF(body.center().x() - 6, body.top() + 6, 12, 4), 2, 2);
  DrawLabel(p, screen.adjusted(1, 18, -1, -18), l.label, TextOn(l.colour), 15);
}

void PaintTablet(QPainter &p, const Look &l) {
  const QRectF body(14, 8, 68, 80);
  DrawShadow(p, QRectF(10, 83, 76, 10));
  DrawBody(p, body, 8, QColor(0x3a, 0x3a, 0x3c));
  const QRectF screen = body.adjusted(5, 5, -5, -5);
  DrawScreen(p, screen, 4, l.colour);
  p.setBrush(QColor(0x14, 0x14, 0x14));
  p.drawEllipse(QPointF(body.center().x(), body.top() + 2.6), 1.2, 1.2);
  DrawLabel(p, screen.adjusted(3, 0, -3, 0), l.label, TextOn(l.colour), 15);
}

void PaintTv(QPainter &p, const Look &l) {
  DrawShadow(p, QRectF(22, 82, 52, 8));
  // Stand.
  QPainterPath stand;
  stand.moveTo(42, 66);
  stand.lineTo(54, 66);
  stand.lineTo(60, 84);
  stand.lineTo(36, 84);
  stand.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x48, 0x48, 0x4a));
  p.drawPath(stand);
  const QRectF frame(4, 14, 88, 54);
  DrawBody(p, frame, 4, QColor(0x1c, 0x1c, 0x1e));
  const QRectF screen = frame.adjusted(3, 3, -3, -3);
  DrawScreen(p, screen, 2, l.colour);
  DrawLabel(p, screen.adjusted(6, 0, -6, 0), l.label, TextOn(l.colour), 20);
}

void PaintSetTop(QPainter &p, const Look &l) {
  // A small TV behind, the box in front.
  const QRectF frame(10, 8, 76, 46);
  DrawBody(p, frame, 4, QColor(0x2c, 0x2c, 0x2e));
  DrawScreen(p, frame.adjusted(3, 3, -3, -3), 2, Mix(l.colour, QColor(0x30, 0x30, 0x40), 0.55));
  PlayTriangle(p, QPointF(48, 31), 16, QColor(255, 255, 255, 200));
  DrawShadow(p, QRectF(14, 84, 68, 10));
  const QRectF box(14, 58, 68, 28);
  DrawBody(p, box, 7, l.colour);
  DrawLabel(p, box.adjusted(4, 0, -4, 0), l.label, TextOn(l.colour), 15);
  p.setBrush(QColor(0x7c, 0xff, 0x9a));
  p.drawEllipse(QPointF(box.right() - 6, box.bottom() - 5), 1.4, 1.4);
}

void PaintConsole(QPainter &p, const Look &l) {
  DrawLabel(p, QRectF(4, 4, 88, 28), l.label, l.colour, 22);
  DrawShadow(p, QRectF(10, 84, 76, 8));
  // Gamepad: a rounded body with two grips.
  QPainterPath pad;
  pad.addRoundedRect(QRectF(12, 38, 72, 30), 14, 14);
  pad.addEllipse(QRectF(10, 48, 26, 36));
  pad.addEllipse(QRectF(60, 48, 26, 36));
  pad.setFillRule(Qt::WindingFill);
  pad = pad.simplified();
  QLinearGradient g(0, 38, 0, 84);
  g.setColorAt(0, QColor(0xf4, 0xf4, 0xf6));
  g.setColorAt(1, QColor(0xc8, 0xc8, 0xcc));
  const bool darkPad = l.label == "360" || l.label == "One" || l.label == "Series";
  if (darkPad) {
    g.setColorAt(0, QColor(0x3a, 0x3a, 0x3c));
    g.setColorAt(1, QColor(0x1c, 0x1c, 0x1e));
  }
  p.setPen(QPen(QColor(0x60, 0x60, 0x66), 1.0));
  p.setBrush(g);
  p.drawPath(pad);
  // D-pad.
  p.setPen(Qt::NoPen);
  p.setBrush(darkPad ? QColor(0x90, 0x90, 0x96) : QColor(0x4a, 0x4a, 0x50));
  p.drawRect(QRectF(21, 51, 12, 4));
  p.drawRect(QRectF(25, 47, 4, 12));
  // Face buttons in the brand colour.
  p.setBrush(l.colour);
  for (const QPointF &c : {QPointF(71, 47), QPointF(77, 53), QPointF(65, 53), QPointF(71, 59)})
    p.drawEllipse(c, 2.6, 2.6);
  // Sticks.
  p.setBrush(QColor(0x30, 0x30, 0x34));
  p.drawEllipse(QPointF(38, 64), 4.5, 4.5);
  p.drawEllipse(QPointF(58, 64), 4.5, 4.5);
}

void PaintHandheld(QPainter &p, const Look &l) {
  DrawShadow(p, QRectF(8, 74, 80, 10));
  const QRectF body(4, 26, 88, 46);
  if (l.second.isValid()) {
    // Two-tone body: a grip of each colour and a dark middle.
    p.save();
    p.setClipRect(QRectF(0, 0, 20, kSize));
    DrawBody(p, body, 12, l.second);
    p.setClipRect(QRectF(76, 0, 20, kSize));
    DrawBody(p, body, 12, l.colour);
    p.restore();
    DrawBody(p, QRectF(18, 26, 60, 46), 2, QColor(0x2c, 0x2c, 0x2e));
  } else {
    DrawBody(p, body, 20, l.colour);
  }
  const QRectF screen(22, 31, 52, 36);
  DrawScreen(p, screen, 2, QColor(0x20, 0x30, 0x55));
  DrawLabel(p, screen.adjusted(2, 0, -2, 0), l.label, Qt::white, 14);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x10, 0x10, 0x10, 200));
  p.drawRect(QRectF(8, 47, 9, 3));
  p.drawRect(QRectF(11, 44, 3, 9));
  for (const QPointF &c : {QPointF(85, 44), QPointF(85, 53), QPointF(81, 48.5), QPointF(89, 48.5)})
    p.drawEllipse(c, 1.7, 1.7);
}

void PaintPlayer(QPainter &p, const Look &l) {
  const QRectF body(26, 6, 44, 84);
  DrawShadow(p, QRectF(22, 84, 52, 10));
  DrawBody(p, body, 8, l.colour);
  const QRectF screen(30, 11, 36, 32);
  DrawScreen(p, screen, 2, QColor(0x24, 0x3b, 0x6b));
  DrawLabel(p, screen.adjusted(1, 0, -1, 0), l.label, Qt::white, 12);
  // Click wheel.
  const QPointF c(48, 66);
  const QColor wheel = l.colour.lightnessF() > 0.5 ? QColor(0xfa, 0xfa, 0xfa) : QColor(0xe6, 0xe6, 0xea);
  p.setPen(QPen(QColor(0, 0, 0, 60), 0.8));
  p.setBrush(wheel);
  p.drawEllipse(c, 16, 16);
  p.setBrush(l.colour);
  p.drawEllipse(c, 5.5, 5.5);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x70, 0x70, 0x76));
  PlayTriangle(p, QPointF(48, 76.5), 5, QColor(0x70, 0x70, 0x76));
}

void PaintLaptop(QPainter &p, const Look &l) {
  DrawShadow(p, QRectF(6, 76, 84, 10));
  const QRectF lid(14, 16, 68, 48);
  DrawBody(p, lid, 4, QColor(0x2c, 0x2c, 0x2e));
  DrawScreen(p, lid.adjusted(3, 3, -3, -4), 1, l.colour.lighter(110));
  PlayTriangle(p, QPointF(48, 38), 14, QColor(255, 255, 255, 210));
  QPainterPath base;
  base.moveTo(10, 64);
  base.lineTo(86, 64);
  base.lineTo(92, 72);
  base.quadTo(92, 75, 88, 75);
  base.lineTo(8, 75);
  base.quadTo(4, 75, 4, 72);
  base.closeSubpath();
  QLinearGradient g(0, 64, 0, 75);
  g.setColorAt(0, QColor(0xe0, 0xe0, 0xe4));
  g.setColorAt(1, QColor(0xa8, 0xa8, 0xae));
  p.setPen(QPen(QColor(0x80, 0x80, 0x86), 0.8));
  p.setBrush(g);
  p.drawPath(base);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x90, 0x90, 0x96));
  p.drawRoundedRect(QRectF(40, 64, 16, 2.5), 1, 1);
  DrawLabel(p, QRectF(4, 78, 88, 16), l.label, QColor(0x3a, 0x3a, 0x3c), 13);
}

void PaintDisc(QPainter &p, const Look &l) {
  const QPointF c(48, 48);
  DrawShadow(p, QRectF(14, 82, 68, 10));
  // Silver face with a rainbow sheen.
  QConicalGradient sheen(c, 30);
  sheen.setColorAt(0.00, QColor(0xe8, 0xe8, 0xee));
  sheen.setColorAt(0.12, QColor(0xb8, 0xd8, 0xff));
  sheen.setColorAt(0.25, QColor(0xf4, 0xf4, 0xf8));
  sheen.setColorAt(0.38, QColor(0xff, 0xd8, 0xf0));
  sheen.setColorAt(0.50, QColor(0xe0, 0xe0, 0xe6));
  sheen.setColorAt(0.62, QColor(0xc8, 0xf0, 0xd8));
  sheen.setColorAt(0.75, QColor(0xf4, 0xf4, 0xf8));
  sheen.setColorAt(0.88, QColor(0xff, 0xee, 0xc0));
  sheen.setColorAt(1.00, QColor(0xe8, 0xe8, 0xee));
  p.setPen(QPen(QColor(0x90, 0x90, 0x98), 1.0));
  p.setBrush(sheen);
  p.drawEllipse(c, 42, 42);
  // Label band in the brand colour.
  QPainterPath ring;
  ring.addEllipse(c, 30, 30);
  ring.addEllipse(c, 12, 12);
  p.setPen(Qt::NoPen);
  p.setBrush(l.colour);
  QPainterPath band;
  band.addRect(QRectF(0, 18, kSize, 18));
  p.drawPath(ring.intersected(band));
  p.setBrush(QColor(0xfa, 0xfa, 0xfc));
  p.setPen(QPen(QColor(0x90, 0x90, 0x98), 1.0));
  p.drawEllipse(c, 12, 12);
  p.setBrush(Qt::transparent);
  p.setCompositionMode(QPainter::CompositionMode_Clear);
  p.drawEllipse(c, 5, 5);
  p.setCompositionMode(QPainter::CompositionMode_SourceOver);
  p.setPen(QPen(QColor(0x90, 0x90, 0x98), 1.0));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(c, 5, 5);
  DrawLabel(p, QRectF(24, 18, 48, 18), l.label, TextOn(l.colour), 14);
}

void PaintWeb(QPainter &p, const Look &l) {
  DrawShadow(p, QRectF(10, 82, 76, 10));
  const QRectF win(6, 12, 84, 72);
  p.setPen(QPen(QColor(0xa0, 0xa0, 0xa6), 1.0));
  p.setBrush(QColor(0xfb, 0xfb, 0xfd));
  p.drawRoundedRect(win, 6, 6);
  // Title bar in the brand colour with the three window dots.
  QPainterPath bar;
  bar.addRoundedRect(win, 6, 6);
  QPainterPath top;
  top.addRect(QRectF(win.left(), win.top(), win.width(), 14));
  p.setPen(Qt::NoPen);
  p.setBrush(l.colour);
  p.drawPath(bar.intersected(top));
  for (int i = 0; i < 3; ++i) {
    p.setBrush(QColor(255, 255, 255, 200));
    p.drawEllipse(QPointF(win.left() + 8 + i * 7, win.top() + 7), 2.2, 2.2);
  }
  // Video with a play button.
  const QPointF c(48, 46);
  p.setBrush(l.colour);
  p.drawRoundedRect(QRectF(c.x() - 16, c.y() - 11, 32, 22), 7, 7);
  PlayTriangle(p, c, 12, Qt::white);
  const QColor text = l.colour.lightnessF() > 0.8 ? QColor(0x30, 0x30, 0x30) : l.colour.darker(115);
  DrawLabel(p, QRectF(win.left() + 4, 62, win.width() - 8, 18), l.label, text, 15);
}

// A document with a folded corner, a glyph and a coloured label band.
void PaintFile(QPainter &p, const Look &l, bool audio) {
  DrawShadow(p, QRectF(14, 84, 68, 8));
  QPainterPath page;
  page.moveTo(18, 6);
  page.lineTo(62, 6);
  page.lineTo(80, 24);
  page.lineTo(80, 88);
  page.lineTo(18, 88);
  page.closeSubpath();
  p.setPen(QPen(QColor(0xa0, 0xa0, 0xa8), 1.0));
  QLinearGradient g(0, 6, 0, 88);
  g.setColorAt(0, Qt::white);
  g.setColorAt(1, QColor(0xee, 0xee, 0xf2));
  p.setBrush(g);
  p.drawPath(page);
  QPainterPath fold;
  fold.moveTo(62, 6);
  fold.lineTo(62, 24);
  fold.lineTo(80, 24);
  fold.closeSubpath();
  p.setBrush(QColor(0xd6, 0xd6, 0xde));
  p.drawPath(fold);

  p.setPen(Qt::NoPen);
  if (audio) {
    // Two beamed notes.
    p.setBrush(l.colour);
    p.drawEllipse(QPointF(36, 42), 6, 4.6);
    p.drawEllipse(QPointF(58, 38), 6, 4.6);
    p.drawRect(QRectF(40.5, 16, 2.6, 26));
    p.drawRect(QRectF(62.5, 12, 2.6, 26));
    QPainterPath beam;
    beam.moveTo(40.5, 16);
    beam.lineTo(65.1, 12);
    beam.lineTo(65.1, 18);
    beam.lineTo(40.5, 22);
    beam.closeSubpath();
    p.drawPath(beam);
  } else {
    // A strip of film frames.
    const QRectF strip(26, 18, 46, 30);
    p.setBrush(QColor(0x2a, 0x2a, 0x2e));
    p.drawRoundedRect(strip, 2, 2);
    p.setBrush(QColor(0xfb, 0xfb, 0xfd));
    for (int i = 0; i < 6; ++i) {
      p.drawRect(QRectF(strip.left() + 3 + i * 7.4, strip.top() + 2, 3.6, 3));
      p.drawRect(QRectF(strip.left() + 3 + i * 7.4, strip.bottom() - 5, 3.6, 3));
    }
    DrawScreen(p, QRectF(strip.left() + 3, strip.top() + 7, 19, 16), 1, l.colour);
    DrawScreen(p, QRectF(strip.left() + 24, strip.top() + 7, 19, 16), 1, l.colour);
  }
  const QRectF band(10, 56, 76, 22);
  p.setBrush(l.colour);
  p.drawRoundedRect(band, 4, 4);
  DrawLabel(p, band.adjusted(3, 0, -3, 0), l.label, TextOn(l.colour), 16);
}

void PaintClassicPhone(QPainter &p, const Look &l) {
  const QRectF body(28, 4, 40, 86);
  DrawShadow(p, QRectF(24, 84, 48, 10));
  DrawBody(p, body, 10, l.colour);
  const QRectF screen(33, 12, 30, 28);
  DrawScreen(p, screen, 2, QColor(0x9c, 0xc8, 0xe8));
  DrawLabel(p, screen.adjusted(1, 0, -1, 0), l.label, QColor(0x10, 0x20, 0x30), 12);
  // Keypad: navigation key and a 3 x 4 grid of keys.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xe8, 0xe8, 0xec));
  p.drawEllipse(QPointF(48, 48), 4.5, 3.5);
  for (int row = 0; row < 4; ++row)
    for (int col = 0; col < 3; ++col)
      p.drawRoundedRect(QRectF(34 + col * 10, 56 + row * 7.5, 8, 5), 2, 2);
}

QImage Paint(const Look &l) {
  QImage image(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  switch (l.kind) {
  case Kind::Phone: PaintPhone(p, l); break;
  case Kind::Tablet: PaintTablet(p, l); break;
  case Kind::Tv: PaintTv(p, l); break;
  case Kind::SetTop: PaintSetTop(p, l); break;
  case Kind::Console: PaintConsole(p, l); break;
  case Kind::Handheld: PaintHandheld(p, l); break;
  case Kind::Player: PaintPlayer(p, l); break;
  case Kind::Laptop: PaintLaptop(p, l); break;
  case Kind::Disc: PaintDisc(p, l); break;
  case Kind::Web: PaintWeb(p, l); break;
  case Kind::VideoFile: PaintFile(p, l, false); break;
  case Kind::AudioFile: PaintFile(p, l, true); break;
  case Kind::ClassicPhone: PaintClassicPhone(p, l); break;
  }
  p.end();
  return image.convertToFormat(QImage::Format_ARGB32);
}

// ---------------------------------------------------------------------------
// The profile library

struct PicUse {
  QString pic, device, model;
};

// Distinct "pic" values of the profile sections, in file order, each with
// the device and model of its first profile. Same reading rules as the
// application: trimmed lines, ';' comments, names without regard to case.
QList<PicUse> ReadPictures(const QString &iniFile, bool &ok) {
  QList<PicUse> uses;
  QFile file(iniFile);
  ok = file.open(QIODevice::ReadOnly | QIODevice::Text);
  if (!ok)
    return uses;
  QTextStream in(&file);
  QString section;
  QHash<QString, QString> keys;
  QStringList seen;
  auto flush = [&] {
    bool numeric = false;
    section.toInt(&numeric);
    const QString pic = keys.value("pic");
    if (numeric && !pic.isEmpty() && !seen.contains(pic, Qt::CaseInsensitive)) {
      seen.append(pic);
      uses.append({pic, keys.value("device"), keys.value("modal")});
    }
    keys.clear();
  };
  while (!in.atEnd()) {
    const QString line = in.readLine().trimmed();
    if (line.isEmpty() || line.startsWith(';'))
      continue;
    if (line.startsWith('[') && line.endsWith(']')) {
      flush();
      section = line.mid(1, line.size() - 2).trimmed();
      continue;
    }
    const int eq = line.indexOf('=');
    if (eq <= 0)
      continue;
    const QString name = line.left(eq).trimmed().toLower();
    if (!keys.contains(name))
      keys.insert(name, line.mid(eq + 1).trimmed());
  }
  flush();
  return uses;
}

} // namespace

int main(int argc, char **argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: gen_profile_pictures <data folder>\n");
    return 2;
  }
  const QDir data(QString::fromLocal8Bit(argv[1]));
  bool ok = false;
  const QList<PicUse> uses = ReadPictures(data.filePath("format.ini"), ok);
  if (!ok) {
    std::fprintf(stderr, "cannot read %s\n", qPrintable(data.filePath("format.ini")));
    return 1;
  }
  int failures = 0;
  for (const PicUse &use : uses) {
    const QString base = QFileInfo(use.pic).completeBaseName();
    const auto it = Looks().find(base);
    Look look;
    if (it != Looks().end()) {
      look = it->second;
    } else {
      look = GuessLook(use.device, use.model);
      std::fprintf(stderr, "warning: no look for %s, drawn from its device text\n",
                   qPrintable(base));
    }
    const QString target = data.filePath(use.pic);
    QDir().mkpath(QFileInfo(target).absolutePath());
    if (!Paint(look).save(target, "PNG", 9)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(target));
      ++failures;
    }
  }
  std::printf("%lld pictures written\n", static_cast<long long>(uses.size()) - failures);
  return failures == 0 ? 0 : 1;
}
