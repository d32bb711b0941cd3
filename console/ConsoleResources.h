// The console's pictures and texts live in a static library, whose resources
// must be registered before first use.
#pragma once

void InitConsoleResources();
