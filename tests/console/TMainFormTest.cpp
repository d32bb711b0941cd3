// The main window, the full-screen window and the notice, driven as an
// operator would, with a real server, real sockets and real devices.
#include "console/CCommandLine.h"
#include "console/CConfiguration.h"
#include "console/TMainForm.h"
#include "console/CInstrumentsView.h"
#include "console/TAboutForm.h"
#include "console/TFullScreenForm.h"
#include "gateway/CGateway.h"
#include "platform/video/VideoSurface.h"
#include "support/TestClient.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <string>
#include <vector>

using testing_support::Squat;
using testing_support::TestClient;

namespace {

// One 32 x 32 blue key frame with its parameter sets, as libx264 makes it.
const std::vector<uint8_t> kBlueKeyFrame = {
    0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0xc0, 0x0a, 0xda, 0x25, 0xa1, 0x00, 0x00, 0x03, 0x00,
    0x01, 0x00, 0x00, 0x03, 0x00, 0x3c, 0x8f, 0x12, 0x26, 0xa0, 0x00, 0x00, 0x00, 0x01, 0x68,
    0xce, 0x0f, 0xc8, 0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x3a, 0x11, 0x8a, 0x00, 0x02,
    0x31, 0x71, 0xc0, 0x00, 0x43, 0xca, 0x38, 0x00, 0x08, 0x05, 0xc9, 0xd7, 0x5e};

bool SendPicture(TestClient& client) {
    return client.SendPacket(kPacketVideo, true, 32, 32, kBlueKeyFrame);
}

// Answers the next message box that comes up with the given button, and
// remembers what it said.
struct BoxAnswer {
    QString caption, text;
    bool seen = false;
};

std::shared_ptr<BoxAnswer> AnswerNextBox(QMessageBox::StandardButton button) {
    auto answer = std::make_shared<BoxAnswer>();
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, answer, button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        answer->caption = box->windowTitle();
        answer->text = box->text();
        answer->seen = true;
        timer->stop();
        timer->deleteLater();
        box->button(button)->click();
    });
    timer->start(10);
    return answer;
}

// Records the enabled states a widget passes through.
class EnabledRecorder : public QObject {
public:
    explicit EnabledRecorder(QWidget* w) : widget(w) { w->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::EnabledChange) states.push_back(widget->isEnabled());
        return false;
    }
    QWidget* widget;
    std::vector<bool> states;
};

} // namespace

class TMainFormTest : public QObject {
    Q_OBJECT

    QTemporaryDir settingsDir;
    TMainForm* form = nullptr;

    template <typename T> T* Child(const char* name) {
        T* child = form->findChild<T*>(name);
        if (!child) qFatal("no component %s", name);
        return child;
    }
    QPushButton* StartBtn() { return Child<QPushButton>("StartBtn"); }
    QPushButton* Full() { return Child<QPushButton>("Full"); }
    QLabel* Mira() { return Child<QLabel>("Mira"); }
    QLabel* Clients() { return Child<QLabel>("Clients"); }
    QLineEdit* Error() { return Child<QLineEdit>("error"); }
    QComboBox* AudioSources() { return Child<QComboBox>("AudioSources"); }

    void MakeForm() {
        delete form;
        form = new TMainForm;
        MainForm = form;
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form));
    }
    uint16_t UseFreePort() {
        // The up-down goes to 32000, below the system's ephemeral ports.
        uint16_t port = testing_support::FreePortUpTo(32000);
        Child<QSpinBox>("Port")->setValue(port);
        int loopback = Child<QComboBox>("Host")->findText("127.0.0.1");
        Child<QComboBox>("Host")->setCurrentIndex(loopback);
        return port;
    }
    void Press(QPushButton* b) { QTest::mouseClick(b, Qt::LeftButton); }
    // The program's command line for the next form.
    void Launch(std::vector<std::string> args) {
        args.insert(args.begin(), "lumenfeed");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        CCommandLine line;
        QVERIFY2(line.Parse(int(argv.size()), argv.data()), line.Error().c_str());
    }

private slots:
    void initTestCase() {
        QVERIFY(settingsDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        FullScreenForm = new TFullScreenForm;
        AboutForm = new TAboutForm;
    }
    void init() {
        QSettings("Norvik", "Lumenfeed").clear();
        MakeForm();
    }
    void cleanup() {
        delete form;
        form = nullptr;
        Launch({});
        CConfiguration::SetLocation("", "");
        MainForm = nullptr;
        FullScreenForm->hide();
    }
    void cleanupTestCase() {
        delete AboutForm;
        delete FullScreenForm;
    }

    void layoutAndDefaults() {
        QCOMPARE(form->windowTitle(), QString("TV - Lumenfeed"));
        QCOMPARE(Child<QSpinBox>("Port")->text(), QString("8088"));
        QCOMPARE(Child<QSpinBox>("Port")->maximum(), 32000);
        QCOMPARE(StartBtn()->text(), QString("Start"));
        QCOMPARE(Clients()->text(), QString("Unconnected."));
        QCOMPARE(AudioSources()->itemText(0), QString("(none)"));
        QCOMPARE(AudioSources()->currentIndex(), 0);
        QVERIFY(AudioSources()->findText("Studio_Mic") > 0);
        QVERIFY(Child<QComboBox>("AudioOut")->findText("Studio_Out") >= 0);
        QComboBox* host = Child<QComboBox>("Host");
        QVERIFY(host->count() > 0);
        QCOMPARE(host->itemText(host->count() - 1), QString("127.0.0.1")); // loopback last
        QCOMPARE(Child<QSlider>("Volume")->value(), 0);
        QVERIFY(Mira()->isVisible());
    }

    void startAndStop() {
        UseFreePort();
        Error()->setText("left over from before");
        EnabledRecorder recorder(StartBtn());
        Press(StartBtn());
        QCOMPARE(StartBtn()->text(), QString("&Stop"));
        QVERIFY(StartBtn()->isChecked());
        QCOMPARE(Error()->text(), QString()); // emptied at Start
        QVERIFY(form->Server() != nullptr);
        QVERIFY2(!Mira()->isVisible(), "hidden until the first tick");
        QCOMPARE(recorder.states, (std::vector<bool>{false, true}));
        QCOMPARE(Child<QSlider>("Volume")->value(), 100); // full volume until set

        recorder.states.clear();
        Press(StartBtn());
        QCOMPARE(StartBtn()->text(), QString("&Start"));
        QVERIFY(form->Server() == nullptr);
        QCOMPARE(recorder.states, (std::vector<bool>{false, true}));
        QVERIFY(Mira()->isVisible());
        QCOMPARE(form->Session().port, 0); // the record is cleared at Stop
        QCOMPARE(form->Session().errorHandler.load(), nullptr);
    }

    void portInUseIsShownAndKeptAfterStop() {
        uint16_t port = UseFreePort();
        SOCKET squatter = Squat(port);
        QVERIFY(squatter != INVALID_SOCKET);
        Press(StartBtn());
        QTRY_COMPARE(Error()->text(), QString("Address already in use"));
        Press(StartBtn());
        QCoreApplication::processEvents();
        QCOMPARE(Error()->text(), QString("Address already in use"));
        closesocket(squatter);
    }

    void clockWrapsAtADay() {
        form->SetTickCount(3660);
        form->TimerTimer();
        QCOMPARE(Child<QLabel>("Time")->text(), QString("01:01:01"));
        form->SetTickCount(86399);
        form->TimerTimer();
        QCOMPARE(Child<QLabel>("Time")->text(), QString("00:00:00"));
    }

    void connectionStateAndTestCardFollowTheFieldUnit() {
        uint16_t port = UseFreePort();
        Press(StartBtn());
        QTRY_VERIFY_WITH_TIMEOUT(Mira()->isVisible(), 3000); // first tick, unconnected
        auto* panel = form->PanelSurface();
        {
            TestClient client;
            QVERIFY(client.Connect(port));
            QTRY_COMPARE_WITH_TIMEOUT(Clients()->text(), QString("Connected."), 2500);
            QVERIFY2(Mira()->isVisible(), "the test card stays until the first picture");
            QVERIFY(SendPicture(client));
            QTRY_VERIFY2_WITH_TIMEOUT(!Mira()->isVisible(), "panel mode shows the video", 5000);
            QCOMPARE(panel->GetCounters().presented, 1u);
            client.Close();
        }
        QTRY_COMPARE_WITH_TIMEOUT(Clients()->text(), QString("Unconnected."), 2500);
        QVERIFY(Mira()->isVisible());
        QImage dropped = panel->grabFramebuffer();
        QCOMPARE(dropped.pixelColor(dropped.width() / 2, dropped.height() / 2), QColor(Qt::black));

        // The next field unit: the test card until its own first picture.
        TestClient next;
        QVERIFY(next.Connect(port));
        QTRY_COMPARE_WITH_TIMEOUT(Clients()->text(), QString("Connected."), 5000);
        form->TimerTimer();
        QVERIFY2(Mira()->isVisible(), "no picture of the old connection shows");
        QVERIFY(SendPicture(next));
        QTRY_VERIFY_WITH_TIMEOUT(!Mira()->isVisible(), 5000);
        QCOMPARE(panel->GetCounters().presented, 2u);
        QImage shown = panel->grabFramebuffer();
        QColor centre = shown.pixelColor(shown.width() / 2, shown.height() / 2);
        QVERIFY2(centre.blue() > 200 && centre.red() < 60, "the new connection's picture");
        Press(StartBtn());
    }

    void fullScreenWhileStoppedOnlyChangesTheButton() {
        Press(Full());
        QVERIFY(Full()->isChecked());
        QVERIFY(!FullScreenForm->isVisible());
        QVERIFY(Mira()->isVisible());
        Press(Full());
        QVERIFY(!Full()->isChecked());
    }

    void fullScreenSessionAndEscBackToThePanel() {
        uint16_t port = UseFreePort();
        Press(Full());
        Press(StartBtn());
        QVERIFY(FullScreenForm->isVisible());
        SessionContext& s = form->Session();
        QCOMPARE(s.fullScreen.load(), 1u);
        QCOMPARE(s.videoWindow.load(),
                 static_cast<platform::CVideoWindow*>(FullScreenForm->Surface()));
        QCOMPARE(s.drawLeft.load(), 0);
        QCOMPARE(s.drawWidth.load(), FullScreenForm->width());
        QCOMPARE(FullScreenForm->geometry(), FullScreenForm->screen()->geometry()); // covers the screen without a window manager

        TestClient client;
        QVERIFY(client.Connect(port));
        QTRY_COMPARE_WITH_TIMEOUT(Clients()->text(), QString("Connected."), 2500);
        QVERIFY(SendPicture(client));
        QTRY_COMPARE_WITH_TIMEOUT(FullScreenForm->Surface()->GetCounters().presented, 1u, 5000);
        form->TimerTimer();
        QVERIFY2(Mira()->isVisible(), "the test card stays in the panel in full-screen mode");

        // The picture goes to air clean: no meters over it unless asked for.
        // The blue picture fills the screen; the meters lie along the bottom.
        auto* instruments = form->findChild<QAction*>("FullScreenInstruments");
        QVERIFY(instruments && !instruments->isChecked());
        auto bottomNotBlue = [] {
            QImage shown = FullScreenForm->Surface()->grabFramebuffer();
            int other = 0;
            for (int x = shown.width() / 2; x < shown.width(); x += 4)
                for (int y = shown.height() * 9 / 10; y < shown.height(); y += 4)
                    other += shown.pixelColor(x, y).blue() < 150;
            return other;
        };
        form->Instruments()->Refresh();
        QCOMPARE(bottomNotBlue(), 0);
        instruments->setChecked(true);
        form->Instruments()->Refresh();
        QTRY_VERIFY_WITH_TIMEOUT(bottomNotBlue() > 0, 5000);
        instruments->setChecked(false);
        form->Instruments()->Refresh();
        QTRY_COMPARE_WITH_TIMEOUT(bottomNotBlue(), 0, 5000);

        QTest::keyClick(FullScreenForm, Qt::Key_A);
        QVERIFY2(FullScreenForm->isVisible(), "other keys do nothing");
        // Esc takes the picture back to the panel at once, before any tick.
        QTest::keyClick(FullScreenForm, Qt::Key_Escape);
        QVERIFY(!FullScreenForm->isVisible());
        QVERIFY(!Full()->isChecked());
        QCOMPARE(s.fullScreen.load(), 0u);
        QCOMPARE(s.videoWindow.load(), static_cast<platform::CVideoWindow*>(form->PanelSurface()));
        QCOMPARE(s.drawLeft.load(), 1);
        QCOMPARE(s.drawTop.load(), 1);
        QCOMPARE(s.drawWidth.load(), 360);
        QCOMPARE(s.drawHeight.load(), 288);
        QVERIFY(!Mira()->isVisible());
        Press(StartBtn());
    }

    void volumeSliderSetsBothChannels() {
        UseFreePort();
        Press(StartBtn());
        auto* volume = Child<QSlider>("Volume");
        volume->setValue(0);
        QCOMPARE(form->Server()->GetVolume(), 0u);
        volume->setValue(100);
        QCOMPARE(form->Server()->GetVolume(), 0xFFFFFFFFu);
        volume->setValue(50);
        QCOMPARE(form->Server()->GetVolume(), 0x7FFF7FFFu);
        Press(StartBtn());
        volume->setValue(10); // while stopped: nothing to set
        QVERIFY(form->Server() == nullptr);
    }

    void audioButtonWithoutAConnectionDoesNothing() {
        UseFreePort();
        Press(StartBtn());
        Press(Child<QPushButton>("Button1"));
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        Press(StartBtn());
    }

    void storedChoicesRoundTrip() {
        Full()->setChecked(true);
        AudioSources()->setCurrentIndex(1);
        form->SaveConfiguration();
        {
            QSettings stored("Norvik", "Lumenfeed");
            QCOMPARE(stored.value("Full").toInt(), 1);
            QCOMPARE(stored.value("AudioSource").toInt(), 1);
        }
        MakeForm();
        QVERIFY(Full()->isChecked());
        QCOMPARE(AudioSources()->currentIndex(), 1);
        QVERIFY2(!FullScreenForm->isVisible(), "the choice takes effect at Start");

        QSettings("Norvik", "Lumenfeed").setValue("AudioSource", AudioSources()->count());
        MakeForm();
        QCOMPARE(AudioSources()->currentIndex(), -1); // beyond the list: no selection

        {
            QSettings stored("Norvik", "Lumenfeed");
            stored.setValue("Full", "yes");
            stored.setValue("AudioSource", 1);
        }
        MakeForm();
        QVERIFY(!Full()->isChecked());
        QCOMPARE(AudioSources()->currentIndex(), 0); // ignored together with Full
    }

    void idleTimeoutIsStoredAndReachesTheSession() {
        auto* idle = Child<QSpinBox>("IdleTimeout");
        QCOMPARE(idle->value(), 5);
        QCOMPARE(idle->parentWidget(), Child<QWidget>("GroupBox2"));
        for (auto* other : idle->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            QVERIFY2(other == idle || !other->geometry().intersects(idle->geometry()),
                     qPrintable(other->objectName()));
        QVERIFY(idle->parentWidget()->rect().contains(idle->geometry()));

        QSettings("Norvik", "Lumenfeed").setValue("IdleTimeout", 12);
        MakeForm();
        idle = Child<QSpinBox>("IdleTimeout");
        QCOMPARE(idle->value(), 12);
        QVERIFY2(!Full()->isChecked(), "read on its own: the others are still missing");
        UseFreePort();
        Press(StartBtn());
        QCOMPARE(form->Session().idleTimeout.load(), 12);
        idle->setValue(3); // from the next connection on
        QCOMPARE(form->Session().idleTimeout.load(), 3);
        Press(StartBtn());
        Full()->setChecked(true);
        form->SaveConfiguration();
        {
            QSettings stored("Norvik", "Lumenfeed");
            QCOMPARE(stored.value("IdleTimeout").toInt(), 3);
            QCOMPARE(stored.value("Full").toInt(), 1);
            QCOMPARE(stored.value("AudioSource").toInt(), 0);
        }

        // Nought switches it off.
        QSettings("Norvik", "Lumenfeed").setValue("IdleTimeout", 0);
        MakeForm();
        QCOMPARE(Child<QSpinBox>("IdleTimeout")->value(), 0);
        QCOMPARE(Child<QSpinBox>("IdleTimeout")->text(), QString("Off"));
        for (QVariant unusable : {QVariant("soon"), QVariant(-1), QVariant(100000)}) {
            QSettings("Norvik", "Lumenfeed").setValue("IdleTimeout", unusable);
            MakeForm();
            QCOMPARE(Child<QSpinBox>("IdleTimeout")->value(), 5);
            QVERIFY(Full()->isChecked());
        }
    }

    void receiveLatencyIsStoredChosenInItsDialogAndGivenForALaunchOnly() {
        QCOMPARE(form->ReceiveLatencyMs(), 0); // Auto
        QSettings("Norvik", "Lumenfeed").setValue("ReceiveLatency", 700);
        MakeForm();
        QCOMPARE(form->ReceiveLatencyMs(), 700);
        QVERIFY2(!Full()->isChecked(), "read on its own: the others are still missing");
        UseFreePort();
        Press(StartBtn());
        QCOMPARE(form->Session().receiveLatencyMs.load(), 700);

        // Chosen in the dialog, Auto at the box's lowest step: a running
        // session follows at once.
        QTimer::singleShot(0, [] {
            auto* dialog = QApplication::activeModalWidget();
            QVERIFY(dialog && dialog->objectName() == "ReceiveLatencyDialog");
            auto* box = dialog->findChild<QSpinBox*>("ReceiveLatency");
            QCOMPARE(box->value(), 700);
            box->setValue(box->minimum());
            QCOMPARE(box->text(), QString("Auto"));
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        form->ChooseReceiveLatency();
        QCOMPARE(form->ReceiveLatencyMs(), 0);
        QCOMPARE(form->Session().receiveLatencyMs.load(), 0);
        Press(StartBtn());
        form->SetReceiveLatency(1200);
        form->SaveConfiguration();
        QCOMPARE(QSettings("Norvik", "Lumenfeed").value("ReceiveLatency").toInt(), 1200);

        // The command line's holds for its launch and is never stored.
        CCommandLine line;
        std::vector<std::string> args = {"lumenfeed", "--receive-latency", "auto"};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        QVERIFY(line.Parse(int(argv.size()), argv.data()));
        MakeForm();
        QCOMPARE(form->ReceiveLatencyMs(), 0);
        form->SaveConfiguration();
        QCOMPARE(QSettings("Norvik", "Lumenfeed").value("ReceiveLatency").toInt(), 1200);
        char* none[] = {argv[0]};
        QVERIFY(line.Parse(1, none));

        for (QVariant unusable : {QVariant("soon"), QVariant(10), QVariant(100000)}) {
            QSettings("Norvik", "Lumenfeed").setValue("ReceiveLatency", unusable);
            MakeForm();
            QCOMPARE(form->ReceiveLatencyMs(), 0);
        }
    }

    void alarmThresholdsAreReadEachOnItsOwnAndReachTheSession() {
        {
            QSettings stored("Norvik", "Lumenfeed");
            stored.setValue("PictureFrozenSeconds", 7);
            stored.setValue("PictureBlackSeconds", "soon");
            stored.setValue("ProgrammeSilentSeconds", 0);
            stored.setValue("ReturnSilentSeconds", 99999);
            stored.setValue("PictureBlackLevel", 25);
            stored.setValue("SilenceLevel", -50);
        }
        MakeForm();
        const CAlarmPolicy::Thresholds& t =
            form->Instruments()->Statistics().Alarms().GetThresholds();
        QCOMPARE(t.seconds[CAlarmPolicy::kPictureFrozen], 7);
        QCOMPARE(t.seconds[CAlarmPolicy::kPictureBlack], 2);    // not a number: the default
        QCOMPARE(t.seconds[CAlarmPolicy::kProgrammeSilent], 0); // switched off
        QCOMPARE(t.seconds[CAlarmPolicy::kReturnSilent], 5);    // beyond an hour: the default
        QCOMPARE(t.blackLevel, 25);
        QCOMPARE(t.silenceDb, -50);
        UseFreePort();
        Press(StartBtn());
        QCOMPARE(form->Session().pictureBlackLevel.load(), 25);
        Press(StartBtn());
    }

    // The stored list keeps field units out; a wrong entry is left out with a
    // text; the command line's list stands in for the stored one.
    void allowListFromTheStoredChoiceAndTheCommandLine() {
        QSettings("Norvik", "Lumenfeed").setValue("Allow", QStringList{"127.0.0.2", "10.0.0.300"});
        MakeForm();
        uint16_t port = UseFreePort();
        Press(StartBtn());
        QTRY_COMPARE(Error()->text(),
                     QString("Allow list: '10.0.0.300' is not an address or a network "
                             "(ADDRESS or ADDRESS/BITS); left out."));
        {
            testing_support::TestClient outsider;
            QVERIFY(outsider.Connect(port));
            QTRY_COMPARE_WITH_TIMEOUT(form->Server()->ConnectionsRefused(), uint64_t(1), 15000);
            QTRY_VERIFY(Error()->text().startsWith("Refused a connection from 127.0.0.1:"));
        }
        Press(StartBtn());

        // Nothing usable: nobody, rather than everybody.
        QSettings("Norvik", "Lumenfeed").setValue("Allow", "10.0.0.300/8");
        MakeForm();
        port = UseFreePort();
        Press(StartBtn());
        QTRY_VERIFY(
            Error()->text().endsWith("No field unit is served until the list is corrected."));
        {
            testing_support::TestClient outsider;
            QVERIFY(outsider.Connect(port));
            QTRY_COMPARE_WITH_TIMEOUT(form->Server()->ConnectionsRefused(), uint64_t(1), 15000);
        }
        Press(StartBtn());

        std::vector<std::string> args{"lumenfeed", "--allow", "127.0.0.0/8"};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        CCommandLine commandLine;
        QVERIFY(commandLine.Parse(int(argv.size()), argv.data()));
        MakeForm();
        port = UseFreePort();
        Press(StartBtn());
        {
            testing_support::TestClient allowed;
            QVERIFY(allowed.Connect(port));
            QTRY_COMPARE_WITH_TIMEOUT(form->Session().connected.load(), 1u, 15000);
        }
        QCOMPARE(Error()->text(), QString());
        Press(StartBtn());
        form->SaveConfiguration();
        QCOMPARE(QSettings("Norvik", "Lumenfeed").value("Allow").toString(),
                 QString("10.0.0.300/8"));
        QVERIFY(commandLine.Parse(1, argv.data()));
    }

    void launchChoicesHoldForThisLaunchOnly() {
        {
            QSettings stored("Norvik", "Lumenfeed");
            stored.setValue("Full", 0);
            stored.setValue("AudioSource", 0);
            stored.setValue("PublishTargets", QStringList{"udp://127.0.0.1:9999"});
            stored.setValue("RecordFolder", "/srv/stored");
        }
        const std::string port = std::to_string(testing_support::FreePortUpTo(32000));
        Launch({"--full-screen", "--source", "Studio_Mic", "--output", "No Such Device", "--listen",
                "127.0.0.1:" + port, "--publish", "udp://127.0.0.1:5000", "--record",
                settingsDir.path().toStdString()});
        MakeForm();
        QVERIFY(Full()->isChecked());
        QCOMPARE(AudioSources()->currentText(), QString("Studio_Mic"));
        QCOMPARE(Child<QComboBox>("Host")->currentText(), QString("127.0.0.1"));
        QCOMPARE(Child<QSpinBox>("Port")->text(), QString::fromStdString(port));
        QVERIFY2(Error()->text().contains("\"No Such Device\" is not there"),
                 qPrintable(Error()->text()));
        QVERIFY(form->RecordingOn());
        QVERIFY2(!StartBtn()->isChecked(), "started only when asked");

        // The operator saves: what the launch holds is not stored.
        form->SaveConfiguration();
        {
            QSettings stored("Norvik", "Lumenfeed");
            QCOMPARE(stored.value("Full").toInt(), 0);
            QCOMPARE(stored.value("AudioSource").toInt(), 0);
            QCOMPARE(stored.value("PublishTargets").toStringList(),
                     QStringList{"udp://127.0.0.1:9999"});
            QCOMPARE(stored.value("RecordFolder").toString(), QString("/srv/stored"));
            QVERIFY(!stored.contains("Listen") && !stored.contains("Source") &&
                    !stored.contains("Output"));
        }
        // What the operator changes in the window is theirs to save.
        Press(Full());
        Press(Full());
        form->SaveConfiguration();
        QCOMPARE(QSettings("Norvik", "Lumenfeed").value("Full").toInt(), 1);
        QCOMPARE(QSettings("Norvik", "Lumenfeed").value("AudioSource").toInt(), 0);

        // A plain launch afterwards publishes only what was stored.
        Launch({});
        MakeForm();
        QVERIFY(!form->RecordingOn());
        QCOMPARE(AudioSources()->currentIndex(), 0);
    }

    void startAtLaunchTriesToListenUntilItCan() {
        const uint16_t port = testing_support::FreePortUpTo(32000);
        SOCKET squatter = Squat(port);
        QVERIFY(squatter != INVALID_SOCKET);
        Launch({"--start", "--listen", "127.0.0.1:" + std::to_string(port)});
        MakeForm();
        QTRY_VERIFY(form->Server() != nullptr);
        QVERIFY(StartBtn()->isChecked());
        const QString where = QString("127.0.0.1:%1").arg(port);
        QTRY_COMPARE(Error()->text(),
                     "Cannot listen on " + where +
                         " (another program listens there already); trying again every second.");
        QVERIFY(!form->Server()->Listening());
        closesocket(squatter);
        QTRY_VERIFY_WITH_TIMEOUT(form->Server()->Listening(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(Error()->text(), "Listening on " + where + ".", 20000);
        TestClient client;
        QVERIFY(client.Connect(port));
        QTRY_COMPARE_WITH_TIMEOUT(Clients()->text(), QString("Connected."), 20000);
        Press(StartBtn());
    }

    void namedReceiversAndFilesKeepTheirOwnChoices() {
        CConfiguration::SetLocation("north", "");
        MakeForm();
        Full()->setChecked(true);
        form->SaveConfiguration();
        CConfiguration::SetLocation("south", "");
        MakeForm();
        QVERIFY2(!Full()->isChecked(), "another receiver's choice");
        AudioSources()->setCurrentIndex(1);
        form->SaveConfiguration();
        CConfiguration::SetLocation("north", "");
        MakeForm();
        QVERIFY(Full()->isChecked());
        QCOMPARE(AudioSources()->currentIndex(), 0);
        QCOMPARE(QSettings("Norvik", "Lumenfeed-south").value("AudioSource").toInt(), 1);
        QVERIFY2(!QSettings("Norvik", "Lumenfeed").contains("Full"), "the user's own untouched");

        // A file given is read and saved, whatever the receiver's name; the
        // names stored there follow the window.
        const QString file = settingsDir.filePath("studio.conf");
        {
            QSettings ini(file, QSettings::IniFormat);
            ini.setValue("Full", 0);
            ini.setValue("Source", "Studio_Mic");
            ini.setValue("Listen", "127.0.0.1:9123");
        }
        CConfiguration::SetLocation("north", file.toStdString());
        MakeForm();
        QVERIFY(!Full()->isChecked());
        QCOMPARE(AudioSources()->currentText(), QString("Studio_Mic"));
        QCOMPARE(Child<QComboBox>("Host")->currentText(), QString("127.0.0.1"));
        QCOMPARE(Child<QSpinBox>("Port")->value(), 9123);
        AudioSources()->setCurrentIndex(0);
        form->SaveConfiguration();
        QCOMPARE(QSettings(file, QSettings::IniFormat).value("Source").toString(),
                 QString("(none)"));
        QCOMPARE(QSettings(file, QSettings::IniFormat).value("Listen").toString(),
                 QString("127.0.0.1:9123"));
    }

    void sessionWithNoSelectedSourceGetsQuestionMark() {
        UseFreePort();
        AudioSources()->setCurrentIndex(-1);
        Press(StartBtn());
        QCOMPARE(form->Session().audioSource, -1);
        QCOMPARE(std::u16string(form->Session().audioSourceName), std::u16string(u"?"));
        Press(StartBtn());
    }

    void exitAnsweredNoKeepsTheSessionRunning() {
        UseFreePort();
        Press(StartBtn());
        auto answer = AnswerNextBox(QMessageBox::No);
        QVERIFY(!form->close());
        QVERIFY(answer->seen);
        QCOMPARE(answer->caption, QString("Exit"));
        QCOMPARE(answer->text, QString("Are you sure?"));
        QVERIFY(form->isVisible());
        QVERIFY(form->Server() != nullptr);
        Press(StartBtn());
    }

    void exitYesThenNoEndsWithoutSaving() {
        QSettings("Norvik", "Lumenfeed").setValue("Full", 0);
        UseFreePort();
        Full()->setChecked(true);
        Press(StartBtn());
        auto sure = AnswerNextBox(QMessageBox::Yes);
        std::shared_ptr<BoxAnswer> save;
        // The second box comes after the session has stopped.
        QTimer::singleShot(0, [&] { save = AnswerNextBox(QMessageBox::No); });
        bool noticeShown = false;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (AboutForm->isVisible()) {
                noticeShown = true;
                QVERIFY2(form->Server() == nullptr, "stopped before the notice");
                Child<QPushButton>("Full"); // the main window still exists
                AboutForm->findChild<QPushButton*>("OkBtn")->click();
            }
        });
        closer.start(20);
        QVERIFY(form->close());
        QVERIFY(sure->seen);
        QVERIFY(save && save->seen);
        QCOMPARE(save->caption, QString("Save"));
        QCOMPARE(save->text, QString("Do you want to save the current configuration?"));
        QVERIFY(noticeShown);
        QVERIFY2(!AboutForm->Timer()->isActive(), "closing the notice stops its timer");
        QCOMPARE(QSettings("Norvik", "Lumenfeed").value("Full").toInt(), 0);
    }

    void noticeClosesItselfAndCarriesTheLicence() {
        AboutForm->show();
        QVERIFY(AboutForm->Timer()->isActive());
        QCOMPARE(AboutForm->Timer()->interval(), 60000);
        auto* text = AboutForm->findChild<QTextEdit*>("License");
        QString notice = text->toPlainText();
        QVERIFY(notice.contains("are parts of ffmpeg project."));
        QVERIFY(notice.contains("GNU LESSER GENERAL PUBLIC LICENSE"));
        QVERIFY(notice.contains("END OF TERMS AND CONDITIONS"));
        QVERIFY(notice.contains("How to Apply These Terms to Your New Libraries"));
        QVERIFY(notice.contains("reports its licence as: "));
        AboutForm->OnTimer();
        QVERIFY(!AboutForm->isVisible());
        QVERIFY(!AboutForm->Timer()->isActive());
    }
};

QTEST_MAIN(TMainFormTest)
#include "TMainFormTest.moc"
