#include "server/ServerLog.h"

#if __has_include("store/Log.h")
#include "store/Log.h"

void ServerLog(int i_level, QString const& i_text)
{
    Log(QStringLiteral("Server"), i_level, i_text);
}

#else
#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(s_serverCategory, "quillmar.server")
}

void ServerLog(int i_level, QString const& i_text)
{
    qCInfo(s_serverCategory).noquote() << QString(qMax(0, i_level - 1) * 3, QLatin1Char(' ')) + i_text;
}
#endif
