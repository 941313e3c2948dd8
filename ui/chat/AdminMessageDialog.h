#ifndef QUILLMAR_UI_CHAT_ADMINMESSAGEDIALOG_H
#define QUILLMAR_UI_CHAT_ADMINMESSAGEDIALOG_H

#include <QDialog>
#include <QTimer>

#include <deque>

class Ui_AdminMessageDialog;

// The administrators' messages, each with the local time it arrived: one
// dialog for all of them, deleted when closed (the main window makes it for
// the first message and hands it the next ones). It shows the newest; the
// last KEPT_MESSAGES are listed, newest first, for the user to read again.
// A message may be markup and is shown as such, within the bounds of
// OutsideMarkup::SafeHtml, and nothing it names (an image, a style sheet) is
// ever loaded, from the disk, the program's resources or the network.
class AdminMessageDialog : public QDialog
{
    Q_OBJECT

public:
    static constexpr int KEPT_MESSAGES = 20;
    // A flood of messages is shown at most this often: each showing lays out
    // a message.
    static constexpr int SHOW_INTERVAL_MS = 200;

    AdminMessageDialog(QString const& i_text, QWidget* ip_parent = nullptr);
    ~AdminMessageDialog() override;

    // Another message: listed at once, shown shortly.
    void AddMessage(QString const& i_text);
    // The messages received since the dialog opened.
    int ReceivedCount() const { return m_received; }

    Ui_AdminMessageDialog* Form() const { return mp_ui; }

private:
    struct Message
    {
        QString m_text;
        QString m_time;
    };

    // Shows the message at that place of the list (0: the newest).
    void ShowMessage(int i_index);
    void ShowNewest();

    Ui_AdminMessageDialog* mp_ui;
    // Newest first, as listed.
    std::deque<Message> m_messages;
    int m_received = 0;
    QTimer m_showTimer;
};

#endif
