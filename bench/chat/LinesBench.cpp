// Figures of what one line or ticker from others costs the window, through
// the entry points the program uses: the server link's Apply of each
// decoded message (room lines, one user's ticker; a room's tickers decoded
// from their payload first, as the link decodes a frame) and the
// private chat pages' AddIncomingChat, which the window calls for each
// private message. The room page (with its chat view) and the wall are
// shown at 1,000 x 600 and the private page at 800 x 600 on the offscreen
// platform, so layout and painting count.
//
// Shapes: one word of 65,500 and of 131,000 letters; 30 such words as 30
// lines in a row; Latin and Hebrew letters in turn (a change of script and
// direction at every letter), 65,500 and 131,000 characters; a long line
// logged while the room's log viewer is open, and the viewer opened on a
// log that holds one (shown at 800 x 600, its reading included); a line of
// 290 web addresses (cut at 4,096 characters) in a room and in a private
// chat, one of 455 short ones (each after a line and half a second), and
// the 290 addresses once a second for 20 s in a room; on the wall
// one ticker of a 131,000-letter word, five of them, a room's tickers of
// 20,000 and of 270,000 users, and 2,000 users setting a ticker at 20 a
// second for five seconds.
//
// Each shape runs twice: once with bench::StallProbe for the longest stall
// of the window's thread (and, in brackets, the most processor time the
// thread itself used between two turns of its loop, which a busy machine
// does not stretch; the probe spins the loop), once without it for
// the thread's processor time, each until the view or wall has shown it all
// (the chat view paints a burst after 100 ms, the wall draws at most every
// 250 ms). Resident memory is what the shape added, read after it (the
// first run of a process; after a warm-up shape) and its peak over the
// shape's pass.
//
//   bench_chat_lines [runs] [lines|wall|all] [pattern]
//
// (the second: only those shapes; the third: only the shapes whose names
// the regular expression matches)

#include "bench/BenchUtil.h"
#include "RoomsFixture.h"

#include "server/ServerCodes.h"
#include "server/ServerMessages.h"
#include "store/MemStream.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/ChatsForm.h"
#include "ui/chat/RoomWallForm.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTabWidget>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

int const LONG = bench::Size(131000, 13100);
int const TICKERS = bench::Size(20000, 2000);
int const MANY_TICKERS = bench::Size(270000, 27000);
int const SETTERS = bench::Size(2000, 200);
int const SET_PER_SECOND = 20;
int const SET_SECONDS = bench::Size(5, 1);

QString Word(int i_letters)
{
    return QString(i_letters, 'w');
}

QString InTurn(int i_characters)
{
    return QString::fromUtf8("a\xd7\x90").repeated(i_characters / 2);
}

// "http://h0.e/ http://h1.e/ ...": each address a link of its own.
QString Addresses(int i_count)
{
    QStringList l_addresses;
    for (int l_k = 0; l_k < i_count; ++l_k)
        l_addresses << QStringLiteral("http://h%1.e/").arg(l_k);
    return l_addresses.join(' ');
}

int const ADDRESS_SECONDS = bench::Size(20, 2);

// Half a second of the event loop: long enough for the chat views to have
// painted what came before.
void QuietSpell()
{
    QEventLoop l_loop;
    QTimer::singleShot(500, &l_loop, &QEventLoop::quit);
    l_loop.exec();
}

struct Program : RoomsFixture
{
    Program()
    {
        // As StartPage, without waiting for the window to become active
        // (the offscreen platform makes none active).
        StartChat();
        mp_bar->Init();
        DeclareUserNoteType();
        mp_page = std::make_unique<RoomsForm>();
        mp_page->resize(1000, 600);
        mp_page->Init();
        mp_page->show();
        mp_room = Join(QStringLiteral("lobby"));
        bench::Require(mp_room != nullptr, "the room page did not come");
        mp_chats = std::make_unique<ChatsForm>();
        mp_chats->Init();
        mp_chats->resize(800, 600);
        mp_chats->show();
        mp_chats->GetChatForm(QStringLiteral("peer"));
        bench::Drain();
    }
    ~Program()
    {
        mp_wall.reset();
        mp_logTabs.reset();
        mp_chats.reset();
        QFile::remove(ChatLogPath(ChatLogKind::ROOM, QStringLiteral("lobby"), QDir::homePath()));
        StopPage();
    }

    // The room's log viewer, as a tab of its own, once it has read the log.
    void OpenLog()
    {
        mp_logTabs = std::make_unique<QTabWidget>();
        mp_logTabs->resize(800, 600);
        mp_logTabs->show();
        ChatLogForm* lp_viewer = ChatLogForm::Open(ChatLogKind::ROOM, QStringLiteral("lobby"), mp_logTabs.get());
        while (lp_viewer->IsLoading())
            QCoreApplication::processEvents();
    }

    void OpenWall()
    {
        mp_wall = std::make_unique<RoomWallForm>(QStringLiteral("lobby"));
        mp_wall->resize(1000, 600);
        mp_wall->show();
        Settle();
    }

    static constexpr qint64 SHOWN_MS = 400;
    bool Settled() const
    {
        return !mp_server->IsApplying() && (!mp_wall || !mp_wall->IsDrawing()) && m_shown.isValid() &&
               m_shown.elapsed() > SHOWN_MS;
    }
    // Until the link has applied all, the wall has drawn it, and the chat
    // views have painted their bursts (held for up to 300 ms). Only the
    // clock ends the last of these, and no event marks that moment: a timer
    // does; without it the wait lasted until the next event of any kind, in
    // a quiet program the timer manager's tick half a minute on.
    void Settle()
    {
        m_shown.start();
        QTimer l_due;
        l_due.setSingleShot(true);
        while (!Settled()) {
            qint64 const l_left = SHOWN_MS + 1 - m_shown.elapsed();
            if (l_left > 0 && !l_due.isActive())
                l_due.start(int(l_left));
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        bench::TurnLoop();
    }

    RoomForm* mp_room = nullptr;
    std::unique_ptr<ChatsForm> mp_chats;
    std::unique_ptr<RoomWallForm> mp_wall;
    std::unique_ptr<QTabWidget> mp_logTabs;
    QElapsedTimer m_shown;
};

struct Figures
{
    std::vector<double> m_stall, m_ownStall, m_cpu;
    std::vector<double> m_memory, m_peak;
};

// One shape: i_send sends it all; i_wall: with the wall open.
void Measure(char const* ip_name, bool i_wall, std::function<void(Program&)> const& i_send, Figures& io_figures)
{
    double l_stall = 0;
    double l_ownStall = 0;
    double l_cpu = 0;
    long l_memory = 0;
    long l_peak = 0;
    // Quick mode only sees that each shape completes: one pass.
    std::vector<bool> const l_passes = bench::Quick() ? std::vector<bool>{true} : std::vector<bool>{true, false};
    for (bool const l_probed : l_passes) {
        Program l_program;
        if (i_wall)
            l_program.OpenWall();
        bench::ResetPeak();
        long const l_before = bench::ResidentKiB();
        if (l_probed) {
            bench::StallProbe l_probe;
            i_send(l_program);
            l_program.m_shown.start();
            l_stall = l_probe.RunUntil([&l_program]() { return l_program.Settled(); });
            l_ownStall = l_probe.LongestCpuMs();
            continue;
        }
        std::int64_t const l_start = bench::ThreadCpuNs();
        i_send(l_program);
        l_program.Settle();
        l_cpu = (bench::ThreadCpuNs() - l_start) / 1e6;
        l_memory = bench::ResidentKiB() - l_before;
        l_peak = bench::ResidentKiB("VmHWM:") - l_before;
    }
    io_figures.m_stall.push_back(l_stall);
    io_figures.m_ownStall.push_back(l_ownStall);
    io_figures.m_cpu.push_back(l_cpu);
    io_figures.m_memory.push_back(double(l_memory));
    io_figures.m_peak.push_back(double(l_peak));
    std::printf("  %-46s | %9.1f | %9.1f | %9.1f | %9ld | %9ld\n", ip_name, l_stall, l_ownStall, l_cpu, l_memory,
                l_peak);
    std::fflush(stdout);
}

void RoomLines(Program& io_program, QString const& i_text, int i_lines)
{
    for (int l_line = 0; l_line < i_lines; ++l_line)
        io_program.mp_server->Apply(ServerIn::RoomChat{QStringLiteral("lobby"), QStringLiteral("peer"), i_text});
}

// The payload of a room's tickers (214) as the server sends it: string
// room, u32 n, n x (string user, string text); made before the measuring
// starts.
QByteArray TickersPayload(int i_tickers)
{
    QByteArray l_payload;
    auto const l_u32 = [&l_payload](quint32 i_value) {
        for (int l_byte = 0; l_byte < 4; ++l_byte)
            l_payload += char((i_value >> (8 * l_byte)) & 0xff);
    };
    auto const l_string = [&](QString const& i_text) {
        QByteArray const l_bytes = i_text.toUtf8();
        l_u32(quint32(l_bytes.size()));
        l_payload += l_bytes;
    };
    l_string(QStringLiteral("lobby"));
    l_u32(quint32(i_tickers));
    for (int l_k = 0; l_k < i_tickers; ++l_k) {
        l_string(QStringLiteral("user%1").arg(l_k));
        l_string(QStringLiteral("ticker of user %1").arg(l_k));
    }
    return l_payload;
}

// The payload decoded as the link decodes a frame, and applied.
void ApplyTickers(Program& io_program, QByteArray const& i_payload)
{
    MemStream l_in(i_payload);
    io_program.mp_server->Apply(DecodeServerMessage(quint32(ServerCode::ROOM_TICKERS), l_in));
}

// SET_PER_SECOND tickers a second, each of another of SETTERS users, from a
// timer, as they arrive from a busy room: run for SET_SECONDS.
void SetTickers(Program& io_program)
{
    static QByteArray const s_first = TickersPayload(SETTERS);
    ApplyTickers(io_program, s_first);
    QElapsedTimer l_clock;
    QTimer l_sender;
    QEventLoop l_loop;
    int l_sent = 0;
    int const l_total = SET_SECONDS * SET_PER_SECOND;
    l_sender.setTimerType(Qt::PreciseTimer);
    l_sender.setInterval(1000 / SET_PER_SECOND);
    QObject::connect(&l_sender, &QTimer::timeout, [&]() {
        io_program.mp_server->Apply(ServerIn::RoomTickerSet{QStringLiteral("lobby"),
                                                            QStringLiteral("user%1").arg((l_sent * 7919) % SETTERS),
                                                            QStringLiteral("now %1").arg(l_sent)});
        if (++l_sent == l_total)
            l_loop.quit();
    });
    l_clock.start();
    l_sender.start();
    l_loop.exec();
}

// The same line of many addresses once a second, each after a quiet spell,
// for ADDRESS_SECONDS.
void AddressesEverySecond(Program& io_program)
{
    QString const l_line = Addresses(290);
    QTimer l_sender;
    QEventLoop l_loop;
    int l_sent = 0;
    l_sender.setTimerType(Qt::PreciseTimer);
    l_sender.setInterval(1000);
    QObject::connect(&l_sender, &QTimer::timeout, [&]() {
        RoomLines(io_program, l_line, 1);
        if (++l_sent == ADDRESS_SECONDS)
            l_loop.quit();
    });
    RoomLines(io_program, l_line, 1);
    ++l_sent;
    l_sender.start();
    l_loop.exec();
}

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_app(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(3, 1));
    QString const l_only = argc > 2 ? QString(argv[2]) : QString();
    int const l_half = LONG / 2;

    struct Shape
    {
        QString m_name;
        bool m_wall;
        std::function<void(Program&)> m_send;
    };
    std::vector<Shape> l_shapes;
    if (l_only != "wall") {
        l_shapes.push_back({QStringLiteral("room: a word of %1").arg(l_half), false,
                            [l_half](Program& io_p) { RoomLines(io_p, Word(l_half), 1); }});
        l_shapes.push_back({QStringLiteral("room: a word of %1").arg(LONG), false,
                            [](Program& io_p) { RoomLines(io_p, Word(LONG), 1); }});
        l_shapes.push_back({QStringLiteral("room: 30 lines, each a word of %1").arg(LONG), false,
                            [](Program& io_p) { RoomLines(io_p, Word(LONG), 30); }});
        l_shapes.push_back({QStringLiteral("room: Latin and Hebrew, %1").arg(l_half), false,
                            [l_half](Program& io_p) { RoomLines(io_p, InTurn(l_half), 1); }});
        l_shapes.push_back({QStringLiteral("room: Latin and Hebrew, %1").arg(LONG), false,
                            [](Program& io_p) { RoomLines(io_p, InTurn(LONG), 1); }});
        // A line after a quiet spell is laid out on its own, not in the
        // burst of the conversation's start.
        l_shapes.push_back({QStringLiteral("room: 290 addresses"), false, [](Program& io_p) {
                                RoomLines(io_p, QStringLiteral("hello"), 1);
                                QuietSpell();
                                RoomLines(io_p, Addresses(290), 1);
                            }});
        l_shapes.push_back({QStringLiteral("room: 455 x \"http://a \""), false, [](Program& io_p) {
                                RoomLines(io_p, QStringLiteral("hello"), 1);
                                QuietSpell();
                                RoomLines(io_p, QStringLiteral("http://a ").repeated(455), 1);
                            }});
        l_shapes.push_back({QStringLiteral("room: 290 addresses a second, %1 s").arg(ADDRESS_SECONDS), false,
                            [](Program& io_p) { AddressesEverySecond(io_p); }});
        l_shapes.push_back({QStringLiteral("private: 290 addresses"), false, [](Program& io_p) {
                                io_p.mp_chats->AddIncomingChat(QStringLiteral("peer"), QStringLiteral("hello"));
                                QuietSpell();
                                io_p.mp_chats->AddIncomingChat(QStringLiteral("peer"), Addresses(290));
                            }});
        l_shapes.push_back({QStringLiteral("log viewer: logged, a word of %1").arg(LONG), false, [](Program& io_p) {
                                io_p.OpenLog();
                                RoomLines(io_p, Word(LONG), 1);
                            }});
        l_shapes.push_back({QStringLiteral("log viewer: opened on Latin and Hebrew, %1").arg(LONG), false,
                            [](Program& io_p) {
                                RoomLines(io_p, InTurn(LONG), 1);
                                io_p.OpenLog();
                            }});
        l_shapes.push_back({QStringLiteral("private: a word of %1").arg(l_half), false, [l_half](Program& io_p) {
                                io_p.mp_chats->AddIncomingChat(QStringLiteral("peer"), Word(l_half));
                            }});
        l_shapes.push_back({QStringLiteral("private: a word of %1").arg(LONG), false, [](Program& io_p) {
                                io_p.mp_chats->AddIncomingChat(QStringLiteral("peer"), Word(LONG));
                            }});
        l_shapes.push_back({QStringLiteral("private: Latin and Hebrew, %1").arg(LONG), false, [](Program& io_p) {
                                io_p.mp_chats->AddIncomingChat(QStringLiteral("peer"), InTurn(LONG));
                            }});
    }
    if (l_only != "lines") {
        l_shapes.push_back({QStringLiteral("wall: a ticker, a word of %1").arg(LONG), true, [](Program& io_p) {
                                io_p.mp_server->Apply(
                                    ServerIn::RoomTickerSet{QStringLiteral("lobby"), QStringLiteral("peer"), Word(LONG)});
                            }});
        l_shapes.push_back({QStringLiteral("wall: 5 tickers, each a word of %1").arg(LONG), true, [](Program& io_p) {
                                for (int l_k = 0; l_k < 5; ++l_k)
                                    io_p.mp_server->Apply(ServerIn::RoomTickerSet{
                                        QStringLiteral("lobby"), QStringLiteral("peer%1").arg(l_k), Word(LONG)});
                            }});
        l_shapes.push_back({QStringLiteral("wall: a room's %1 tickers").arg(TICKERS / 2), true,
                            [l_payload = TickersPayload(TICKERS / 2)](Program& io_p) { ApplyTickers(io_p, l_payload); }});
        l_shapes.push_back({QStringLiteral("wall: a room's %1 tickers").arg(TICKERS), true,
                            [l_payload = TickersPayload(TICKERS)](Program& io_p) { ApplyTickers(io_p, l_payload); }});
        l_shapes.push_back({QStringLiteral("wall: a room's %1 tickers").arg(MANY_TICKERS), true,
                            [l_payload = TickersPayload(MANY_TICKERS)](Program& io_p) { ApplyTickers(io_p, l_payload); }});
        l_shapes.push_back({QStringLiteral("wall: %1 users set %2 a second, %3 s").arg(SETTERS).arg(SET_PER_SECOND).arg(SET_SECONDS),
                            true, [](Program& io_p) { SetTickers(io_p); }});
    }

    if (argc > 3) {
        QRegularExpression const l_pattern(QString::fromLocal8Bit(argv[3]));
        l_shapes.erase(std::remove_if(l_shapes.begin(), l_shapes.end(),
                                      [&l_pattern](Shape const& i_shape) { return !l_pattern.match(i_shape.m_name).hasMatch(); }),
                       l_shapes.end());
    }
    std::printf("one line or ticker from others, shown; %d runs; window's thread: longest stall, processor time; "
                "resident memory added and its peak (first run of a process)\n",
                l_runs);
    std::printf("  %-46s | %9s | %9s | %9s | %9s | %9s\n", "shape", "stall ms", "(own)", "cpu ms", "KiB", "peak KiB");
    // A warm-up: fonts, icons and backing stores.
    {
        Figures l_warm;
        Measure("(warm-up)", true, [](Program& io_p) { RoomLines(io_p, Word(1000), 1); }, l_warm);
    }
    std::vector<Figures> l_figures(l_shapes.size());
    for (int l_run = 0; l_run < l_runs; ++l_run)
        for (std::size_t l_k = 0; l_k < l_shapes.size(); ++l_k)
            Measure(qPrintable(l_shapes[l_k].m_name), l_shapes[l_k].m_wall, l_shapes[l_k].m_send, l_figures[l_k]);
    std::printf("ranges over %d runs: stall ms | (own) | cpu ms | KiB | peak KiB\n", l_runs);
    for (std::size_t l_k = 0; l_k < l_shapes.size(); ++l_k)
        std::printf("  %-46s | %s | %s | %s | %s | %s\n", qPrintable(l_shapes[l_k].m_name),
                    qPrintable(bench::Range(l_figures[l_k].m_stall, "%.1f")),
                    qPrintable(bench::Range(l_figures[l_k].m_ownStall, "%.1f")),
                    qPrintable(bench::Range(l_figures[l_k].m_cpu, "%.1f")),
                    qPrintable(bench::Range(l_figures[l_k].m_memory, "%.0f")),
                    qPrintable(bench::Range(l_figures[l_k].m_peak, "%.0f")));
    return 0;
}
