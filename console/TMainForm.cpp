#include "TMainForm.h"
#include "ConsoleResources.h"

#include "CCommandLine.h"
#include "CConfiguration.h"
#include "CInstrumentsView.h"
#include "CQtErrorLine.h"
#include "TAboutForm.h"
#include "TFullScreenForm.h"
#include "dialogs/CapturePropertiesDialog.h"
#include "return/CDevice.h"
#include "core/CErrorHandler.h"
#include "gateway/CGateway.h"
#include "instruments/CAlarmPolicy.h"
#include "platform/audio/AudioOut.h"
#include "platform/HostAddresses.h"
#include "platform/SocketCompat.h"
#include "platform/video/VideoSurface.h"
#include "record/CFeedTap.h"
#include "record/CPublisher.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QMenu>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <filesystem>

TMainForm* MainForm = nullptr;

static constexpr char kMakerAddress[] = "https://lumenfeed.example/";

namespace {

QLabel* Picture(QWidget* parent, const char* name, const char* resource, QRect geometry) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setPixmap(QPixmap(resource));
    label->setGeometry(geometry);
    return label;
}

QLabel* Caption(QWidget* parent, const char* name, const QString& text, QPoint at) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->move(at);
    label->adjustSize();
    return label;
}

} // namespace

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
    InitConsoleResources();
    BuildComponents();
    BuildFeedControls();
    instruments = new CInstrumentsView(this);
    addAction(instruments->StatisticsAction());
    FullScreenInstruments = new QAction("&Meters over the full-screen picture", this);
    FullScreenInstruments->setObjectName("FullScreenInstruments");
    FullScreenInstruments->setCheckable(true);
    connect(FullScreenInstruments, &QAction::toggled, this, [this] {
        if (server)
            ApplyDisplayTarget();
    });
    connect(instruments, &CInstrumentsView::AlarmText, this,
            [this](const QString& text, bool connectionEnded) {
                // Alarms that end with the connection follow whatever its end
                // put on the line, rather than hide why it ended.
                const QString shown = error->text();
                error->setText(connectionEnded && !shown.isEmpty() ? shown + " " + text : text);
            });
    platform::StartSockets();
    server = nullptr;
    runner.SetServerWatch([this](CGateway* made) {
        if (made) {
            server = made;
            feed = runner.Feed();
            ApplyFeedChoices();
        } else {
            server = nullptr;
            feed = nullptr;
        }
        instruments->SetServer(made);
    });
    QApplication::setApplicationDisplayName(QString());
    QApplication::setApplicationName(windowTitle());

    playbackFormat = DefaultWaveFormat();
    captureFormat = playbackFormat;

    FillHostList();
    FillAudioOutList();
    FillAudioSourceList();
    LoadConfiguration();
    ApplyLaunchChoices();
    StartInstruments();
    // The operator's own changes are theirs to save.
    connect(Full, &QPushButton::clicked, this, [this] { held.full = false; });
    connect(AudioSources, &QComboBox::activated, this, [this] { held.source = false; });
    connect(AudioOut, &QComboBox::activated, this, [this] { held.output = false; });
    connect(Host, &QComboBox::activated, this, [this] { held.listen = false; });
    connect(Port, &QSpinBox::editingFinished, this, [this] { held.listen = false; });
    if (startAtLaunch)
        QTimer::singleShot(0, this, [this] {
            if (!StartBtn->isChecked())
                StartBtn->click();
        });
}

void TMainForm::ApplyLaunchChoices() {
    // The command line's choices stand for this launch; only the operator's
    // own are stored.
    const LaunchOptions& launch = CCommandLine::Launch();
    base.full = Full->isChecked();
    base.audioSource = AudioSources->currentIndex();
    base.recordFolder = recordFolder;
    base.publishTargets = publishTargets;
    if (!launch.recordFolder.empty()) {
        recordFolder = launch.recordFolder;
        recordOn = true;
        held.record = true;
    }
    if (!launch.publishTargets.empty()) {
        publishTargets = launch.publishTargets;
        held.publish = true;
    }
    if (!launch.listen.empty()) {
        SelectListen(launch.listen);
        held.listen = true;
    }
    if (!launch.output.empty()) {
        SelectOutput(launch.output);
        held.output = true;
    }
    if (!launch.source.empty()) {
        SelectSource(launch.source);
        held.source = true;
    }
    if (launch.fullScreen) {
        Full->setChecked(true); // does not run FullClick
        held.full = true;
    }
    if (launch.start)
        startAtLaunch = retryListen = true;
    if (launch.receiveLatencyMs)
        receiveLatencyMs = *launch.receiveLatencyMs;
}

void TMainForm::LaunchNote(const std::string& text) {
    std::fprintf(stderr, "lumenfeed: warning: %s\n", text.c_str());
    launchNote = launchNote.empty() ? text : launchNote + " " + text;
    error->setText(QString::fromStdString(launchNote));
}

void TMainForm::SelectListen(const std::string& text) {
    std::string address;
    int port = 0;
    if (!ParseListenAddress(text, address, port)) {
        LaunchNote("\"" + text + "\" is not an address and port to listen on (ADDR:PORT).");
        return;
    }
    int index = Host->findText(QString::fromStdString(address));
    if (index < 0) {
        // Listened on all the same: with Start at launch, until it comes.
        LaunchNote("The address " + address + " is not one of this machine's now.");
        Host->addItem(QString::fromStdString(address));
        index = Host->count() - 1;
    }
    Host->setCurrentIndex(index);
    if (port > Port->maximum())
        Port->setMaximum(port);
    Port->setValue(port);
}

void TMainForm::SelectOutput(const std::string& name) {
    const int index = AudioOut->findText(QString::fromStdString(name), Qt::MatchExactly);
    if (index < 0) {
        LaunchNote("The output device \"" + name + "\" is not there; the sound plays on \"" +
                   AudioOut->currentText().toStdString() + "\".");
        return;
    }
    AudioOut->setCurrentIndex(index);
}

void TMainForm::SelectSource(const std::string& name) {
    const int index = AudioSources->findText(QString::fromStdString(name), Qt::MatchExactly);
    if (index < 0) {
        LaunchNote("The studio source \"" + name + "\" is not there; \"" +
                   AudioSources->currentText().toStdString() + "\" is chosen instead.");
        return;
    }
    AudioSources->setCurrentIndex(index);
}

TMainForm::~TMainForm() {
    // A window destroyed without the exit sequence (tests) still ends its session.
    StopSession();
}

void TMainForm::BuildComponents() {
    setObjectName("MainForm");
    setWindowTitle("TV - Lumenfeed");
    setWindowIcon(QIcon(":/artwork/app-icon.png"));
    setFixedSize(616, 415);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    QFont f = font();
    f.setPixelSize(11);
    setFont(f);

    Banner = new QFrame(this);
    Banner->setObjectName("Banner");
    Banner->setGeometry(0, 0, 616, 64);
    Banner->setAutoFillBackground(true);
    QPalette white = Banner->palette();
    white.setColor(QPalette::Window, Qt::white);
    Banner->setPalette(white);
    CtxImage = Picture(Banner, "CtxImage", ":/artwork/ctx-image.png", {8, 8, 48, 48});
    Image3 = Picture(Banner, "Image3", ":/artwork/wordmark.png", {62, 8, 136, 48});
    Image5 = Picture(Banner, "Image5", ":/artwork/studio.jpg", {495, 9, 114, 47});

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName("Bevel1");
    Bevel1->setGeometry(0, 64, 616, 4);
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Sunken);

    Bord = new QFrame(this);
    Bord->setObjectName("Bord");
    Bord->setGeometry(0, 68, 616, 332);

    Renderer = new QFrame(Bord);
    Renderer->setObjectName("Renderer");
    Renderer->setGeometry(7, 6, 362, 290);
    Renderer->setFrameShape(QFrame::Panel);
    Renderer->setFrameShadow(QFrame::Raised);
    Renderer->setLineWidth(1);
    Renderer->setAutoFillBackground(true);
    QPalette black = Renderer->palette();
    black.setColor(QPalette::Window, Qt::black);
    Renderer->setPalette(black);
    // The surface covers the whole panel, so that the drawing rectangle
    // (1, 1, 360 x 288) means the same in both.
    panelSurface = new platform::CVideoSurface(Renderer);
    panelSurface->setObjectName("RendererSurface");
    panelSurface->setGeometry(0, 0, 362, 290);
    Mira = new QLabel(Renderer);
    Mira->setObjectName("Mira");
    Mira->setGeometry(1, 1, 360, 288);
    Mira->setAlignment(Qt::AlignCenter);
    Mira->setPixmap(QPixmap(":/artwork/mira.png"));
    Mira->setAutoFillBackground(true);
    Mira->setPalette(black);

    GroupBox1 = new QGroupBox(" Operator: ", Bord);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setGeometry(375, 6, 234, 155);
    Image2 = Picture(GroupBox1, "Image2", ":/artwork/host.png", {14, 37, 16, 16});
    Host = new QComboBox(GroupBox1);
    Host->setObjectName("Host");
    Host->setGeometry(33, 35, 120, 21);
    Label1 = Caption(GroupBox1, "Label1", ":", {155, 38});
    Port = new QSpinBox(GroupBox1);
    Port->setObjectName("Port");
    // Wide enough for five digits and the arrows.
    Port->setGeometry(161, 35, 64, 21);
    Port->setRange(0, 32000);
    Port->setValue(8088);
    Port->setGroupSeparatorShown(false);
    Image1 = Picture(GroupBox1, "Image1", ":/artwork/audio-out.png", {14, 64, 16, 16});
    AudioOut = new QComboBox(GroupBox1);
    AudioOut->setObjectName("AudioOut");
    AudioOut->setGeometry(33, 62, 185, 21);
    Label2 = Caption(GroupBox1, "Label2", "Volume", {103, 89});
    Volume = new QSlider(Qt::Horizontal, GroupBox1);
    Volume->setObjectName("Volume");
    Volume->setGeometry(37, 108, 161, 29);
    Volume->setRange(0, 100);
    Volume->setValue(0);
    Volume->setTickPosition(QSlider::TicksBelow);
    Volume->setTickInterval(10);
    connect(Volume, &QSlider::valueChanged, this, &TMainForm::VolumeChange);

    GroupBox2 = new QGroupBox(" Studio: ", Bord);
    GroupBox2->setObjectName("GroupBox2");
    GroupBox2->setGeometry(375, 167, 234, 129);
    Image4 = Picture(GroupBox2, "Image4", ":/artwork/audio-source.png", {18, 37, 16, 16});
    AudioSources = new QComboBox(GroupBox2);
    AudioSources->setObjectName("AudioSources");
    AudioSources->setGeometry(40, 35, 182, 21);
    Button1 = new QPushButton("&Audio", GroupBox2);
    Button1->setObjectName("Button1");
    Button1->setGeometry(80, 80, 75, 25);
    connect(Button1, &QPushButton::clicked, this, &TMainForm::Button1Click);
    // Beside the button, so that no other component moves.
    IdleLabel = Caption(GroupBox2, "IdleLabel", "Idle time-out", {142, 64});
    IdleLabel->setGeometry(142, 64, 80, IdleLabel->height());
    IdleLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    IdleTimeout = new QSpinBox(GroupBox2);
    IdleTimeout->setObjectName("IdleTimeout");
    IdleTimeout->setGeometry(162, 82, 60, 21);
    IdleTimeout->setRange(0, 600);
    IdleTimeout->setValue(CGateway::kDefaultIdleTimeout);
    IdleTimeout->setSuffix(" s");
    IdleTimeout->setSpecialValueText("Off");
    IdleTimeout->setToolTip("A connection on which nothing arrives for this long is closed.\n"
                            "Off: only a field unit that has vanished is let go.");
    IdleLabel->setBuddy(IdleTimeout);
    connect(IdleTimeout, &QSpinBox::valueChanged, this, &TMainForm::IdleTimeoutChange);
    // Left of the button, so that no other component moves.
    LipSyncLabel = Caption(GroupBox2, "LipSyncLabel", "Lip sync", {10, 64});
    LipSync = new QSpinBox(GroupBox2);
    LipSync->setObjectName("LipSync");
    LipSync->setGeometry(8, 82, 68, 21);
    LipSync->setRange(kLipSyncOff, kLipSyncLatest);
    LipSync->setSingleStep(5);
    LipSync->setValue(0);
    LipSync->setSuffix(" ms");
    LipSync->setSpecialValueText("Off");
    LipSync->setToolTip("Pictures are held back so that they show as their sound is heard; "
                        "this shows them later (+) or earlier (-).\n"
                        "Off: pictures as soon as they are decoded, for the lowest latency.");
    LipSyncLabel->setBuddy(LipSync);
    connect(LipSync, &QSpinBox::valueChanged, this, &TMainForm::LipSyncChange);

    Clients = Caption(Bord, "Clients", "Unconnected.", {9, 301});
    Clients->setMinimumWidth(80);
    StartBtn = new QPushButton(QIcon(":/artwork/start.png"), "Start", Bord);
    StartBtn->setObjectName("StartBtn");
    StartBtn->setGeometry(95, 302, 90, 25);
    StartBtn->setCheckable(true);
    StartBtn->setFlat(false);
    connect(StartBtn, &QPushButton::clicked, this, &TMainForm::OnStart);
    Full = new QPushButton(QIcon(":/artwork/full-screen.png"), "&Full Screen", Bord);
    Full->setObjectName("Full");
    Full->setGeometry(191, 302, 90, 25);
    Full->setCheckable(true);
    connect(Full, &QPushButton::clicked, this, &TMainForm::FullClick);
    Time = Caption(Bord, "Time", "00:00:00", {327, 306});
    Time->setToolTip("time");
    url = Caption(Bord, "url", kMakerAddress, {449, 306});
    url->setCursor(Qt::PointingHandCursor);
    url->installEventFilter(this);

    error = new QLineEdit(this);
    error->setObjectName("error");
    error->setGeometry(0, 400, 616, 15);
    error->setReadOnly(true);
    error->setFrame(false);
    error->setFocusPolicy(Qt::NoFocus);
    QPalette red = error->palette();
    red.setColor(QPalette::Text, Qt::red);
    red.setColor(QPalette::Base, palette().color(QPalette::Window));
    error->setPalette(red);

    status = new QLabel(this);
    status->setObjectName("status");
    status->move(9, 414);
    status->setToolTip("status");

    Timer = new QTimer(this);
    Timer->setObjectName("Timer");
    Timer->setInterval(1000);
    connect(Timer, &QTimer::timeout, this, &TMainForm::TimerTimer);

    setTabOrder(Volume, AudioOut);
    setTabOrder(AudioOut, Host);
    setTabOrder(Host, Port);
    setTabOrder(Port, AudioSources);
    setTabOrder(AudioSources, Button1);
    setTabOrder(Button1, IdleTimeout);
    setTabOrder(IdleTimeout, LipSync);
}

void TMainForm::FillHostList() {
    Host->clear();
    for (const std::string& address : platform::LocalIPv4Addresses())
        Host->addItem(QString::fromStdString(address));
    Host->setCurrentIndex(Host->count() > 0 ? 0 : -1);
}

void TMainForm::FillAudioOutList() {
    AudioOut->clear();
    // The list position is the device number handed to the audio layer.
    int32_t count = platform::CAudioOut::DeviceCount();
    for (int32_t i = 0; i < count; ++i) {
        std::string name = platform::CAudioOut::DeviceName(i);
        AudioOut->addItem(name.empty() ? QString("Output %1").arg(i + 1)
                                       : QString::fromStdString(name));
    }
    AudioOut->setCurrentIndex(AudioOut->count() > 0 ? 0 : -1);
}

void TMainForm::FillAudioSourceList() {
    AudioSources->clear();
    AudioSources->addItem("(none)");
    for (const std::u16string& name : CDevice::Names())
        AudioSources->addItem(QString::fromUtf16(name.data(), qsizetype(name.size())));
    AudioSources->setCurrentIndex(0);
}

void TMainForm::LoadConfiguration() {
    CConfiguration configuration;
    StoredChoices choices = configuration.Load();
    if (choices.full)
        Full->setChecked(*choices.full); // does not run FullClick
    if (choices.audioSource) {
        int index = *choices.audioSource;
        AudioSources->setCurrentIndex(index >= 0 && index < AudioSources->count() ? index : -1);
    }
    // A time-out outside the box's range is not a choice the operator made.
    if (choices.idleTimeout && *choices.idleTimeout >= IdleTimeout->minimum() &&
        *choices.idleTimeout <= IdleTimeout->maximum())
        IdleTimeout->setValue(*choices.idleTimeout);
    if (choices.lipSync && *choices.lipSync >= LipSync->minimum() &&
        *choices.lipSync <= LipSync->maximum())
        LipSync->setValue(*choices.lipSync);
    if (choices.receiveLatency && CGateway::ReceiveLatencyAllowed(*choices.receiveLatency))
        receiveLatencyMs = storedLatencyMs = *choices.receiveLatency;
    if (choices.fullScreenInstruments)
        FullScreenInstruments->setChecked(*choices.fullScreenInstruments);
    if (choices.metricsPort)
        metricsPort = *choices.metricsPort;
    if (choices.metricsAddress)
        metricsAddress = *choices.metricsAddress;
    instruments->SetAlarmThresholds(AlarmThresholds(choices));
    if (choices.allowed)
        allowed = *choices.allowed;
    if (choices.recordFolder)
        recordFolder = *choices.recordFolder;
    if (choices.publishTargets) {
        publishTargets.clear();
        for (const std::string& target : *choices.publishTargets)
            if (CPublisher::Supported(target))
                publishTargets.push_back(target);
    }
    // Stored by hand, for a receiver that runs unattended.
    if (choices.listen)
        SelectListen(*choices.listen);
    if (choices.output)
        SelectOutput(*choices.output);
    if (choices.source)
        SelectSource(*choices.source);
    if (choices.record && *choices.record && !recordFolder.empty())
        recordOn = true;
    if (choices.start && *choices.start)
        startAtLaunch = retryListen = true;
    stored = choices;
}

void TMainForm::SaveConfiguration() {
    CConfiguration configuration;
    // What the command line holds for this launch is never stored: the
    // window's choice from before it stays.
    configuration.Save(held.full ? base.full : Full->isChecked(),
                       held.source ? base.audioSource : AudioSources->currentIndex(),
                       IdleTimeout->value(), LipSync->value());
    configuration.SaveReceiveLatency(storedLatencyMs);
    configuration.SaveDisplay(FullScreenInstruments->isChecked());
    configuration.SaveFeed(held.record ? base.recordFolder : recordFolder,
                           held.publish ? base.publishTargets : publishTargets);
    // The names follow the window only where they were stored.
    std::optional<std::string> listen, output, source;
    if (stored.listen && !held.listen)
        listen = Host->currentText().toStdString() + ":" + std::to_string(Port->value());
    if (stored.output && !held.output)
        output = AudioOut->currentText().toStdString();
    if (stored.source && !held.source)
        source = AudioSources->currentText().toStdString();
    if (listen || output || source)
        configuration.SaveNames(listen, output, source);
}

void TMainForm::OnStart() {
    if (StartBtn->isChecked()) {
        StartBtn->setText("&Stop");
        // What the launch found missing stays in sight when it starts the
        // session itself.
        error->setText(startAtLaunch ? QString::fromStdString(launchNote) : QString());
        startAtLaunch = false;
        Mira->hide();
        StartSession();
    } else {
        StopSession();
        Mira->show();
        StartBtn->setText("&Start");
        status->setText(QString());
        Clients->setText("Unconnected.");
    }
}

void TMainForm::StartSession() {
    StartBtn->setEnabled(false);
    FillSessionContext();
    // The command line's entries stand in for the stored ones.
    runner.SetAllowed(CCommandLine::Launch().allowed.empty() ? allowed
                                                             : CCommandLine::Launch().allowed);
    instruments->SetSurfaces({panelSurface, FullScreenForm->Surface()});
    FullScreenForm->AddPictureAction(instruments->StatisticsAction());
    FullScreenForm->AddPictureAction(FullScreenInstruments);
    // The full-screen window is made after this one at start-up.
    connect(FullScreenForm, &TFullScreenForm::Closed, this, &TMainForm::FullScreenClosed,
            Qt::UniqueConnection);
    // The server starts with the feed's choices applied and the instruments
    // watching (the runner's watch).
    runner.Start(session, std::make_unique<CQtErrorLine>(error), retryListen);
    uint32_t volume = server->GetVolume();
    Volume->setValue(int((volume & 0xFFFF) * 100u / 65535u));
    tickCount = 0;
    presentedAtClear.reset();
    Timer->start();
    StartBtn->setEnabled(true);
}

void TMainForm::FillSessionContext() {
    ClearSessionContext(session);
    // Until the first picture tells its own size.
    session.videoWidth = Mira->width();
    session.videoHeight = Mira->height();
    ApplyDisplayChoice();
    SetSessionAddress(session, Host->currentText().toStdString());
    session.port = Port->value();
    session.playbackFormat = &playbackFormat;
    session.captureFormat = &captureFormat;
    SetSessionAudioSourceName(session, AudioSourceName());
    session.audioSource = AudioSources->currentIndex();
    session.outputDevice = AudioOut->currentIndex();
    session.idleTimeout = IdleTimeout->value();
    session.receiveLatencyMs = receiveLatencyMs;
    LipSyncChange();
    session.pictureBlackLevel = instruments->Statistics().Alarms().GetThresholds().blackLevel;
}

void TMainForm::ApplyDisplayChoice() {
    session.fullScreen = Full->isChecked() ? 1 : 0;
    // Shown before its size is read, so that the rectangle is the screen's.
    if (session.fullScreen)
        FullScreenForm->ShowCovering();
    else
        FullScreenForm->hide();
    ApplyDisplayTarget();
}

void TMainForm::ApplyDisplayTarget() {
    if (session.fullScreen) {
        session.videoWindow = FullScreenForm->Surface();
        session.drawLeft = 0;
        session.drawTop = 0;
        session.drawWidth = FullScreenForm->width();
        session.drawHeight = FullScreenForm->height();
    } else {
        session.videoWindow = panelSurface;
        session.drawLeft = 1;
        session.drawTop = 1;
        // The test card's place and size.
        session.drawWidth = Mira->width();
        session.drawHeight = Mira->height();
    }
    // Wherever the picture goes, the instruments go with it; over the full
    // screen only when the operator asked for them there.
    instruments->SetTarget(session.fullScreen ? FullScreenForm->Surface() : panelSurface,
                           QRect(session.drawLeft, session.drawTop, session.drawWidth,
                                 session.drawHeight),
                           session.fullScreen && !FullScreenInstruments->isChecked());
}

std::u16string TMainForm::AudioSourceName() const {
    QString text = AudioSources->currentText();
    if (text.isEmpty())
        return u"?";
    return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), size_t(text.size()));
}

void TMainForm::StopSession() {
    StartBtn->setEnabled(false);
    Timer->stop();
    // The server, then the tap, then the reporter.
    runner.Stop();
    ShowFeedState();
    FullScreenForm->hide();
    panelSurface->Clear();
    Renderer->update();
    ClearSessionContext(session);
    StartBtn->setEnabled(true);
}

void TMainForm::TimerTimer() {
    Timer->stop();
    ++tickCount;
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", unsigned(tickCount / 3600 % 24),
                  unsigned(tickCount / 60 % 60), unsigned(tickCount % 60));
    Time->setText(text);
    Time->adjustSize();
    FullScreenClosed();
    const bool picture = ConnectionShowsPicture();
    // A picture of an earlier connection must never show again: the surfaces
    // are emptied whenever no connection shows a picture of its own, and
    // again if pictures still queued at its end were drawn after that; the
    // test card stays until the new connection's own first picture.
    if (!picture) {
        const uint32_t presented = panelSurface->GetCounters().presented +
                                   FullScreenForm->Surface()->GetCounters().presented;
        if (presentedAtClear != presented) {
            panelSurface->Clear();
            FullScreenForm->Surface()->Clear();
            presentedAtClear = presented;
        }
    }
    if (session.connected) {
        Clients->setText("Connected.");
        Mira->setVisible(session.fullScreen != 0 || !picture);
    } else {
        Clients->setText("Unconnected.");
        Mira->show();
    }
    ShowFeedState();
    Timer->start();
}

bool TMainForm::ConnectionShowsPicture() const {
    return session.connected && server && server->ConnectionHasPicture();
}

void TMainForm::IdleTimeoutChange() {
    // A running session applies it from its next connection on.
    if (server)
        session.idleTimeout = IdleTimeout->value();
}

void TMainForm::LipSyncChange() {
    // Read for every picture: a running session follows at once.
    const int value = LipSync->value();
    session.lipSync = value != kLipSyncOff ? 1 : 0;
    session.lipSyncOffsetMs = value != kLipSyncOff ? value : 0;
}

void TMainForm::FullScreenClosed() {
    if (Full->isChecked() && !FullScreenForm->isVisible()) {
        Full->setChecked(false); // no click handler runs for this
        FullClick();
    }
}

void TMainForm::FullClick() {
    if (!server)
        return;
    ApplyDisplayChoice();
    // The decoder goes on: the next picture shows in the new place.
    server->MoveVideo();
    if (session.fullScreen)
        panelSurface->Clear();
    else
        FullScreenForm->Surface()->Clear();
    Mira->setVisible(session.fullScreen != 0 || !ConnectionShowsPicture());
}

void TMainForm::VolumeChange() {
    if (!server)
        return;
    uint32_t level = uint32_t(Volume->value() * 65535 / 100) & 0xFFFF;
    server->SetVolume(level | level << 16);
}

void TMainForm::Button1Click() {
    // Only a connection whose studio source was found has properties to show.
    std::optional<CCapture::Status> status = server ? server->ReturnStatus() : std::nullopt;
    if (!status || status->device.empty())
        return;
    // The worker may end the connection at any moment: the dialog reads
    // copies through the server, never the source itself.
    ShowCapturePropertiesDialog(
        this, [this] { return server ? server->ReturnStatus() : std::nullopt; },
        std::move(*status));
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (closing || OnFormClose())
        event->accept();
    else
        event->ignore();
}

bool TMainForm::OnFormClose() {
    if (QMessageBox::question(this, "Exit", "Are you sure?", QMessageBox::Yes | QMessageBox::No) !=
        QMessageBox::Yes)
        return false;
    closing = true;
    StopSession();
    if (QMessageBox::question(this, "Save", "Do you want to save the current configuration?",
                              QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes)
        SaveConfiguration();
    platform::StopSockets();
    if (AboutForm)
        AboutForm->exec();
    return true;
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == url) {
        switch (event->type()) {
        case QEvent::Enter:
            urlMouseEnter();
            break;
        case QEvent::Leave:
            urlMouseLeave();
            break;
        case QEvent::MouseButtonRelease:
            urlClick();
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TMainForm::urlMouseEnter() {
    QFont f = url->font();
    f.setUnderline(true);
    url->setFont(f);
    url->setStyleSheet("color: #0000FF");
}

void TMainForm::urlMouseLeave() {
    QFont f = url->font();
    f.setUnderline(false);
    url->setFont(f);
    url->setStyleSheet("color: #000000");
}

void TMainForm::urlClick() {
    QDesktopServices::openUrl(QUrl(url->text()));
}

void TMainForm::BuildFeedControls() {
    // In the banner's free middle, where no other component is and the
    // picture, drawn in a window of its own, cannot cover it.
    FeedState = new QLabel(Banner);
    FeedState->setObjectName("FeedState");
    FeedState->move(210, 24);
    FeedState->setStyleSheet("QLabel { color: #D00000; font-weight: bold; }");
    FeedState->hide();
    // The same menu on the picture and on the banner.
    for (QWidget* w : {static_cast<QWidget*>(Renderer), static_cast<QWidget*>(Banner)}) {
        w->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(w, &QWidget::customContextMenuRequested, this,
                [this, w](const QPoint& at) { FeedMenu(w->mapToGlobal(at)); });
    }
}

void TMainForm::FeedMenu(const QPoint& at) {
    QMenu menu(this);
    menu.setObjectName("FeedMenu");
    QAction* record = menu.addAction("&Record");
    record->setCheckable(true);
    record->setChecked(recordOn);
    QAction* folder = menu.addAction(
        recordFolder.empty() ? QString("Recording &folder...")
                             : QString("Recording &folder: %1...")
                                   .arg(QString::fromStdString(recordFolder).right(40)));
    QAction* publish = menu.addAction(
        publishTargets.empty() ? QString("&Publish to...")
                               : QString("&Publish to %1 address%2...")
                                     .arg(publishTargets.size())
                                     .arg(publishTargets.size() == 1 ? "" : "es"));
    menu.addSeparator();
    QAction* latency = menu.addAction(
        receiveLatencyMs ? QString("Receive &latency: %1 ms...").arg(receiveLatencyMs)
                         : QString("Receive &latency: Auto..."));
    menu.addAction(instruments->StatisticsAction());
    menu.addAction(FullScreenInstruments);
    QAction* chosen = menu.exec(at);
    // The operator's own choice from now on, to be saved.
    if (chosen == folder)
        held.record = false;
    if (chosen == publish)
        held.publish = false;
    if (chosen == record) {
        if (!recordOn && recordFolder.empty() && !ChooseRecordFolder())
            return;
        SetRecording(!recordOn);
    } else if (chosen == folder) {
        ChooseRecordFolder();
    } else if (chosen == publish) {
        EditPublishTargets();
    } else if (chosen == latency) {
        ChooseReceiveLatency();
    }
}

void TMainForm::ChooseReceiveLatency() {
    QDialog dialog(this);
    dialog.setObjectName("ReceiveLatencyDialog");
    dialog.setWindowTitle("Receive latency");
    auto* layout = new QVBoxLayout(&dialog);
    auto* text = new QLabel("How long the sound, and with lip sync the picture, is held behind\n"
                            "the field unit. A network stall shorter than this costs nothing.\n"
                            "Auto starts low, grows after a gap to ride out a stall as long,\n"
                            "and comes back down once the network has been calm.",
                            &dialog);
    layout->addWidget(text);
    // Its lowest step stands for Auto, as the lip sync box's does for Off.
    auto* box = new QSpinBox(&dialog);
    box->setObjectName("ReceiveLatency");
    box->setRange(CGateway::kShortestReceiveLatencyMs - 10, CGateway::kLongestReceiveLatencyMs);
    box->setSingleStep(10);
    box->setSuffix(" ms");
    box->setSpecialValueText("Auto");
    box->setValue(receiveLatencyMs ? receiveLatencyMs : box->minimum());
    layout->addWidget(box);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    if (dialog.exec() == QDialog::Accepted)
        SetReceiveLatency(box->value() == box->minimum() ? 0 : box->value());
}

void TMainForm::SetReceiveLatency(int milliseconds) {
    if (milliseconds != 0)
        milliseconds = std::clamp(milliseconds, CGateway::kShortestReceiveLatencyMs,
                                  CGateway::kLongestReceiveLatencyMs);
    receiveLatencyMs = storedLatencyMs = milliseconds;
    if (server)
        session.receiveLatencyMs = milliseconds;
}

bool TMainForm::ChooseRecordFolder() {
    QString chosen = QFileDialog::getExistingDirectory(
        this, "Recording folder",
        recordFolder.empty() ? QDir::homePath() : QString::fromStdString(recordFolder));
    if (chosen.isEmpty())
        return false;
    SetRecordFolder(chosen.toStdString());
    return true;
}

void TMainForm::EditPublishTargets() {
    QStringList lines;
    for (const std::string& target : publishTargets)
        lines << QString::fromStdString(target);
    bool ok = false;
    QString text = QInputDialog::getMultiLineText(
        this, "Publish",
        "Addresses the feed is published to while the link runs, one a line:\n"
        "srt://HOST:PORT?mode=caller (or mode=listener), udp://HOST:PORT, "
        "rtmp://HOST/APP/STREAM",
        lines.join("\n"), &ok);
    if (!ok)
        return;
    std::vector<std::string> targets;
    QStringList refused;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
        std::string target = line.trimmed().toStdString();
        if (target.empty())
            continue;
        if (CPublisher::Supported(target))
            targets.push_back(target);
        else
            refused << line.trimmed();
    }
    if (!refused.isEmpty())
        QMessageBox::warning(this, "Publish",
                             "These are not addresses the feed can be published to:\n" +
                                 refused.join("\n"));
    SetPublishTargets(targets);
}

void TMainForm::SetRecording(bool on) {
    recordOn = on && !recordFolder.empty();
    if (feed) {
        if (recordOn)
            recordOn = feed->StartRecording(recordFolder);
        else
            feed->StopRecording();
    }
    ShowFeedState();
}

void TMainForm::SetRecordFolder(const std::string& folder) {
    recordFolder = folder;
    // A running recording goes on in the new folder from the next key frame.
    if (recordOn)
        SetRecording(true);
}

void TMainForm::SetPublishTargets(const std::vector<std::string>& targets) {
    publishTargets = targets;
    if (feed)
        feed->SetPublishTargets(publishTargets);
    ShowFeedState();
}

void TMainForm::ApplyFeedChoices() {
    if (recordOn)
        recordOn = feed->StartRecording(recordFolder);
    if (!publishTargets.empty())
        feed->SetPublishTargets(publishTargets);
}

void TMainForm::ShowFeedState() {
    // A recording that gave up (a full disk) has said why on the error line.
    if (recordOn && feed && !feed->Recording())
        recordOn = false;
    if (!feed || (!recordOn && publishTargets.empty())) {
        FeedState->hide();
        instruments->SetNote({});
        return;
    }
    QStringList parts, details;
    for (const CFeedTap::Target& r : feed->RecordingStatus()) {
        const CFeedWriter::Status& s = r.status;
        const QString file = QString::fromStdString(s.where);
        if (s.state == CFeedWriter::State::Writing) {
            const int64_t seconds = s.writtenUs / 1000000;
            std::error_code error;
            const double bytes = double(std::filesystem::file_size(s.where, error));
            const QString size = bytes >= 1e9 ? QString::number(bytes / 1e9, 'f', 2) + " GB"
                                              : QString::number(bytes / 1e6, 'f', 1) + " MB";
            parts << QString("\u25CF REC %1:%2:%3  %4")
                         .arg(seconds / 3600, 2, 10, QChar('0'))
                         .arg(seconds / 60 % 60, 2, 10, QChar('0'))
                         .arg(seconds % 60, 2, 10, QChar('0'))
                         .arg(error ? QString("?") : size);
            details << "Recording into " + file;
        } else {
            parts << "\u25CF REC";
            details << "Recording into " + file + ", from the next connection's first picture";
        }
        if (s.queue.droppedPictures || s.queue.droppedAudioFrames)
            details << QString("  left out when the disk fell behind: %1 pictures, %2 sound frames")
                           .arg(s.queue.droppedPictures)
                           .arg(s.queue.droppedAudioFrames);
    }
    const std::vector<CFeedTap::Target> published = feed->PublishStatus();
    if (!published.empty()) {
        int live = 0;
        for (const CFeedTap::Target& p : published) {
            const bool writing = p.status.state == CFeedWriter::State::Writing;
            live += writing ? 1 : 0;
            const char* state = writing ? "publishing"
                                : p.status.state == CFeedWriter::State::Waiting
                                    ? "connected, waiting for pictures"
                                    : "not reached";
            details << QString("%1: %2").arg(QString::fromStdString(p.where), state);
        }
        parts << QString("\u25B2 %1/%2").arg(live).arg(published.size());
    }
    FeedState->setText(parts.join("   "));
    // Full screen hides the banner: the picture carries the indicator then.
    instruments->SetNote(session.fullScreen ? FeedState->text() : QString());
    FeedState->setToolTip(details.join("\n"));
    FeedState->adjustSize();
    FeedState->show();
    FeedState->raise();
}

void TMainForm::StartInstruments() {
    const LaunchOptions& launch = CCommandLine::Launch();
    instruments->SetInstance(launch.instance);
    const int port = launch.metricsPort ? launch.metricsPort : metricsPort;
    if (port <= 0 || port > 65535)
        return;
    const std::string address =
        !launch.metricsAddress.empty() ? launch.metricsAddress : metricsAddress;
    std::string problem;
    if (!instruments->OpenEndpoint(address, uint16_t(port), problem)) {
        // Before any session, the error line is free; the program runs on.
        std::fprintf(stderr, "lumenfeed: %s\n", problem.c_str());
        error->setText(QString::fromStdString(problem));
    }
}
