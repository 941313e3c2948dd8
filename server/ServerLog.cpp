#include "server/ServerLog.h"

#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(s_serverCategory, "quillmar.server")
}

void ServerLog(int i_level, QString const& i_text)
{
    qCInfo(s_serverCategory).noquote() << QString(qMax(0, i_level - 1) * 3, QLatin1Char(' ')) + i_text;
}
