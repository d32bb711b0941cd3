// The borderless black window the video goes to in full-screen mode. Esc
// hides it; the main window notices at its next tick.
#pragma once

#include <QWidget>

class QAction;
namespace platform {
class CVideoSurface;
}

class TFullScreenForm : public QWidget {
    Q_OBJECT
public:
    explicit TFullScreenForm(QWidget* parent = nullptr);
    ~TFullScreenForm() override;

    platform::CVideoSurface* Surface() const { return surface; }
    // An action of the picture: its key works in this window, and it is
    // offered in the picture's context menu. Adding it again changes nothing.
    void AddPictureAction(QAction* action);
    // Shown covering the whole screen, with or without a window manager.
    void ShowCovering();

signals:
    // Esc hid the window: the picture goes back to the panel at once.
    void Closed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void FormKeyDown(int key);
    void FormShow() {}

    platform::CVideoSurface* surface;
};

extern TFullScreenForm* FullScreenForm;
