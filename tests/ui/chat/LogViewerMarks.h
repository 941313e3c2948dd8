#ifndef QUILLMAR_TESTS_UI_CHAT_LOGVIEWERMARKS_H
#define QUILLMAR_TESTS_UI_CHAT_LOGVIEWERMARKS_H

// What the log viewer's search shows: the highlighted match as
// "block:column" (or "none"), and whether its two buttons can be pressed.

#include "ui/chat/ChatLogForm.h"
#include "ui_ChatLogForm.h"

#include <QPushButton>
#include <QTextBlock>

inline QString MarkedMatch(ChatLogForm* ip_viewer)
{
    QList<QTextEdit::ExtraSelection> const l_marks = ip_viewer->Form()->logEdit->extraSelections();
    QTextCursor const l_mark = l_marks.isEmpty() ? QTextCursor() : l_marks.first().cursor;
    return QStringLiteral("%1 back=%2 forward=%3")
        .arg(l_marks.isEmpty() ? QStringLiteral("none")
                               : QStringLiteral("%1:%2").arg(l_mark.blockNumber())
                                     .arg(l_mark.selectionStart() - l_mark.block().position()))
        .arg(ip_viewer->Form()->searchBackButton->isEnabled())
        .arg(ip_viewer->Form()->searchForwardButton->isEnabled());
}

// The same once the search, which walks the view in slices, is through.
inline QString SearchedMatch(ChatLogForm* ip_viewer)
{
    if (TurnsUntil([ip_viewer]() { return !ip_viewer->IsSearching(); }) < 0)
        return QStringLiteral("still searching");
    return MarkedMatch(ip_viewer);
}

#endif
