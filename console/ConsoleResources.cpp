#include "ConsoleResources.h"

#include <QtGlobal>

void InitConsoleResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(console);
        return true;
    }();
    (void)done;
}
