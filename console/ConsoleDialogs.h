// The dialogs that the layers below the console ask for without knowing any
// window: the message box for a failure the program cannot go on from, and
// the capture device's property pages.
#pragma once

// Once the application object exists.
void InstallConsoleDialogs();
