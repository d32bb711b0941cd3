// The link without a window: the command line's choices over the stored
// ones, a session run as the window runs it (programme sound, studio source
// back, recording, publishing, metrics), every text on standard error, until
// SIGTERM or SIGINT. Needs a QCoreApplication only: no display, no widget.
#pragma once

#include "CCommandLine.h"
#include "CSessionRunner.h"
#include "CStderrLine.h"
#include "core/SessionContext.h"
#include "instruments/CLinkStatistics.h"
#include "platform/VideoWindow.h"
#include "platform/WaveFormat.h"

#include <QObject>

#include <memory>
#include <string>
#include <vector>

class CGateway;
class CMetricsEndpoint;
class QTimer;

class CHeadlessReceiver : public QObject {
    Q_OBJECT
public:
    explicit CHeadlessReceiver(const LaunchOptions& launch, QObject* parent = nullptr);
    ~CHeadlessReceiver() override;

    // Starts the session; an exit code when it cannot run, else -1.
    int Open();
    // Ends the session; the recording is closed, the port released.
    void Close();

    // What Open chose, for the tests.
    const SessionContext& Session() const { return session; }
    bool DecodesPictures() const { return !session.skipPictures; }

    // Runs a receiver from the command line until it is told to end: the
    // program's exit code.
    static int Run(int argc, char** argv, const LaunchOptions& launch);

private:
    // Pictures decoded where no window shows them: counted, never kept.
    class CPictureSink : public platform::CVideoWindow {
    public:
        void Present(const platform::PicturePlanes&, const platform::DrawRect&, bool) override {}
    };

    void Tick();
    void Say(const std::string& text, CErrorLine::Level level) { notes.Say(text, level); }
    // The output device's index by name, -1 (the system's default) for none.
    int ChooseOutput(const std::string& name);
    // The studio source: its list position (0: none, -1: not there now).
    int ChooseSource(const std::string& name);

    LaunchOptions launch;
    // Texts of the receiver itself, before and beside the session's.
    CStderrLine notes;
    CSessionRunner runner;
    SessionContext session;
    WAVEFORMATEX playbackFormat{};
    WAVEFORMATEX captureFormat{};
    CPictureSink pictures;
    std::string recordFolder;
    std::vector<std::string> publishTargets;
    CLinkStatistics statistics;
    std::unique_ptr<CMetricsEndpoint> endpoint;
    CGateway* server = nullptr;
    QTimer* timer = nullptr;
};
