#include "CapturePropertiesDialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QString FormatText(const WAVEFORMATEX& f) {
    return QStringLiteral("PCM, %1 Hz, %2 channel%3, %4 bits")
        .arg(f.nSamplesPerSec)
        .arg(f.nChannels)
        .arg(f.nChannels == 1 ? "" : "s")
        .arg(f.wBitsPerSample);
}

QString BufferText(const CCapture::Status& p) {
    uint32_t frames = p.format.nBlockAlign ? p.bufferBytes / p.format.nBlockAlign : 0;
    double ms = p.format.nSamplesPerSec ? 1000.0 * frames / p.format.nSamplesPerSec : 0.0;
    return QStringLiteral("%1 bytes (%2 frames, %3 ms)")
        .arg(p.bufferBytes)
        .arg(frames)
        .arg(ms, 0, 'f', 1);
}

QString StateText(const CCapture::Status& p) {
    if (p.running)
        return QStringLiteral("Running");
    return p.connected ? QStringLiteral("Stopped") : QStringLiteral("Not connected");
}

QLabel* AddRow(QFormLayout* form, const QString& caption, const char* name) {
    auto* value = new QLabel;
    value->setObjectName(QString::fromLatin1(name));
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(caption, value);
    return value;
}

} // namespace

void ShowCapturePropertiesDialog(QWidget* owner, const CaptureStatusReader& read,
                                 CCapture::Status first) {
    QDialog dialog(owner);
    dialog.setObjectName(QStringLiteral("CapturePropertiesDialog"));
    dialog.setWindowTitle(QStringLiteral("AudioCapture"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* form = new QFormLayout;
    layout->addLayout(form);
    QLabel* device = AddRow(form, QStringLiteral("Device:"), "Device");
    QLabel* format = AddRow(form, QStringLiteral("Format:"), "Format");
    QLabel* buffer = AddRow(form, QStringLiteral("Buffer:"), "Buffer");
    QLabel* state = AddRow(form, QStringLiteral("State:"), "State");
    QLabel* delivered = AddRow(form, QStringLiteral("Buffers delivered:"), "Delivered");
    QLabel* dropped = AddRow(form, QStringLiteral("Bytes dropped:"), "Dropped");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);

    CCapture::Status p = std::move(first);
    auto refresh = [&] {
        if (std::optional<CCapture::Status> now = read()) {
            p = std::move(*now);
        } else {
            p.connected = false;
            p.running = false;
        }
        device->setText(QString::fromStdU16String(p.device));
        format->setText(FormatText(p.format));
        buffer->setText(BufferText(p));
        state->setText(StateText(p));
        delivered->setText(QString::number(p.buffersDelivered));
        dropped->setText(QString::number(p.bytesDropped));
    };
    refresh();
    // The counters and the state move while the dialog is open.
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, &dialog, refresh);
    timer.start(500);
    dialog.exec();
}
