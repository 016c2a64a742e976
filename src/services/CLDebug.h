#pragma once
// The debug-message channel and the process-wide debug flag.
//
// While the channel is active, LogMessage writes one tagged line
// "[tag] text" to stderr and appends it to "debug.log" in the user's data
// folder (set with SetLogFolder; nothing is written to a file before that).
// Inactive, LogMessage does nothing. Safe to call from any thread.

#include <QString>

class TCLDebugChannel {
public:
  bool Active() const;
  void SetActive(bool value);
  // When set and the channel is active, the first message also tells where
  // the debug log lives (our stand-in for starting an external viewer).
  bool AutoStart() const;
  void SetAutoStart(bool value);
  void SetLogFolder(const QString &folder);
  QString LogFile() const;
  void LogMessage(const QString &text, const QString &tag = QString());
};

// The one channel of the process.
TCLDebugChannel &CLDebug();

// The launcher's debug decision; the engine copies it when created.
bool CLDebugFlag();
void SetCLDebugFlag(bool value);
