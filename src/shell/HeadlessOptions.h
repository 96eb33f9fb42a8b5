// Command line of the headless program: options that override the settings
// for the run (and are saved with them), the working folder, and the first
// argument "ShareOff".
#pragma once

#include "shell/AppSettings.h"

#include <optional>
#include <string>
#include <vector>

struct HeadlessOptions {
  bool help = false;
  bool version = false;                      // --version: print the version and end
  bool shareOff = false;                     // first argument "ShareOff", any letter case
  std::optional<std::string> workdir;        // --workdir DIR
  std::optional<std::string> folder;         // --folder DIR
  std::optional<std::string> user;           // --user NAME (used when no name is stored)
  std::optional<int> port;                   // --port N
  std::optional<int> timeoutMs;              // --timeout MS
  std::optional<bool> uploads;               // --uploads / --no-uploads
  std::optional<bool> internal;              // --internal / --external
  std::optional<int> filter;                 // --filter N (resampler quality 0..6)
  std::optional<int> thumbWidth;             // --thumb-width N
  std::optional<int> thumbHeight;            // --thumb-height N
  std::optional<bool> portMapping;           // --port-mapping / --no-port-mapping
  std::optional<std::string> gateway;        // --gateway URL (UPnP root description)
  std::optional<std::string> natPmpGateway;  // --natpmp-gateway ADDRESS[:PORT]
  std::optional<std::string> bind;           // --bind ADDRESS
  std::optional<TPageStyle> pages;           // --pages gallery|classic
  bool sendIp = false;                       // --send-ip: register the presence once and end
  bool privateShare = false;                 // --private: only visitors with the key
  bool newKey = false;                       // --new-key: replace the key of private sharing
  bool qr = false;                           // --qr: print the QR code even when not on a terminal
  bool listUsers = false;  // --list-users: print the public network's users and end
};

// Parses argv[1..]; "--headless" is accepted and ignored. Returns the empty
// text, or an error text naming the bad argument (a value out of its range is
// an error here, not clamped).
std::string ParseHeadlessOptions(int argc, const char* const* argv, HeadlessOptions& options);

// The record with the options that were given put in.
void ApplyOptions(const HeadlessOptions& options, AppSettings& settings);

// The usage text printed by --help and after an error.
std::string HeadlessUsage();
