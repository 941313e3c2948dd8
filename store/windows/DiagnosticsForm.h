#ifndef QUILLMAR_STORE_WINDOWS_DIAGNOSTICSFORM_H
#define QUILLMAR_STORE_WINDOWS_DIAGNOSTICSFORM_H

// The diagnostics window: one tab per log category. The main window shows
// it as its "Diagnostics" page while "show_diagnostics" is "yes".

#include <QString>
#include <QStringList>
#include <QWidget>

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

    // Appends a formatted line to the category's tab (made on first use).
    void AddLine(QString const& i_category, QString const& i_line);
    QStringList Categories() const;
    QString CategoryText(QString const& i_category) const;

    // Lines kept per tab; older ones scroll away.
    static constexpr int MAX_LINES_PER_TAB = 20000;

public slots:
    // Connected by the shell to the action tool bar.
    void OnActionTriggered(QWidget* ip_widget, QString i_action);

signals:
    // "dump_data": the shell, when it listens, opens the store browser;
    // without it the form opens the browser itself.
    void DataBrowserRequested();

private:
    QTabWidget* mp_tabs;
    std::map<QString, QPlainTextEdit*> m_views;
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
