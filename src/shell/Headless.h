// The program without a window: serves a folder from the command line.
#pragma once

// Runs the headless program with the process's arguments; returns the exit code.
int RunHeadless(int argc, char** argv);
