#ifndef QUILLMAR_UI_TRANSFERS_COMPLETEDOWNLOADSFORM_H
#define QUILLMAR_UI_TRANSFERS_COMPLETEDOWNLOADSFORM_H

#include "store/Data.h"

#include <QDateTime>
#include <QTreeWidgetItem>
#include <QWidget>

class Ui_CompleteDownloadsForm;

// A row of the completed downloads, ordered by its completion time. The
// time is read once, when the row is made: the stored text follows the
// system locale and may not read back, and a row whose text does not gets
// the time it was added instead. Rows of the same time keep the order in
// which they were added.
class CompleteDownloadItem : public QTreeWidgetItem
{
public:
    CompleteDownloadItem(QTreeWidget* ip_tree, QDateTime const& i_time);

    bool operator<(QTreeWidgetItem const& i_other) const override;

private:
    QDateTime m_time;
    quint64 m_sequence;
};

// The "Complete" tab of the Transfers page: the downloads that finished
// in this run, newest first. It has no commands.
class CompleteDownloadsForm : public QWidget
{
    Q_OBJECT

public:
    explicit CompleteDownloadsForm(QWidget* ip_parent = nullptr);
    ~CompleteDownloadsForm() override;

    // Declares the row binding and follows the engine's completions.
    void Init();

    QTreeWidget* List() const;

public slots:
    void OnCompleteDownloadAdded(Item i_download);

private:
    void AddRow(Item const& i_download);

    Ui_CompleteDownloadsForm* mp_ui;
};

extern CompleteDownloadsForm* completeDownloadsForm;

#endif
