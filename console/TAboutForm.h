// The notice shown at exit: the codec libraries come from the FFmpeg project
// and are licensed under the GNU Lesser General Public License 2.1. It closes
// itself after a minute.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QTextEdit;
class QTimer;

class TAboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);
    ~TAboutForm() override;

    void OnOk();
    void OnTimer();
    QTimer* Timer() const { return timer; }
    // The whole notice, as shown in the License box.
    static QString NoticeText();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void done(int result) override;

private:
    void OnShow();
    void OnClose();

    QLabel* logo;
    QLabel* picture;
    QTextEdit* license;
    QPushButton* okBtn;
    QTimer* timer;
};

extern TAboutForm* AboutForm;
