#ifndef QUILLMAR_SERVER_SERVERLOG_H
#define QUILLMAR_SERVER_SERVERLOG_H

// The server link's one logging call. Every line of the subsystem goes
// through here, so that it can be pointed at the diagnostic log in one place.

#include <QString>

void ServerLog(int i_level, QString const& i_text);

#endif
