// The operator's instruments in the windows: the meters over the picture
// while the link is up, the statistics on demand (F2, or the picture's
// context menu), the metrics endpoint when it is asked for, and the alarms
// for what nobody is watching, evaluated at every paint. Everything
// here runs on the GUI thread a few times a second and only reads the
// server's counters, so the picture and the sound never wait for it.
#pragma once

#include "COverlay.h"
#include "instruments/CLinkStatistics.h"
#include "instruments/CMetricsEndpoint.h"

#include <QObject>
#include <QPointer>
#include <QRect>

#include <memory>
#include <string>
#include <vector>

class CGateway;
class QAction;
namespace platform {
class CVideoSurface;
}

class CInstrumentsView : public QObject {
    Q_OBJECT
public:
    explicit CInstrumentsView(QObject* parent = nullptr);
    ~CInstrumentsView() override;

    // Shows and hides the statistics; checkable, with its key. Added to every
    // window that shows the picture and to the picture's context menu.
    QAction* StatisticsAction() const { return statisticsAction; }
    bool StatisticsShown() const;

    // Serves the metrics; false, with the reason, when it cannot listen.
    bool OpenEndpoint(const std::string& address, uint16_t port, std::string& problem);
    // The one place where the program's metrics endpoint is made, for the
    // window and for the receiver without one; null, with the reason, when
    // it cannot listen. instance: the receiver's name in every series.
    static std::unique_ptr<CMetricsEndpoint> MakeEndpoint(const std::string& address, uint16_t port,
                                                          const std::string& instance,
                                                          std::string& problem);
    uint16_t EndpointPort() const { return endpoint ? endpoint->Port() : 0; }
    // The receiver's name in every series and in the health answer, where
    // several are watched; before or after the endpoint opens.
    void SetInstance(const std::string& name);

    // The session's server, or null once it has stopped: set before the
    // server is destroyed, which is then sampled one last time.
    void SetServer(CGateway* server);
    // The windows the display counts are read from.
    void SetSurfaces(const std::vector<platform::CVideoSurface*>& surfaces);
    // Where the link's picture is drawn now: the surface and the rectangle.
    // A clean target shows no meters and no note, only the statistics when
    // they are asked for: its picture may go to air.
    void SetTarget(platform::CVideoSurface* surface, const QRect& drawRect, bool clean = false);
    // The recording indicator over the picture, for where no banner shows it.
    void SetNote(const QString& text) { note = text; }

    const CLinkStatistics& Statistics() const { return statistics; }
    // The alarms' thresholds; in force from the next evaluation.
    void SetAlarmThresholds(const CAlarmPolicy::Thresholds& thresholds);
    // Samples and paints now, as the timer would.
    void Refresh();

    static constexpr int kPaintsPerSecond = 10;
    static constexpr int kSampleEveryPaints = kPaintsPerSecond; // once a second

signals:
    // An alarm started or ended: the text for the error line, and whether
    // they ended because the connection did.
    void AlarmText(const QString& text, bool connectionEnded);

private:
    void Tick();
    void Sample();

    CLinkStatistics statistics;
    std::unique_ptr<CMetricsEndpoint> endpoint;
    std::string instance;
    COverlay overlay;
    QAction* statisticsAction;
    CGateway* server = nullptr;
    std::vector<QPointer<platform::CVideoSurface>> surfaces;
    QPointer<platform::CVideoSurface> target;
    QRect drawRect;
    bool clean = false;
    QString note;
    int ticks = 0;
    uint64_t generation = 0;
};
