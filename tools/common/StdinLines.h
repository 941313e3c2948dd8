#ifndef QUILLMAR_TOOLS_STDINLINES_H
#define QUILLMAR_TOOLS_STDINLINES_H

// Standard input read line by line inside the event loop, for the tools
// that take commands from their caller (the stand-in server, the headless
// client).

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

class StdinLines : public QObject
{
    Q_OBJECT
public:
    explicit StdinLines(QObject* ip_parent = nullptr);

    // A line longer than this is dropped, so that a caller that never ends
    // its line cannot fill the memory.
    static constexpr int MAX_LINE = 65536;

signals:
    void Line(QString i_line);
    // Standard input reached its end or failed; nothing more comes.
    void Closed();

private:
    void OnReadable();

    QSocketNotifier m_notifier;
    QByteArray m_pending;
};

#endif
