// The operator's main window: where to listen, where the sound goes, which
// studio source goes back to the reporter; Start and Stop; the clock, the
// connection state and the error line.
#pragma once

#include "CConfiguration.h"
#include "CSessionRunner.h"
#include "core/SessionContext.h"
#include "platform/SocketCompat.h"
#include "platform/WaveFormat.h"

#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class CErrorLine;
class CFeedTap;
class CInstrumentsView;
class CGateway;
namespace platform {
class CVideoSurface;
}
class QAction;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;
class QTimer;

class TMainForm : public QWidget {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // Session control.
    void OnStart();
    void TimerTimer();
    void FullClick();
    void VolumeChange();
    void Button1Click();
    void StartSession();
    void StopSession();

    // Stored choices.
    void LoadConfiguration();
    void SaveConfiguration();

    // The tick count of the clock, as the timer keeps it.
    int32_t TickCount() const { return tickCount; }
    void SetTickCount(int32_t count) { tickCount = count; }
    CGateway* Server() const { return server; }
    SessionContext& Session() { return session; }
    const WAVEFORMATEX& PlaybackFormat() const { return playbackFormat; }
    platform::CVideoSurface* PanelSurface() const { return panelSurface; }

    // Recording and re-publishing: the folder every connection is recorded
    // into while recording is on, and the addresses published to while a
    // session runs. Both apply to a running session at once.
    void SetRecording(bool on);
    void SetRecordFolder(const std::string& folder);
    void SetPublishTargets(const std::vector<std::string>& targets);
    bool RecordingOn() const { return recordOn; }
    CFeedTap* Feed() const { return feed; }
    // The meters and statistics over the picture, and the metrics endpoint.
    CInstrumentsView* Instruments() const { return instruments; }

    // The receive latency in force, in milliseconds, 0 for Auto: the
    // operator's stored choice unless the command line gave one for this
    // launch. Setting it is the operator's choice, stored at exit, and a
    // running session follows at once.
    int ReceiveLatencyMs() const { return receiveLatencyMs; }
    void SetReceiveLatency(int milliseconds);
    // The small dialog of the picture's context menu; returns when closed.
    void ChooseReceiveLatency();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildComponents();
    void FillHostList();
    void FillAudioOutList();
    void FillAudioSourceList();
    void FillSessionContext();
    // The video size, the full-screen flag and window, and the target, from
    // the Full button.
    void ApplyDisplayChoice();
    void ApplyDisplayTarget();
    // The full-screen window was closed with Esc, or is found hidden.
    void FullScreenClosed();
    // True while the connection has put a picture of its own on the screen.
    bool ConnectionShowsPicture() const;
    void IdleTimeoutChange();
    void LipSyncChange();
    // The context menu of the picture and the banner, and the small
    // indicator in the banner.
    void BuildFeedControls();
    // at: on the screen.
    void FeedMenu(const QPoint& at);
    bool ChooseRecordFolder();
    void EditPublishTargets();
    void ApplyFeedChoices();
    void ShowFeedState();
    // Serves metrics when a port was given or stored.
    void StartInstruments();
    // The command line's choices, over the stored ones, for this launch.
    void ApplyLaunchChoices();
    // Choose where to listen, the output and the studio source by name;
    // what is not there is said on the error line and on stderr.
    void SelectListen(const std::string& addressAndPort);
    void SelectOutput(const std::string& name);
    void SelectSource(const std::string& name);
    void LaunchNote(const std::string& text);
    std::u16string AudioSourceName() const;
    // Closing the window: asks, stops, offers to save, shows the notice.
    bool OnFormClose();
    void urlClick();
    void urlMouseEnter();
    void urlMouseLeave();

    // The session's server and tap, held by the runner; null while stopped.
    CSessionRunner runner;
    CGateway* server = nullptr;
    CFeedTap* feed = nullptr;
    bool recordOn = false;
    std::string recordFolder;
    std::vector<std::string> publishTargets;
    CInstrumentsView* instruments = nullptr;
    int metricsPort = 0;
    std::string metricsAddress;
    int receiveLatencyMs = 0;
    int storedLatencyMs = 0; // the operator's own, which is saved
    // As stored: checked at every Start.
    std::vector<std::string> allowed;
    SessionContext session;
    WAVEFORMATEX playbackFormat{};
    WAVEFORMATEX captureFormat{};
    int32_t tickCount = 0;
    bool closing = false;
    // Start pressed at launch, and listening tried again until it can.
    bool startAtLaunch = false;
    bool retryListen = false;
    // What the launch found missing, shown again when it starts the session.
    std::string launchNote;
    // The stored choices as loaded, and what the window showed before the
    // command line's choices, which hold for this launch only: a save keeps
    // these for every choice that the launch holds and the operator has not
    // changed since.
    StoredChoices stored;
    struct {
        bool full = false;
        int audioSource = 0;
        std::string recordFolder;
        std::vector<std::string> publishTargets;
    } base;
    struct {
        bool full = false, source = false, output = false, listen = false;
        bool record = false, publish = false;
    } held;
    // The pictures the surfaces had been handed when they were last emptied
    // for want of a picture of the connection; none emptied yet when unset.
    std::optional<uint32_t> presentedAtClear;
    // Meters and notes over the full-screen picture as well; off, so that
    // the picture going to air is clean.
    QAction* FullScreenInstruments;

    QFrame* Banner;
    QLabel* CtxImage;
    QLabel* Image3;
    QLabel* Image5;
    QFrame* Bevel1;
    QFrame* Bord;
    QFrame* Renderer;
    platform::CVideoSurface* panelSurface;
    QLabel* Mira;
    QGroupBox* GroupBox1;
    QLabel* Image2;
    QComboBox* Host;
    QLabel* Label1;
    QSpinBox* Port;
    QLabel* Image1;
    QComboBox* AudioOut;
    QLabel* Label2;
    QSlider* Volume;
    QGroupBox* GroupBox2;
    QLabel* Image4;
    QComboBox* AudioSources;
    QPushButton* Button1;
    QLabel* IdleLabel;
    QSpinBox* IdleTimeout;
    QLabel* LipSyncLabel;
    QSpinBox* LipSync;
    // The lip sync box's lowest value turns holding pictures back off.
    static constexpr int kLipSyncOff = -105;
    static constexpr int kLipSyncLatest = 100;
    QLabel* Clients;
    QPushButton* StartBtn;
    QPushButton* Full;
    QLabel* Time;
    QLabel* url;
    QLineEdit* error;
    QLabel* status;
    QLabel* FeedState;
    QTimer* Timer;
};

extern TMainForm* MainForm;
