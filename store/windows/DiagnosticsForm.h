#ifndef QUILLMAR_STORE_WINDOWS_DIAGNOSTICSFORM_H
#define QUILLMAR_STORE_WINDOWS_DIAGNOSTICSFORM_H

// The diagnostics window: one tab per log category. The main window shows
// it as its "Diagnostics" page while "show_diagnostics" is "yes".
//
// Lines come far faster than a text view lays them out (a room join of
// 100,000 members logs a line for each): a tab takes them into a list of
// its own, and only the tab in view lays out at most LINES_PER_TURN of them
// at a time, from a timer. A tab keeps MAX_LINES_PER_TAB lines, waiting
// ones included; the older ones that scroll away before they are shown are
// counted in a line in their place.
//
// A line's layout costs with its length, and far more where a peer's name
// mixes scripts (200 lines of 1,024 letters alternating two scripts took
// 0.4 s): lines are laid out in pieces of at most about CHUNK_CHARS
// characters, and a turn ends once the window's slice is used, after one
// piece at least. The view shows the first SHOWN_CHARS characters of a
// line, then "…": shaping a whole line of a thousand mixed letters took
// 2 ms, and a page of them was laid out at every paint. A line waits in
// that form too; the log file keeps the whole line.

#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <map>
#include <string>

class QPlainTextEdit;
class QTabWidget;

class DiagnosticsForm : public QWidget
{
    Q_OBJECT

public:
    explicit DiagnosticsForm(QWidget* ip_parent = nullptr);
    ~DiagnosticsForm() override;

    // Declares the log types and adds the "diagnostics" tool-bar set (through
    // the shell's hook, once it is set).
    void Init();
    // Lets items of the type hold log entries.
    void RegisterLoggableItemType(std::string const& i_type);

    // Appends formatted lines (joined by line breaks) to the category's
    // tab, made on first use; they are laid out later.
    void AddLine(QString const& i_category, QString const& i_lines);
    QStringList Categories() const;
    // What the tab shows and the lines it has still to show.
    QString CategoryText(QString const& i_category) const;
    // The lines the category's tab has still to show.
    std::size_t PendingLines(QString const& i_category) const;
    // Lays out the next lines of the tabs in view, at most LINES_PER_TURN,
    // a piece at a time until the window's slice is used (SlicedWork); the
    // form's timer calls it until they have shown all.
    void ShowPendingLines();

    // Lines kept per tab; older ones scroll away.
    static constexpr int MAX_LINES_PER_TAB = 20000;
    static constexpr int LINES_PER_TURN = 200;
    static constexpr int CHUNK_CHARS = 2048;
    static constexpr int SHOWN_CHARS = 256;
    static constexpr int SHOW_INTERVAL_MS = 50;

protected:
    void showEvent(QShowEvent* ip_event) override;

public slots:
    // Connected by the shell to the action tool bar.
    void OnActionTriggered(QWidget* ip_widget, QString i_action);

signals:
    // "dump_data": the shell, when it listens, opens the store browser;
    // without it the form opens the browser itself.
    void DataBrowserRequested();

private:
    struct Tab
    {
        QPlainTextEdit* mp_view = nullptr;
        std::deque<QString> m_pending;
        quint64 m_skipped = 0;
    };

    // Runs the timer while a tab in view has lines to show.
    void ShowLater();

    QTabWidget* mp_tabs;
    std::map<QString, Tab> m_tabs;
    QTimer m_showTimer;
    bool m_initialised = false;

    friend void SetDiagnosticsToolBarHook(void (*)(DiagnosticsForm*));
};

extern DiagnosticsForm* diagnosticsForm;

// The action tool bar belongs to the shell, which the store library must not
// depend on. The shell sets this hook; it is called with the form once the
// form is initialised (at once if that already happened) and should add the
// "diagnostics" set with its "dump_data" action, register the form under it
// and connect the bar's ActionTriggered to OnActionTriggered. Null means no
// tool bar.
typedef void (*DiagnosticsToolBarHook)(DiagnosticsForm* ip_form);
void SetDiagnosticsToolBarHook(DiagnosticsToolBarHook i_hook);

#endif
