#pragma once
// The part of the application engine that the settings store consults: the
// override and default layers, and the debug flag. TCLEngine (app/CLEngine.h)
// derives from it; videomill-cli creates one on its own, without a window.
//
// Exactly one instance is the global one (the first created); it is reached
// through CLEngineCore() and unregisters itself when destroyed.

#include <QString>
#include <QStringList>

class TCLEngineCore {
public:
  TCLEngineCore();
  virtual ~TCLEngineCore();
  TCLEngineCore(const TCLEngineCore &) = delete;
  TCLEngineCore &operator=(const TCLEngineCore &) = delete;

  // name=value lines. Overrides win over every file; defaults are used when
  // no file holds a key. The defaults start as "Path.Skins=skins" and
  // "Path.Languages=lang".
  QStringList FSettingOverwrite;
  QStringList FSettingDefault;
  // The launcher's debug flag, copied at creation.
  bool FDebug = false;

  // Looks a name up in a list of name=value lines (name compared without
  // regard to case). Returns true and sets value when a line has that name.
  static bool FindListValue(const QStringList &list, const QString &name, QString &value);
};

// The global engine core, or nullptr while none exists.
TCLEngineCore *CLEngineCore();
