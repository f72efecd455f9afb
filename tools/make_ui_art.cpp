// Build step: draws the launcher archive's art into a directory.
//   orlex-ui-art OUTPUT_DIR DISPLAY_FONT
// Writes app-icon.png (64x64 RGBA), app-icon.ico (that PNG in an icon file), backdrop.png (1672x941 RGB) and
// logo.png (2038x772 RGBA). The pictures depend only on this program and the font: no clock, no randomness.
#include <QBuffer>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

const QColor NIGHT(0x08, 0x0A, 0x19);
const QColor PANEL(0x12, 0x14, 0x2B);
const QColor VIOLET(0xA6, 0x73, 0xF6);
const QColor CYAN(0x5C, 0xD2, 0xF6);
const QColor TEXT(0xEB, 0xEE, 0xF9);

// A small linear congruential generator: the same stars on every build.
struct Lcg {
    std::uint32_t state;
    double next() {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / double(1u << 24);
    }
};

void halo(QPainter& g, QPointF centre, double radius, QColor colour) {
    QRadialGradient gradient(centre, radius);
    QColor clear = colour;
    clear.setAlpha(0);
    gradient.setColorAt(0, colour);
    gradient.setColorAt(1, clear);
    g.setPen(Qt::NoPen);
    g.setBrush(gradient);
    g.drawEllipse(centre, radius, radius);
}

// The brand glyph: two nested facetted diamonds with a spark, in a violet-to-cyan light.
void glyph(QPainter& g, QRectF box) {
    const QPointF c = box.center();
    const double rx = box.width() / 2, ry = box.height() / 2;
    auto diamond = [&](double sx, double sy) {
        QPainterPath path;
        path.moveTo(c.x(), c.y() - ry * sy);
        path.lineTo(c.x() + rx * sx, c.y());
        path.lineTo(c.x(), c.y() + ry * sy);
        path.lineTo(c.x() - rx * sx, c.y());
        path.closeSubpath();
        return path;
    };
    QLinearGradient light(box.topLeft(), box.bottomRight());
    light.setColorAt(0, VIOLET);
    light.setColorAt(1, CYAN);
    g.setPen(Qt::NoPen);
    g.setBrush(light);
    g.drawPath(diamond(1.0, 1.0).subtracted(diamond(0.62, 0.62)));
    QColor inner = TEXT;
    inner.setAlpha(230);
    g.setBrush(inner);
    g.drawPath(diamond(0.34, 0.34));
    g.setPen(QPen(QColor(255, 255, 255, 120), std::max(1.0, box.width() / 60)));
    g.drawLine(QPointF(c.x(), c.y() - ry), QPointF(c.x(), c.y() + ry));
    g.drawLine(QPointF(c.x() - rx, c.y()), QPointF(c.x() + rx, c.y()));
}

QImage appIcon() {
    QImage image(64, 64, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter g(&image);
    g.setRenderHint(QPainter::Antialiasing);
    QLinearGradient matte(0, 0, 64, 64);
    matte.setColorAt(0, PANEL);
    matte.setColorAt(1, NIGHT);
    g.setPen(QPen(QColor(0x8D, 0xB3, 0xE2, 90), 1));
    g.setBrush(matte);
    g.drawRoundedRect(QRectF(2.5, 2.5, 59, 59), 13, 13);
    glyph(g, QRectF(12, 10, 40, 44));
    return image;
}

QImage backdrop() {
    const int w = 1672, h = 941;
    QImage image(w, h, QImage::Format_RGB32);
    QPainter g(&image);
    g.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, w, h);
    sky.setColorAt(0, QColor(0x14, 0x0E, 0x2A));
    sky.setColorAt(1, QColor(0x05, 0x0F, 0x1D));
    g.fillRect(image.rect(), sky);
    halo(g, QPointF(0.2 * w, 0.55 * h), 0.55 * w, QColor(0x68, 0x31, 0xA0, 70));
    halo(g, QPointF(0.82 * w, 0.3 * h), 0.5 * w, QColor(0x0E, 0x98, 0xC7, 60));
    halo(g, QPointF(0.55 * w, 1.05 * h), 0.35 * w, QColor(0x2A, 0x1B, 0x5E, 90));
    g.setBrush(Qt::NoBrush);
    for (int i = 0; i < 5; ++i) {
        g.save();
        g.translate(0.58 * w, 0.5 * h);
        g.rotate(-10 + 7 * i);
        g.setPen(QPen(QColor(0x7E, 0x8B, 0xE0, 26 - 3 * i), 1.2));
        g.drawEllipse(QPointF(0, 0), 0.42 * w + 18 * i, 0.3 * h + 12 * i);
        g.restore();
    }
    Lcg random{20251009u};
    g.setPen(Qt::NoPen);
    for (int i = 0; i < 900; ++i) {
        const double x = random.next() * w, y = random.next() * h;
        const double size = 0.6 + 2.2 * std::pow(random.next(), 3.0);
        QColor colour = random.next() < 0.35 ? CYAN : random.next() < 0.5 ? VIOLET : TEXT;
        colour.setAlpha(50 + int(160 * random.next()));
        g.setBrush(colour);
        g.drawEllipse(QPointF(x, y), size, size);
    }
    return image;
}

QImage logo(const QString& family) {
    const int w = 2038, h = 772;
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter g(&image);
    g.setRenderHint(QPainter::Antialiasing);
    g.setRenderHint(QPainter::TextAntialiasing);
    halo(g, QPointF(w / 2.0, h * 0.42), 0.42 * w, QColor(0x68, 0x31, 0xA0, 60));
    glyph(g, QRectF(w / 2.0 - 70, 20, 140, 150));

    QFont title(family);
    title.setPixelSize(330);
    title.setLetterSpacing(QFont::AbsoluteSpacing, 28);
    QPainterPath word;
    word.addText(0, 0, title, QStringLiteral("ORLEX"));
    const QRectF wordBox = word.boundingRect();
    word.translate(w / 2.0 - wordBox.center().x(), 470 - wordBox.bottom());
    word.setFillRule(Qt::WindingFill);
    word = word.simplified();  // the face's overlapping contours become one outline
    QLinearGradient fill(0, word.boundingRect().top(), 0, word.boundingRect().bottom());
    fill.setColorAt(0, TEXT);
    fill.setColorAt(0.55, QColor(0xC9, 0xD6, 0xFF));
    fill.setColorAt(1, QColor(0x8E, 0x9E, 0xE8));
    g.setPen(QPen(QColor(0x5C, 0xD2, 0xF6, 150), 3));
    g.setBrush(fill);
    g.drawPath(word);

    QFont subtitle(family);
    subtitle.setPixelSize(120);
    subtitle.setLetterSpacing(QFont::AbsoluteSpacing, 46);
    QPainterPath line;
    line.addText(0, 0, subtitle, QStringLiteral("TESSALINE"));
    const QRectF lineBox = line.boundingRect();
    line.translate(w / 2.0 - lineBox.center().x(), 680 - lineBox.bottom());
    line.setFillRule(Qt::WindingFill);
    QLinearGradient accent(line.boundingRect().left(), 0, line.boundingRect().right(), 0);
    accent.setColorAt(0, VIOLET);
    accent.setColorAt(1, CYAN);
    g.setPen(Qt::NoPen);
    g.setBrush(accent);
    g.drawPath(line);
    g.fillRect(QRectF(w / 2.0 - 520, 520, 1040, 3), accent);
    return image;
}

QByteArray png(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

void little(QByteArray& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

// An icon file with one 64x64 32-bit image stored as PNG.
QByteArray ico(const QByteArray& image) {
    QByteArray out;
    little(out, 0, 2);  // reserved
    little(out, 1, 2);  // type: icon
    little(out, 1, 2);  // one image
    out.append(char(64)).append(char(64)).append(char(0)).append(
        char(0));        // width, height, colours, reserved
    little(out, 1, 2);   // planes
    little(out, 32, 2);  // bits per pixel
    little(out, std::uint32_t(image.size()), 4);
    little(out, 6 + 16, 4);  // offset of the image
    out.append(image);
    return out;
}

bool write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "orlex-ui-art: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: orlex-ui-art OUTPUT_DIR DISPLAY_FONT\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const int font = QFontDatabase::addApplicationFont(QString::fromLocal8Bit(argv[2]));
    const QStringList families = font >= 0 ? QFontDatabase::applicationFontFamilies(font) : QStringList();
    if (families.isEmpty()) {
        std::fprintf(stderr, "orlex-ui-art: cannot read the display font %s\n", argv[2]);
        return 1;
    }
    const QByteArray icon = png(appIcon());
    const bool ok = write(dir + "/app-icon.png", icon) && write(dir + "/app-icon.ico", ico(icon)) &&
                    write(dir + "/backdrop.png", png(backdrop())) &&
                    write(dir + "/logo.png", png(logo(families.first())));
    return ok ? 0 : 1;
}
