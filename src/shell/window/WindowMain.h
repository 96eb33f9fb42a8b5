// Entry of the windowed program: the start-up sequence around the main window.
#pragma once

#include <QString>

class TFrmMain;

// Runs the window program and returns the process exit code. Options of our
// own ("--workdir DIR") are taken out before the first argument is read.
int RunWindow(int argc, char** argv);

// The local socket beside the single-instance lock through which a second
// start asks the running window to come forward.
QString InstanceSocketPath();
// Asks the running instance to show its window; false when none answered.
bool AskRunningInstanceToShow(const QString& socketPath);

class QLocalServer;
// Listens on the socket and brings the window forward for every request.
QLocalServer* ListenForOtherInstances(const QString& socketPath, TFrmMain* form);
