#ifndef QUILLMAR_APP_UPDATECHECKER_H
#define QUILLMAR_APP_UPDATECHECKER_H

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

class QNetworkReply;

// Once per run, after the first login, fetches the version file from the
// network's web host and announces a build that is newer than this one and
// than the build the user chose to skip ("skip_version"). The file: line 1
// the build as YYYYMMDD, line 2 the download's base address, line 3 the file
// name stem, then one release note per line.
class UpdateChecker : public QObject
{
    Q_OBJECT

public:
    // A version file larger than this is no version file.
    static constexpr qint64 MAX_FILE_SIZE = 64 * 1024;

    explicit UpdateChecker(QObject* ip_parent = nullptr);

    // Follows the server link's logins.
    void Init();
    // Sends the one request of the run; later calls do nothing.
    void CheckForNewVersion();
    bool WasSent() const { return m_sent; }
    // Requests made in this run, counted where they are made.
    int RequestCount() const { return m_requests; }

    // The version file's address: http://<web host>/qtversion.txt. Tests
    // point it at a server of their own.
    static QUrl VersionFileUrl();
    static void SetVersionFileUrl(QUrl const& i_url);

    // Reads a version file; false when it announces nothing newer than both
    // builds or is malformed.
    static bool ParseVersionFile(QByteArray const& i_body, qint64 i_currentVersion, qint64 i_skipVersion,
                                 qint64& o_version, QString& o_downloadLink, QStringList& o_description);

signals:
    void NewVersion(qint64 i_version, QString i_downloadLink, QStringList i_description);

public slots:
    void OnRequestFinished();

private:
    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> mp_reply;
    bool m_sent = false;
    int m_requests = 0;
};

#endif
