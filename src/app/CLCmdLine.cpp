#include "app/CLCmdLine.h"

namespace {
QStringList gParams;
}

const QStringList &CLParams() {
  return gParams;
}

void SetCLParams(const QStringList &params) {
  gParams = params;
}

QStringList CLParamsFromArgv(int argc, char *argv[]) {
  QStringList params;
  for (int i = 1; i < argc; ++i)
    params << QString::fromUtf8(argv[i]);
  return params;
}

bool FindCmdLineSwitch(const QStringList &params, QChar letter) {
  for (const QString &param : params) {
    if (param.size() != 2 || (param[0] != u'-' && param[0] != u'/'))
      continue;
    if (param[1].toCaseFolded() == letter.toCaseFolded())
      return true;
  }
  return false;
}

bool IsCmdLineOption(const QString &param) {
  if (param.startsWith(u'-'))
    return true;
  return param.startsWith(u'/') && param.indexOf(u'/', 1) < 0;
}

QString CmdLineFileParam(const QStringList &params) {
  if (params.isEmpty() || IsCmdLineOption(params.first()))
    return QString();
  return params.first();
}
