#pragma once
// The window program's assertion box.

// Failed assertions with a message show a modal box captioned "Assert" with
// one OK button and no owner window, on the window thread. Called at
// start-up, before the application object exists: until it does (and in the
// headless report, which has none) the text goes to standard error.
void InstallAssertBox();
