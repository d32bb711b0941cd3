#include "ConsoleResources.h"
#include "TFullScreenForm.h"

#include "platform/video/VideoSurface.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

TFullScreenForm* FullScreenForm = nullptr;

TFullScreenForm::TFullScreenForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
    InitConsoleResources();
    setObjectName("FullScreenForm");
    setWindowTitle("Video Renderer");
    setToolTip("Press ESC key to close");
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
    setAutoFillBackground(true);
    QFont f("Tahoma");
    f.setPixelSize(11);
    setFont(f);
    resize(434, 320);
    surface = new platform::CVideoSurface(this);
    surface->setObjectName("FullScreenSurface");
    surface->setGeometry(rect());
    surface->setToolTip(toolTip());
}

TFullScreenForm::~TFullScreenForm() = default;

void TFullScreenForm::AddPictureAction(QAction* action) {
    addAction(action);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

void TFullScreenForm::ShowCovering() {
    // Without a window manager a full-screen request is not honoured, so the
    // frameless window takes the screen's geometry itself.
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen) setGeometry(screen->geometry());
    showFullScreen();
    if (screen && geometry() != screen->geometry()) setGeometry(screen->geometry());
    raise();
    activateWindow();
}

void TFullScreenForm::keyPressEvent(QKeyEvent* event) {
    FormKeyDown(event->key());
    event->accept();
}

void TFullScreenForm::FormKeyDown(int key) {
    if (key != Qt::Key_Escape) return;
    hide();
    emit Closed();
}

void TFullScreenForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FormShow();
}

void TFullScreenForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    surface->setGeometry(rect());
}
