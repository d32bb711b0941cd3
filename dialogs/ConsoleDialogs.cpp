#include "ConsoleDialogs.h"

#include "platform/ErrorMessage.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include <cstdio>

namespace {

// Off the GUI thread a box cannot be shown: the text goes to the standard
// error stream instead.
void ShowMessageBox(const std::string& text, const std::string& caption) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app && QThread::currentThread() == app->thread()) {
        QMessageBox box(QMessageBox::Critical, QString::fromStdString(caption),
                        QString::fromStdString(text), QMessageBox::Ok);
        box.exec();
        return;
    }
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

} // namespace

void InstallConsoleDialogs() {
    platform::SetErrorMessagePresenter(&ShowMessageBox);
}
