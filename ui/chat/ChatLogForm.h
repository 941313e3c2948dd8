#ifndef QUILLMAR_UI_CHAT_CHATLOGFORM_H
#define QUILLMAR_UI_CHAT_CHATLOGFORM_H

// The chat log viewer: one room's or user's log file (written by ChatView
// by the rules of ChatRules.h) in a read-only view with a search box, fed
// the lines logged while it is open, with the tool-bar actions "Clear Log"
// and "Open Log Folder". The private chat page opens it beside the private
// tabs (ChatsForm), the rooms page beside the room tabs; Open() is the one
// opener, so a room or user has at most one viewer, found again through
// its "chat_log_form" item.
//
// Every line is plain text: a logged "<b>x</b>" reads as it was typed, and
// nothing in a line makes the viewer read a file or an address. A long log
// is read in slices, so the window keeps answering while it loads, and of a
// log larger than 100 MB only the last 100 MB are shown. The search walks
// the view in slices too, a paragraph per step: a keystroke in the search
// box of a view of 100 MB would otherwise hold the window for a second.

#include "store/SlicedWork.h"
#include "ui/chat/ChatRules.h"

#include <QFile>
#include <QStringList>
#include <QTextBlock>
#include <QTimer>
#include <QWidget>

class QTabWidget;
class Ui_ChatLogForm;

class ChatLogForm : public QWidget
{
    Q_OBJECT

public:
    // Reads the file at i_path; a file that cannot be opened leaves the view
    // empty and the viewer without log actions.
    explicit ChatLogForm(QString const& i_path, QWidget* ip_parent = nullptr);
    ~ChatLogForm() override;

    // The open viewer of a room's or user's log, or null.
    static ChatLogForm* Find(ChatLogKind i_kind, QString const& i_name);
    // Brings the open viewer of that log to the front, or opens one as a new
    // tab of ip_tabs (the note icon, the name as its text). Null, and
    // nothing opened, for an empty name.
    static ChatLogForm* Open(ChatLogKind i_kind, QString const& i_name, QTabWidget* ip_tabs);

    // How much of the end of a log a viewer shows at most (100 MB; less
    // for tests).
    static void SetMostBytesShown(qint64 i_bytes) { s_mostBytesShown = i_bytes; }

    // One line logged since the viewer opened, as a new paragraph.
    void AddLine(QString const& i_line);

    // The file shown; empty when it could not be opened.
    QString Path() const { return m_path; }
    bool IsLoading() const { return m_file.isOpen(); }
    // A search, or a look for the buttons' next and previous match, is
    // under way.
    bool IsSearching() const { return m_searchWork.IsRunning(); }
    Ui_ChatLogForm* Form() const { return mp_ui; }

signals:
    // The file has been read to the end it had when the viewer opened.
    void Loaded();

public slots:
    void OnSearchTextChanged(QString i_text);
    void OnSearchForward();
    void OnSearchBack();
    void OnActionTriggered(QWidget* ip_widget, QString i_action);

private:
    void LoadSlice();
    // Cuts the complete lines (or pieces of at most 2,048 bytes) off the
    // front of m_pending; at the file's end, the rest too.
    void TakeLines(QStringList& o_lines, bool i_atEnd);
    void AppendParagraphs(QStringList const& i_lines);
    void FinishLoading();
    // What a walk of the search is for: the first match from the start, the
    // next or previous one for the buttons, or whether there is a next or
    // previous one at all (the buttons' states).
    enum SearchGoal { FIND_FIRST, FIND_NEXT, FIND_PREVIOUS, PROBE_NEXT, PROBE_PREVIOUS };
    // Walks for the search text from i_position on (forward), or for one
    // that starts before it (backward), as the view's own find does.
    void StartSearch(SearchGoal i_goal, int i_position);
    bool SearchStep();
    void OnSearchWalked();
    // Shows the match that starts there and looks for the next and
    // previous ones.
    void MarkFind(int i_start);
    // i_lookBack: also whether one starts before the match (after the
    // first match from the start, none does).
    void MarkSearchButtons(bool i_lookBack);

    Ui_ChatLogForm* mp_ui;
    QString m_path;
    QFile m_file;
    qint64 m_loadEnd = 0;
    QByteArray m_pending;
    QStringList m_arrivedWhileLoading;
    bool m_hasParagraphs = false;
    bool m_skipToLineStart = false;
    static qint64 s_mostBytesShown;
    QTimer m_loadTimer;

    SlicedWork m_searchWork;
    SearchGoal m_searchGoal = FIND_FIRST;
    QString m_searchText;
    QTextBlock m_searchBlock;
    int m_searchOffset = 0;
    int m_searchFound = -1;
    // The start of the match shown, whose buttons the probes set.
    int m_matchStart = -1;
    bool m_probePrevious = false;
    bool m_nextFound = false;
};

#endif
