// The dialog that the layers below the console ask for without knowing any
// window: the message box for a failure the program cannot go on from.
#pragma once

// Once the application object exists.
void InstallConsoleDialogs();
