#include "COverlay.h"

#include <QFontDatabase>
#include <QPainter>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

const QColor kBacking(0, 0, 0, 160);
const QColor kText(235, 235, 235);
const QColor kDim(150, 150, 150);
const QColor kLow(46, 204, 64);  // below the alignment level
const QColor kHigh(255, 210, 0); // above it
const QColor kOver(255, 65, 54); // close to full scale
const QColor kLoudness(127, 219, 255);
const QColor kAlignment(255, 133, 27);
constexpr float kOverDb = -6.0f;

QFont Font(int unit) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(unit);
    return font;
}

QString Number(double value, int decimals = 0) {
    return QString::number(value, 'f', decimals);
}

QString Level(float db) {
    return db <= CLevelMeter::kFloor ? QString("  -inf") : QString("%1").arg(db, 6, 'f', 1);
}

QString Clock(double seconds) {
    const qint64 s = qint64(seconds);
    return QString("%1:%2:%3")
        .arg(s / 3600, 2, 10, QChar('0'))
        .arg(s / 60 % 60, 2, 10, QChar('0'))
        .arg(s % 60, 2, 10, QChar('0'));
}

QString Levels(const char* name, const CLevelMeter::Reading& r) {
    if (!r.open)
        return QString("%1  off").arg(name);
    QString peaks, loudness;
    for (int c = 0; c < r.channels && c < CLevelMeter::kMaxChannels; ++c) {
        peaks += Level(r.channel[size_t(c)].peak);
        loudness += Level(r.channel[size_t(c)].loudness);
    }
    return QString("%1 %2 dBFS %3 LUFS").arg(name, peaks, loudness);
}

// The alarms on now, short enough for all four to fit; or how many came on
// so far.
QString Alarms(const CAlarmPolicy& alarms) {
    static const char* const kShort[CAlarmPolicy::kKinds] = {"FROZEN", "BLACK", "PGM SILENT",
                                                             "RET SILENT"};
    QStringList on;
    uint64_t count = 0;
    for (int k = 0; k < CAlarmPolicy::kKinds; ++k) {
        if (alarms.Active(k))
            on << kShort[k];
        count += alarms.Count(k);
    }
    if (on.isEmpty())
        return QString("Alarms   none (%1 so far)").arg(count);
    return QString("Alarms   %1").arg(on.join("  "));
}

QStringList Lines(const CLinkStatistics& statistics) {
    const CLinkStatistics::Snapshot& s = statistics.Latest();
    const CLinkStatistics::Totals& t = statistics.GetTotals();
    auto ms = [](const std::optional<double>& v) { return v ? Number(*v, 1) : QString("-"); };
    QStringList lines;
    if (s.connected)
        lines << QString("Peer     %1").arg(QString::fromStdString(s.peer))
              << QString("Up       %1").arg(Clock(s.connectedSeconds));
    else
        lines << QString("Unconnected (%1 connections so far)").arg(t.connections);
    lines << Alarms(statistics.Alarms());
    lines << QString("Bitrate  video %1  audio %2 kbit/s")
                 .arg(Number(s.videoKbps))
                 .arg(Number(s.audioKbps))
          << QString("Pictures %1 in  %2 decoded  %3 drawn /s")
                 .arg(Number(s.receivedPerSecond))
                 .arg(Number(s.decodedPerSecond))
                 .arg(Number(s.drawnPerSecond))
          << QString("Display  %1 /s dropped").arg(Number(s.displayDroppedPerSecond))
          << QString("Refused  type %1  header %2  undecoded %3  late %4")
                 .arg(t.refused[CLinkStatistics::kUnknownType])
                 .arg(t.refused[CLinkStatistics::kBadHeader])
                 .arg(t.refused[CLinkStatistics::kNotDecoded])
                 .arg(t.refused[CLinkStatistics::kVideoQueueFull])
          << QString("Decode   %1 ms median").arg(ms(s.decodeMedianMs))
          << QString("Latency  %1 / %2 ms median / p95")
                 .arg(ms(s.latencyMedianMs), ms(s.latencyP95Ms))
          << QString("Sound    %1 ms queued  %2 underruns  %3 dropped")
                 .arg(Number(s.audioQueuedMs))
                 .arg(t.underruns)
                 .arg(t.audioDropped)
          << QString("Sync     pictures held %1 ms, sound %2 ms")
                 .arg(Number(s.pictureHoldMs))
                 .arg(Number(s.audioQueuedMs))
          << QString("Receive  latency %1, held at %2 ms")
                 .arg(s.receiveLatencyMs ? QString("%1 ms").arg(s.receiveLatencyMs)
                                         : QString("Auto"))
                 .arg(Number(s.latencyTargetMs))
          << QString("Return   %1 sent  %2 dropped").arg(s.returnSent).arg(s.returnDropped)
          << Levels("PGM", s.programme) << Levels("RET", s.returned);
    return lines;
}

// The meters' geometry: a strip along the bottom, one row of bars per
// channel, programme above return; in units of a ninth of the font size.
struct MeterLayout {
    int unit;
    double s = unit / 9.0;
    int Margin() const { return std::max(2, int(4 * s)); }
    int Bar() const { return std::max(2, int(std::lround(3 * s))); }
    int Gap() const { return std::max(1, int(std::lround(s))); }
    int Group() const { return 2 * Bar() + Gap(); }
    int Label() const { return int(28 * s); }
    int ScaleRow() const { return unit; }
    int Height() const { return Margin() + ScaleRow() + 2 * Group() + 2 * Gap() + Margin(); }
    // No wider than forty characters: bars that long read at a glance.
    int Width(int area) const { return std::min(area, 40 * unit); }
};

int X(float db, int left, int right) {
    const float clamped = std::clamp(db, COverlay::kBottomDb, COverlay::kTopDb);
    return left + int(std::lround((clamped - COverlay::kBottomDb) /
                                  (COverlay::kTopDb - COverlay::kBottomDb) * float(right - left)));
}

void PaintBar(QPainter& p, int left, int right, int y, int height, float db) {
    if (db <= COverlay::kBottomDb)
        return;
    const int x = X(db, left, right);
    const int alignment = X(COverlay::kAlignmentDb, left, right);
    const int over = X(kOverDb, left, right);
    p.fillRect(QRect(left, y, std::min(x, alignment) - left, height), kLow);
    if (x > alignment)
        p.fillRect(QRect(alignment, y, std::min(x, over) - alignment, height), kHigh);
    if (x > over)
        p.fillRect(QRect(over, y, x - over, height), kOver);
}

void PaintGroup(QPainter& p, const MeterLayout& l, int left, int right, int top,
                const CLevelMeter::Reading& r, const char* name) {
    p.setPen(r.open ? kText : kDim);
    p.setFont(Font(std::max(7, l.unit - 2)));
    p.drawText(QRect(left - l.Label(), top - l.Gap(), l.Label() - l.Gap(), l.Group() + 2 * l.Gap()),
               Qt::AlignRight | Qt::AlignVCenter, name);
    const QRect trough(left, top, right - left, l.Group());
    p.fillRect(trough, QColor(40, 40, 40, 200));
    if (!r.open) {
        // No source: told apart from a silent one.
        p.drawText(trough.adjusted(0, -l.Gap(), 0, l.Gap()), Qt::AlignLeft | Qt::AlignVCenter,
                   " off");
        return;
    }
    for (int c = 0; c < 2; ++c) {
        // Mono is heard on both sides.
        const int from = r.channels == 1 ? 0 : c;
        if (!r.live || from >= r.channels)
            continue;
        const CLevelMeter::Channel& level = r.channel[size_t(from)];
        const int y = top + c * (l.Bar() + l.Gap());
        PaintBar(p, left, right, y, l.Bar(), level.peak);
        // The hold as a white mark, the momentary loudness as a blue one.
        const int mark = std::max(1, l.Gap()) + 1;
        if (level.hold > COverlay::kBottomDb)
            p.fillRect(QRect(X(level.hold, left, right) - mark, y, mark, l.Bar()), Qt::white);
        if (level.loudness > COverlay::kBottomDb)
            p.fillRect(QRect(X(level.loudness, left, right) - mark / 2, y - 1, mark, l.Bar() + 2),
                       kLoudness);
    }
}

void PaintMeters(QPainter& p, const MeterLayout& l, QRect strip,
                 const CLevelMeter::Reading& programme, const CLevelMeter::Reading& returned) {
    p.fillRect(strip, kBacking);
    const int left = strip.left() + l.Margin() + l.Label();
    const int right = strip.right() - l.Margin() - l.unit / 2;
    int top = strip.top() + l.Margin();
    // The scale: every 6 dB down to -24, then -40 and -60.
    p.setFont(Font(std::max(7, l.unit - 2)));
    for (float db : {0.0f, -6.0f, -12.0f, -18.0f, -24.0f, -40.0f, -60.0f}) {
        const int x = X(db, left, right);
        p.setPen(db == COverlay::kAlignmentDb ? kAlignment : kDim);
        p.drawText(QRect(x - 2 * l.unit, top, 4 * l.unit, l.ScaleRow()), Qt::AlignCenter,
                   QString::number(int(db)));
    }
    top += l.ScaleRow();
    PaintGroup(p, l, left, right, top, programme, "PGM");
    PaintGroup(p, l, left, right, top + l.Group() + 2 * l.Gap(), returned, "RET");
    // The alignment level across both groups.
    p.fillRect(QRect(X(COverlay::kAlignmentDb, left, right), top - l.Gap(), std::max(1, l.Gap()),
                     2 * l.Group() + 4 * l.Gap()),
               kAlignment);
}

// Red and bold, as in the banner, on the box's dark backing.
QImage PaintNote(const QString& text, int unit, qreal pixelRatio) {
    QFont font = Font(unit);
    font.setBold(true);
    const QFontMetrics metrics(font);
    const int pad = unit / 2 + 2;
    const QSizeF size(metrics.horizontalAdvance(text) + 2 * pad, metrics.height() + 2 * pad);
    QImage image(size.toSize() * pixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(pixelRatio);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kBacking);
    p.drawRoundedRect(QRectF(QPointF(0, 0), size), unit / 3.0, unit / 3.0);
    p.setFont(font);
    p.setPen(QColor(0xE0, 0x20, 0x20));
    p.drawText(QPointF(pad, pad + metrics.ascent()), text);
    return image;
}

} // namespace

void COverlay::PaintBox(const CLinkStatistics& statistics, int unit, qreal pixelRatio) {
    const QFont font = Font(unit);
    const QFontMetrics metrics(font);
    const QStringList lines = Lines(statistics);
    int width = 0;
    for (const QString& line : lines)
        width = std::max(width, metrics.horizontalAdvance(line));
    const int pad = unit / 2 + 2;
    const QSize size(width + 2 * pad, int(lines.size()) * metrics.lineSpacing() + 2 * pad);
    box = QImage(size * pixelRatio, QImage::Format_ARGB32_Premultiplied);
    box.setDevicePixelRatio(pixelRatio);
    box.fill(Qt::transparent);
    QPainter p(&box);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kBacking);
    p.drawRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), unit / 3.0, unit / 3.0);
    p.setFont(font);
    const bool alarmed = statistics.Alarms().AnyActive();
    int y = pad + metrics.ascent();
    for (const QString& line : lines) {
        p.setPen(alarmed && line.startsWith("Alarms") ? kOver : kText);
        p.drawText(pad, y, line);
        y += metrics.lineSpacing();
    }
}

std::vector<platform::OverlayPiece> COverlay::Paint(const Content& content, QSize area,
                                                    qreal pixelRatio) {
    std::vector<platform::OverlayPiece> pieces;
    if (area.isEmpty())
        return pieces;
    const int unit = std::clamp(area.height() / 32, 9, 16);
    const MeterLayout layout{unit};
    const int margin = layout.Margin();
    // The recording note at the top left.
    if (!content.note.isEmpty())
        pieces.push_back({PaintNote(content.note, unit, pixelRatio), QPoint(margin, margin)});
    // The statistics at the top right.
    if (content.statistics) {
        if (content.generation != boxGeneration || unit != boxUnit ||
            box.devicePixelRatio() != pixelRatio) {
            PaintBox(*content.statistics, unit, pixelRatio);
            boxGeneration = content.generation;
            boxUnit = unit;
        }
        const int width = int(std::ceil(box.deviceIndependentSize().width()));
        pieces.push_back({box, QPoint(std::max(0, area.width() - width - margin), margin)});
    }
    // The meters along the bottom, at the right.
    if (content.meters) {
        const QSize strip(std::min(area.width(), layout.Width(area.width())), layout.Height());
        QImage image(strip * pixelRatio, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(pixelRatio);
        image.fill(Qt::transparent);
        QPainter p(&image);
        PaintMeters(p, layout, QRect(QPoint(0, 0), strip), content.programme, content.returned);
        p.end();
        pieces.push_back({image, QPoint(area.width() - strip.width(),
                                        std::max(0, area.height() - strip.height()))});
    }
    return pieces;
}
