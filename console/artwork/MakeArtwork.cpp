// Paints the console's pictures and writes them next to this file:
//   make_artwork OUTPUT-DIRECTORY
// The pictures are committed; run this again after changing a painting.
#include <QApplication>
#include <QDir>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>
#include <functional>

namespace {

const QColor kNavy(16, 34, 64);
const QColor kAmber(255, 170, 30);
const QColor kSky(60, 150, 230);

QImage Canvas(int w, int h, bool transparent = true) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(transparent ? Qt::transparent : Qt::white);
    return image;
}

// The mark: a lens with a beam of light leaving it, over a navy disc.
void PaintMark(QPainter& p, QRectF box) {
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient disc(box.center(), box.width() / 2);
    disc.setColorAt(0, kNavy.lighter(160));
    disc.setColorAt(1, kNavy);
    p.setPen(Qt::NoPen);
    p.setBrush(disc);
    p.drawEllipse(box);
    QRectF lens = box.adjusted(box.width() * 0.22, box.height() * 0.22, -box.width() * 0.22,
                               -box.height() * 0.22);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kAmber, qMax(1.0, box.width() * 0.08)));
    p.drawEllipse(lens);
    p.setBrush(kAmber);
    p.setPen(Qt::NoPen);
    qreal r = box.width() * 0.09;
    p.drawEllipse(lens.center(), r, r);
    // Three arcs of the signal going out to the upper right.
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 3 && box.width() >= 32; ++i) {
        qreal grow = box.width() * (0.1 + 0.08 * i);
        QRectF arc = lens.adjusted(-grow, -grow, grow, grow);
        QColor c = Qt::white;
        c.setAlphaF(0.9 - 0.25 * i);
        p.setPen(QPen(c, qMax(1.0, box.width() * 0.035), Qt::SolidLine, Qt::RoundCap));
        p.drawArc(arc, 20 * 16, 50 * 16);
    }
}

QImage Mark(int size) {
    QImage image = Canvas(size, size);
    QPainter p(&image);
    PaintMark(p, QRectF(0.5, 0.5, size - 1, size - 1));
    return image;
}

QImage Wordmark(int w, int h) {
    QImage image = Canvas(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont font("DejaVu Sans", 1, QFont::Bold);
    int pixels = int(h * 0.5);
    do {
        font.setPixelSize(pixels--);
    } while (QFontMetrics(font).horizontalAdvance("Lumenfeed") > w - 2 && pixels > 6);
    p.setFont(font);
    p.setPen(kNavy);
    p.drawText(QRect(0, 0, w, int(h * 0.72)), Qt::AlignLeft | Qt::AlignBottom, "Lumenfeed");
    QFont small("DejaVu Sans", 1);
    small.setPixelSize(qMax(8, int(h * 0.2)));
    p.setFont(small);
    p.setPen(kSky.darker(120));
    p.drawText(QRect(1, int(h * 0.72), w, h - int(h * 0.72)), Qt::AlignLeft | Qt::AlignTop,
               "studio link");
    return image;
}

QImage StudioBadge(int w, int h) {
    QImage image = Canvas(w, h, false);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, h);
    g.setColorAt(0, QColor(200, 30, 30));
    g.setColorAt(1, QColor(140, 10, 10));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(2, 4, w - 4, h - 8), 6, 6);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(16, h / 2.0), 5, 5);
    QFont font("DejaVu Sans", 1, QFont::Bold);
    font.setPixelSize(18);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(26, 0, w - 30, h), Qt::AlignCenter, "STUDIO");
    return image;
}

// The test card shown while no picture comes in.
QImage TestCard() {
    const int n = 256;
    QImage image = Canvas(n, n);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(40, 40, 40));
    p.setPen(Qt::NoPen);
    p.drawRect(0, 0, n, n);
    p.setPen(QPen(QColor(120, 120, 120), 1));
    for (int i = 16; i < n; i += 32) {
        p.drawLine(i, 0, i, n);
        p.drawLine(0, i, n, i);
    }
    QPainterPath circle;
    circle.addEllipse(QPointF(n / 2.0, n / 2.0), 110, 110);
    p.setClipPath(circle);
    const QColor bars[] = {QColor(192, 192, 192), QColor(192, 192, 0), QColor(0, 192, 192),
                           QColor(0, 192, 0),     QColor(192, 0, 192), QColor(192, 0, 0),
                           QColor(0, 0, 192)};
    const int top = 48, height = 90;
    for (int i = 0; i < 7; ++i) p.fillRect(QRectF(18 + i * 220.0 / 7, top, 220.0 / 7 + 1, height), bars[i]);
    QLinearGradient ramp(18, 0, 238, 0);
    ramp.setColorAt(0, Qt::black);
    ramp.setColorAt(1, Qt::white);
    p.fillRect(QRectF(18, top + height, 220, 24), ramp);
    p.fillRect(QRectF(18, top + height + 24, 220, 60), kNavy);
    p.setClipping(false);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 2));
    p.drawEllipse(QPointF(n / 2.0, n / 2.0), 110, 110);
    p.drawLine(n / 2, 8, n / 2, 30);
    p.drawLine(n / 2, n - 30, n / 2, n - 8);
    p.drawLine(8, n / 2, 30, n / 2);
    p.drawLine(n - 30, n / 2, n - 8, n / 2);
    QFont font("DejaVu Sans", 1, QFont::Bold);
    font.setPixelSize(20);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(18, top + height + 24, 220, 34), Qt::AlignCenter, "LUMENFEED");
    font.setPixelSize(11);
    font.setBold(false);
    p.setFont(font);
    p.setPen(kAmber);
    p.drawText(QRect(18, top + height + 52, 220, 20), Qt::AlignCenter, "waiting for the field unit");
    return image;
}

// 16 x 16 icons beside the lists and on the buttons.
QImage Icon(const std::function<void(QPainter&)>& paint) {
    QImage image = Canvas(16, 16);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    paint(p);
    return image;
}

void PaintNetwork(QPainter& p) {
    p.setPen(QPen(kNavy, 1.2));
    p.setBrush(kSky);
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(5, 1.5, 6, 13));
    p.drawLine(QPointF(1.5, 8), QPointF(14.5, 8));
}

void PaintSpeaker(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(kNavy);
    QPolygonF body({{2, 6}, {5, 6}, {9, 2}, {9, 14}, {5, 10}, {2, 10}});
    p.drawPolygon(body);
    p.setPen(QPen(kSky, 1.4, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(7, 4, 6, 8), -60 * 16, 120 * 16);
    p.drawArc(QRectF(6, 1.5, 9, 13), -60 * 16, 120 * 16);
}

void PaintMicrophone(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(kNavy);
    p.drawRoundedRect(QRectF(5.5, 1, 5, 9), 2.5, 2.5);
    p.setPen(QPen(kNavy, 1.3));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(3.5, 4, 9, 8), 180 * 16, 180 * 16);
    p.drawLine(QPointF(8, 12), QPointF(8, 15));
    p.drawLine(QPointF(5, 15), QPointF(11, 15));
}

void PaintStart(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 150, 60));
    p.drawPolygon(QPolygonF({{4, 2}, {14, 8}, {4, 14}}));
}

void PaintFullScreen(QPainter& p) {
    p.setPen(QPen(kNavy, 1.6, Qt::SolidLine, Qt::SquareCap));
    for (auto [x, y, dx, dy] : {std::tuple{2, 2, 1, 1}, {14, 2, -1, 1}, {2, 14, 1, -1}, {14, 14, -1, -1}}) {
        p.drawLine(QPointF(x, y), QPointF(x + 4 * dx, y));
        p.drawLine(QPointF(x, y), QPointF(x, y + 4 * dy));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(kSky);
    p.drawRect(QRectF(5, 5, 6, 6));
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_artwork OUTPUT-DIRECTORY\n");
        return 2;
    }
    QDir out(argv[1]);
    bool ok = true;
    auto save = [&](const QImage& image, const char* name, const char* format = "PNG") {
        ok &= image.save(out.filePath(name), format, format == std::string("JPG") ? 92 : -1);
    };
    save(Mark(64), "app-icon.png");
    save(Mark(48), "ctx-image.png");
    save(Mark(64), "logo.png");
    save(Wordmark(136, 48), "wordmark.png");
    save(StudioBadge(114, 47), "studio.jpg", "JPG");
    save(TestCard(), "mira.png");
    save(Icon(PaintNetwork), "host.png");
    save(Icon(PaintSpeaker), "audio-out.png");
    save(Icon(PaintMicrophone), "audio-source.png");
    save(Icon(PaintStart), "start.png");
    save(Icon(PaintFullScreen), "full-screen.png");
    if (!ok) std::fprintf(stderr, "make_artwork: could not write every picture\n");
    return ok ? 0 : 1;
}
