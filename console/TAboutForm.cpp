#include "ConsoleResources.h"
#include "TAboutForm.h"

#include "codec/CodecLibraryInfo.h"

#include <QCloseEvent>
#include <QFile>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>

TAboutForm* AboutForm = nullptr;

static constexpr int kSelfCloseMs = 60000;

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
    InitConsoleResources();
    setObjectName("AboutForm");
    setWindowTitle("License");
    setFixedSize(474, 375);
    QFont f("Tahoma");
    f.setPixelSize(11);
    setFont(f);

    logo = new QLabel(this);
    logo->setObjectName("Logo");
    logo->setPixmap(QPixmap(":/artwork/logo.png"));
    logo->setGeometry(8, 8, 64, 64);

    picture = new QLabel(this);
    picture->setObjectName("Image1");
    picture->setPixmap(QPixmap(":/artwork/wordmark.png"));
    picture->setGeometry(78, 8, 136, 48);

    license = new QTextEdit(this);
    license->setObjectName("License");
    license->setGeometry(8, 78, 458, 243);
    license->setReadOnly(true);
    license->setLineWrapMode(QTextEdit::NoWrap);
    license->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    license->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    license->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    okBtn = new QPushButton("OK", this);
    okBtn->setObjectName("OkBtn");
    okBtn->setGeometry(189, 336, 96, 25);
    okBtn->setDefault(true);
    connect(okBtn, &QPushButton::clicked, this, &TAboutForm::OnOk);
    setTabOrder(okBtn, license);

    timer = new QTimer(this);
    timer->setObjectName("Timer");
    timer->setInterval(kSelfCloseMs);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &TAboutForm::OnTimer);
}

TAboutForm::~TAboutForm() = default;

QString TAboutForm::NoticeText() {
    CodecLibraryInfo info = ReadCodecLibraryInfo();
    QString text;
    text += QString("The binaries %1 and %2 are not the WORK of this project, they\n")
                .arg(QString::fromStdString(info.codecFileName),
                     QString::fromStdString(info.utilFileName));
    text += "are parts of ffmpeg project.\n\n";
    text += "FFmpeg is Copyright (c) 2000-2022 Fabrice Bellard and the FFmpeg developers.\n\n";
    text += "The source code of libavcodec and libavutil is available from the FFmpeg\n"
            "project at https://ffmpeg.org/ (and from your distribution's source\n"
            "packages). They are licensed and distributed under the terms of the GNU\n"
            "Lesser General Public License as published by the Free Software Foundation.\n";
    text += QString("The loaded libavcodec %1 reports its licence as: %2.\n\n")
                .arg(QString::fromStdString(info.version), QString::fromStdString(info.licence));
    QFile lgpl(":/notice/LGPL-2.1.txt");
    if (lgpl.open(QIODevice::ReadOnly)) text += QString::fromUtf8(lgpl.readAll());
    return text;
}

void TAboutForm::OnOk() { close(); }

void TAboutForm::OnTimer() { close(); }

void TAboutForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    OnShow();
}

void TAboutForm::OnShow() {
    // The codec libraries are read only when the notice is shown, not at
    // start-up.
    if (license->document()->isEmpty()) license->setPlainText(NoticeText());
    timer->start();
}

void TAboutForm::OnClose() { timer->stop(); }

void TAboutForm::closeEvent(QCloseEvent* event) {
    OnClose();
    QDialog::closeEvent(event);
}

void TAboutForm::done(int result) {
    OnClose();
    QDialog::done(result);
}
