// A main window in a temporary home: its own working folder, registry file and
// desktop folders, with the message boxes, the desktop opener, the user-name
// box and the folder dialog answered by the test.
#pragma once

#include "base/Messages.h"
#include "base/OrvelTPU.h"
#include "base/StartUp.h"
#include "controls/OrvelSelectFolder.h"
#include "shell/window/ErrorDisplay.h"
#include "shell/window/FormMain.h"

#include "QtSupport.h"

#include <gtest/gtest.h>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

class WindowFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    ASSERT_TRUE(tmp.isValid());
    home = tmp.path().toStdString();
    for (const char* sub : {"/work", "/config", "/data", "/run", "/Desktop", "/share"}) {
      ASSERT_TRUE(QDir().mkpath(tmp.path() + sub));
    }
    QFile::setPermissions(tmp.path() + "/run",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
    work = home + "/work/";
    shared = home + "/share/";
    InitPathsIn(work);
    SetDocumentOpener([this](const std::string& t) {
      opened.push_back(t);
      return 0;
    });
    SetMessageDisplay([this](MessageKind kind, const std::string& text) {
      messages.push_back({kind, text});
    });
    SetEscapedErrorHook([this](const QString& t) { errors.push_back(t.toStdString()); });
    SetUserNameBoxHook([this](const std::string& offered) {
      offers.push_back(offered);
      if (answers.empty()) return offered;
      std::string a = answers.front();
      answers.erase(answers.begin());
      return a;
    });
    SetSelectFolderHook([this](const QString& caption, QString& folder, int options) {
      folderAsks.push_back({caption.toStdString(), folder.toStdString(), options});
      if (folderAnswer.empty()) return false;
      folder = QString::fromStdString(folderAnswer);
      return true;
    });
  }

  void TearDown() override {
    form.reset();
    SetDocumentOpener(nullptr);
    SetMessageDisplay(nullptr);
    SetEscapedErrorHook(nullptr);
    SetUserNameBoxHook(nullptr);
    SetSelectFolderHook(nullptr);
  }

  // Writes a settings file so the run is not a first run (radIntern keeps
  // address detection off the network).
  void WriteSettings(const std::string& extra = "") {
    const std::string text =
        "[Internet]\r\nradIntern=1\r\n[Share]\r\nFolder=" + shared + "\r\n" + extra;
    QFile f(QString::fromStdString(SettingsFile()));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.data(), static_cast<qint64>(text.size()));
    f.close();
    InitPathsIn(work);  // settles FirstRun again
  }

  void StoreName(const std::string& name) {
    ASSERT_TRUE(RegWriteText(RegistryRoot::CurrentUser, "Software\\Orvel\\Mirelo", "UserName", true,
                             true, name));
  }

  // Creates the window as the entry sequence does. Unless a test keeps the
  // hosts of its settings file, the IP-echo service and the tracker point at
  // a closed loopback port, and unless it keeps the port mapping of its
  // settings file, the router is not asked: nothing leaves the machine.
  TFrmMain& Create() {
    form = std::make_unique<TFrmMain>();
    form->SharedFolderBase = sharedFolderBase;
    form->FormCreate();
    if (!keepNetworkHosts) form->SetNetworkHosts("127.0.0.1:1", "127.0.0.1:1");
    if (!keepPortMapping) form->chkPortMapping->setChecked(false);
    return *form;
  }

  struct Message {
    MessageKind kind;
    std::string text;
  };
  struct FolderAsk {
    std::string caption;
    std::string folder;
    int options;
  };

  QTemporaryDir tmp;
  std::string home, work, shared;
  std::unique_ptr<TFrmMain> form;
  std::vector<std::string> opened;
  std::vector<Message> messages;
  std::vector<std::string> errors;
  std::vector<std::string> offers;
  std::vector<std::string> answers;
  std::vector<FolderAsk> folderAsks;
  std::string folderAnswer;
  std::string sharedFolderBase;  // TFrmMain::SharedFolderBase
  bool keepNetworkHosts = false;
  bool keepPortMapping = false;
};
