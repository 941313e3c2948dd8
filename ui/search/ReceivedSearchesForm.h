#ifndef QUILLMAR_UI_SEARCH_RECEIVEDSEARCHESFORM_H
#define QUILLMAR_UI_SEARCH_RECEIVEDSEARCHESFORM_H

#include <QWidget>

class Ui_ReceivedSearchesForm;

// The searches other users' clients send us, newest at the top, marked
// "Match" when our shares answered them; at most MAX_ROWS rows. The tool
// bar's "pause_unpause" stops the list (searches arriving meanwhile are
// dropped, not kept for later). Nothing of it is saved.
class ReceivedSearchesForm : public QWidget
{
    Q_OBJECT

public:
    static constexpr int MAX_ROWS = 500;

    explicit ReceivedSearchesForm(QWidget* ip_parent = nullptr);
    ~ReceivedSearchesForm() override;

    void Init();

    bool IsPaused() const { return m_paused; }

public slots:
    void OnSearchProcessed(QString i_search, bool i_match);
    void OnActionTriggered(QWidget* ip_widget, QString i_action);

private:
    Ui_ReceivedSearchesForm* mp_ui;
    bool m_paused = false;
};

extern ReceivedSearchesForm* receivedSearchesForm;

#endif
