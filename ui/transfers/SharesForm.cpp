#include "ui/transfers/SharesForm.h"

#include "ui/transfers/ShareForm.h"
#include "ui/transfers/ShareModel.h"
#include "store/SlicedWork.h"
#include "ui/transfers/UploadForm.h"

#include "ui_SharesForm.h"

#include "store/Utilities.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/TabWidget.h"
#include "peers/PeerMessenger.h"
#include "shares/SharedFoldersManager.h"
#include "store/Log.h"
#include "store/windows/FocusWidget.h"
#include "ui/search/SearchResultMenuOptions.h"

#include <QPointer>

#include <memory>

SharesForm* sharesForm = nullptr;

namespace {

// The page at the address a tab item holds.
template <class Page> Page* PageOf(Item const& i_tab)
{
    return reinterpret_cast<Page*>(static_cast<quintptr>(i_tab.AsUInt64()));
}

// The user's open tab of that kind, focused; null when he has none.
template <class Page> Page* FocusOpenTab(QString const& i_user, char const* ip_tabType)
{
    Page* lp_page = PageOf<Page>(d["user"]->GetItem(Value(i_user))[ip_tabType]);
    if (lp_page)
        FocusWidgetAndParents(lp_page);
    return lp_page;
}

void Relate(char const* ip_a, char const* ip_b)
{
    d[ip_a]->RelateToType(d[ip_b], ONE, ONE, false);
}

} // namespace

SharesForm::SharesForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_SharesForm), mp_pageWatch(new QObject(this))
{
    mp_ui->setupUi(this);
    mp_ui->verticalLayout->setContentsMargins(0, 0, 0, 0);
    sharesForm = this;
}

SharesForm::~SharesForm()
{
    // The pages die with the page, after this: nothing of theirs is
    // removed then.
    delete mp_pageWatch;
    SearchResultMenuOptions::SetBrowseFolderHook(SearchResultMenuOptions::BrowseFolderHook());
    if (sharesForm == this)
        sharesForm = nullptr;
    delete mp_ui;
}

TabWidget* SharesForm::Tabs() const
{
    return mp_ui->tabControl;
}

void SharesForm::Init()
{
    // The model's types are the shares manager's; without it there is
    // nothing to browse.
    if (m_initialised || !d.HasType("user_share"))
        return;
    m_initialised = true;
    d.NewType("user_share_tab", ROOT, false, true);
    d.NewType("upload_share_tab", ROOT, false, true);
    Relate("user_share_tab", "user");
    Relate("upload_share_tab", "user");
    d.NewType("user_share_file_node", INTERMEDIATE, false, true);
    Relate("user_share_file_node", "user_share_file");

    connect(mp_ui->tabControl, &QTabWidget::tabCloseRequested, this, &SharesForm::OnTabCloseRequested);
    if (actionBar) {
        actionBar->AddSetActions({
            {"share_folders", "expand_level", "Expand Level", ":/icons/browse_icon", false},
            {"share_folders", "collapse_all", "Collapse All", ":/icons/browse_icon", false},
            {"share_folders", "expand_all", "Expand All", ":/icons/browse_icon", false},
            {"share_folders", "save_to_file", "Save To File", ":/icons/save_icon", false},
            {"upload_folders", "expand_level", "Expand Level", ":/icons/browse_icon", false},
            {"upload_folders", "collapse_all", "Collapse All", ":/icons/browse_icon", false},
            {"upload_folders", "expand_all", "Expand All", ":/icons/browse_icon", false},
        });
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &SharesForm::OnToolBarActionTriggered);
    }
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::UserShare, this, &SharesForm::OnUserShare);
    SearchResultMenuOptions::SetBrowseFolderHook([this](QString const& i_user, QString const& i_folder) {
        OpenShareBrowse(i_user)->BrowseToFolder(i_folder);
    });
}

void SharesForm::OnToolBarActionTriggered(QWidget*, QString)
{
    // Each tab handles its own actions.
}

// ------------------------------------------------------------------ tabs

ShareForm* SharesForm::OpenShareBrowse(QString i_user)
{
    if (ShareForm* lp_open = FocusOpenTab<ShareForm>(i_user, "user_share_tab"))
        return lp_open;
    auto* lp_view = new ShareForm(i_user, this);
    AddNamedTab(mp_ui->tabControl, lp_view, QIcon(), i_user);
    if (peerMessenger)
        peerMessenger->GetUserSharedFiles(i_user);
    FocusWidgetAndParents(lp_view);
    return lp_view;
}

UploadForm* SharesForm::OpenUploadBrowse(QString i_user)
{
    if (UploadForm* lp_open = FocusOpenTab<UploadForm>(i_user, "upload_share_tab"))
        return lp_open;
    auto* lp_page = new UploadForm(i_user, this);
    AddNamedTab(mp_ui->tabControl, lp_page, QIcon(), i_user, QStringLiteral("Upload to "));
    // Our own index is read a folder at a time too: it may be as large as
    // any list a peer sends.
    auto const lp_load = std::make_shared<ShareLoad>();
    if (sharedFoldersManager) {
        std::vector<Item> const l_folders = sharedFoldersManager->GetUserShareFolders(i_user);
        ShareLoad* const lp_into = lp_load.get(); // which holds the function
        lp_load->m_read = [lp_into, l_folders, l_next = std::size_t(0)]() mutable {
            if (l_next < l_folders.size() && sharedFoldersManager)
                sharedFoldersManager->AddUserShareFolder(l_folders[l_next++], lp_into->m_list);
            return l_next < l_folders.size() && sharedFoldersManager;
        };
    }
    QPointer<UploadForm> const lp_shown(lp_page);
    LoadShare(lp_load, lp_page, [lp_shown](Item i_share) {
        if (lp_shown)
            lp_shown->SetShare(i_share);
    });
    FocusWidgetAndParents(lp_page);
    return lp_page;
}

void SharesForm::OnTabCloseRequested(int i_tabIndex)
{
    QWidget* lp_page = mp_ui->tabControl->widget(i_tabIndex);
    if (qobject_cast<SharePage*>(lp_page)) {
        ++m_pendingShares;
        connect(lp_page, &QObject::destroyed, mp_pageWatch, [this]() { --m_pendingShares; });
    }
    if (auto* lp_view = qobject_cast<ShareForm*>(lp_page)) {
        mp_ui->tabControl->removeTab(i_tabIndex);
        lp_view->Delete();
    } else if (auto* lp_upload = qobject_cast<UploadForm*>(lp_page)) {
        mp_ui->tabControl->removeTab(i_tabIndex);
        lp_upload->Delete();
    }
}

// ----------------------------------------------------------- share lists

void SharesForm::OnUserShare(QString i_user, FileInfoMap& i_share, AttributeTranslationTable&)
{
    Item const l_user = d["user"]->HasItem(Value(i_user));
    Item const l_tab = l_user["user_share_tab"];
    if (l_tab.IsNull())
        return;
    // While his tab shows (or enters) a list, a further one would tear
    // down what the user is looking at: it is not stored.
    if (l_user.IsConnected("user_share")) {
        Log(QStringLiteral("Shared"), 1,
            QStringLiteral("Dropping a further share list of %1: his tab shows one already").arg(Isolated(i_user)));
        return;
    }
    ShareForm* lp_view = PageOf<ShareForm>(l_tab);
    QPointer<ShareForm> const lp_shown(lp_view);
    auto const lp_load = std::make_shared<ShareLoad>();
    lp_load->mp_builder = std::make_unique<UserShareBuilder>(i_share);
    // Linked at once, so that a further list of the user is dropped while
    // this one goes in.
    lp_load->mp_builder->Share() += l_user;
    LoadShare(lp_load, lp_view, [lp_shown](Item i_built) {
        if (lp_shown)
            lp_shown->SetShare(i_built);
    });
}

Item SharesForm::CreateUserShareData(FileInfoMap& io_share, AttributeTranslationTable&)
{
    UserShareBuilder l_builder(io_share);
    while (l_builder.Step()) {
    }
    return l_builder.Share();
}

void SharesForm::LoadShare(std::shared_ptr<ShareLoad> ip_load, SharePage* ip_page, std::function<void(Item)> i_show)
{
    auto* lp_work = new SlicedWork(this);
    ++m_pendingShares;
    auto const lp_ended = std::make_shared<bool>(false);
    auto const l_end = [this, lp_work, lp_ended]() {
        if (*lp_ended)
            return;
        *lp_ended = true;
        lp_work->Stop();
        lp_work->deleteLater();
        --m_pendingShares;
    };
    // A page that closes while its list still goes in takes it with it (the
    // list stops there). Once the share is in, the page's Delete sees to
    // it: a browse page closed while a folder is being queued keeps it
    // until the last file is queued.
    connect(ip_page, &SharePage::Closing, mp_pageWatch, [l_end, ip_load, lp_ended]() {
        if (*lp_ended)
            return;
        l_end();
        if (sharedFoldersManager && ip_load->mp_builder)
            sharedFoldersManager->RemoveShare(ip_load->mp_builder->Share());
    });
    lp_work->Start(
        [ip_load]() {
            if (ip_load->m_read && ip_load->m_read())
                return true;
            ip_load->m_read = nullptr;
            if (!ip_load->mp_builder)
                ip_load->mp_builder = std::make_unique<UserShareBuilder>(ip_load->m_list);
            return ip_load->mp_builder->Step();
        },
        [l_end, ip_load, i_show]() {
            l_end();
            if (Item const l_share = ip_load->mp_builder->Share(); l_share.IsValid())
                i_show(l_share);
        });
}
