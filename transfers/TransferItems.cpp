#include "transfers/TransferItems.h"

#include "transfers/TransferQueueManager.h"

#include <QLocale>

namespace TransferItems {

QDateTime CurrentTime()
{
    return transferQueueManager ? transferQueueManager->Now() : QDateTime::currentDateTimeUtc();
}

QDateTime StoredTime(QString const& i_text, QDateTime const& i_now)
{
    // The text date is written with the system locale's day and month names,
    // and the toolkit reads back only the C locale's (and not every other
    // locale's short names, such as German "Dez.").
    QDateTime l_local = QDateTime::fromString(i_text, Qt::TextDate);
    if (!l_local.isValid())
        l_local = QLocale::system().toDateTime(i_text, QStringLiteral("ddd MMM d HH:mm:ss yyyy"));
    if (!l_local.isValid())
        return QDateTime();
    QDateTime const l_read = l_local.toUTC();
    // Only near a change of the offset from UTC can a text name two
    // instants; elsewhere the reading is the answer.
    int const l_before = l_read.addSecs(-3 * 3600).toLocalTime().offsetFromUtc();
    int const l_after = l_read.addSecs(3 * 3600).toLocalTime().offsetFromUtc();
    if (l_before == l_after)
        return l_read;
    QDateTime const l_horizon = i_now.toUTC().addSecs(600);
    QDateTime l_chosen;
    // Offsets change by whole or half hours, at most two hours at a time.
    for (int l_halfHours = -4; l_halfHours <= 4; ++l_halfHours) {
        QDateTime const l_candidate = l_read.addSecs(l_halfHours * 1800);
        if (l_candidate <= l_horizon && (!l_chosen.isValid() || l_candidate > l_chosen) &&
            l_candidate.toLocalTime().toString(Qt::TextDate) == i_text)
            l_chosen = l_candidate;
    }
    return l_chosen.isValid() ? l_chosen : l_read;
}

qint64 MillisecondsSince(QString const& i_time, QDateTime const& i_now, qint64 i_unset)
{
    // A time ahead of the clock means the clock went back: how long ago it
    // was is not known, and counting from it would delay what is due by as
    // much as the clock moved.
    QDateTime const l_then = StoredTime(i_time, i_now);
    return l_then.isValid() && l_then <= i_now ? l_then.msecsTo(i_now) : i_unset;
}

} // namespace TransferItems
