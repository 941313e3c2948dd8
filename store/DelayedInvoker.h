#ifndef QUILLMAR_STORE_DELAYEDINVOKER_H
#define QUILLMAR_STORE_DELAYEDINVOKER_H

// One-shot delayed slot calls. A request for a target and slot that is
// already pending is dropped, so a burst of requests makes one call, msec
// after the first of them. A target deleted before its time is never called.

#include <QObject>
#include <QString>

#include <map>
#include <utility>

class QTimer;

class DelayedInvoker : public QObject
{
    Q_OBJECT

public:
    explicit DelayedInvoker(QObject* ip_parent = nullptr);
    ~DelayedInvoker() override;

    // i_slot in slot-signature form, as SLOT() makes it: "1Sort()". Only
    // slots without arguments can be called.
    void Invoke(QObject* ip_target, QString const& i_slot, int i_msec);
    bool IsPending(QObject* ip_target, QString const& i_slot) const;

private:
    typedef std::pair<QObject*, QString> Key;

    // Whether any call for the target is pending.
    bool HasTarget(QObject* ip_target) const;
    void OnTimer(Key const& i_key);
    void OnTargetDestroyed(QObject* ip_target);

    std::map<Key, QTimer*> m_pending;
};

extern DelayedInvoker* delayedInvoker;

#endif
