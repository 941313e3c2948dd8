#include "peers/PeerLog.h"

#include "store/Log.h"

void PeerLog(int i_level, QString const& i_text, char const* ip_category)
{
    Log(QString::fromLatin1(ip_category), i_level, i_text);
}
