#include "services/CLEngineCore.h"

#include "services/CLDebug.h"

namespace {
TCLEngineCore *gEngineCore = nullptr;
}

TCLEngineCore *CLEngineCore() { return gEngineCore; }

TCLEngineCore::TCLEngineCore() {
  FSettingDefault << QStringLiteral("Path.Skins=skins") << QStringLiteral("Path.Languages=lang");
  if (!gEngineCore)
    gEngineCore = this;
  FDebug = CLDebugFlag();
}

TCLEngineCore::~TCLEngineCore() {
  if (gEngineCore == this)
    gEngineCore = nullptr;
}

bool TCLEngineCore::FindListValue(const QStringList &list, const QString &name, QString &value) {
  for (const QString &line : list) {
    const qsizetype eq = line.indexOf(u'=');
    const QString key = eq < 0 ? line : line.left(eq);
    if (key.compare(name, Qt::CaseInsensitive) == 0) {
      value = eq < 0 ? QString() : line.mid(eq + 1);
      return true;
    }
  }
  return false;
}
