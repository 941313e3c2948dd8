#include "store/DelayedInvoker.h"

#include <QDebug>
#include <QMetaObject>
#include <QTimer>

DelayedInvoker* delayedInvoker = nullptr;

namespace {

// "1Sort()" -> "Sort"; also accepts a plain "Sort()" or "Sort".
QByteArray MethodName(QString const& i_slot)
{
    QString l_name = i_slot;
    if (!l_name.isEmpty() && l_name[0].isDigit())
        l_name.remove(0, 1);
    int const l_paren = l_name.indexOf('(');
    if (l_paren >= 0)
        l_name.truncate(l_paren);
    return l_name.trimmed().toLatin1();
}

} // namespace

DelayedInvoker::DelayedInvoker(QObject* ip_parent) : QObject(ip_parent)
{
    delayedInvoker = this;
}

DelayedInvoker::~DelayedInvoker()
{
    if (delayedInvoker == this)
        delayedInvoker = nullptr;
}

void DelayedInvoker::Invoke(QObject* ip_target, QString const& i_slot, int i_msec)
{
    if (!ip_target)
        return;
    Key const l_key(ip_target, i_slot);
    if (m_pending.count(l_key))
        return;
    // A deleted target's requests go at once: its address may be reused by a
    // new object, which must not inherit them.
    if (!HasTarget(ip_target))
        connect(ip_target, &QObject::destroyed, this, &DelayedInvoker::OnTargetDestroyed);

    QTimer* lp_timer = new QTimer(this);
    lp_timer->setSingleShot(true);
    connect(lp_timer, &QTimer::timeout, this, [this, l_key]() { OnTimer(l_key); });
    m_pending[l_key] = lp_timer;
    lp_timer->start(qMax(0, i_msec));
}

bool DelayedInvoker::IsPending(QObject* ip_target, QString const& i_slot) const
{
    return m_pending.count(Key(ip_target, i_slot)) != 0;
}

bool DelayedInvoker::HasTarget(QObject* ip_target) const
{
    // Keys sort by target first, and no slot name sorts before the empty one.
    auto const l_first = m_pending.lower_bound(Key(ip_target, QString()));
    return l_first != m_pending.end() && l_first->first.first == ip_target;
}

void DelayedInvoker::OnTimer(Key const& i_key)
{
    auto l_found = m_pending.find(i_key);
    if (l_found == m_pending.end())
        return;
    l_found->second->deleteLater();
    m_pending.erase(l_found);
    QObject* lp_target = i_key.first;
    if (!HasTarget(lp_target))
        disconnect(lp_target, &QObject::destroyed, this, &DelayedInvoker::OnTargetDestroyed);
    // The slot may make a new request for itself; it is accepted, since this
    // one is no longer pending.
    if (!QMetaObject::invokeMethod(lp_target, MethodName(i_key.second).constData(), Qt::DirectConnection))
        qWarning() << "DelayedInvoker: no slot" << i_key.second << "on" << lp_target->metaObject()->className();
}

void DelayedInvoker::OnTargetDestroyed(QObject* ip_target)
{
    auto l_entry = m_pending.lower_bound(Key(ip_target, QString()));
    while (l_entry != m_pending.end() && l_entry->first.first == ip_target) {
        delete l_entry->second;
        l_entry = m_pending.erase(l_entry);
    }
}
