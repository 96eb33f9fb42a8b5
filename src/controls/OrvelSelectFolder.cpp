// The folder chooser dialog and SelectFolder.
#include "controls/OrvelSelectFolder.h"

#include "base/OrvelTPU.h"
#include "controls/AlignPanel.h"
#include "controls/Confirm.h"
#include "controls/OrvelSplitter.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace {

SelectFolderHook& Hook() {
  static SelectFolderHook hook;
  return hook;
}

bool IsFolderPath(const QString& path) { return IsFolder(path.toStdString()); }

QString WithSlash(const QString& path) { return path.endsWith('/') ? path : path + '/'; }

QString StripSlash(const QString& path) {
  QString p = path;
  while (p.size() > 1 && p.endsWith('/')) p.chop(1);
  return p;
}

// Octal escapes of /proc/mounts ("\040" for a blank).
QString UnescapeMount(const QByteArray& field) {
  QByteArray out;
  for (int i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      bool ok = false;
      const int c = field.mid(i + 1, 3).toInt(&ok, 8);
      if (ok) {
        out += static_cast<char>(c);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return QString::fromUtf8(out);
}

}  // namespace

QStringList BrowsableMounts() {
  QStringList mounts{"/"};
  QFile f("/proc/mounts");
  if (f.open(QIODevice::ReadOnly)) {
    for (const QByteArray& line : f.readAll().split('\n')) {
      const QList<QByteArray> fields = line.split(' ');
      if (fields.size() < 2) continue;
      const QString dir = UnescapeMount(fields[1]);
      const bool browsable = dir == "/home" || dir.startsWith("/media/") ||
                             dir.startsWith("/mnt/") || dir.startsWith("/run/media/");
      if (browsable && !mounts.contains(dir)) mounts << dir;
    }
  }
  return mounts;
}

void SetSelectFolderHook(SelectFolderHook hook) { Hook() = std::move(hook); }

TSelectDirDlg::TSelectDirDlg(QWidget* parent) : QDialog(parent) {
  setObjectName("SelectDirDlg");
  resize(659, 436);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);

  pnlTop = new QWidget(this);
  pnlTop->setObjectName("pnlTop");
  pnlTop->setFixedHeight(37);
  auto* top = new QHBoxLayout(pnlTop);
  lblCurFolder = new QLabel("Cu&rrent path:", pnlTop);
  lblCurFolder->setObjectName("lblCurFolder");
  edtDirectory = new QLineEdit(pnlTop);
  edtDirectory->setObjectName("edtDirectory");
  edtDirectory->setToolTip("If the path does not exist, it will be created.");
  top->addWidget(lblCurFolder);
  top->addWidget(edtDirectory, 1);
  outer->addWidget(pnlTop);

  pnlBody = new TAlignPanel(this);
  pnlBody->setObjectName("pnlBody");
  outer->addWidget(pnlBody, 1);

  // Right side first: the file list, then the splitter beside it.
  FileList = new QListWidget(pnlBody);
  FileList->setObjectName("FileList");
  FileList->resize(260, FileList->height());
  FileList->setSelectionMode(QAbstractItemView::NoSelection);
  FileList->setFocusPolicy(Qt::NoFocus);
  QPalette grey = FileList->palette();
  grey.setColor(QPalette::Text, palette().color(QPalette::Disabled, QPalette::Text));
  FileList->setPalette(grey);
  SetAlign(FileList, TAlign::alRight);

  Splitter = new TOrvelSplitter(pnlBody);
  Splitter->setObjectName("Splitter");
  Splitter->resize(4, Splitter->height());
  Splitter->SetResizeStyle(TResizeStyle::rsUpdate);
  Splitter->SetAlign(TAlign::alRight);

  pnlDirectory = new QWidget(pnlBody);
  pnlDirectory->setObjectName("pnlDirectory");
  SetAlign(pnlDirectory, TAlign::alClient);
  auto* left = new QVBoxLayout(pnlDirectory);
  auto* driveRow = new QHBoxLayout;
  lblDrives = new QLabel("&Drives:", pnlDirectory);
  lblDrives->setObjectName("lblDrives");
  DriveList = new QComboBox(pnlDirectory);
  DriveList->setObjectName("DriveList");
  driveRow->addWidget(lblDrives);
  driveRow->addWidget(DriveList, 1);
  left->addLayout(driveRow);
  auto* buttons = new QHBoxLayout;
  BitBtn1 = new QPushButton("Desktop", pnlDirectory);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setToolTip("Navigate to 'DESKTOP' folder");
  BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DesktopIcon));
  BitBtn2 = new QPushButton("My Docs", pnlDirectory);
  BitBtn2->setObjectName("BitBtn2");
  BitBtn2->setToolTip("Navigate to 'MY DOCUMENTS' folder");
  BitBtn2->setIcon(style()->standardIcon(QStyle::SP_DirHomeIcon));
  buttons->addWidget(BitBtn1);
  buttons->addWidget(BitBtn2);
  buttons->addStretch(1);
  left->addLayout(buttons);
  DirList = new QListWidget(pnlDirectory);
  DirList->setObjectName("DirList");
  left->addWidget(DirList, 1);

  pnlBottom = new QWidget(this);
  pnlBottom->setObjectName("pnlBottom");
  pnlBottom->setFixedHeight(36);
  auto* bottom = new QHBoxLayout(pnlBottom);
  lblDir = new QLabel(pnlBottom);
  lblDir->setObjectName("lblDir");
  btnNetwork = new QPushButton("Network", pnlBottom);
  btnNetwork->setObjectName("btnNetwork");
  btnNetwork->hide();  // no network-connection dialog on this platform
  OKButton = new QPushButton("OK", pnlBottom);
  OKButton->setObjectName("OKButton");
  OKButton->setDefault(true);
  CancelButton = new QPushButton("Cancel", pnlBottom);
  CancelButton->setObjectName("CancelButton");
  bottom->addWidget(lblDir, 1);
  bottom->addStretch(0);
  for (QPushButton* b : {btnNetwork, OKButton, CancelButton}) {
    b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    b->setMinimumWidth(90);
  }
  bottom->addWidget(btnNetwork);
  bottom->addWidget(OKButton);
  bottom->addWidget(CancelButton);
  outer->addWidget(pnlBottom);

  lblCurFolder->setBuddy(edtDirectory);
  lblDrives->setBuddy(DriveList);

  FillDrives();
  connect(DriveList, &QComboBox::activated, this, &TSelectDirDlg::DriveListChange);
  connect(DirList, &QListWidget::itemActivated, this,
          [this](QListWidgetItem* item) { ChangeFolder(item->data(Qt::UserRole).toString()); });
  // A highlighted folder is what OK takes: the path line follows the
  // highlight (typing in it afterwards still wins).
  connect(DirList, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
    if (!item) return;
    const QString path = item->data(Qt::UserRole).toString();
    lblDir->setText(path);
    edtDirectory->setText(WithSlash(path));
    edtDirectory->selectAll();
  });
  connect(BitBtn1, &QPushButton::clicked, this, &TSelectDirDlg::BitBtn1Click);
  connect(BitBtn2, &QPushButton::clicked, this, &TSelectDirDlg::BitBtn2Click);
  connect(OKButton, &QPushButton::clicked, this, &TSelectDirDlg::OKButtonClick);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

  SetAllowCreate(false);
  lblDir->setVisible(true);
  pnlTop->setVisible(false);
  ChangeFolder(QDir::currentPath());
  DirList->setFocus();
}

void TSelectDirDlg::FillDrives() {
  DriveList->clear();
  for (const QString& m : BrowsableMounts()) DriveList->addItem(m, m);
}

void TSelectDirDlg::SelectDriveFor(const QString& folder) {
  int best = -1, bestLength = -1;
  for (int i = 0; i < DriveList->count(); ++i) {
    const QString m = DriveList->itemData(i).toString();
    const bool under = m == "/" || folder == m || folder.startsWith(m + '/');
    if (under && m.size() > bestLength) {
      best = i;
      bestLength = m.size();
    }
  }
  if (best >= 0) DriveList->setCurrentIndex(best);
}

void TSelectDirDlg::SetAllowCreate(bool on) {
  if (on != m_allowCreate) {
    m_allowCreate = on;
    lblDir->setVisible(!on);
    pnlTop->setVisible(on);
  }
}

QString TSelectDirDlg::Directory() const {
  return m_allowCreate ? edtDirectory->text() : lblDir->text();
}

void TSelectDirDlg::SetDirectory(const QString& path) {
  if (path.isEmpty()) return;
  const QString full = QDir::cleanPath(QDir::current().absoluteFilePath(path));
  if (!full.startsWith('/')) return;
  if (!ChangeFolder(full)) {
    ChangeFolder(QDir::currentPath());
    return;
  }
}

bool TSelectDirDlg::ChangeFolder(const QString& folder) {
  const QString dirPath = StripSlash(QDir::cleanPath(folder));
  QDir dir(dirPath);
  if (!dir.exists() || !QFileInfo(dirPath).isDir() || !dir.isReadable()) return false;
  m_current = dirPath;
  SelectDriveFor(m_current);

  DirList->clear();
  // The path from the root down, then the sub-folders.
  QStringList parts = m_current.split('/', Qt::SkipEmptyParts);
  QString walk = "/";
  auto addItem = [this](const QString& text, const QString& path, int depth,
                        QStyle::StandardPixmap icon) {
    auto* item =
        new QListWidgetItem(style()->standardIcon(icon), QString(depth * 2, ' ') + text, DirList);
    item->setData(Qt::UserRole, path);
    return item;
  };
  QListWidgetItem* currentItem = addItem("/", "/", 0, QStyle::SP_DirOpenIcon);
  int depth = 1;
  for (const QString& part : parts) {
    walk = walk == "/" ? "/" + part : walk + "/" + part;
    currentItem = addItem(part, walk, depth++, QStyle::SP_DirOpenIcon);
  }
  const QStringList subs =
      dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
  for (const QString& sub : subs) {
    addItem(sub, m_current == "/" ? "/" + sub : m_current + "/" + sub, depth, QStyle::SP_DirIcon);
  }
  DirList->setCurrentItem(currentItem);

  FileList->clear();
  FileList->addItems(dir.entryList(QDir::Files, QDir::Name | QDir::IgnoreCase));
  lblDir->setText(m_current);
  DirListChange();
  return true;
}

void TSelectDirDlg::DriveListChange() {
  const QString mount = DriveList->currentData().toString();
  if (!mount.isEmpty()) ChangeFolder(mount);
}

void TSelectDirDlg::DirListChange() {
  edtDirectory->setText(WithSlash(m_current));
  edtDirectory->selectAll();
}

void TSelectDirDlg::BitBtn1Click() {
  const std::string desktop = GetSpecialFolder(SpecialFolder::Desktop);
  if (!desktop.empty()) ChangeFolder(QString::fromStdString(desktop));
}

void TSelectDirDlg::BitBtn2Click() {
  const std::string documents = GetSpecialFolder(SpecialFolder::Documents);
  if (!documents.empty()) ChangeFolder(QString::fromStdString(documents));
}

void TSelectDirDlg::OKButtonClick() {
  if (m_allowCreate && m_prompt && !IsFolderPath(Directory())) {
    if (!AskConfirm(this, "The specified directory does not exist. Create it?")) return;
  }
  accept();
}

bool SelectFolder(const QString& caption, QString& folder, int options, QWidget* parent) {
  if (Hook()) return Hook()(caption, folder, options);
  if (options == 0) options = sdAllowCreate | sdPerformCreate | sdPrompt;
  TSelectDirDlg dlg(parent);
  dlg.setWindowTitle(caption);
  dlg.SetAllowCreate(options & sdAllowCreate);
  if (IsFolderPath(folder)) dlg.SetDirectory(folder);
  dlg.SetPrompt(options & sdPrompt);
  if (QScreen* screen = dlg.screen()) {
    const QRect s = screen->availableGeometry();
    dlg.move(s.x() + s.width() / 2 - dlg.width() / 2, s.y() + s.height() / 2 - dlg.height() / 2);
  }
  if (dlg.exec() != QDialog::Accepted) return false;
  folder = WithSlash(dlg.Directory());
  if (options & sdPerformCreate) QDir().mkpath(folder);
  return true;
}
