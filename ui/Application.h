#pragma once

// The program's entry: creates the application, the main window and the hidden label dialog,
// runs the event loop and returns 0 whatever happened. A failure that escapes start-up or the
// loop is shown in the standard error message box.
int runTambrook(int argc, char* argv[]);
