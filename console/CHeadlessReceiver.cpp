#include "CHeadlessReceiver.h"

#include "CConfiguration.h"
#include "CInstrumentsView.h"
#include "gateway/CGateway.h"
#include "instruments/CMetricsEndpoint.h"
#include "platform/audio/AudioOut.h"
#include "platform/ProcessSignals.h"
#include "platform/SocketCompat.h"
#include "record/CFeedTap.h"
#include "record/CPublisher.h"
#include "return/CDevice.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>


namespace {

using Level = CErrorLine::Level;

// As the window's boxes take them.
constexpr int kLongestIdleTimeout = 600;
constexpr int kLipSyncOff = -105, kLipSyncLatest = 100;
// The window's test card: the size pictures are laid out for until the
// first one tells its own.
constexpr int kCardWidth = 360, kCardHeight = 288;

} // namespace

CHeadlessReceiver::CHeadlessReceiver(const LaunchOptions& options, QObject* parent)
    : QObject(parent), launch(options),
      notes(options.instance, platform::ErrorOutputIsJournal()) {
    platform::StartSockets();
    playbackFormat = DefaultWaveFormat();
    captureFormat = playbackFormat;
    ClearSessionContext(session);
}

CHeadlessReceiver::~CHeadlessReceiver() {
    Close();
    platform::StopSockets();
}

int CHeadlessReceiver::ChooseOutput(const std::string& name) {
    if (name.empty())
        return -1;
    const int32_t index = platform::CAudioOut::FindDevice(name);
    if (index < 0)
        Say("The output device \"" + name +
                "\" is not there; the sound plays on the system's default device.",
            Level::kWarning);
    return index;
}

int CHeadlessReceiver::ChooseSource(const std::string& name) {
    if (name.empty() || name == "(none)")
        return 0;
    int position = 0, found = -1;
    const std::u16string wanted = QString::fromStdString(name).toStdU16String();
    for (const std::u16string& device : CDevice::Names()) {
        ++position;
        if (device == wanted && found < 0)
            found = position;
    }
    if (found < 0)
        Say("The studio source \"" + name +
                "\" is not there now; it is looked for again at every connection.",
            Level::kWarning);
    return found;
}

int CHeadlessReceiver::Open() {
    const StoredChoices stored = CConfiguration().Load();

    // Where to listen: nothing guesses it for a receiver nobody watches.
    const std::string listen = !launch.listen.empty() ? launch.listen : stored.listen.value_or("");
    std::string address;
    int port = 0;
    if (listen.empty()) {
        Say("No address to listen on: give --listen ADDR:PORT, or Listen=ADDR:PORT in the stored "
            "choices.",
            Level::kError);
        return CCommandLine::kExitCannotListen;
    }
    if (!ParseListenAddress(listen, address, port)) {
        Say("The stored Listen=" + listen + " is not an address and port (ADDR:PORT).",
            Level::kError);
        return CCommandLine::kExitCannotListen;
    }

    // The studio source by name; by the window's list position when only
    // that was stored.
    std::string source = !launch.source.empty() ? launch.source : stored.source.value_or("");
    int sourceIndex = 0;
    if (source.empty() && stored.audioSource && *stored.audioSource > 0) {
        const std::vector<std::u16string> devices = CDevice::Names();
        if (size_t(*stored.audioSource) <= devices.size())
            source = QString::fromStdU16String(devices[size_t(*stored.audioSource) - 1]).toStdString();
    }
    sourceIndex = ChooseSource(source);

    ClearSessionContext(session);
    session.videoWidth = kCardWidth;
    session.videoHeight = kCardHeight;
    SetSessionAddress(session, address);
    session.port = port;
    session.playbackFormat = &playbackFormat;
    session.captureFormat = &captureFormat;
    SetSessionAudioSourceName(session, sourceIndex == 0
                                           ? std::u16string(u"(none)")
                                           : QString::fromStdString(source).toStdU16String());
    session.audioSource = sourceIndex;
    session.outputDevice =
        ChooseOutput(!launch.output.empty() ? launch.output : stored.output.value_or(""));
    session.idleTimeout = stored.idleTimeout && *stored.idleTimeout >= 0 &&
                                  *stored.idleTimeout <= kLongestIdleTimeout
                              ? *stored.idleTimeout
                              : CGateway::kDefaultIdleTimeout;
    const int lipSync =
        stored.lipSync && *stored.lipSync >= kLipSyncOff && *stored.lipSync <= kLipSyncLatest
            ? *stored.lipSync
            : 0;
    session.lipSync = lipSync != kLipSyncOff ? 1 : 0;
    session.lipSyncOffsetMs = lipSync != kLipSyncOff ? lipSync : 0;
    if (launch.receiveLatencyMs)
        session.receiveLatencyMs = *launch.receiveLatencyMs;
    else if (stored.receiveLatency && CGateway::ReceiveLatencyAllowed(*stored.receiveLatency))
        session.receiveLatencyMs = *stored.receiveLatency;

    // Recorded when asked at launch, or stored as on.
    if (!launch.recordFolder.empty())
        recordFolder = launch.recordFolder;
    else if (stored.record && *stored.record && stored.recordFolder)
        recordFolder = *stored.recordFolder;
    if (!launch.publishTargets.empty())
        publishTargets = launch.publishTargets;
    else if (stored.publishTargets)
        for (const std::string& target : *stored.publishTargets)
            if (CPublisher::Supported(target))
                publishTargets.push_back(target);

    const int metricsPort = launch.metricsPort ? launch.metricsPort : stored.metricsPort.value_or(0);
    const std::string metricsAddress = !launch.metricsAddress.empty()
                                           ? launch.metricsAddress
                                           : stored.metricsAddress.value_or(std::string());
    if (metricsPort > 0 && metricsPort <= 65535) {
        std::string problem;
        endpoint = CInstrumentsView::MakeEndpoint(metricsAddress, uint16_t(metricsPort),
                                                  launch.instance, problem);
        if (!endpoint)
            Say(problem, Level::kError);
    }

    // Pictures are decoded only for what reads them: the statistics of the
    // metrics, unless told otherwise.
    std::string decode = !launch.decodePictures.empty() ? launch.decodePictures
                                                        : stored.decodePictures.value_or("metrics");
    if (decode != "always" && decode != "never" && decode != "metrics") {
        Say("The stored DecodePictures=" + decode + " is not always, never or metrics.",
            Level::kWarning);
        decode = "metrics";
    }
    const bool decoding = decode == "always" || (decode == "metrics" && endpoint);
    session.videoWindow = decoding ? &pictures : nullptr;
    session.skipPictures = decoding ? 0 : 1;
    // The alarms as the window raises them; those of the picture only where
    // pictures are decoded, or they would speak of pictures nobody looked at.
    CAlarmPolicy::Thresholds alarms = AlarmThresholds(stored);
    if (!decoding)
        alarms.seconds[CAlarmPolicy::kPictureFrozen] = alarms.seconds[CAlarmPolicy::kPictureBlack] = 0;
    statistics.Alarms().SetThresholds(alarms);
    session.pictureBlackLevel = alarms.blackLevel;

    runner.SetServerWatch([this](CGateway* made) {
        if (made) {
            if (CFeedTap* feed = runner.Feed()) {
                if (!recordFolder.empty())
                    feed->StartRecording(recordFolder);
                if (!publishTargets.empty())
                    feed->SetPublishTargets(publishTargets);
            }
        } else {
            statistics.Sample(server, {});
        }
        server = made;
        statistics.Sample(server, {});
    });
    runner.SetAllowed(!launch.allowed.empty() ? launch.allowed
                                              : stored.allowed.value_or(std::vector<std::string>{}));
    runner.Start(session, std::make_unique<CStderrLine>(launch.instance, platform::ErrorOutputIsJournal()),
                 true, true);
    if (runner.Taken()) {
        runner.Stop();
        return CCommandLine::kExitCannotListen;
    }
    if (server && server->Listening())
        Say("Listening on " + runner.Where() + ".", Level::kNotice);
    timer = new QTimer(this);
    timer->setInterval(1000);
    connect(timer, &QTimer::timeout, this, &CHeadlessReceiver::Tick);
    timer->start();
    Tick();
    return -1;
}

void CHeadlessReceiver::Tick() {
    const std::vector<CAlarmPolicy::Change> changes = statistics.WatchAlarms(server);
    if (!changes.empty())
        Say(statistics.Alarms().Describe(changes), CErrorLine::Level::kWarning);
    statistics.Sample(server, {});
    if (endpoint)
        endpoint->Publish(statistics);
}

void CHeadlessReceiver::Close() {
    if (timer)
        timer->stop();
    runner.Stop();
    ClearSessionContext(session);
}

int CHeadlessReceiver::Run(int argc, char** argv, const LaunchOptions& launch) {
    // Before anything else: a SIGTERM from here on ends the link cleanly.
    const int terminations = platform::CatchTerminationSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Norvik");
    QCoreApplication::setApplicationName(
        QString::fromStdString(CConfiguration::ApplicationName(launch.instance)));
    CHeadlessReceiver receiver(launch);
    int code = receiver.Open();
    if (code < 0) {
        if (terminations >= 0) {
            auto* notifier = new QSocketNotifier(terminations, QSocketNotifier::Read, &app);
            QObject::connect(notifier, &QSocketNotifier::activated, &app, [terminations] {
                platform::TakeTerminationSignals(terminations);
                QCoreApplication::quit();
            });
        }
        app.exec();
        receiver.Close();
        receiver.Say("Stopped.", Level::kNotice);
        code = CCommandLine::kExitOk;
    }
    // The metrics server stops only at its next poll, up to 2 s away; the
    // process's end stops it at once, and nothing of the link waits on it.
    (void)receiver.endpoint.release();
    return code;
}
