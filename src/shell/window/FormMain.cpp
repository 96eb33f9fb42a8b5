// The main window: layout and texts of every tab, and the handlers that need
// nothing but the controls.
#include "shell/window/FormMain.h"

#include "base/StartUp.h"
#include "controls/AlignPanel.h"
#include "controls/Confirm.h"
#include "controls/Decor.h"
#include "controls/OrvelSplitter.h"
#include "shell/ShellLimits.h"
#include "shell/window/ErrorDisplay.h"
#include "shell/window/QrView.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <stdexcept>

namespace {

const char* const kHints[] = {
    "",
    "Select the folder you want to share.\r\nAll files in this folder will be shared.",
    "Other users will be able to upload files into your computer.\r\nThe files will stored in the "
    "'Shared folder'.",
    "Don't participate into the public sharing network.\r\nIn this case only the friends you "
    "invite will see your shared files.",
    "People connected to you (downloading from you)",
    "List of Mirelo users that MAY BE online at this moment. Double click an\r\nuser to connect to "
    "it (via browser). Because this application is new,\r\nthe network has only few users. We "
    "will keep this application freeware\r\nfor a while, therefore, the number of user will grow "
    "soon. Invite a\r\nfriend now, while the application is still freeware.",
    "Search for other online users from which you can download files",
    "You need to restart the server after you change these settings.",
    "You need to forward this port if you are using a router.\r\nYou need to enter this port in "
    "your firewall if you are using one.\r\nYou need to restart the server after you change these "
    "settings.",
    "Internal IP address.\r\nShare files only in your local network.",
    "For Internet-wide sharing",
    "Email this IP address to your friends to let them see your shared files.",
    "Server time out (in milisec).\r\nYou need to restart the server (press the \"Share\" "
    "\r\nbutton twice) in order to apply this setting.\r\n\r\nWarning: \r\nOnly advanced users "
    "should alter this value.\r\nChange it only if you know what you are doing!",
    "Your GMT deviation.\r\nFormat:  \r\n     GMT +x\r\n     GMT -x",
    "Created desktop shortcut and Start menu shortcut to Mirelo application",
    "Delete from cache the images that are no longer existent on your\r\ndrive or which have been "
    "moved to a different folder. You can\r\npress this button as often as you like. We "
    "recommend pressing \r\nit at least once every 1-2 months.",
    "This will clear the cache. After this operation all images will be converted to "
    "\r\nthumbnails and stored to cache. Rebuilding the cache may slow down your computer\r\na bit "
    "in the beginning if you have thousands of images to share. Clear the\r\ncache not often than "
    "once every 2-3 months or when you changed the shared folder. ",
    "Save the cache database to disk now. This will ensure that the \r\ncurrent cache will be "
    "saved to disk and the current information \r\nin memory will not be lost in case the program "
    "will crash or \r\nWindows restarts unexpectedly. For debugging purposes.",
    "Only for extreme/urgent situations, else please use the forum.\r\nSupport request should be "
    "asked ONLY on forum.",
    "Force the application to resend the IP to the network",
    "This will crash the program",
};

QString Hint(int n) { return QString::fromUtf8(kHints[n]); }

template <class W>
W* Named(W* w, const char* name, const QString& hint = QString()) {
  w->setObjectName(name);
  if (!hint.isEmpty()) w->setToolTip(hint);
  return w;
}

QSpinBox* NumberField(QWidget* parent, const char* name, int min, int max, int step, int value,
                      const QString& hint = QString()) {
  auto* s = Named(new QSpinBox(parent), name, hint);
  s->setRange(min, max);
  s->setSingleStep(step);
  s->setValue(value);
  s->setKeyboardTracking(true);
  s->setMinimumWidth(80);
  return s;
}

// The number field of a setting: its range, step and default from the settings table.
QSpinBox* NumberField(QWidget* parent, const char* name, const TIntSetting& setting,
                      const QString& hint = QString()) {
  return NumberField(parent, name, setting.Range.min, setting.Range.max, setting.Step,
                     setting.Default, hint);
}

QPlainTextEdit* LogPane(QWidget* parent, const char* name, const QString& first,
                        const QString& hint) {
  auto* m = Named(new QPlainTextEdit(parent), name, hint);
  m->setLineWrapMode(QPlainTextEdit::NoWrap);
  m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m->setPlainText(first);
  return m;
}

QTableWidget* Table(QWidget* parent, const char* name, const QStringList& columns,
                    const QString& hint) {
  auto* t = Named(new QTableWidget(0, columns.size(), parent), name, hint);
  t->setHorizontalHeaderLabels(columns);
  t->setEditTriggers(QAbstractItemView::NoEditTriggers);
  t->setSelectionBehavior(QAbstractItemView::SelectRows);
  t->setSelectionMode(QAbstractItemView::SingleSelection);
  t->setShowGrid(true);
  t->verticalHeader()->hide();
  t->verticalHeader()->setDefaultSectionSize(20);
  return t;
}

const char* const kSkin = R"(
TFrmMain, QTabWidget > QWidget { background: #e9eef5; }
QGroupBox { border: 1px solid #8aa3c7; border-radius: 5px; margin-top: 12px; padding: 6px;
  font-weight: bold; color: #1d3e6e; }
QGroupBox::title { subcontrol-origin: margin; left: 10px; padding: 0 4px; }
QPushButton { color: #102a50; border: 1px solid #4f72a8; border-radius: 4px; padding: 3px 12px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fdfeff, stop:1 #c9d8ee); }
QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff,
  stop:1 #a9c3ea); }
QPushButton:pressed { background: #9ab6e0; }
QPushButton:disabled { color: #8a93a3; border-color: #a8b4c8; }
QTabBar::tab { background: #cfdbee; border: 1px solid #8aa3c7; padding: 4px 12px;
  border-top-left-radius: 4px; border-top-right-radius: 4px; color: #1d3e6e; }
QTabBar::tab:selected { background: #f5f8fc; font-weight: bold; }
QLineEdit, QSpinBox, QPlainTextEdit, QTableWidget { background: #ffffff;
  border: 1px solid #9fb3d1; border-radius: 2px; }
QHeaderView::section { background: #dbe5f3; border: 1px solid #9fb3d1; padding: 2px; }
)";

}  // namespace

TFrmMain::TFrmMain(QWidget* parent) : QWidget(parent) {
  setObjectName("FrmMain");
  setWindowTitle(FormText::kCaption);
  resize(714, 517);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(4, 0, 4, 4);
  outer->setSpacing(2);

  actShare = Named(new QAction("Share", this), "actShare");
  actShare->setShortcut(QKeySequence(Qt::Key_F9));
  actShare->setShortcutContext(Qt::WindowShortcut);
  actTest = Named(new QAction("Test", this), "actTest");
  actTest->setShortcut(QKeySequence(Qt::Key_F5));
  actTest->setShortcutContext(Qt::WindowShortcut);
  actTest->setEnabled(false);
  addAction(actShare);
  addAction(actTest);

  BuildTop();
  outer->addWidget(pnlTop);
  Page = Named(new QTabWidget(this), "Page");
  outer->addWidget(Page, 1);
  BuildShareTab();
  BuildConnectionsTab();
  BuildInternetTab();
  BuildSettingsTab();
  BuildLogTab();
  BuildInfoTab();
  BuildBetaTab();
  pnlSeeThrough = Named(new QWidget(this), "pnlSeeThrough");
  pnlSeeThrough->setFixedHeight(5);
  outer->addWidget(pnlSeeThrough);
  BuildBottom();
  BuildTray();
  // The design widths suit a smaller font than many systems use.
  WidenColumnsToCaptions();

  WireController();
  connect(edtAdr, &QLineEdit::textChanged, this, &TFrmMain::AdrChanged);
  connect(spnPort, &QSpinBox::valueChanged, this, &TFrmMain::AdrChanged);
  connect(edtDirectory, &QLineEdit::textChanged, this, &TFrmMain::edtDirectoryChange);
  connect(btnCopyIp, &QPushButton::clicked, this, &TFrmMain::btnCopyIpClick);
  connect(btnCopyAddress, &QPushButton::clicked, this, &TFrmMain::btnCopyIpClick);
  // The code shows exactly what "Copy address" copies, whoever set the text.
  connect(edtWebAdr, &QLineEdit::textChanged, imgQrCode, &TQrView::SetText);
  connect(btnTest, &QPushButton::clicked, this, &TFrmMain::actTestExecute);
  connect(actTest, &QAction::triggered, this, &TFrmMain::actTestExecute);
  connect(btnHelp, &QPushButton::clicked, this, &TFrmMain::btnHelpClick);
  connect(btnSendEmail, &QPushButton::clicked, this, &TFrmMain::btnSendEmailClick);
  connect(chkUseSkins, &QCheckBox::clicked, this, &TFrmMain::chkUseSkinsClick);
  connect(Page, &QTabWidget::currentChanged, this, Guarded([this] { PageChange(); }));
  connect(btnQuit, &QPushButton::clicked, this, &TFrmMain::btnQuitClick);
  connect(btnCrashTest, &QPushButton::clicked, this, Guarded([] {
            throw std::runtime_error("Crash test: this error was raised on purpose.");
          }));
  imgNovrixLogo->installEventFilter(this);

  const QString system = SystemFolderPath();
  imgLogo->setPixmap(QPixmap(system + "mirelo logo.png"));
  imgNovrixLogo->setPixmap(QPixmap(system + "novrix logo.png"));
  const QIcon icon(system + "mirelo tray.png");
  TrayIcon->setIcon(icon);
  setWindowIcon(icon);

  AdrChanged();
  SetSkinActive(chkUseSkins->isChecked());
}

QString TFrmMain::SystemFolderPath() { return QString::fromStdString(SystemFolder()); }

void TFrmMain::BuildTop() {
  pnlTop = Named(new QWidget(this), "pnlTop");
  pnlTop->setFixedHeight(66);
  auto* row = new QHBoxLayout(pnlTop);
  row->setContentsMargins(0, 1, 0, 1);
  imgLogo = Named(new QLabel(pnlTop), "imgLogo");
  imgLogo->setFixedSize(300, 64);
  btnCopyAddress = Named(new QPushButton("Copy address", pnlTop), "btnCopyAddress");
  btnCopyAddress->setDefault(true);
  btnCopyAddress->setAutoDefault(true);
  imgTabLogo = Named(new QLabel(pnlTop), "imgTabLogo");
  imgTabLogo->setFixedSize(64, 64);
  row->addWidget(imgLogo);
  row->addStretch(1);
  row->addWidget(btnCopyAddress, 0, Qt::AlignVCenter);
  row->addSpacing(12);
  row->addWidget(imgTabLogo);
}

void TFrmMain::BuildShareTab() {
  tabShare = Named(new QWidget, "tabShare");
  auto* v = new QVBoxLayout(tabShare);

  grpShare = Named(new QGroupBox("Share:", tabShare), "grpShare");
  auto* g = new QGridLayout(grpShare);
  pnlDirectory = Named(new TGradientBanner(grpShare), "pnlDirectory");
  pnlDirectory->Heading()->setText("Enter here the folder you want to share");
  lblShareFolder = Named(new QLabel("Shared folder:", grpShare), "lblShareFolder");
  edtDirectory = Named(new QLineEdit(grpShare), "edtDirectory", Hint(1));
  btnBrowse = Named(new QPushButton("Browse", grpShare), "btnBrowse");
  chkAccUploads = Named(new QCheckBox("Accept uploads", grpShare), "chkAccUploads", Hint(2));
  chkAccUploads->setChecked(true);
  chkPrivate = Named(new QCheckBox("Private sharing", grpShare), "chkPrivate", Hint(3));
  btnNewKey = Named(new QPushButton("New key", grpShare), "btnNewKey",
                    "Make a new key for the address: links given out before stop working.");
  btnNewKey->setAutoDefault(false);
  btnNewKey->setEnabled(false);
  g->addWidget(pnlDirectory, 0, 0, 1, 3);
  g->addWidget(lblShareFolder, 1, 0);
  g->addWidget(edtDirectory, 1, 1);
  g->addWidget(btnBrowse, 1, 2);
  auto* checks = new QHBoxLayout;
  checks->addWidget(chkAccUploads);
  checks->addWidget(chkPrivate);
  checks->addWidget(btnNewKey);
  checks->addStretch(1);
  g->addLayout(checks, 2, 1, 1, 2);
  v->addWidget(grpShare);

  grpInviteFrnd = Named(new QGroupBox("Invite a friend:", tabShare), "grpInviteFrnd");
  auto* f = new QGridLayout(grpInviteFrnd);
  lblFriendEmail = Named(new QLabel("Your friend's email", grpInviteFrnd), "lblFriendEmail");
  edtEmail = Named(new QLineEdit(FormText::kFriendPlaceholder, grpInviteFrnd), "edtEmail");
  lblSubj = Named(new QLabel("Email subject", grpInviteFrnd), "lblSubj");
  edtSubject = Named(new QLineEdit("See my pictures.", grpInviteFrnd), "edtSubject");
  btnSendEmail = Named(new QPushButton("Send email", grpInviteFrnd), "btnSendEmail");
  mmoBody = Named(new QPlainTextEdit(grpInviteFrnd), "mmoBody");
  mmoBody->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  f->addWidget(lblFriendEmail, 0, 0);
  f->addWidget(edtEmail, 0, 1);
  f->addWidget(lblSubj, 1, 0);
  f->addWidget(edtSubject, 1, 1);
  f->addWidget(btnSendEmail, 1, 2);
  f->addWidget(mmoBody, 2, 0, 1, 3);
  v->addWidget(grpInviteFrnd, 1);
  Page->addTab(tabShare, "Shared files");
}

void TFrmMain::BuildConnectionsTab() {
  tabConnections = Named(new QWidget, "tabConnections");
  auto* v = new QVBoxLayout(tabConnections);
  v->setContentsMargins(4, 4, 4, 4);
  pnlConnections = Named(new TAlignPanel(tabConnections), "pnlConnections");
  v->addWidget(pnlConnections);

  lblConnections =
      Named(new QLabel("Current connections:", pnlConnections), "lblConnections", Hint(4));
  lblConnections->resize(100, 20);
  SetAlign(lblConnections, TAlign::alTop);
  lstConnect = Table(pnlConnections, "lstConnect", {"IP", "Operation", "File"}, QString());
  lstConnect->setColumnWidth(0, 100);
  lstConnect->setColumnWidth(1, 150);
  lstConnect->horizontalHeader()->setStretchLastSection(true);
  lstConnect->resize(100, 150);
  SetAlign(lstConnect, TAlign::alTop);
  splitConnections = Named(new TOrvelSplitter(pnlConnections), "splitConnections");
  splitConnections->resize(100, 4);
  splitConnections->SetAlign(TAlign::alTop);
  splitConnections->SetResizeStyle(TResizeStyle::rsUpdate);

  auto* users = new QWidget(pnlConnections);
  users->setObjectName("pnlUsers");
  SetAlign(users, TAlign::alClient);
  auto* u = new QVBoxLayout(users);
  u->setContentsMargins(0, 0, 0, 0);
  lblFriends = Named(new QLabel("Online users:", users), "lblFriends", Hint(5));
  lstUsers = Table(users, "lstUsers",
                   {"UserName", "User IP", "Present online at", "Shared files", "Share size (MB)",
                    "Share ration"},
                   QString());
  lstUsers->setColumnWidth(0, 120);
  lstUsers->setColumnWidth(1, 170);
  lstUsers->setColumnWidth(2, 150);
  lstUsers->setColumnWidth(3, 77);
  lstUsers->setColumnWidth(4, 77);
  lstUsers->setColumnWidth(5, 66);
  btnSearch = Named(new QPushButton("Search for users", users), "btnSearch", Hint(6));
  u->addWidget(lblFriends);
  u->addWidget(lstUsers, 1);
  u->addWidget(btnSearch, 0, Qt::AlignRight);
  Page->addTab(tabConnections, "Connections");
}

void TFrmMain::BuildInternetTab() {
  tabISettings = Named(new QWidget, "tabISettings");
  auto* grid = new QGridLayout(tabISettings);

  grpYourIp = Named(new QGroupBox("Your IP address:", tabISettings), "grpYourIp");
  auto* y = new QGridLayout(grpYourIp);
  lblIpAdres = Named(new QLabel("IP Address:", grpYourIp), "lblIpAdres");
  edtAdr = Named(new QLineEdit("000.000.000.000", grpYourIp), "edtAdr", Hint(7));
  chkAutoIP = Named(new QCheckBox("Autodetect IP", grpYourIp), "chkAutoIP");
  chkAutoIP->setChecked(true);
  chkAutoIP->setEnabled(false);
  lblPort = Named(new QLabel("Port:", grpYourIp), "lblPort");
  spnPort = NumberField(grpYourIp, "spnPort", SettingsTable::kPort, Hint(8));
  btnTest = Named(new QPushButton("Test", grpYourIp), "btnTest");
  btnHelp = Named(new QPushButton("Help", grpYourIp), "btnHelp");
  lblScroll = Named(
      new TScrollingText(
          "If other people have problems accessing your shared files then probably your firewall "
          "is blocking Mirelo from connecting to Internet OR you need to set a port forwarding "
          "rule in your router. Please press the help button for details.",
          grpYourIp),
      "lblScroll");
  y->addWidget(lblIpAdres, 0, 0);
  y->addWidget(edtAdr, 0, 1);
  y->addWidget(chkAutoIP, 0, 2);
  y->addWidget(lblPort, 1, 0);
  y->addWidget(spnPort, 1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(btnTest);
  buttons->addWidget(btnHelp);
  y->addLayout(buttons, 1, 2);
  y->addWidget(lblScroll, 2, 0, 1, 3);
  grid->addWidget(grpYourIp, 0, 0);

  grpServerType =
      Named(new QGroupBox("You want to share the files:", tabISettings), "grpServerType");
  auto* s = new QVBoxLayout(grpServerType);
  radIntern = Named(new QRadioButton("Internal (only in your network)", grpServerType), "radIntern",
                    Hint(9));
  radExtern =
      Named(new QRadioButton("External (Internet-wide)", grpServerType), "radExtern", Hint(10));
  radIntern->setChecked(true);
  chkPortMapping = Named(new QCheckBox("Map the port on my router automatically", grpServerType),
                         "chkPortMapping");
  chkPortMapping->setChecked(true);
  s->addWidget(radIntern);
  s->addWidget(radExtern);
  s->addWidget(chkPortMapping);
  s->addStretch(1);
  grid->addWidget(grpServerType, 0, 1);

  grpCopyAddress =
      Named(new QGroupBox("Your shared files are visible to this address:", tabISettings),
            "grpCopyAddress");
  auto* c = new QGridLayout(grpCopyAddress);
  lblMessage = Named(new QLabel("To see the files you share, your friends must type the "
                                "following address in their web browser:",
                                grpCopyAddress),
                     "lblMessage");
  lblMessage->setWordWrap(true);
  edtWebAdr = Named(new QLineEdit(grpCopyAddress), "edtWebAdr", Hint(11));
  edtWebAdr->setReadOnly(true);
  btnCopyIp = Named(new QPushButton("Copy address", grpCopyAddress), "btnCopyIp");
  lblWebAdr6 = Named(new QLabel(grpCopyAddress), "lblWebAdr6");
  lblFirewall6 = Named(new QLabel(grpCopyAddress), "lblFirewall6");
  lblPortMapping = Named(new QLabel(grpCopyAddress), "lblPortMapping");
  lblReach = Named(new QLabel(grpCopyAddress), "lblReach");
  imgQrCode = Named(new TQrView(grpCopyAddress), "imgQrCode");
  imgQrCode->setFixedSize(112, 112);
  for (QLabel* line : {lblWebAdr6, lblFirewall6, lblPortMapping, lblReach}) {
    line->setWordWrap(true);
    line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line->hide();
  }
  c->addWidget(lblMessage, 0, 0, 1, 2);
  c->addWidget(edtWebAdr, 1, 0);
  c->addWidget(btnCopyIp, 1, 1);
  c->addWidget(lblWebAdr6, 2, 0, 1, 2);
  c->addWidget(lblFirewall6, 3, 0, 1, 2);
  c->addWidget(lblPortMapping, 4, 0, 1, 2);
  c->addWidget(lblReach, 5, 0, 1, 2);
  c->addWidget(imgQrCode, 0, 2, 6, 1, Qt::AlignTop);
  c->setColumnStretch(0, 1);
  grid->addWidget(grpCopyAddress, 1, 0, 1, 2);

  grpAdvanced = Named(new QGroupBox("Advanced settings", tabISettings), "grpAdvanced");
  auto* a = new QGridLayout(grpAdvanced);
  lblTimeOut = Named(new QLabel("Connection time out", grpAdvanced), "lblTimeOut");
  spnTimeOut = NumberField(grpAdvanced, "spnTimeOut", SettingsTable::kTimeoutMs, Hint(12));
  lblPingMax = Named(new QLabel("Stop searching after you find                  sharing "
                                "computers online",
                                grpAdvanced),
                     "lblPingMax");
  spnMaxPing = NumberField(grpAdvanced, "spnMaxPing", 0, 1000, 5, 50);
  lblPingMax->setEnabled(false);
  spnMaxPing->setEnabled(false);
  a->addWidget(lblTimeOut, 0, 0);
  a->addWidget(spnTimeOut, 0, 1);
  a->addWidget(lblPingMax, 1, 0);
  a->addWidget(spnMaxPing, 1, 1);
  a->setColumnStretch(2, 1);
  grid->addWidget(grpAdvanced, 2, 0, 1, 2);
  grid->setRowStretch(3, 1);
  Page->addTab(tabISettings, "Internet settings");
}

void TFrmMain::BuildSettingsTab() {
  tabSettings = Named(new QWidget, "tabSettings");
  auto* h = new QHBoxLayout(tabSettings);

  grpMisc = Named(new QGroupBox("Misc", tabSettings), "grpMisc");
  auto* m = new QGridLayout(grpMisc);
  chkAskStop = Named(new QCheckBox("Ask before closing application", grpMisc), "chkAskStop");
  chkUseSkins = Named(new QCheckBox("Use skins", grpMisc), "chkUseSkins");
  chkUseSkins->setChecked(true);
  chkAutoStart = Named(new QCheckBox("Start at Windows start up", grpMisc), "chkAutoStart");
  lblGmt = Named(new QLabel("Your Time Zone:", grpMisc), "lblGmt");
  edtGmtDev = Named(new QLineEdit("GMT +1", grpMisc), "edtGmtDev", Hint(13));
  btnShortcut = Named(new QPushButton("Create desktop shortcut", grpMisc), "btnShortcut", Hint(14));
  m->addWidget(chkAskStop, 0, 0, 1, 2);
  m->addWidget(chkUseSkins, 1, 0, 1, 2);
  m->addWidget(chkAutoStart, 2, 0, 1, 2);
  m->addWidget(lblGmt, 3, 0);
  m->addWidget(edtGmtDev, 3, 1);
  m->addWidget(btnShortcut, 4, 0, 1, 2);
  // The pages friends get; the listener takes the choice when sharing starts.
  lblPages = Named(new QLabel("Pages for visitors:", grpMisc), "lblPages");
  radPagesClassic = Named(new QRadioButton("Classic", grpMisc), "radPagesClassic",
                          "The table pages (takes effect when sharing starts)");
  radPagesGallery = Named(new QRadioButton("Gallery", grpMisc), "radPagesGallery",
                          "A picture gallery that works on a phone (takes effect when sharing "
                          "starts)");
  radPagesClassic->setChecked(true);
  auto* pages = new QHBoxLayout;
  pages->addWidget(lblPages);
  pages->addWidget(radPagesClassic);
  pages->addWidget(radPagesGallery);
  pages->addStretch(1);
  m->addLayout(pages, 5, 0, 1, 2);
  m->setRowStretch(6, 1);
  h->addWidget(grpMisc);

  grpCache = Named(new QGroupBox("Cache/thumbnail system", tabSettings), "grpCache");
  auto* c = new QGridLayout(grpCache);
  lblWidth = Named(new QLabel("Thumbnail width", grpCache), "lblWidth");
  spnWidth =
      NumberField(grpCache, "spnWidth", SettingsTable::kThumbWidth, "Size of the thumbnails");
  lblHeight = Named(new QLabel("Thumbnail height", grpCache), "lblHeight");
  spnHeight =
      NumberField(grpCache, "spnHeight", SettingsTable::kThumbHeight, "Size of the thumbnails");
  lblResamplerQ = Named(new QLabel("Resampler quality", grpCache), "lblResamplerQ");
  edtedtResamplerQ = NumberField(grpCache, "edtedtResamplerQ", SettingsTable::kResamplerQuality,
                                 "The quality of the thumbnails.");
  btnMantainCache = Named(new QPushButton("Mantain Cache", grpCache), "btnMantainCache", Hint(15));
  btnClearCache = Named(new QPushButton("Clear Cache", grpCache), "btnClearCache", Hint(16));
  btnSaveDB = Named(new QPushButton("Save cache DB now", grpCache), "btnSaveDB", Hint(17));
  c->addWidget(lblWidth, 0, 0);
  c->addWidget(spnWidth, 0, 1);
  c->addWidget(lblHeight, 1, 0);
  c->addWidget(spnHeight, 1, 1);
  c->addWidget(lblResamplerQ, 2, 0);
  c->addWidget(edtedtResamplerQ, 2, 1);
  c->addWidget(btnMantainCache, 3, 0, 1, 2);
  c->addWidget(btnClearCache, 4, 0, 1, 2);
  c->addWidget(btnSaveDB, 5, 0, 1, 2);
  c->setRowStretch(6, 1);
  h->addWidget(grpCache);
  Page->addTab(tabSettings, "Settings");
}

void TFrmMain::BuildLogTab() {
  tabLog = Named(new QWidget, "tabLog");
  auto* v = new QVBoxLayout(tabLog);
  v->setContentsMargins(2, 2, 2, 2);
  pnlLogs = Named(new TAlignPanel(tabLog), "pnlLogs");
  v->addWidget(pnlLogs);
  logDown = LogPane(pnlLogs, "logDown", "Dowloaded files:", "Dowloaded files");
  logDown->resize(150, 100);
  SetAlign(logDown, TAlign::alLeft);
  SplitterLeft = Named(new TOrvelSplitter(pnlLogs), "SplitterLeft");
  logUpload = LogPane(pnlLogs, "logUpload", "Uploaded files:", "Uploaded files");
  logUpload->resize(150, 100);
  SetAlign(logUpload, TAlign::alLeft);
  SplitterRight = Named(new TOrvelSplitter(pnlLogs), "SplitterRight");
  for (TOrvelSplitter* s : {SplitterLeft, SplitterRight}) {
    s->SetBeveled(true);
    s->SetMinSize(3);
    s->SetResizeStyle(TResizeStyle::rsUpdate);
    s->setFixedWidth(3);
  }
  Log = LogPane(pnlLogs, "Log", "Log", QString());
  // The pane holds no more lines than the log file keeps.
  Log->setMaximumBlockCount(static_cast<int>(ShellLimits::kMaxLogLines));
  SetAlign(Log, TAlign::alClient);
  Page->addTab(tabLog, "Logs");
}

void TFrmMain::BuildInfoTab() {
  tabInfo = Named(new QWidget, "tabInfo");
  auto* v = new QVBoxLayout(tabInfo);
  lblProductName = Named(new QLabel("Product Name", tabInfo), "lblProductName");
  QFont big = lblProductName->font();
  big.setPointSize(big.pointSize() + 4);
  big.setBold(true);
  lblProductName->setFont(big);
  lblUserName = Named(new QLabel("Your user name: ", tabInfo), "lblUserName");
  lblWorkFolder = Named(new QLabel("Working folder: ", tabInfo), "lblWorkFolder");
  lblSupport = Named(new TLinkLabel("Online support", tabInfo), "lblSupport");
  mmoAbout = Named(new QPlainTextEdit(tabInfo), "mmoAbout");
  mmoAbout->setReadOnly(true);
  mmoAbout->setPlainText(
      "Mirelo File Share lets your friends see the pictures and files of one folder of yours "
      "in any web browser: a page of thumbnails, downloads, a search by file name and, when "
      "you allow it, uploads.\n\nPick the folder on the \"Shared files\" tab, press \"Share\" "
      "and send your friends the address shown on the \"Internet settings\" tab.\n\n"
      "Thumbnails are made once and kept in the cache folder beside the settings.");
  imgNovrixLogo = Named(new QLabel(tabInfo), "imgNovrixLogo");
  imgNovrixLogo->setCursor(Qt::PointingHandCursor);
  v->addWidget(lblProductName);
  v->addWidget(lblUserName);
  v->addWidget(lblWorkFolder);
  v->addWidget(lblSupport);
  v->addWidget(mmoAbout, 1);
  v->addWidget(imgNovrixLogo, 0, Qt::AlignHCenter);
  Page->addTab(tabInfo, "Info");
}

void TFrmMain::BuildBetaTab() {
  tabBeta = Named(new QWidget, "tabBeta");
  auto* v = new QVBoxLayout(tabBeta);
  lblRepBug = Named(new TLinkLabel("Report a bug", tabBeta), "lblRepBug");
  lblReqFeature = Named(new TLinkLabel("Request a feature", tabBeta), "lblReqFeature");
  lblDirectContact =
      Named(new TLinkLabel("Contact the author (only for extreme situations)", tabBeta),
            "lblDirectContact", Hint(18));
  lblDirectContact->SetUrl(FormText::kContactMail);
  btnSendIP = Named(new QPushButton("Send IP", tabBeta), "btnSendIP", Hint(19));
  btnCrashTest = Named(new QPushButton("Crash test", tabBeta), "btnCrashTest", Hint(20));
  lblBetaNote = Named(new QLabel("To definitivelly hide this tab, please remove the 'BetaTester' "
                                 "file located in Mirelo's folder",
                                 tabBeta),
                      "lblBetaNote");
  lblBetaNote->setAlignment(Qt::AlignCenter);
  v->addWidget(lblRepBug);
  v->addWidget(lblReqFeature);
  v->addWidget(lblDirectContact);
  auto* b = new QHBoxLayout;
  b->addWidget(btnSendIP);
  b->addWidget(btnCrashTest);
  b->addStretch(1);
  v->addLayout(b);
  v->addStretch(1);
  v->addWidget(lblBetaNote);
  Page->addTab(tabBeta, "Beta");
  for (TLinkLabel* l : {lblSupport, lblRepBug, lblReqFeature, lblDirectContact}) {
    l->OnOpen = [](const QString& url) { OpenInShell(url); };
  }
}

void TFrmMain::BuildBottom() {
  auto* row = new QHBoxLayout;
  Scanner = Named(new TLedScanner(this), "Scanner");
  Scanner->SetColor(Qt::yellow);
  btnStart = Named(new QPushButton(actShare->text(), this), "btnStart");
  btnStart->setAutoDefault(false);
  btnQuit = Named(new QPushButton("Close", this), "btnQuit");
  btnQuit->setAutoDefault(false);
  connect(btnStart, &QPushButton::clicked, actShare, &QAction::trigger);
  connect(actShare, &QAction::changed, this, [this] { btnStart->setText(actShare->text()); });
  row->addWidget(Scanner, 0, Qt::AlignVCenter);
  row->addStretch(1);
  row->addWidget(btnStart);
  row->addWidget(btnQuit);
  static_cast<QVBoxLayout*>(layout())->addLayout(row);
}

void TFrmMain::BuildTray() {
  TrayIcon = Named(new QSystemTrayIcon(this), "TrayIcon");
  TrayIcon->setToolTip(FormText::kTrayHint);
  popSysTray = Named(new QMenu(this), "popSysTray");
  mnuShowApp = Named(popSysTray->addAction("Show"), "mnuShowApp");
  mnuClose = Named(popSysTray->addAction("Close"), "mnuClose");
  TrayIcon->setContextMenu(popSysTray);
  connect(mnuShowApp, &QAction::triggered, this, &TFrmMain::RestoreFromTray);
  connect(mnuClose, &QAction::triggered, this, &TFrmMain::btnQuitClick);
  connect(TrayIcon, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
              RestoreFromTray();
            }
          });
}

void TFrmMain::SetSkinActive(bool on) {
  m_skinActive = on;
  setStyleSheet(on ? QString::fromLatin1(kSkin) : QString());
}

void TFrmMain::chkUseSkinsClick() {
  SetSkinActive(chkUseSkins->isChecked());
  WidenColumnsToCaptions();
}

void TFrmMain::WidenColumnsToCaptions() {
  for (QTableWidget* table : findChildren<QTableWidget*>()) {
    QHeaderView* header = table->horizontalHeader();
    const int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    for (int c = 0; c < table->columnCount(); ++c) {
      const QTableWidgetItem* item = table->horizontalHeaderItem(c);
      if (!item) continue;
      const int needed = header->fontMetrics().horizontalAdvance(item->text()) + 2 * margin + 2;
      if (table->columnWidth(c) < needed) table->setColumnWidth(c, needed);
    }
  }
}

void TFrmMain::RestoreFromTray() {
  TrayIcon->hide();
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void TFrmMain::btnQuitClick() { close(); }

void TFrmMain::CloseWithoutAsking() {
  m_skipConfirm = true;
  close();
  m_skipConfirm = false;
}

void TFrmMain::closeEvent(QCloseEvent* e) {
  if (!m_skipConfirm && chkAskStop->isChecked() &&
      !AskConfirm(this, "Do you want to stop sharing files and exit?")) {
    e->ignore();
    return;
  }
  e->accept();
  m_closed = true;
  emit Closed();
}

void TFrmMain::keyPressEvent(QKeyEvent* e) {
  const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
  if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && mods == Qt::NoModifier &&
      btnCopyAddress->isEnabled()) {
    btnCopyAddress->click();
    e->accept();
    return;
  }
  QWidget::keyPressEvent(e);
}

void TFrmMain::changeEvent(QEvent* e) {
  QWidget::changeEvent(e);
  if (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange) WidenColumnsToCaptions();
  if (e->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
      QSystemTrayIcon::isSystemTrayAvailable()) {
    // Minimised to the tray: the window hides until the icon brings it back.
    TrayIcon->show();
    QTimer::singleShot(0, this, &QWidget::hide);
  }
}

bool TFrmMain::eventFilter(QObject* watched, QEvent* e) {
  if (watched == imgNovrixLogo && e->type() == QEvent::MouseButtonRelease) {
    imgNovrixLogoClick();
    return true;
  }
  return QWidget::eventFilter(watched, e);
}
