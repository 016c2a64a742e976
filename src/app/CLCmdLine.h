#pragma once
// The process's command-line parameters and the rules for reading them.
//
// Parameters are the command-line arguments without the program name, as the
// launcher received them (before the application object took any of its own
// options), so position 1 of the command line is index 0 here.

#include <QChar>
#include <QStringList>

// The parameters set by the launcher (empty before).
const QStringList &CLParams();
void SetCLParams(const QStringList &params);

// Converts argv (argv[0] being the program) into parameters; the 8-bit
// texts are read as UTF-8, the file-name encoding of the platform.
QStringList CLParamsFromArgv(int argc, char *argv[]);

// True when some parameter, at any position, is a switch for letter: it
// begins with '-' or '/' and the rest equals letter, without regard to case
// ("/S", "-s" and "/s" are the switch s; "/sx" and "-" are no switch).
bool FindCmdLineSwitch(const QStringList &params, QChar letter);

// True when a parameter is option-like and so no file: it begins with '-',
// or it begins with '/' and holds no further '/' ("/h", "/sx"). Absolute
// paths begin with '/' on this platform too; "/home/a.mp4" is a file.
bool IsCmdLineOption(const QString &param);

// The file parameter: parameter 1 when it exists, is not empty and is no
// option (IsCmdLineOption); "" otherwise.
QString CmdLineFileParam(const QStringList &params);
