#include "CCommandLine.h"
#include "CConfiguration.h"
#include "CHeadlessReceiver.h"
#include "dialogs/ConsoleDialogs.h"
#include "TAboutForm.h"
#include "TFullScreenForm.h"
#include "TMainForm.h"
#include "platform/AllocatorArenas.h"
#include "platform/ThreadPriority.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    CCommandLine commandLine;
    if (!commandLine.Parse(argc, argv)) {
        std::fprintf(stderr, "lumenfeed: %s\nTry 'lumenfeed --help' for more information.\n",
                     commandLine.Error().c_str());
        return CCommandLine::kExitUsage;
    }
    if (commandLine.Options().help) {
        std::fputs(CCommandLine::Help().c_str(), stdout);
        return CCommandLine::kExitOk;
    }
    if (commandLine.Options().version) {
        std::puts(CCommandLine::Version().c_str());
        return CCommandLine::kExitOk;
    }
    const LaunchOptions& launch = commandLine.Options();
    // A named receiver's choices, or those of the file given, from here on.
    CConfiguration::SetLocation(launch.instance, launch.configFile);
    // Two heaps serve all threads: the threads of each connection then reuse
    // what the previous connection freed, and resident memory stays flat.
    platform::LimitAllocatorArenas(2);
    // On air, a page of the program brought back from the disk is a gap in
    // the sound.
    platform::KeepMemoryResident();
    if (launch.headless)
        return CHeadlessReceiver::Run(argc, argv, launch);
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Norvik");
    QApplication::setApplicationName("Lumenfeed");
    InstallConsoleDialogs();
    try {
        MainForm = new TMainForm;
        FullScreenForm = new TFullScreenForm;
        AboutForm = new TAboutForm(MainForm);
        MainForm->show();
        int result = app.exec();
        (void)result;
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, "Lumenfeed", e.what());
    }
    delete MainForm;
    delete FullScreenForm;
    return 0;
}
