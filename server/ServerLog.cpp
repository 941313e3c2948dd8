#include "server/ServerLog.h"

#include "store/Log.h"

void ServerLog(int i_level, QString const& i_text)
{
    Log(QStringLiteral("Server"), i_level, i_text);
}
