#include "platform/AppChannel.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QStringDecoder>
#include <QThread>

QByteArray EncodeParamLine(const QString &text) {
  const QByteArray utf8 = text.toUtf8();
  QByteArray line;
  line.reserve(utf8.size() + 8);
  for (const char c : utf8) {
    switch (c) {
    case '\\':
      line += "\\\\";
      break;
    case '\n':
      line += "\\n";
      break;
    case '\r':
      line += "\\r";
      break;
    default:
      line += c;
    }
  }
  return line;
}

bool DecodeParamLine(const QByteArray &line, QString &text) {
  QByteArray utf8;
  utf8.reserve(line.size());
  for (qsizetype i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c != '\\') {
      utf8 += c;
      continue;
    }
    if (++i >= line.size())
      return false;
    switch (line[i]) {
    case '\\':
      utf8 += '\\';
      break;
    case 'n':
      utf8 += '\n';
      break;
    case 'r':
      utf8 += '\r';
      break;
    default:
      return false;
    }
  }
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString decoded = decoder.decode(utf8);
  if (decoder.hasError())
    return false;
  text = decoded;
  return true;
}

void TCLLineBuffer::Append(const QByteArray &data) {
  if (FOverflow)
    return;
  FData += data;
  const qsizetype eol = FData.indexOf('\n');
  if ((eol < 0 ? FData.size() : eol) > kMaxAppLineBytes) {
    FOverflow = true;
    FData.clear();
  }
}

bool TCLLineBuffer::TakeLine(QByteArray &line) {
  const qsizetype eol = FData.indexOf('\n');
  if (eol < 0)
    return false;
  line = FData.left(eol);
  FData.remove(0, eol + 1);
  if (line.endsWith('\r'))
    line.chop(1);
  // The remainder may already hold an over-long line.
  const qsizetype next = FData.indexOf('\n');
  if ((next < 0 ? FData.size() : next) > kMaxAppLineBytes) {
    FOverflow = true;
    FData.clear();
  }
  return true;
}

std::optional<qint64> ParseReplyLine(const QByteArray &line) {
  const QByteArray trimmed = line.trimmed();
  if (trimmed.isEmpty())
    return std::nullopt;
  for (qsizetype i = 0; i < trimmed.size(); ++i) {
    const char c = trimmed[i];
    if (!(c >= '0' && c <= '9') && !(i == 0 && c == '-'))
      return std::nullopt;
  }
  bool ok = false;
  const qint64 value = trimmed.toLongLong(&ok);
  return ok ? std::optional<qint64>(value) : std::nullopt;
}

TCLAppChannel::TCLAppChannel() = default;
TCLAppChannel::~TCLAppChannel() = default;

bool TCLAppChannel::Connect(const QString &serverPath, int waitMs) {
  Disconnect();
  const QDeadlineTimer deadline(qMax(waitMs, 0));
  for (;;) {
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(serverPath);
    if (socket->waitForConnected(kAppConnectTimeoutMs)) {
      FSocket = std::move(socket);
      FReply = TCLLineBuffer();
      return true;
    }
    socket->abort();
    if (deadline.hasExpired())
      return false;
    QThread::msleep(50);
  }
}

bool TCLAppChannel::Connected() const {
  return FSocket && FSocket->state() == QLocalSocket::ConnectedState;
}

void TCLAppChannel::Disconnect() {
  if (FSocket)
    FSocket->abort();
  FSocket.reset();
}

std::optional<qint64> TCLAppChannel::Send(const QString &message, int timeoutMs) {
  return Exchange(message.toUtf8() + '\n', timeoutMs);
}

std::optional<qint64> TCLAppChannel::SendWithParam(const QString &message, const QString &param,
                                                   int timeoutMs) {
  return Exchange(message.toUtf8() + '\n' + EncodeParamLine(param) + '\n', timeoutMs);
}

std::optional<qint64> TCLAppChannel::Exchange(const QByteArray &request, int timeoutMs) {
  if (!Connected())
    return std::nullopt;
  const QDeadlineTimer deadline(qMax(timeoutMs, 0));
  FSocket->write(request);
  while (FSocket->bytesToWrite() > 0) {
    if (!FSocket->waitForBytesWritten(int(qMax<qint64>(deadline.remainingTime(), 1))) ||
        deadline.hasExpired()) {
      if (FSocket->bytesToWrite() > 0) {
        Disconnect();
        return std::nullopt;
      }
    }
  }
  QByteArray line;
  while (!FReply.TakeLine(line)) {
    if (FReply.Overflow() || deadline.hasExpired() || !Connected()) {
      Disconnect();
      return std::nullopt;
    }
    if (FSocket->bytesAvailable() == 0 &&
        !FSocket->waitForReadyRead(int(qMax<qint64>(deadline.remainingTime(), 1)))) {
      // Data may have arrived together with the hang-up.
      FReply.Append(FSocket->readAll());
      if (FReply.TakeLine(line))
        break;
      Disconnect();
      return std::nullopt;
    }
    FReply.Append(FSocket->readAll());
  }
  const std::optional<qint64> result = ParseReplyLine(line);
  if (!result)
    Disconnect();
  return result;
}
