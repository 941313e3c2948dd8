// The chat view of the room and private pages (ChatView::AddChat), given a
// line from another user. The first byte says how it comes: bit 0, in a
// burst (right after another line, before the view has painted); bit 1,
// from the own name (shown in bold). The rest is the line, in UTF-8.
//
// The layout's cost is bounded by what the view counts. A run fails when
// the view's layout made more than one pass over what a line changed (each
// pass lays the whole paragraph out again: a line of a few hundred links
// made as many), or when the view holds more characters than the bounded
// lines it was given can show.

#include "store/Data.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "ui/chat/ChatRules.h"
#include "ui/chat/ChatView.h"
#include "ui/widgets/ColorTable.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// What one line may show at most: its counted characters, a place to break
// in every long word, the stamp, the name and the note on a cut line.
int const MOST_PER_LINE = CHAT_LINE_SHOWN + CHAT_LINE_SHOWN / 64 + 128;

[[noreturn]] void Fail(QString const& i_why)
{
    std::fprintf(stderr, "%s\n", qPrintable(i_why));
    __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    static int s_argc = 1;
    static char s_name[] = "fuzz_chat_view";
    static char* s_argv[] = {s_name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* sp_app = nullptr;
    if (!sp_app) {
        sp_app = new QApplication(s_argc, s_argv);
        // The store as the window leaves it for the chat pages.
        DeclareSettingsTypes();
        DeclareColorTable(QApplication::palette());
        SetSetting("chat_timestamps", QStringLiteral("activity_based"));
        SetSetting("username", QStringLiteral("me"));
        // The application goes before Qt's font and style caches, which a
        // view and its layout make (an application torn down after them
        // leaves their fonts behind).
        {
            ChatView l_first;
            l_first.AddChat(QStringLiteral("peer"), QStringLiteral("a http://b.example/ c"));
            l_first.document()->documentLayout()->documentSize();
        }
        std::atexit([]() {
            TimerManager::Destroy();
            d.Reset();
            delete sp_app;
        });
    }
    if (i_size == 0)
        return 0;
    bool const l_burst = ip_data[0] & 1;
    QString const l_user = ip_data[0] & 2 ? QStringLiteral("me") : QStringLiteral("peer");
    QString const l_text = QString::fromUtf8(reinterpret_cast<char const*>(ip_data + 1), int(i_size - 1));

    ChatView l_view;
    l_view.resize(600, 400);
    int l_lines = 1; // the conversation's start
    if (l_burst) {
        l_view.AddChat(QStringLiteral("peer"), QStringLiteral("before"));
        ++l_lines;
    }
    int const l_before = l_view.LayoutPasses();
    l_view.AddChat(l_user, l_text);
    ++l_lines;
    int const l_passes = l_view.LayoutPasses() - l_before;
    if (l_passes > 1)
        Fail(QStringLiteral("one line laid out in %1 passes").arg(l_passes));
    int const l_characters = l_view.document()->characterCount();
    if (l_characters > l_lines * MOST_PER_LINE)
        Fail(QStringLiteral("%1 lines show %2 characters").arg(l_lines).arg(l_characters));
    return 0;
}
