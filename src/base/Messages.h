// Message boxes of the core: a plain, error or information text handed to
// whichever display the program installed at start (the window's boxes, or
// lines on standard error when headless).
#pragma once

#include <functional>
#include <string>

enum class MessageKind { Text, Error, Info };

// Receives a message whose "CRLF" tokens are already expanded. Called on the
// thread that raised the message; a display that must show it elsewhere hands
// it over and returns at once (a worker never waits for the user).
using MessageDisplay = std::function<void(MessageKind kind, const std::string& text)>;

// Installs the display for every later message; an empty function restores
// the standard-error display. Safe on any thread.
void SetMessageDisplay(MessageDisplay display);

// Writes one message to standard error as lines: "Error: ...", "Information:
// ..." or the bare text. The headless display.
void ShowOnStandardError(MessageKind kind, const std::string& text);

// The three message boxes. An empty text shows nothing; otherwise the text
// goes through ExpandCrLf and then to the installed display.
void ShowText(const std::string& text);
void ShowError(const std::string& text);
void ShowInfo(const std::string& text);
