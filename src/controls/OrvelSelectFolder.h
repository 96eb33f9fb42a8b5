// The program's own folder chooser: a typed path (created when missing, after
// asking), the mounted file systems, a folder list, the folder's files and
// shortcuts to the desktop and documents folders. Window thread only.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class TAlignPanel;
class TOrvelSplitter;

// Options of SelectFolder; 0 means all three.
enum : int { sdAllowCreate = 1, sdPerformCreate = 2, sdPrompt = 4 };

class TSelectDirDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TSelectDirDlg(QWidget* parent = nullptr);

  // The typed path with AllowCreate on, else the folder list's folder.
  QString Directory() const;
  // Moves the drive chooser and folder list there; a folder that cannot be
  // entered gives the process's current folder.
  void SetDirectory(const QString& path);
  bool AllowCreate() const { return m_allowCreate; }
  void SetAllowCreate(bool on);
  bool Prompt() const { return m_prompt; }
  void SetPrompt(bool on) { m_prompt = on; }

  // The folder list's current folder (no trailing "/", except the root).
  QString CurrentFolder() const { return m_current; }
  // Moves the folder list; false (and no change) when it cannot be entered.
  bool ChangeFolder(const QString& folder);

  QWidget* pnlTop;
  QLabel* lblCurFolder;
  QLineEdit* edtDirectory;
  TAlignPanel* pnlBody;
  QWidget* pnlDirectory;
  QLabel* lblDrives;
  QComboBox* DriveList;
  QPushButton* BitBtn1;
  QPushButton* BitBtn2;
  QListWidget* DirList;
  TOrvelSplitter* Splitter;
  QListWidget* FileList;
  QWidget* pnlBottom;
  QPushButton* OKButton;
  QPushButton* CancelButton;
  QLabel* lblDir;
  QPushButton* btnNetwork;

 public slots:
  void DriveListChange();
  void DirListChange();
  void OKButtonClick();
  void BitBtn1Click();
  void BitBtn2Click();

 private:
  void FillDrives();
  void SelectDriveFor(const QString& folder);

  QString m_current;
  bool m_allowCreate = false;
  bool m_prompt = false;
};

// Shows the dialog modally; on OK `folder` becomes the chosen path ending in
// "/" and true is returned. Cancel leaves `folder` alone.
bool SelectFolder(const QString& caption, QString& folder, int options, QWidget* parent = nullptr);

// Lets tests answer SelectFolder without a dialog (empty function: none).
using SelectFolderHook = std::function<bool(const QString& caption, QString& folder, int options)>;
void SetSelectFolderHook(SelectFolderHook hook);

// The mounted file systems a user can browse ("/", "/home", "/media/...").
QStringList BrowsableMounts();
