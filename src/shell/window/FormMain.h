// The main window: every tab and control under its name, and the controller
// that maps the core's logic (settings, sharing, status board, cache, network)
// onto them. Runs on the window thread; workers reach it only through
// ReportStatus, carried out here while they wait.
#pragma once

#include "shell/AppSettings.h"
#include "shell/InternetReach.h"
#include "shell/LogFile.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QAction;
class QKeyEvent;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QSystemTrayIcon;
class QTabWidget;
class QTableWidget;
class QGroupBox;
class TAlignPanel;
class TGradientBanner;
class TLedScanner;
class TLinkLabel;
class TOrvelSplitter;
class TQrView;
class TScrollingText;

// Texts of the window that other parts and tests refer to.
namespace FormText {
inline constexpr const char* kCaption = "Novrix Mirelo Share";
inline constexpr const char* kTrayHint = "Mirelo - Double click to exit.";
inline constexpr const char* kSupportForum = "http://www.novrix.example/forum/";
inline constexpr const char* kContactMail = "mailto:author@novrix.example";
inline constexpr const char* kFriendPlaceholder = "friend@example.com";
inline constexpr const char* kShortcutName = "Mirelo File Share";
}  // namespace FormText

// The user-name prompt of start-up; tests answer it (empty: the input box).
using UserNameBox = std::function<std::string(const std::string& offered)>;
void SetUserNameBoxHook(UserNameBox hook);

class TFrmMainPrivate;
class TCacheObj;
struct TSharingReport;

class TFrmMain : public QWidget {
  Q_OBJECT
 public:
  explicit TFrmMain(QWidget* parent = nullptr);
  ~TFrmMain() override;

  // Where the first run's "Shared folder" goes, ending in "/"; set before
  // FormCreate. Empty: beside the program. A working folder given with
  // --workdir holds it instead, as in the headless program.
  std::string SharedFolderBase;

  // Top panel and bottom row.
  QWidget* pnlTop;
  QLabel* imgLogo;
  QPushButton* btnCopyAddress;
  QLabel* imgTabLogo;
  QTabWidget* Page;
  QWidget* pnlSeeThrough;
  TLedScanner* Scanner;
  QPushButton* btnStart;
  QPushButton* btnQuit;
  QAction* actShare;
  QAction* actTest;
  QSystemTrayIcon* TrayIcon;
  QMenu* popSysTray;
  QAction* mnuShowApp;
  QAction* mnuClose;

  // Tab 0, "Shared files".
  QWidget* tabShare;
  QGroupBox* grpShare;
  TGradientBanner* pnlDirectory;
  QLabel* lblShareFolder;
  QLineEdit* edtDirectory;
  QPushButton* btnBrowse;
  QCheckBox* chkAccUploads;
  QCheckBox* chkPrivate;  // "Private" / "PrivateSharing"
  QPushButton* btnNewKey;
  QGroupBox* grpInviteFrnd;
  QLabel* lblFriendEmail;
  QLineEdit* edtEmail;
  QLabel* lblSubj;
  QLineEdit* edtSubject;
  QPushButton* btnSendEmail;
  QPlainTextEdit* mmoBody;

  // Tab 1, "Connections".
  QWidget* tabConnections;
  TAlignPanel* pnlConnections;
  QLabel* lblConnections;
  QTableWidget* lstConnect;
  TOrvelSplitter* splitConnections;
  QLabel* lblFriends;
  QTableWidget* lstUsers;
  QPushButton* btnSearch;

  // Tab 2, "Internet settings".
  QWidget* tabISettings;
  QGroupBox* grpYourIp;
  QLabel* lblIpAdres;
  QLineEdit* edtAdr;
  QCheckBox* chkAutoIP;
  QLabel* lblPort;
  QSpinBox* spnPort;
  QPushButton* btnTest;
  QPushButton* btnHelp;
  TScrollingText* lblScroll;
  QGroupBox* grpServerType;
  QRadioButton* radIntern;
  QRadioButton* radExtern;
  QCheckBox* chkPortMapping;  // "Network" / "PortMapping"
  QGroupBox* grpCopyAddress;
  QLabel* lblMessage;
  QLineEdit* edtWebAdr;
  QPushButton* btnCopyIp;
  // The QR code of the web address beside "Copy address"; it always encodes
  // the text of edtWebAdr, which is what "Copy address" copies.
  TQrView* imgQrCode;
  // Under the web address while sharing Internet-wide: the second address
  // over IPv6 and the line about the router's IPv6 firewall, the port
  // mapping's line and the reachability line.
  QLabel* lblWebAdr6;
  QLabel* lblFirewall6;
  QLabel* lblPortMapping;
  QLabel* lblReach;
  QGroupBox* grpAdvanced;
  QLabel* lblTimeOut;
  QSpinBox* spnTimeOut;
  QLabel* lblPingMax;
  QSpinBox* spnMaxPing;

  // Tab 3, "Settings".
  QWidget* tabSettings;
  QGroupBox* grpMisc;
  QCheckBox* chkAskStop;
  QCheckBox* chkUseSkins;
  QCheckBox* chkAutoStart;
  QLabel* lblPages;
  QRadioButton* radPagesClassic;
  QRadioButton* radPagesGallery;
  QLabel* lblGmt;
  QLineEdit* edtGmtDev;
  QPushButton* btnShortcut;
  QGroupBox* grpCache;
  QLabel* lblWidth;
  QSpinBox* spnWidth;
  QLabel* lblHeight;
  QSpinBox* spnHeight;
  QLabel* lblResamplerQ;
  QSpinBox* edtedtResamplerQ;
  QPushButton* btnMantainCache;
  QPushButton* btnClearCache;
  QPushButton* btnSaveDB;

  // Tab 4, "Logs".
  QWidget* tabLog;
  TAlignPanel* pnlLogs;
  QPlainTextEdit* logDown;
  TOrvelSplitter* SplitterLeft;
  QPlainTextEdit* logUpload;
  TOrvelSplitter* SplitterRight;
  QPlainTextEdit* Log;

  // Tab 5, "Info".
  QWidget* tabInfo;
  QLabel* lblProductName;
  QLabel* lblUserName;
  QLabel* lblWorkFolder;
  TLinkLabel* lblSupport;
  QPlainTextEdit* mmoAbout;
  QLabel* imgNovrixLogo;

  // Tab 6, "Beta".
  QWidget* tabBeta;
  TLinkLabel* lblRepBug;
  TLinkLabel* lblReqFeature;
  TLinkLabel* lblDirectContact;
  QPushButton* btnSendIP;
  QPushButton* btnCrashTest;
  QLabel* lblBetaNote;

  // Entry step 5 after the controls exist: caption, thumbnail cache,
  // settings, log. Then CompleteStartUp once the window is shown.
  void FormCreate();
  void CompleteStartUp(bool shareOff);
  // The closing sequence after the window closed: settings saved, sharing
  // stopped, log written, cache released. Runs once.
  void FormDestroy();

  // Settings between the settings file and the controls, with their side effects.
  void LoadSettings();
  void SaveSettings();
  AppSettings SettingsFromControls() const;

  // Sharing state.
  bool Sharing() const;
  // A finding of the port mapping or the reachability check of the given
  // sharing session (window thread); one of an earlier session is only logged.
  void InternetUpdate(const TReachUpdate& update, int session);
  void StartSharing();
  void StopSharing();
  // A connection worker's report (window thread): the sharing session's
  // board takes it, then the table and the log pane show it.
  void ReportStatus(const std::string& peerIp, const std::string& operation,
                    const std::string& fileName);
  // The status callback the listener's workers report through: runs
  // ReportStatus on the window thread while the calling worker waits;
  // harmless after the window is gone.
  std::function<void(const std::string&, const std::string&, const std::string&)> StatusCallback();
  // The port the listener actually bound (0 while stopped or when unknown).
  int ListeningPort() const;
  // The interface address the listener binds (empty: every IPv4 interface);
  // tests use the loopback address.
  void SetBindAddress(const std::string& address);
  // Where sharing learns the computer's interface addresses (tests give
  // their own, e.g. a global IPv6 address).
  void SetInterfaceLister(std::function<std::vector<TInterfaceAddress>()> lister);
  // The IP-echo service and the tracker asked from now on (loaded from the
  // settings file; tests point them at loopback).
  void SetNetworkHosts(const std::string& ipEcho, const std::string& tracker) {
    m_loaded.IpEchoHost = ipEcho;
    m_loaded.TrackerHost = tracker;
  }

  // The process's thumbnail cache (null before FormCreate and after FormDestroy).
  TCacheObj* Cache() const;

  // Appends one line to the log pane (and the log kept across runs).
  void AppendLog(const std::string& line);
  const LogFile& LogLines() const { return m_log; }
  // True while IP detection, registration or the user search runs.
  bool NetworkBusy() const { return m_networkBusy; }

  // Texts composed from the controls. The web address carries the share's
  // key while sharing privately; the presence address never does.
  QString WebAddress() const;
  QString PresenceAddress() const;
  // The share's key while "Private sharing" is ticked, else "".
  std::string ShareKey() const;
  QString InvitationBody() const;
  // "mailto:" address with percent-encoded query values.
  static QString MailtoAddress(const QString& to, const QString& subject, const QString& body);

  // Whether the skin style sheet is on.
  bool SkinActive() const { return m_skinActive; }
  void SetSkinActive(bool on);

  // Shows the window again from the tray, restored and in front.
  void RestoreFromTray();
  // Closing without the confirmation (logout, SIGTERM).
  void CloseWithoutAsking();
  // True once the window has agreed to close.
  bool HasClosed() const { return m_closed; }

  // The folder of the fixed pictures, ending in "/".
  static QString SystemFolderPath();

  // Opens an address with the desktop (the core's OpenDocument).
  static void OpenInShell(const QString& target);

 signals:
  // The window closed (after the optional confirmation).
  void Closed();

 public slots:
  void actShareExecute();
  void btnBrowseClick();
  void ServerTypeChanged();
  void chkAutoStartClick();
  void btnShortcutClick();
  void btnMantainCacheClick();
  void btnClearCacheClick();
  void btnSaveDBClick();
  void edtedtResamplerQChange();
  void spnWidthChange();
  void spnHeightChange();
  void btnSendIPClick();
  void chkPrivateClick();
  void btnNewKeyClick();
  void btnSearchClick();
  void lstUsersDblClick(int row);
  void AdrChanged();
  void edtDirectoryChange();
  void btnCopyIpClick();
  void actTestExecute();
  void btnHelpClick();
  void imgNovrixLogoClick();
  void btnSendEmailClick();
  void chkUseSkinsClick();
  void PageChange();
  void btnQuitClick();

 protected:
  void closeEvent(QCloseEvent* e) override;
  void changeEvent(QEvent* e) override;
  // Enter that no control took runs the default button, "Copy address".
  void keyPressEvent(QKeyEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  // Widens every table column whose header text does not fit in the
  // header's present font.
  void WidenColumnsToCaptions();
  void BuildTop();
  void BuildShareTab();
  void BuildConnectionsTab();
  void BuildInternetTab();
  void BuildSettingsTab();
  void BuildLogTab();
  void BuildInfoTab();
  void BuildBetaTab();
  void BuildBottom();
  void BuildTray();

  // Runs a blocking network step on a helper thread while the window keeps
  // painting in a local event loop; false (nothing run) while one runs.
  bool RunNetworkStep(const std::function<void()>& step);
  // Shows what a report changed: the connection table anew, the log lines.
  void ShowReport(const TSharingReport& report);
  void AddPluginTabs();
  void WireController();
  // The port mapping and the reachability check for the listener just started.
  void StartInternet();
  // The web address from the server address and the port, without a key.
  QString ComposedAddress() const;
  // The IPv6 line under the web address (key included).
  void ShowIPv6Address();

  bool m_skinActive = false;
  bool m_skipConfirm = false;
  bool m_closed = false;
  bool m_created = false;
  bool m_destroyed = false;
  bool m_networkBusy = false;
  bool m_serverTypeAttached = true;
  AppSettings m_loaded;
  // The port friends use when the router forwards another one; 0: the
  // listener's own.
  int m_publicPort = 0;
  LogFile m_log;
  std::shared_ptr<TFrmMainPrivate> d;
};
