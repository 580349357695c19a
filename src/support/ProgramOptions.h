#pragma once
// What the command line asks for: the front end to run and its settings.
// Filled by the one parser in app/ and read by the window, the report and the
// endpoint, none of which parse arguments themselves.
#include <optional>
#include <string>
#include <vector>

enum class TRunMode { Window, Report, Serve, Help, Version };

struct TLongOptions {
  TRunMode Mode = TRunMode::Window;
  // --report and --serve.
  std::string Adapter;
  std::string File;        // --read: a capture file instead of the live interface
  long Seconds = -1;       // live capture length; -1 none given
  bool Json = false;
  long Every = 0;          // --every: seconds between JSON lines, 0 none
  // --serve ADDR:PORT.
  std::string ListenAddress;
  int ListenPort = 0;
  int Top = 20;            // remote addresses on /metrics
  std::string User;        // who serves when started as root (empty: nobody)
  std::vector<std::string> AllowHosts;  // --allow-host: more names a request may use
  std::string WebConfig;   // --web-config: TLS and users, from a file
  // The window.
  bool Debug = false;      // -D: the trace window shows diagnostics and every packet
  bool DumpLimit = false;  // -S: packet dumps of at most 256 bytes
  std::string Start;       // --start ADDR
  long QuitAfter = -1;     // --quit-after SECONDS
  // Every front end.
  bool Programs = true;    // cleared by --no-programs
  // Host names: --names, --no-names; unset, the front end's own default
  // (the window looks them up, the report and the endpoint do not).
  std::optional<bool> Names;
};
