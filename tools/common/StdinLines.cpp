#include "StdinLines.h"

#include <unistd.h>

StdinLines::StdinLines(QObject* ip_parent)
    : QObject(ip_parent), m_notifier(STDIN_FILENO, QSocketNotifier::Read)
{
    connect(&m_notifier, &QSocketNotifier::activated, this, &StdinLines::OnReadable);
}

void StdinLines::OnReadable()
{
    char l_buffer[4096];
    ssize_t const l_read = ::read(STDIN_FILENO, l_buffer, sizeof l_buffer);
    if (l_read <= 0) {
        m_notifier.setEnabled(false);
        emit Closed();
        return;
    }
    m_pending.append(l_buffer, int(l_read));
    int l_newline = 0;
    while ((l_newline = m_pending.indexOf('\n')) >= 0) {
        QString const l_line = QString::fromUtf8(m_pending.left(l_newline));
        m_pending.remove(0, l_newline + 1);
        emit Line(l_line);
    }
    if (m_pending.size() > MAX_LINE)
        m_pending.clear();
}
