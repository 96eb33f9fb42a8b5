// The main window's behaviour: sharing, the connection table and log, the
// settings on the controls, the address and invitation, the cache buttons,
// the public-network buttons and the closing sequence. The decisions are the
// core's; this file maps them onto the controls.
#include "shell/window/FormMain.h"

#include "base/FileUtil.h"
#include "base/Messages.h"
#include "base/OrvelTPU.h"
#include "base/StartUp.h"
#include "controls/Decor.h"
#include "controls/OrvelSelectFolder.h"
#include "imaging/CacheKeeper.h"
#include "network/ExternalIP.h"
#include "network/OrvelInternet.h"
#include "network/Presence.h"
#include "network/UserSearch.h"
#include "server/HttpDaemon.h"
#include "server/PrivateShare.h"
#include "server/ServerLimits.h"
#include "shell/EntrySequence.h"
#include "shell/SharingSession.h"
#include "shell/window/ErrorDisplay.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>

#include <ctime>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

UserNameBox& UserNameHook() {
  static UserNameBox hook;
  return hook;
}

std::string Std(const QString& s) { return s.toStdString(); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

// Where workers hand their reports to the window. The window clears `target`
// (under the lock) before it goes away; a report then waits no longer.
struct ReportBridge {
  std::mutex lock;
  QPointer<TFrmMain> target;
};

}  // namespace

void SetUserNameBoxHook(UserNameBox hook) { UserNameHook() = std::move(hook); }

class TFrmMainPrivate {
 public:
  std::shared_ptr<ReportBridge> bridge = std::make_shared<ReportBridge>();
  // The process's one thumbnail cache, from FormCreate to FormDestroy.
  std::shared_ptr<TCacheObj> cache;
  // Sharing: the listener, its connection board and the reports. Workers of
  // stopped listeners may still be finishing an exchange with the cache, so
  // the closing sequence waits for them before releasing it.
  TSharingSession session{PluginFolder(), SystemFolder()};
  // Counts the sessions of the port mapping and the reachability check:
  // updates of an earlier one only reach the log.
  int internetSession = 0;
  // The plug-ins whose tabs the window shows (asked once per run), with the
  // windows their tab controls came from; both outlive the tab pages.
  std::unique_ptr<TPluginList> tabPlugins;
  std::vector<QWidget*> pluginWindows;
  std::vector<QWidget*> pluginPages;
};

TFrmMain::~TFrmMain() {
  Guard([this] { FormDestroy(); });
  {
    std::lock_guard<std::mutex> hold(d->bridge->lock);
    d->bridge->target = nullptr;
  }
  // Plug-in pages and windows go before the libraries that made them.
  for (QWidget* page : d->pluginPages) delete page;
  for (QWidget* window : d->pluginWindows) delete window;
  d->tabPlugins.reset();
}

void TFrmMain::WireController() {
  d = std::make_shared<TFrmMainPrivate>();
  d->bridge->target = this;
  // Reports are carried to the window thread while the worker waits; a
  // window that goes away first drops the call, which ends the wait as well.
  d->session.SetReportCarrier([bridge = d->bridge](std::function<void()> report) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    {
      std::lock_guard<std::mutex> hold(bridge->lock);
      TFrmMain* form = bridge->target.data();
      if (!form) return;
      if (QThread::currentThread() == form->thread()) {
        report();
        return;
      }
      QMetaObject::invokeMethod(
          form,
          [report = std::move(report), done] {
            Guard(report);
            done->set_value();
          },
          Qt::QueuedConnection);
    }
    try {
      finished.get();
    } catch (const std::future_error&) {
    }
  });
  d->session.SetReportListener([this](const TSharingReport& report) { ShowReport(report); });
  // The plug-ins' tabs join the window once, when sharing first starts.
  d->session.SetListenerSetup([this](TTCPHttpDaemon&) { AddPluginTabs(); });
  SetPageControl(Page);
  connect(actShare, &QAction::triggered, this, Guarded([this] { actShareExecute(); }));
  connect(btnBrowse, &QPushButton::clicked, this, Guarded([this] { btnBrowseClick(); }));
  connect(radIntern, &QRadioButton::clicked, this, Guarded([this] {
            if (m_serverTypeAttached) ServerTypeChanged();
          }));
  connect(radExtern, &QRadioButton::clicked, this, Guarded([this] {
            if (m_serverTypeAttached) ServerTypeChanged();
          }));
  connect(chkAutoStart, &QCheckBox::clicked, this, Guarded([this] { chkAutoStartClick(); }));
  connect(btnShortcut, &QPushButton::clicked, this, Guarded([this] { btnShortcutClick(); }));
  connect(btnMantainCache, &QPushButton::clicked, this,
          Guarded([this] { btnMantainCacheClick(); }));
  connect(btnClearCache, &QPushButton::clicked, this, Guarded([this] { btnClearCacheClick(); }));
  connect(btnSaveDB, &QPushButton::clicked, this, Guarded([this] { btnSaveDBClick(); }));
  connect(edtedtResamplerQ, &QSpinBox::valueChanged, this,
          Guarded([this] { edtedtResamplerQChange(); }));
  connect(spnWidth, &QSpinBox::valueChanged, this, Guarded([this] { spnWidthChange(); }));
  connect(spnHeight, &QSpinBox::valueChanged, this, Guarded([this] { spnHeightChange(); }));
  connect(btnSendIP, &QPushButton::clicked, this, Guarded([this] { btnSendIPClick(); }));
  connect(btnSearch, &QPushButton::clicked, this, Guarded([this] { btnSearchClick(); }));
  connect(chkPrivate, &QCheckBox::clicked, this, Guarded([this] { chkPrivateClick(); }));
  connect(btnNewKey, &QPushButton::clicked, this, Guarded([this] { btnNewKeyClick(); }));
  connect(lstUsers, &QTableWidget::cellDoubleClicked, this,
          [this](int row, int) { Guard([this, row] { lstUsersDblClick(row); }); });
}

void TFrmMain::OpenInShell(const QString& target) { OpenDocument(Std(target)); }

// ---- Start-up and closing ----

void TFrmMain::FormCreate() {
  if (m_created) return;
  m_created = true;
  setWindowTitle(Q(WindowCaption()));
  d->cache = std::make_shared<TCacheObj>(WorkingFolder() + "MireloCache/");
  d->cache->LoadDB();
  d->session.SetCache(d->cache.get());
  LoadSettings();
  // The log pane: the lines kept across runs (or its heading), then the
  // start of this run.
  const std::string logPath = WorkingFolder() + "Log.txt";
  std::string error;
  const bool existed = QFile::exists(Q(logPath));
  if (!m_log.Load(logPath, &error)) ShowEscapedError(Q(error));
  if (!existed) m_log.Add(Std(Log->toPlainText()));
  m_log.AppendRunSeparator(std::time(nullptr));
  QStringList lines;
  for (const std::string& line : m_log.Lines()) lines << Q(line);
  Log->setPlainText(lines.join('\n'));
  Log->verticalScrollBar()->setValue(Log->verticalScrollBar()->maximum());
}

void TFrmMain::CompleteStartUp(bool shareOff) {
  QCoreApplication::processEvents();
  Guard([this] { ServerTypeChanged(); });
  QCoreApplication::processEvents();
  SettleUserName([this](const std::string& offered) {
    if (UserNameHook()) return UserNameHook()(offered);
    bool ok = false;
    const QString answer = QInputDialog::getText(this, kUserNameCaption, kUserNamePrompt,
                                                 QLineEdit::Normal, Q(offered), &ok);
    return ok ? Std(answer) : offered;
  });
  QApplication::setOverrideCursor(Qt::WaitCursor);
  Page->setTabVisible(Page->indexOf(tabBeta), IsBetaTester());
  if (FirstRun()) Page->setCurrentWidget(tabShare);
  Guard([this] { PageChange(); });
  if (FirstRun()) {
    QApplication::restoreOverrideCursor();
    // A chosen working folder holds the first shared folder, made ready.
    if (!SharedFolderBase.empty()) CreateFolderIfMissingQuietly(edtDirectory->text().toStdString());
    ShowInfo("Press [OK] to choose the folder you want to share...");
    Page->setCurrentWidget(tabShare);
    Guard([this] { btnBrowseClick(); });
    QApplication::setOverrideCursor(Qt::WaitCursor);
  }
  lblProductName->setText(Q(ProductLabelText()));
  lblWorkFolder->setText(Q(WorkingFolderLabelText()));
  lblUserName->setText(Q(UserNameLabelText(UserName())));
  for (TLinkLabel* l : {lblSupport, lblRepBug, lblReqFeature}) l->SetUrl(FormText::kSupportForum);
  QCoreApplication::processEvents();
  if (!shareOff) {
    QApplication::restoreOverrideCursor();
    Guard([this] { actShareExecute(); });
    QApplication::setOverrideCursor(Qt::WaitCursor);
  }
  QApplication::restoreOverrideCursor();
}

void TFrmMain::FormDestroy() {
  if (!m_created || m_destroyed) return;
  m_destroyed = true;
  Guard([this] { SaveSettings(); });
  Guard([this] { StopSharing(); });
  // Workers still finishing an exchange use the cache: let their reports
  // through and wait for them (briefly) before the cache goes.
  QElapsedTimer waited;
  waited.start();
  while (!d->session.WaitForWorkers(20) && waited.elapsed() < ServerLimits::kExitWorkerWaitMs) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
  // The pane is what is kept, with whatever was typed into it.
  LogFile pane;
  for (const QString& line : Log->toPlainText().split('\n')) pane.Add(Std(line));
  std::string error;
  if (!pane.Save(WorkingFolder() + "Log.txt", &error)) ShowEscapedError(Q(error));
  // Releasing the cache saves its database.
  d->session.SetCache(nullptr);
  Guard([this] { d->cache.reset(); });
}

TCacheObj* TFrmMain::Cache() const { return d->cache.get(); }

// ---- Settings on the controls ----

void TFrmMain::LoadSettings() {
  AppSettings s =
      ::LoadSettings(SettingsFile(), SharedFolderBase.empty() ? ProgramFolder() : SharedFolderBase);
  // A private share always has a key.
  if (s.PrivateSharing && !IsShareKey(s.PrivateKey)) s.PrivateKey = NewShareKey();
  m_loaded = s;
  {
    // The tab is chosen without its change behaviour (start-up shows the picture).
    const QSignalBlocker quiet(Page);
    if (s.ActiveTab >= 0 && s.ActiveTab < Page->count()) Page->setCurrentIndex(s.ActiveTab);
  }
  move(s.WindowLeft, s.WindowTop);
  resize(s.WindowWidth, s.WindowHeight);
  spnPort->setValue(s.Port);  // recomposes the web address
  spnTimeOut->setValue(s.TimeoutMs);
  m_serverTypeAttached = false;
  radIntern->setChecked(s.InternalAddress);
  radExtern->setChecked(!s.InternalAddress);
  m_serverTypeAttached = true;
  chkPortMapping->setChecked(s.PortMapping);
  edtDirectory->setText(Q(s.SharedFolder));  // stops sharing, updates the banner
  edtDirectoryChange();
  chkAccUploads->setChecked(s.AcceptUploads);
  chkPrivate->setChecked(s.PrivateSharing);
  btnNewKey->setEnabled(s.PrivateSharing);
  AdrChanged();
  if (chkAutoStart->isChecked() != s.AutoStart) {
    chkAutoStart->setChecked(s.AutoStart);
    chkAutoStartClick();
  }
  if (chkUseSkins->isChecked() != s.UseSkins) {
    chkUseSkins->setChecked(s.UseSkins);
    chkUseSkinsClick();
  }
  radPagesClassic->setChecked(s.PageStyle == TPageStyle::Classic);
  radPagesGallery->setChecked(s.PageStyle == TPageStyle::Gallery);
  edtedtResamplerQ->setValue(s.ResamplerQuality);
  edtedtResamplerQChange();
  spnWidth->setValue(s.ThumbWidth);
  spnWidthChange();
  spnHeight->setValue(s.ThumbHeight);
  spnHeightChange();
}

AppSettings TFrmMain::SettingsFromControls() const {
  AppSettings s = m_loaded;
  s.WindowLeft = x();
  s.WindowTop = y();
  s.WindowWidth = width();
  s.WindowHeight = height();
  s.ActiveTab = Page->currentIndex();
  s.ServerAddress = Std(edtAdr->text());
  s.Port = spnPort->value();
  s.TimeoutMs = spnTimeOut->value();
  s.InternalAddress = radIntern->isChecked();
  s.PortMapping = chkPortMapping->isChecked();
  s.SharedFolder = Std(edtDirectory->text());
  s.AcceptUploads = chkAccUploads->isChecked();
  s.PrivateSharing = chkPrivate->isChecked();
  s.AutoStart = chkAutoStart->isChecked();
  s.UseSkins = chkUseSkins->isChecked();
  s.PageStyle = radPagesGallery->isChecked() ? TPageStyle::Gallery : TPageStyle::Classic;
  s.ResamplerQuality = edtedtResamplerQ->value();
  s.ThumbWidth = spnWidth->value();
  s.ThumbHeight = spnHeight->value();
  return s;
}

void TFrmMain::SaveSettings() { ::SaveSettings(SettingsFile(), SettingsFromControls()); }

// ---- Sharing ----

bool TFrmMain::Sharing() const { return d->session.Sharing(); }

void TFrmMain::actShareExecute() {
  if (actShare->text() == "Stop") {
    StopSharing();
    return;
  }
  if (IsFolder(Std(edtDirectory->text()))) {
    SaveSettings();
    StartSharing();
    return;
  }
  Page->setCurrentWidget(tabShare);
  ShowInfo("Please choose the folder you want to share");
  btnBrowseClick();
}

void TFrmMain::StartSharing() {
  actShare->setText("Stop");
  if (d->session.Start(SettingsFromControls())) {
    if (!d->session.IPv6Problem().empty()) AppendLog(d->session.IPv6Problem());
    ShowIPv6Address();
    StartInternet();
  }
  Scanner->SetColor(Qt::red);
  Scanner->SetActive(true);
  actTest->setEnabled(true);
}

void TFrmMain::ShowIPv6Address() {
  const std::string ipv6 = d->session.IPv6Address();
  if (ipv6.empty()) return;
  lblWebAdr6->setText(
      Q("Over IPv6: " +
        AddressWithKey(ComposeWebAddress("[" + ipv6 + "]", d->session.BoundPort()), ShareKey())));
  lblWebAdr6->show();
}

void TFrmMain::StartInternet() {
  TInternetSetup setup;
  setup.Internal = radIntern->isChecked();
  setup.PortMapping = chkPortMapping->isChecked();
  setup.UpnpGateway = m_loaded.UpnpGateway;
  setup.NatPmpGateway = m_loaded.NatPmpGateway;
  setup.TrackerHost = m_loaded.TrackerHost;
  setup.ServerAddress = Std(edtAdr->text());
  const int session = ++d->internetSession;
  std::shared_ptr<ReportBridge> bridge = d->bridge;
  d->session.StartInternet(setup, [bridge, session](const TReachUpdate& u) {
    std::lock_guard<std::mutex> hold(bridge->lock);
    TFrmMain* form = bridge->target.data();
    if (!form) return;
    QMetaObject::invokeMethod(
        form, [form, u, session] { Guard([&] { form->InternetUpdate(u, session); }); },
        Qt::QueuedConnection);
  });
}

void TFrmMain::InternetUpdate(const TReachUpdate& update, int session) {
  const bool current = session == d->internetSession;
  switch (update.Kind) {
    case TReachKind::WebAddress:
      if (!current) return;
      m_publicPort = update.Port;
      edtAdr->setText(Q(update.Host));  // recomposes the web address
      AdrChanged();
      return;
    case TReachKind::Mapping:
    case TReachKind::Firewall:
    case TReachKind::Reachability: {
      AppendLog(update.Text);
      if (!current) return;
      QLabel* line = update.Kind == TReachKind::Mapping    ? lblPortMapping
                     : update.Kind == TReachKind::Firewall ? lblFirewall6
                                                           : lblReach;
      line->setText(Q(update.Text));
      line->show();
      return;
    }
  }
}

void TFrmMain::StopSharing() {
  // Updates still on their way from the session being stopped only reach
  // the log.
  ++d->internetSession;
  for (QLabel* line : {lblWebAdr6, lblFirewall6, lblPortMapping, lblReach}) {
    line->clear();
    line->hide();
  }
  if (m_publicPort != 0) {
    m_publicPort = 0;
    AdrChanged();
  }
  if (d->session.Sharing()) {
    // The router stops forwarding before the port closes.
    d->session.Stop();
    lstConnect->setRowCount(0);
  }
  actShare->setText("Share");
  Scanner->SetActive(false);
  Scanner->SetColor(Qt::yellow);
  actTest->setEnabled(false);
}

int TFrmMain::ListeningPort() const { return d->session.BoundPort(); }

void TFrmMain::SetBindAddress(const std::string& address) { d->session.SetBindAddress(address); }

void TFrmMain::SetInterfaceLister(std::function<std::vector<TInterfaceAddress>()> lister) {
  d->session.SetInterfaceLister(std::move(lister));
}

void TFrmMain::AddPluginTabs() {
  if (d->tabPlugins) return;  // once per run
  d->tabPlugins = std::make_unique<TPluginList>(PluginFolder());
  d->tabPlugins->AddTabs([this](MireloGetTabFn getTab) {
    auto* page = new QWidget;
    Page->addTab(page, QString());
    d->pluginPages.push_back(page);
    MireloWindowClassFn windowClass = getTab(page, this);
    if (!windowClass) return;
    auto* window = static_cast<QWidget*>(windowClass(nullptr));
    if (!window) return;
    window->hide();
    d->pluginWindows.push_back(window);
    for (QObject* child : window->children()) {
      if (auto* control = qobject_cast<QWidget*>(child)) {
        control->setParent(page);
        auto* fill = new QVBoxLayout(page);
        fill->setContentsMargins(0, 0, 0, 0);
        fill->addWidget(control);
        control->show();
        break;
      }
    }
  });
}

void TFrmMain::ReportStatus(const std::string& peerIp, const std::string& operation,
                            const std::string& fileName) {
  d->session.Report(peerIp, operation, fileName);
}

void TFrmMain::ShowReport(const TSharingReport& report) {
  lstConnect->setRowCount(static_cast<int>(report.Rows.size()));
  for (int r = 0; r < static_cast<int>(report.Rows.size()); ++r) {
    const TConn& c = report.Rows[static_cast<size_t>(r)];
    lstConnect->setItem(r, 0, new QTableWidgetItem(Q(c.PeerIp)));
    lstConnect->setItem(r, 1, new QTableWidgetItem(Q(c.Operation)));
    lstConnect->setItem(r, 2, new QTableWidgetItem(Q(c.FileName)));
  }
  for (const std::string& line : report.LogLines) AppendLog(line);
  lstConnect->repaint();
}

std::function<void(const std::string&, const std::string&, const std::string&)>
TFrmMain::StatusCallback() {
  return d->session.StatusCallback();
}

void TFrmMain::AppendLog(const std::string& line) {
  m_log.Add(line);
  Log->appendPlainText(Q(line));
}

void TFrmMain::btnBrowseClick() {
  QString folder = edtDirectory->text();
  if (SelectFolder("Select folder to share", folder, 0, this)) edtDirectory->setText(folder);
}

void TFrmMain::edtDirectoryChange() {
  StopSharing();
  pnlDirectory->SetText(Q(FolderBannerText(Std(edtDirectory->text()))));
}

// ---- Address, invitation, server type ----

QString TFrmMain::ComposedAddress() const {
  return Q(ComposeWebAddress(Std(edtAdr->text()), m_publicPort ? m_publicPort : spnPort->value()));
}

QString TFrmMain::WebAddress() const {
  return Q(AddressWithKey(Std(ComposedAddress()), ShareKey()));
}

QString TFrmMain::PresenceAddress() const {
  // The address shown, without the key it was given.
  const QString shown = edtWebAdr->text();
  if (shown == WebAddress()) return ComposedAddress();
  std::string address = Std(shown);
  TakeKeyParameter(address);  // the public list never gets a key
  return Q(address);
}

std::string TFrmMain::ShareKey() const {
  return chkPrivate->isChecked() ? m_loaded.PrivateKey : std::string();
}

void TFrmMain::chkPrivateClick() {
  const bool on = chkPrivate->isChecked();
  if (on && !IsShareKey(m_loaded.PrivateKey)) m_loaded.PrivateKey = NewShareKey();
  btnNewKey->setEnabled(on);
  AdrChanged();
  // The listener takes the switch when it starts: a running share restarts,
  // so the address shown and the server's gate always agree.
  if (Sharing()) {
    StopSharing();
    actShareExecute();
  } else {
    SaveSettings();
  }
}

void TFrmMain::btnNewKeyClick() {
  if (!chkPrivate->isChecked()) return;
  m_loaded.PrivateKey = NewShareKey();
  // The running listeners refuse the old key from the next request on.
  d->session.SetPrivateKey(m_loaded.PrivateKey);
  SaveSettings();
  AdrChanged();
  ShowIPv6Address();
  AppendLog("Private sharing: a new key was made; links with the old key no longer work.");
}

QString TFrmMain::InvitationBody() const { return Q(ComposeInvitationBody(Std(WebAddress()))); }

QString TFrmMain::MailtoAddress(const QString& to, const QString& subject, const QString& body) {
  // Every byte of the values outside the unreserved set is percent-encoded
  // (UTF-8), so "&", "#", "?", "%", blanks and line breaks reach the mail
  // program exactly as typed.
  const auto encode = [](const QString& text, const QByteArray& keep = QByteArray()) {
    return QString::fromLatin1(QUrl::toPercentEncoding(text, keep));
  };
  return "mailto:" + encode(to, "@,") + "?subject=" + encode(subject) + "&body=" + encode(body);
}

void TFrmMain::AdrChanged() {
  edtWebAdr->setText(WebAddress());
  edtWebAdr->setCursorPosition(0);  // a long address shows its beginning
  mmoBody->setPlainText(InvitationBody().replace("\r\n", "\n"));
}

void TFrmMain::ServerTypeChanged() {
  const bool external = radExtern->isChecked();
  const std::string echo = m_loaded.IpEchoHost;
  std::string address;
  if (!RunNetworkStep([&] { address = external ? GetExternalIp(echo) : GetLocalIp(); })) return;
  edtAdr->setText(Q(address));
}

void TFrmMain::btnCopyIpClick() { QApplication::clipboard()->setText(edtWebAdr->text()); }

void TFrmMain::actTestExecute() { OpenInShell(edtWebAdr->text()); }

void TFrmMain::btnHelpClick() { OpenInShell(Q(HelpPageAddress())); }

void TFrmMain::imgNovrixLogoClick() { OpenInShell(kMakerWebAddress); }

void TFrmMain::btnSendEmailClick() {
  QString body = mmoBody->toPlainText();
  body.replace("\r\n", "\n").replace("\n", "\r\n");
  body = Q(InvitationMailBody(Std(body)));
  OpenInShell(MailtoAddress(edtEmail->text(), edtSubject->text(), body));
}

// ---- Settings tab ----

void TFrmMain::chkAutoStartClick() { SetAutoStart(chkAutoStart->isChecked()); }

void TFrmMain::btnShortcutClick() {
  DeleteDesktopShortcut(FormText::kShortcutName);
  DeleteStartMenuShortcut(FormText::kShortcutName);
  // Both shortcuts are made anew, pointing at this program.
  const std::string program =
      ProgramFolder() + Std(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
  const std::string entry = std::string("[Desktop Entry]\nType=Application\nName=") +
                            FormText::kShortcutName + "\nExec=" + DesktopExecQuoted(program) +
                            "\nIcon=" + SystemFolder() + "mirelo tray.png\nTerminal=false\n";
  const std::string desktop = GetSpecialFolder(SpecialFolder::Desktop);
  const std::string dataFolder = GetSpecialFolder(SpecialFolder::AppData);
  for (const std::string& folder :
       {desktop, dataFolder.empty() ? dataFolder : dataFolder + "applications/"}) {
    if (folder.empty() || !CreateFolderIfMissingQuietly(folder)) continue;
    const std::string path = folder + FormText::kShortcutName + ".desktop";
    if (WriteFileAtomically(path, entry, false)) {
      QFile::setPermissions(Q(path), QFile::permissions(Q(path)) | QFile::ExeOwner);
    }
  }
}

void TFrmMain::btnMantainCacheClick() {
  if (d->cache) d->cache->Maintain();
}

void TFrmMain::btnClearCacheClick() {
  if (d->cache) d->cache->Clear();
}

void TFrmMain::btnSaveDBClick() {
  if (d->cache) d->cache->SaveDB();
}

void TFrmMain::edtedtResamplerQChange() {
  if (d->cache) d->cache->SetFilterIndex(static_cast<std::uint8_t>(edtedtResamplerQ->value()));
}

void TFrmMain::spnWidthChange() {
  if (d->cache) d->cache->SetThumbWidth(spnWidth->value());
}

void TFrmMain::spnHeightChange() {
  if (d->cache) d->cache->SetThumbHeight(spnHeight->value());
}

// ---- Public network ----

bool TFrmMain::RunNetworkStep(const std::function<void()>& step) {
  if (m_networkBusy) return false;
  m_networkBusy = true;
  std::exception_ptr error;
  QEventLoop loop;
  std::thread helper([&] {
    try {
      step();
    } catch (...) {
      error = std::current_exception();
    }
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  helper.join();
  m_networkBusy = false;
  if (error) std::rethrow_exception(error);
  return true;
}

void TFrmMain::btnSendIPClick() {
  // The public list gets the address without the key.
  const std::string web = Std(PresenceAddress());
  switch (CheckSendIp(radIntern->isChecked(), web)) {
    case TSendIpCheck::RefuseInternal:
      AppendLog(kLocalIpRefusal + web);
      return;
    case TSendIpCheck::RefuseEmptyAddress:
      ShowError(kCannotDetermineIp);
      return;
    case TSendIpCheck::Send:
      break;
  }
  if (m_networkBusy) return;
  setWindowTitle(kConnectingCaption);
  AppendLog(kConnectingCaption);
  TPresenceSetup setup;
  setup.SettingsFolder = SettingsFolder();
  setup.SharedFolder = Std(edtDirectory->text());
  setup.UserName = UserName();
  setup.TimeZoneText = Std(edtGmtDev->text());
  setup.TrackerHost = m_loaded.TrackerHost;
  setup.Separators = UserDateTimeSeparators();
  std::vector<std::string> answer;
  RunNetworkStep([&] {
    RegisterPresence(setup, web, [&answer](const std::string& line) { answer.push_back(line); });
  });
  for (const std::string& line : answer) AppendLog(line);
  setWindowTitle(QString("Mirelo File Share v") + Q(GetShortVersion()));
}

void TFrmMain::btnSearchClick() {
  if (radIntern->isChecked()) {
    AppendLog(kLocalIpRefusal + Std(edtWebAdr->text()));
    return;
  }
  const std::string tracker = m_loaded.TrackerHost;
  std::vector<TUserRow> rows;
  if (!RunNetworkStep([&] { rows = SearchUsers(tracker); })) return;
  lstUsers->setRowCount(0);
  lstUsers->setRowCount(static_cast<int>(rows.size()));
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    const TUserRow& u = rows[static_cast<size_t>(r)];
    const std::string cells[] = {u.UserName,    u.UserIp,    u.PresentAt,
                                 u.SharedFiles, u.ShareSize, u.ShareRatio};
    for (int c = 0; c < 6; ++c) {
      auto* item = new QTableWidgetItem(Q(cells[c]));
      item->setTextAlignment(c == 0   ? Qt::AlignLeft | Qt::AlignVCenter
                             : c == 5 ? Qt::AlignRight | Qt::AlignVCenter
                                      : Qt::AlignCenter);
      lstUsers->setItem(r, c, item);
    }
  }
}

void TFrmMain::lstUsersDblClick(int row) {
  if (row < 0 || row >= lstUsers->rowCount() || !lstUsers->item(row, 1)) return;
  OpenInShell(lstUsers->item(row, 1)->text());
}

// ---- Tab pictures ----

void TFrmMain::PageChange() {
  const std::string file = TabPictureFile(Page->currentIndex());
  if (file.empty()) return;  // Beta and plug-in tabs keep the picture
  const QString path = Q(SystemFolder() + file);
  QPixmap picture;
  if (!picture.load(path)) throw std::runtime_error("Cannot load the picture " + Std(path));
  imgTabLogo->setPixmap(picture);
}
