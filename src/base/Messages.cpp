// Message boxes of the core routed to the installed display.
#include "base/Messages.h"

#include "base/OrvelTPU.h"

#include <cstdio>
#include <memory>
#include <mutex>

namespace {

std::mutex displayLock;
std::shared_ptr<const MessageDisplay> installedDisplay;

std::shared_ptr<const MessageDisplay> CurrentDisplay() {
  std::lock_guard<std::mutex> hold(displayLock);
  return installedDisplay;
}

void Show(MessageKind kind, const std::string& text) {
  if (text.empty()) return;
  const std::string expanded = ExpandCrLf(text);
  if (auto display = CurrentDisplay()) {
    (*display)(kind, expanded);
  } else {
    ShowOnStandardError(kind, expanded);
  }
}

}  // namespace

void SetMessageDisplay(MessageDisplay display) {
  auto next = display ? std::make_shared<const MessageDisplay>(std::move(display)) : nullptr;
  std::lock_guard<std::mutex> hold(displayLock);
  installedDisplay = std::move(next);
}

void ShowOnStandardError(MessageKind kind, const std::string& text) {
  std::string out;
  if (kind == MessageKind::Error) out = "Error: ";
  if (kind == MessageKind::Info) out = "Information: ";
  // Line breaks of the box become plain newlines on the terminal.
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

void ShowText(const std::string& text) { Show(MessageKind::Text, text); }
void ShowError(const std::string& text) { Show(MessageKind::Error, text); }
void ShowInfo(const std::string& text) { Show(MessageKind::Info, text); }
