#pragma once
// Shared helpers of videomill-cli: exit codes, message texts by key and
// terminal output.

#include <QString>
#include <QStringList>

#include <cstdint>

// Exit statuses of videomill-cli.
enum TCliExit {
  ceOK = 0,      // every item converted (or the query succeeded)
  ceFailed = 1,  // a file, destination, profile or conversion failed
  ceUsage = 2,   // the command line is wrong (unknown option, missing value)
  ceStopped = 3, // the batch was stopped by Ctrl+C / SIGTERM
};

// Text of message key aKey from section "AppRes" of the current language
// file, its "{1}", "{2}", ... filled from aArgs. A key missing from the
// language data falls back to a built-in English text.
QString AppMessage(const QString &aKey, const QStringList &aArgs = {});

// Prints a line to standard output / standard error (UTF-8).
void Out(const QString &aLine);
void Err(const QString &aLine);
// Prints "videomill-cli: " + aText to standard error.
void Fail(const QString &aText);

// "hh:mm:ss" of a microsecond value (hours do not wrap).
QString ClockText(int64_t aMicroseconds);

// Commands. argv-style lists without the program and command names.
int RunProfiles(const QStringList &aArgs);
int RunInfo(const QStringList &aArgs);
int RunConvert(const QStringList &aArgs);
