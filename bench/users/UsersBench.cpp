// Figures of the users page through the entry points the program uses: the
// load's DataLoaded (the rows of 5,000 listed users), status changes as the
// server link makes them (the store's "is_online" links, 100 a second in
// real time, with the event loop running so that the page's deferred sorts
// are counted), and the user menu built for a user while the own account
// owns 1,000 private rooms. The page is shown (offscreen).
//
// Then hostile information replies, each within what the messenger's reader
// accepts (a description of up to 128 KiB): shapes filled to that bound,
// rows and cells outside a table of 226 and 452 bytes, and text whose
// script or direction changes at every letter, filled to what a page shows
// (16,384 characters) or to the bound; and 64, 128 and 256 font families
// named by nobody before (nine random letters each, new for every page),
// each around one letter of each of 11 scripts. Each is handed over as the messenger
// does to an information page that asked for it (shown, 1000 x 600): for
// each shape the longest stall of the window's thread from the reply until
// the page shows it, the window thread's processor time for that (measured
// apart, without the probe), the longest stall while the window is made
// narrower (which lays the whole page out again), and the resident memory
// the reply added (first run of a process only); and ten replies
// that nobody asked for, one every 100 ms, with the longest stall and the
// window thread's processor time meanwhile.
//
//   bench_users [runs] [seconds of status changes]
//
// Resident memory grows only while the heap grows, so it is read on the
// first run of a process; run the program once per figure for ranges.

#include "bench/BenchUtil.h"
#include "UsersFixture.h"

#include "ui/users/UserInfoForm.h"
#include "ui/users/UserMenuOptions.h"
#include "ui_UserInfoForm.h"
#include "store/windows/FocusWidget.h"

#include <QElapsedTimer>

#include <cstdio>
#include <functional>
#include <random>

namespace {

int const USERS = bench::Size(5000, 200);
int const ROOMS = bench::Size(1000, 20);
int const CHANGES_PER_SECOND = 100;

struct Program : UsersFixture
{
    using UsersFixture::mp_page;

    // The store as the data file leaves it: listed users in a few groups,
    // some with notes; then the page loads it.
    Program()
    {
        StartManagers();
        DeclareUserNoteType();
        for (int l_k = 0; l_k < USERS; ++l_k) {
            Item const l_user = U(QString("user %1").arg(l_k));
            Item const l_entry = l_user.NewItem("in_user_list");
            l_entry += d["user_list_group"]->GetItem(Value(QString("group %1").arg(l_k % 7)));
            if (l_k % 5 == 0)
                l_user += d["user_note"]->GetItem(Value(QString("note %1\nmore").arg(l_k)));
        }
        mp_page = std::make_unique<UserListForm>();
        mp_page->resize(1000, 600);
        mp_page->show();
        mp_page->Init();
        UserNoteDialog::Init();
    }
    ~Program() { StopPage(); }
};

struct Figures
{
    double m_build = 0;
    long m_memory = 0;
    double m_statusShare = 0;
    double m_menuMs = 0;
    double m_roomsMs = 0;
    double m_menuDownMs = 0;
};

void Measure(double i_seconds, Figures& o_figures)
{
    Program l_program;
    bench::Drain();
    long const l_before = bench::ResidentKiB();
    QElapsedTimer l_clock;
    l_clock.start();
    l_program.mp_page->DataLoaded();
    bench::Drain();
    o_figures.m_build = l_clock.nsecsElapsed() / 1e9;
    o_figures.m_memory = bench::ResidentKiB() - l_before;
    bench::Require(l_program.mp_page->Form()->userList->topLevelItemCount() == USERS, "not every row was built");

    // Status changes of random listed users at their rate, in real time.
    std::mt19937 l_random(7);
    int const l_changes = int(i_seconds * CHANGES_PER_SECOND);
    std::int64_t const l_start = bench::ThreadCpuNs();
    l_clock.restart();
    for (int l_change = 0; l_change < l_changes; ++l_change) {
        Item const l_user = d["user"]->HasItem(Value(QString("user %1").arg(l_random() % USERS)));
        SetFlag(l_user, "is_online", !l_user.IsConnected("is_online"));
        // Idle until the next change is due, as the program is between them.
        qint64 const l_due = qint64(l_change + 1) * 1000 / CHANGES_PER_SECOND;
        QEventLoop l_idle;
        QTimer::singleShot(int(std::max<qint64>(0, l_due - l_clock.elapsed())), &l_idle, &QEventLoop::quit);
        l_idle.exec();
    }
    QEventLoop l_last; // the last deferred sort
    QTimer::singleShot(300, &l_last, &QEventLoop::quit);
    l_last.exec();
    o_figures.m_statusShare = (bench::ThreadCpuNs() - l_start) / 1e9 / (l_clock.nsecsElapsed() / 1e9);

    for (int l_k = 0; l_k < ROOMS; ++l_k) {
        Item const l_room = d["room"]->GetItem(Value(QString("room %1").arg(l_k)));
        SetFlag(l_room, "is_owner", true);
        if (l_k % 2)
            l_room.NewItem("room_members") += d["user"]->GetItem(Value("user 1"));
    }
    // Built (what stands between the click and the menu), its rooms entered
    // as "Private Rooms" opens, then taken down (after the menu has closed).
    int const l_menus = bench::Size(20, 2);
    for (int l_k = 0; l_k < l_menus; ++l_k) {
        auto lp_menu = std::make_unique<QMenu>();
        l_clock.restart();
        auto lp_options = std::make_unique<UserMenuOptions>(lp_menu.get(), "user 1");
        o_figures.m_menuMs += l_clock.nsecsElapsed() / 1e6 / l_menus;
        l_clock.restart();
        emit lp_menu->actions().last()->menu()->aboutToShow();
        o_figures.m_roomsMs += l_clock.nsecsElapsed() / 1e6 / l_menus;
        bench::Require(lp_menu->actions().last()->menu()->actions().size() == ROOMS,
                       "the rooms submenu was not filled");
        l_clock.restart();
        lp_options.reset();
        lp_menu.reset();
        o_figures.m_menuDownMs += l_clock.nsecsElapsed() / 1e6 / l_menus;
    }
}

// The longest description the messenger's reader takes, in characters
// (its bound is 128 KiB of UTF-8).
int const DESCRIPTION = bench::Size(131000, 8000);

struct Shape
{
    char const* mp_name;
    QString m_description;
    // Makes the description anew for each page (a shape whose cost is
    // in what an earlier one left cached).
    std::function<QString()> m_fresh;
};

// What a description shows at most, in characters.
int const SHOWN = bench::Size(16384, 2000);
// A Latin letter, two Hebrew ones, a Han ideograph, an emoji and a
// combining mark.
QString const SCRIPTS = QString::fromUtf8("a\u05e9\u05d1\u6f22\U0001F600\u0301");

// Row and cell tags outside a table, each of which the text view's parser
// makes a table of its own for, inside the one before: i_bytes long.
QString OrphanCells(int i_bytes)
{
    QString const l_unit = QStringLiteral("<td><tr></tr>");
    QString l_text = QStringLiteral("<tr><td></tr>");
    l_text += l_unit.repeated((i_bytes - l_text.size() - 5) / l_unit.size()) + QStringLiteral("<td>x");
    return l_text.leftJustified(i_bytes, 'x');
}

// i_pairs font tags, each naming a family of nine random letters around
// one letter of each of 11 scripts.
QString NewFaces(int i_pairs)
{
    static std::mt19937 s_random(7);
    QString const l_letters = QString::fromUtf8("a\u03b1\u0434\u0561\u05e9\u0639\u0915\u0e01\u6f22\ud55c\u10d0");
    QString l_text;
    for (int l_pair = 0; l_pair < i_pairs; ++l_pair) {
        QString l_face;
        for (int l_k = 0; l_k < 9; ++l_k)
            l_face += QChar('a' + int(s_random() % 26));
        l_text += "<font face=" + l_face + '>' + l_letters + "</font>";
    }
    return l_text;
}

std::vector<Shape> Shapes()
{
    auto const l_fillTo = [](QString const& i_unit, int i_size) { return i_unit.repeated(i_size / i_unit.size()); };
    auto const l_fill = [&l_fillTo](QString const& i_unit) { return l_fillTo(i_unit, DESCRIPTION); };
    return {{"<div> x 26,000", l_fill("<div>")},
            {"<ul><li> x 16,000", l_fill("<ul><li>")},
            {"line feeds x 65,500", l_fill("\n\n")},
            {"one word of 131,000", l_fill("x")},
            {"<b><i><u> x 14,000", l_fill("<b><i><u>")},
            {"short lines", l_fill("a line\n")},
            {"words", l_fill("word ")},
            {"<b>x</b> runs", l_fill("<b>x</b>")},
            {"100-cell table", "<table><tr>" + QString("<td>x").repeated(100) + l_fill("x")},
            {"marks on one letter", "e" + l_fill(QString(QChar(0x0301)))},
            {"marks as entities", "e" + l_fill(QStringLiteral("&#x301;"))},
            {"orphan cells, 226 B", OrphanCells(226)},
            {"orphan cells, 452 B", OrphanCells(452)},
            // Letters whose script or direction changes at almost every one.
            {"scripts to the shown", l_fillTo(SCRIPTS, SHOWN)},
            {"scripts", l_fillTo(SCRIPTS, DESCRIPTION)},
            {"a/alef to the shown", l_fillTo(QString::fromUtf8("a\u05d0"), SHOWN)},
            {"a/alef spaced", l_fillTo(QString::fromUtf8("a \u05d0 "), SHOWN)},
            {"64 new font faces", {}, []() { return NewFaces(64); }},
            {"128 new font faces", {}, []() { return NewFaces(128); }},
            {"256 new font faces", {}, []() { return NewFaces(256); }}};
}

struct ShapeFigures
{
    double m_showMs = 0;
    double m_showCpuMs = 0;
    double m_narrowMs = 0;
    long m_memory = 0;
};

struct ReplyPage : UsersFixture
{
    using UsersFixture::mp_page;

    ReplyPage()
    {
        StartPage();
        mp_page->resize(1000, 600);
        mp_page->show();
        mp_info = mp_page->GetUserInfoForm("peer");
        FocusWidgetAndParents(mp_info);
        bench::Drain();
    }
    ~ReplyPage() { StopPage(); }

    void Reply(QString const& i_description)
    {
        emit mp_messenger->UserInfoReceived("peer", i_description, false, nullptr, 0, 2, 5, true);
    }
    bool Shown() const { return !mp_info->IsAsking(); }

    UserInfoForm* mp_info = nullptr;
};

ShapeFigures MeasureShape(Shape const& i_shape)
{
    auto const l_description = [&i_shape]() { return i_shape.m_fresh ? i_shape.m_fresh() : i_shape.m_description; };
    ShapeFigures l_figures;
    {
        ReplyPage l_page;
        long const l_before = bench::ResidentKiB();
        {
            QString const l_text = l_description();
            bench::StallProbe l_probe;
            l_page.Reply(l_text);
            l_probe.RunUntil([&l_page]() { return l_page.Shown(); });
            bench::Drain();
            l_figures.m_showMs = l_probe.LongestMs();
        }
        l_figures.m_memory = bench::ResidentKiB() - l_before;
        bench::StallProbe l_probe;
        l_page.mp_page->resize(700, 600);
        bench::Drain();
        l_figures.m_narrowMs = l_probe.LongestMs();
    }
    // The processor time of the showing, on a page of its own, without the
    // probe spinning the loop: the figure a busy machine disturbs least.
    ReplyPage l_quiet;
    QString const l_text = l_description();
    std::int64_t const l_start = bench::ThreadCpuNs();
    l_quiet.Reply(l_text);
    while (!l_quiet.Shown())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    bench::Drain();
    l_figures.m_showCpuMs = (bench::ThreadCpuNs() - l_start) / 1e6;
    return l_figures;
}

// Ten replies nobody asked for, one every 100 ms, to a page that shows its
// own already: what handling each took the window's thread (the reply
// handed over and what it posted run), the longest and in all, in
// processor time.
void MeasureUnasked(double& o_longestMs, double& o_totalMs)
{
    ReplyPage l_page;
    l_page.Reply("asked for");
    bench::Require(l_page.Shown(), "the asked-for reply was not shown");
    QString const l_description = QString("<div>").repeated(DESCRIPTION / 5);
    QElapsedTimer l_clock;
    l_clock.start();
    o_longestMs = o_totalMs = 0;
    for (int l_reply = 0; l_reply < 10; ++l_reply) {
        std::int64_t const l_start = bench::ThreadCpuNs();
        l_page.Reply(l_description);
        bench::Drain();
        double const l_ms = (bench::ThreadCpuNs() - l_start) / 1e6;
        o_longestMs = std::max(o_longestMs, l_ms);
        o_totalMs += l_ms;
        QEventLoop l_idle;
        QTimer::singleShot(int(std::max<qint64>(0, (l_reply + 1) * 100 - l_clock.elapsed())), &l_idle,
                           &QEventLoop::quit);
        l_idle.exec();
    }
}

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_app(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(3, 1));
    double const l_seconds = argc > 2 ? std::max(0.1, atof(argv[2])) : bench::Size(5.0, 0.2);
    std::printf("%s%d listed users, %d status changes a second for %.1f s, %d owned private rooms; %d runs; "
                "warm cache (all in memory)\n",
                bench::Quick() ? "quick mode, figures mean nothing: " : "", USERS, CHANGES_PER_SECOND, l_seconds, ROOMS,
                l_runs);
    std::printf("  build list s | list memory KiB | status changes, core %% | user menu built ms | rooms shown ms"
                " | taken down ms\n");
    for (int l_run = 0; l_run < l_runs; ++l_run) {
        Figures l_figures;
        Measure(l_seconds, l_figures);
        std::printf("  %12.3f | %15s | %22.1f | %18.2f | %14.2f | %13.2f\n", l_figures.m_build,
                    l_run == 0 ? qPrintable(QString::number(l_figures.m_memory)) : "-",
                    100.0 * l_figures.m_statusShare, l_figures.m_menuMs, l_figures.m_roomsMs, l_figures.m_menuDownMs);
    }

    std::printf("\nhostile information replies of %d characters, each to a page of its own; longest stall ms "
                "(the probe spins the loop)\n",
                DESCRIPTION);
    std::printf("  %-22s | %s\n", "shape",
                "each run: shown, stall ms; shown, processor ms; made narrower, stall ms; memory KiB");
    for (Shape const& l_shape : Shapes()) {
        std::printf("  %-22s |", l_shape.mp_name);
        for (int l_run = 0; l_run < l_runs; ++l_run) {
            ShapeFigures const l_f = MeasureShape(l_shape);
            std::printf(" %5.1f %5.1f %5.1f %5ld |", l_f.m_showMs, l_f.m_showCpuMs, l_f.m_narrowMs, l_f.m_memory);
        }
        std::printf("\n");
    }
    for (int l_run = 0; l_run < l_runs; ++l_run) {
        double l_longest = 0, l_total = 0;
        MeasureUnasked(l_longest, l_total);
        std::printf("  ten unasked replies: window thread's processor time %.2f ms at most for one, %.2f ms in all\n",
                    l_longest, l_total);
    }
    return 0;
}
