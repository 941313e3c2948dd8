// Figures of the upload queue with 10,000 queued uploads from 1,000 users,
// through the slots the peer messenger's signals call:
//   1. admission: 10,000 queue requests (each user asks for 10 of 1,000
//      shared files; 5 % of the users are privileged and 2 % in a group of
//      higher priority, so some entries go ahead of the last one placed);
//   2. StartNewUploads with one free slot and every user online: one offer
//      and a renumbering of every candidate (the offered entry is then set
//      "denied" outside the clock, so that each call renumbers all);
//   3. answering a place-in-line request.
// No peer connects, so the messages wait in the peer messenger's queue.
// Memory is resident memory. Usage: bench_upload_queue

#include "bench/BenchUtil.h"
#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "server/StoreTypes.h"
#include "shares/SharedFoldersManager.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

namespace {

int const USERS = bench::Size(1000, 50);
constexpr int FILES = 1000;
constexpr int REQUESTS_PER_USER = 10;

double Median(std::vector<double> i_values)
{
    std::sort(i_values.begin(), i_values.end());
    return i_values[i_values.size() / 2];
}

} // namespace

int main(int i_argc, char** ip_argv)
{
    QCoreApplication l_application(i_argc, ip_argv);
    QTemporaryDir l_dir;
    DeclareSettingsTypes();
    Server l_server;
    l_server.CreateData();
    PeerMessenger l_messenger;
    SharedFoldersManager l_shares;
    TransferQueueManager l_manager;

    for (int l_k = 0; l_k < FILES; ++l_k) {
        QString const l_path = l_dir.filePath(QString("Share/Album %1/Track %2.mp3").arg(l_k / 10).arg(l_k));
        QDir().mkpath(QFileInfo(l_path).path());
        QFile l_file(l_path);
        l_file.open(QIODevice::WriteOnly);
        l_file.write("x");
    }
    d.GetType("shared_public")->GetGlobalNullItem() += l_shares.AddSharedFolder(l_dir.filePath("Share"));
    while (l_shares.IsBusy())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QString const l_remote = l_dir.filePath("Share").replace('/', '\\');

    std::mt19937 l_random(5);
    Item const l_group = d.GetType("user_list_group")->GetItem(Value("friends"));
    SetAttribute(l_group, "group_download_priority", Value(3));
    std::vector<std::pair<QString, QString>> l_requests;
    for (int l_user = 0; l_user < USERS; ++l_user) {
        QString const l_name = QString("user%1").arg(l_user);
        Item const l_item = d.GetType("user")->GetItem(Value(l_name));
        SetFlag(l_item, "is_privileged", l_user % 20 == 7);
        if (l_user % 50 == 3)
            l_item.NewItem("in_user_list") += l_group;
        std::vector<int> l_files(FILES);
        for (int l_k = 0; l_k < FILES; ++l_k)
            l_files[l_k] = l_k;
        std::shuffle(l_files.begin(), l_files.end(), l_random);
        for (int l_k = 0; l_k < REQUESTS_PER_USER; ++l_k)
            l_requests.emplace_back(l_name, QString("%1\\Album %2\\Track %3.mp3")
                                                .arg(l_remote)
                                                .arg(l_files[l_k] / 10)
                                                .arg(l_files[l_k]));
    }
    std::shuffle(l_requests.begin(), l_requests.end(), l_random);

    long const l_before = bench::ResidentKiB();
    QElapsedTimer l_clock;
    std::vector<double> l_admissions;
    for (auto const& l_request : l_requests) {
        l_clock.start();
        emit l_messenger.QueueUploadRequested(l_request.first, l_request.second);
        l_admissions.push_back(double(l_clock.nsecsElapsed()) / 1e3);
    }
    double l_total = 0;
    for (double l_time : l_admissions)
        l_total += l_time;
    std::printf("admission: %d requests in %.0f ms, median %.1f us, max %.1f ms; %d queued, resident memory "
                "+%ld KiB\n",
                int(l_requests.size()), l_total / 1000, Median(l_admissions),
                *std::max_element(l_admissions.begin(), l_admissions.end()) / 1000, l_manager.QueuedUploadCount(),
                bench::ResidentKiB() - l_before);

    SetSetting("upload_slots", qint64(0));
    for (int l_user = 0; l_user < USERS; ++l_user)
        SetFlag(d.GetType("user")->GetItem(Value(QString("user%1").arg(l_user))), "is_online", true);
    SetSetting("upload_slots", qint64(1));
    std::vector<double> l_starts;
    for (int l_round = 0; l_round < 21; ++l_round) {
        l_clock.restart();
        l_manager.StartNewUploads();
        l_starts.push_back(double(l_clock.nsecsElapsed()) / 1e6);
        Item const l_offered = d.GetType("upload_entry_status")->GetItem(Value("requesting"))["upload_entry"];
        l_manager.SetUploadEntryStatus(l_offered, "denied");
    }
    std::printf("StartNewUploads with %d candidates: median %.2f ms, min %.2f ms, max %.2f ms\n",
                l_manager.QueuedUploadCount(), Median(l_starts), *std::min_element(l_starts.begin(), l_starts.end()),
                *std::max_element(l_starts.begin(), l_starts.end()));

    std::vector<double> l_places;
    for (int l_round = 0; l_round < 1000; ++l_round) {
        auto const& l_request = l_requests[std::size_t(l_round) * 7 % l_requests.size()];
        l_clock.restart();
        emit l_messenger.UploadPlaceInLineRequested(l_request.first, l_request.second);
        l_places.push_back(double(l_clock.nsecsElapsed()) / 1e3);
    }
    std::printf("place in line: median %.1f us, max %.1f us\n", Median(l_places),
                *std::max_element(l_places.begin(), l_places.end()));
    std::printf("resident memory at the end: %ld MiB\n", bench::ResidentKiB() / 1024);
    return 0;
}
