#ifndef QUILLMAR_APP_NEWVERSIONDIALOG_H
#define QUILLMAR_APP_NEWVERSIONDIALOG_H

#include <QDialog>
#include <QStringList>

class Ui_NewVersionDialog;

// Announces a newer build: this build and the new one, the release notes,
// and the choice to skip the new build or to download it.
class NewVersionDialog : public QDialog
{
    Q_OBJECT

public:
    NewVersionDialog(qint64 i_version, QString const& i_downloadLink, QStringList const& i_description,
                     QWidget* ip_parent = nullptr);
    ~NewVersionDialog() override;

    Ui_NewVersionDialog* Form() const { return mp_ui; }
    // "Build M/D/YYYY".
    static QString BuildText(qint64 i_version);

public slots:
    void OnDownloadButtonClicked();
    void OnSkipButtonClicked();

private:
    Ui_NewVersionDialog* mp_ui;
    qint64 m_version;
    QString m_downloadLink;
};

#endif
