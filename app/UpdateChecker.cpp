#include "app/UpdateChecker.h"

#include "ui/widgets/Globals.h"
#include "server/Server.h"
#include "store/Settings.h"

#include <QBuffer>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

QUrl& VersionUrl()
{
    static QUrl s_url(QStringLiteral("http://%1/qtversion.txt").arg(QLatin1String(g_webHost)));
    return s_url;
}

} // namespace

UpdateChecker::UpdateChecker(QObject* ip_parent)
    : QObject(ip_parent)
{
}

void UpdateChecker::Init()
{
    if (gp_server)
        connect(gp_server, &Server::Connected, this, &UpdateChecker::CheckForNewVersion);
}

QUrl UpdateChecker::VersionFileUrl()
{
    return VersionUrl();
}

void UpdateChecker::SetVersionFileUrl(QUrl const& i_url)
{
    VersionUrl() = i_url;
}

void UpdateChecker::CheckForNewVersion()
{
    // Only the first login of a run asks; reconnections do not.
    if (m_sent)
        return;
    QNetworkRequest l_request(VersionFileUrl());
    l_request.setTransferTimeout(30000);
    mp_reply = m_network.get(l_request);
    ++m_requests;
    connect(mp_reply, &QNetworkReply::finished, this, &UpdateChecker::OnRequestFinished);
    connect(mp_reply, &QNetworkReply::downloadProgress, mp_reply, [this](qint64 i_received, qint64) {
        if (i_received > MAX_FILE_SIZE && mp_reply)
            mp_reply->abort();
    });
    m_sent = true;
}

void UpdateChecker::OnRequestFinished()
{
    QNetworkReply* lp_reply = qobject_cast<QNetworkReply*>(sender());
    if (!lp_reply)
        return;
    lp_reply->deleteLater();
    // Failures end the check silently; it is not repeated in this run.
    if (lp_reply != mp_reply || lp_reply->error() != QNetworkReply::NoError)
        return;
    qint64 l_version = 0;
    QString l_link;
    QStringList l_notes;
    if (ParseVersionFile(lp_reply->read(MAX_FILE_SIZE), g_currentVersion,
                         GetSetting("skip_version").trimmed().toLongLong(), l_version, l_link, l_notes))
        emit NewVersion(l_version, l_link, l_notes);
}

bool UpdateChecker::ParseVersionFile(QByteArray const& i_body, qint64 i_currentVersion, qint64 i_skipVersion,
                                     qint64& o_version, QString& o_downloadLink, QStringList& o_description)
{
    QByteArray l_text = i_body;
    int const l_nul = l_text.indexOf('\0');
    if (l_nul >= 0)
        l_text.truncate(l_nul);
    QBuffer l_buffer(&l_text);
    l_buffer.open(QIODevice::ReadOnly);
    auto l_readLine = [&l_buffer]() { return QString::fromLatin1(l_buffer.readLine()).trimmed(); };

    bool l_ok = false;
    o_version = l_readLine().toLongLong(&l_ok);
    if (!l_ok)
        o_version = 0;
    if (o_version <= i_skipVersion || o_version <= i_currentVersion)
        return false;
    QString const l_base = l_readLine();
    QString const l_stem = l_readLine();
    if (l_base.isEmpty() || l_stem.isEmpty())
        return false;
    o_description.clear();
    // Only lines that end with a line feed; text after the last is not read.
    while (l_buffer.canReadLine())
        o_description << l_readLine();
    o_downloadLink = l_base + QStringLiteral("/Linux/") + l_stem + QStringLiteral("-64bit.tgz");
    return true;
}
