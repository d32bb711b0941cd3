#include "CInstrumentsView.h"

#include "gateway/CGateway.h"
#include "platform/video/VideoSurface.h"

#include <QAction>
#include <QPixmap>
#include <QTimer>

CInstrumentsView::CInstrumentsView(QObject* parent) : QObject(parent) {
    statisticsAction = new QAction("&Statistics", this);
    statisticsAction->setObjectName("StatisticsAction");
    statisticsAction->setCheckable(true);
    statisticsAction->setShortcut(QKeySequence(Qt::Key_F2));
    statisticsAction->setShortcutContext(Qt::WindowShortcut);
    connect(statisticsAction, &QAction::toggled, this, [this] { Refresh(); });
    auto* timer = new QTimer(this);
    timer->setObjectName("InstrumentsTimer");
    timer->setInterval(1000 / kPaintsPerSecond);
    connect(timer, &QTimer::timeout, this, &CInstrumentsView::Tick);
    timer->start();
}

CInstrumentsView::~CInstrumentsView() {
    if (target)
        target->SetOverlay({});
}

bool CInstrumentsView::StatisticsShown() const {
    return statisticsAction->isChecked();
}

std::unique_ptr<CMetricsEndpoint> CInstrumentsView::MakeEndpoint(const std::string& address,
                                                                 uint16_t port,
                                                                 const std::string& instance,
                                                                 std::string& problem) {
    auto opened = std::make_unique<CMetricsEndpoint>();
    opened->SetInstance(instance);
    if (!opened->Open(address, port, problem))
        return nullptr;
    return opened;
}

bool CInstrumentsView::OpenEndpoint(const std::string& address, uint16_t port,
                                    std::string& problem) {
    auto opened = MakeEndpoint(address, port, instance, problem);
    if (!opened)
        return false;
    endpoint = std::move(opened);
    Sample();
    return true;
}

void CInstrumentsView::SetInstance(const std::string& name) {
    instance = name;
    if (endpoint)
        endpoint->SetInstance(name);
}

void CInstrumentsView::SetServer(CGateway* s) {
    // The last counts of a server that is going, and the first of a new one.
    if (server)
        Sample();
    server = s;
    Refresh();
}

void CInstrumentsView::SetSurfaces(const std::vector<platform::CVideoSurface*>& all) {
    surfaces.assign(all.begin(), all.end());
}

void CInstrumentsView::SetTarget(platform::CVideoSurface* surface, const QRect& rect,
                                 bool cleanTarget) {
    // The overlay goes with the picture.
    if (surface != target && target)
        target->SetOverlay({});
    target = surface;
    drawRect = rect;
    clean = cleanTarget;
    Refresh();
}

void CInstrumentsView::Refresh() {
    ticks = 0;
    Sample();
    Tick();
}

void CInstrumentsView::Sample() {
    CLinkStatistics::Display display;
    for (const auto& surface : surfaces) {
        if (!surface)
            continue;
        const platform::CVideoSurface::Counters c = surface->GetCounters();
        display.presented += c.presented;
        display.painted += c.painted;
    }
    statistics.Sample(server, display);
    ++generation;
    if (endpoint)
        endpoint->Publish(statistics);
}

void CInstrumentsView::SetAlarmThresholds(const CAlarmPolicy::Thresholds& thresholds) {
    statistics.Alarms().SetThresholds(thresholds);
}

void CInstrumentsView::Tick() {
    const std::vector<CAlarmPolicy::Change> changes = statistics.WatchAlarms(server);
    if (!changes.empty()) {
        ++generation; // the statistics show them
        emit AlarmText(QString::fromStdString(statistics.Alarms().Describe(changes)),
                       changes.front().connectionEnded);
    }
    if (++ticks >= kSampleEveryPaints) {
        ticks = 0;
        Sample();
    }
    COverlay::Content content;
    // The meters whenever the link is up, but not over a clean picture; the
    // statistics when asked for.
    content.meters = server && statistics.Latest().connected && !clean;
    if (content.meters) {
        content.programme = server->ProgrammeMeter().Read();
        content.returned = server->ReturnMeter().Read();
    }
    content.note = clean ? QString() : note;
    if (StatisticsShown()) {
        content.statistics = &statistics;
        content.generation = generation;
    }
    if (!target)
        return;
    auto pieces = drawRect.isEmpty()
                      ? std::vector<platform::OverlayPiece>{}
                      : overlay.Paint(content, drawRect.size(), target->devicePixelRatioF());
    for (platform::OverlayPiece& piece : pieces)
        piece.at += drawRect.topLeft();
    // The surface blends them over the picture in its own window, which no
    // widget laid over it could show through.
    target->SetOverlay(std::move(pieces));
}
