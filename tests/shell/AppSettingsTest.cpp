// Tests of the INI file class and the settings record.
#include "base/IniFile.h"
#include "shell/AppSettings.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>

namespace {

TEST(IniFile, ParseIntegerRules) {
  struct Case {
    const char* text;
    std::optional<int> value;
  };
  const Case cases[] = {
      {"3724", 3724},
      {"0x10", 16},
      {"0X1f", 31},
      {"$FF", 255},
      {"-12", -12},
      {"+7", 7},
      {" 42", 42},
      {"-$10", -16},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", std::nullopt},
      {"$FFFFFFFF", -1},
      {"$100000000", std::nullopt},
      {"", std::nullopt},
      {"abc", std::nullopt},
      {"12a", std::nullopt},
      {"0x", std::nullopt},
      {"$", std::nullopt},
      {"1.5", std::nullopt},
      {"0xG", std::nullopt},
      {"-", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.value, IniFile::ParseInteger(c.text));
  }
}

TEST(IniFile, ReadsSectionsAndKeysWithoutRegardToCase) {
  TempFolder dir;
  dir.Write("a.ini",
            "; comment\r\nstray=1\r\n[Size]\r\nThumbWidth = 200 \r\nthumbwidth=999\r\n\n"
            "[ index ]\nLastEntry=$2A\nbroken line\n[size]\nThumbHeight=150");
  IniFile ini(dir / "a.ini");
  EXPECT_EQ(200, ini.ReadInteger("SIZE", "thumbWIDTH", 0));   // first key wins
  EXPECT_EQ(150, ini.ReadInteger("Size", "ThumbHeight", 0));  // a repeated section merges
  EXPECT_EQ(42, ini.ReadInteger("Index", "LastEntry", 0));
  EXPECT_EQ(5, ini.ReadInteger("Index", "Missing", 5));
  EXPECT_EQ("dflt", ini.ReadString("Nowhere", "x", "dflt"));
  EXPECT_FALSE(ini.HasKey("", "stray"));
  EXPECT_EQ((std::vector<std::string>{"Size", "index"}), ini.Sections());
  EXPECT_TRUE(ini.ReadBool("Index", "LastEntry", false));
}

TEST(IniFile, WritesInStableOrderAndKeepsOtherContent) {
  TempFolder dir;
  dir.Write("c.ini", "[Index]\r\nLastEntry=3\r\n[Extra]\r\nKeep=me\r\n");
  IniFile ini(dir / "c.ini");
  ini.WriteInteger("Size", "ThumbWidth", 128);
  ini.WriteInteger("size", "ThumbHeight", 96);
  ini.WriteInteger("index", "lastentry", 4);
  EXPECT_TRUE(ini.Save());
  EXPECT_EQ(
      "[Index]\r\nLastEntry=4\r\n\r\n[Extra]\r\nKeep=me\r\n\r\n[Size]\r\nThumbWidth=128\r\n"
      "ThumbHeight=96\r\n",
      dir.Read("c.ini"));
  EXPECT_EQ(4, IniFile(dir / "c.ini").ReadInteger("Index", "LastEntry", 0));
}

TEST(IniFile, ReadOnlyOrUnwritableFileIsKept) {
  TempFolder dir;
  dir.Write("ro.ini", "[A]\r\nk=1\r\n");
  ::chmod((dir / "ro.ini").c_str(), 0444);
  IniFile ini(dir / "ro.ini");
  ini.WriteInteger("A", "k", 2);
  EXPECT_FALSE(ini.Save());
  EXPECT_EQ("[A]\r\nk=1\r\n", dir.Read("ro.ini"));
  IniFile nowhere(dir / "missing/x.ini");
  nowhere.WriteInteger("A", "k", 2);
  EXPECT_FALSE(nowhere.Save());
}

// The file a fresh run writes, byte for byte.
std::string DefaultFileText(const std::string& shared) {
  return "[Form]\r\nLeft=10\r\nTop=90\r\nWidth=720\r\nHeight=540\r\nTab=0\r\n\r\n"
         "[Internet]\r\nAdr=\r\nPort=3724\r\nspnTimeOut=12000\r\nradIntern=0\r\n\r\n"
         "[Share]\r\nFolder=" +
         shared +
         "\r\nchkAccUploads=0\r\n\r\n"
         "[Settings]\r\nchkAutoStart=1\r\nchkUseSkins=1\r\nedtedtResamplerQ=6\r\nspnWidth=128\r\n"
         "spnHeight=96\r\n\r\n"
         "[Network]\r\nIpEchoHost=checkip.dyndns.org\r\nTrackerHost=www.novrix.example\r\n";
}

TEST(AppSettings, MissingFileGivesTheDefaults) {
  TempFolder dir;
  const AppSettings s = LoadSettings(dir / "none.INI", "/opt/mirelo/");
  EXPECT_EQ(10, s.WindowLeft);
  EXPECT_EQ(90, s.WindowTop);
  EXPECT_EQ(720, s.WindowWidth);
  EXPECT_EQ(540, s.WindowHeight);
  EXPECT_EQ(0, s.ActiveTab);
  EXPECT_EQ(3724, s.Port);
  EXPECT_EQ(12000, s.TimeoutMs);
  EXPECT_FALSE(s.InternalAddress);
  EXPECT_EQ("/opt/mirelo/Shared folder", s.SharedFolder);
  EXPECT_FALSE(s.AcceptUploads);
  EXPECT_TRUE(s.AutoStart);
  EXPECT_TRUE(s.UseSkins);
  EXPECT_EQ(6, s.ResamplerQuality);
  EXPECT_EQ(128, s.ThumbWidth);
  EXPECT_EQ(96, s.ThumbHeight);
  EXPECT_EQ("checkip.dyndns.org", s.IpEchoHost);
  EXPECT_EQ("www.novrix.example", s.TrackerHost);
  EXPECT_EQ(s, DefaultSettings("/opt/mirelo"));
}

TEST(AppSettings, SavedFileIsInTheFixedOrder) {
  TempFolder dir;
  const AppSettings d = DefaultSettings(dir.Slash());
  EXPECT_TRUE(SaveSettings(dir / "Mirelo.INI", d));
  EXPECT_EQ(DefaultFileText(dir / "Shared folder"), dir.Read("Mirelo.INI"));
}

TEST(AppSettings, StoredValuesAreReadWithTheirRules) {
  struct Case {
    const char* section;
    const char* key;
    const char* stored;
    int AppSettings::*field;
    int expected;
  };
  const Case cases[] = {
      {"Internet", "Port", "70000", &AppSettings::Port, 65535},
      {"Internet", "Port", "-5", &AppSettings::Port, 0},
      {"Internet", "Port", "http", &AppSettings::Port, 3724},  // the key's default
      {"Internet", "Port", "0x1F90", &AppSettings::Port, 8080},
      {"Internet", "Port", "$50", &AppSettings::Port, 80},
      {"Internet", "spnTimeOut", "50", &AppSettings::TimeoutMs, 100},
      {"Internet", "spnTimeOut", "999999", &AppSettings::TimeoutMs, 120000},
      {"Internet", "spnTimeOut", "12345", &AppSettings::TimeoutMs, 12345},
      {"Settings", "spnWidth", "8", &AppSettings::ThumbWidth, 16},
      {"Settings", "spnHeight", "4096", &AppSettings::ThumbHeight, 1024},
      {"Settings", "spnHeight", "", &AppSettings::ThumbHeight, 96},
      {"Settings", "edtedtResamplerQ", "9", &AppSettings::ResamplerQuality, 6},
      {"Settings", "edtedtResamplerQ", "0X2", &AppSettings::ResamplerQuality, 2},
      {"Form", "Left", "-300", &AppSettings::WindowLeft, -300},  // not fitted to the screen
      {"Form", "Tab", "17", &AppSettings::ActiveTab, 17},
      {"Form", "Width", "wide", &AppSettings::WindowWidth, 720},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.stored);
    TempFolder dir;
    dir.Write("s.INI", std::string("[") + c.section + "]\r\n" + c.key + "=" + c.stored + "\r\n");
    EXPECT_EQ(c.expected, LoadSettings(dir / "s.INI", "/p/").*c.field);
  }
}

TEST(AppSettings, BooleansTextsAndHosts) {
  TempFolder dir;
  dir.Write("s.INI",
            "[internet]\nADR=10.0.0.9\nradIntern=1\n[Share]\nFolder=/srv/pics/\nchkAccUploads=$2\n"
            "[Settings]\nchkAutoStart=0\nchkUseSkins=x\n[Network]\nIpEchoHost=127.0.0.1:8080\n"
            "TrackerHost=\n");
  const AppSettings s = LoadSettings(dir / "s.INI", "/p/");
  EXPECT_TRUE(s.InternalAddress);
  EXPECT_EQ("", s.ServerAddress);  // never read back
  EXPECT_EQ("/srv/pics/", s.SharedFolder);
  EXPECT_TRUE(s.AcceptUploads);
  EXPECT_FALSE(s.AutoStart);
  EXPECT_TRUE(s.UseSkins);  // not a number: the default
  EXPECT_EQ("127.0.0.1:8080", s.IpEchoHost);
  EXPECT_EQ("www.novrix.example", s.TrackerHost);
}

TEST(AppSettings, RoundTripAndRewriteInPlace) {
  TempFolder dir;
  AppSettings s = DefaultSettings("/p");
  s.WindowLeft = -20;
  s.ServerAddress = "192.168.1.5";
  s.Port = 8080;
  s.InternalAddress = true;
  s.SharedFolder = "/srv/my pictures/";
  s.AcceptUploads = true;
  s.ThumbWidth = 200;
  s.TrackerHost = "127.0.0.1:9000";
  ASSERT_TRUE(SaveSettings(dir / "s.INI", s));
  AppSettings back = LoadSettings(dir / "s.INI", "/p");
  EXPECT_EQ("", back.ServerAddress);
  back.ServerAddress = s.ServerAddress;
  EXPECT_EQ(s, back);
  // Saving again over the file changes nothing but the values.
  ASSERT_TRUE(SaveSettings(dir / "s.INI", s));
  const std::string once = dir.Read("s.INI");
  ASSERT_TRUE(SaveSettings(dir / "s.INI", back));
  EXPECT_EQ(once, dir.Read("s.INI"));
}

TEST(AppSettings, ReadOnlyFileIsReadAndKeptUnchanged) {
  TempFolder dir;
  dir.Write("s.INI", "[Internet]\r\nPort=8080\r\n");
  ::chmod((dir / "s.INI").c_str(), 0444);
  AppSettings s = LoadSettings(dir / "s.INI", "/p/");
  EXPECT_EQ(8080, s.Port);
  s.Port = 9000;
  EXPECT_FALSE(SaveSettings(dir / "s.INI", s));
  EXPECT_EQ("[Internet]\r\nPort=8080\r\n", dir.Read("s.INI"));
}

// Every row of the settings table reaches its own field: the record starts
// from the row's default, the file keeps the field under the row's key, and a
// stored value is fitted into the row's range.
TEST(SettingsTable, EveryNumberRowIsWiredToItsField) {
  namespace T = SettingsTable;
  struct Row {
    const TIntSetting& setting;
    int AppSettings::*field;
  };
  const Row rows[] = {
      {T::kWindowLeft, &AppSettings::WindowLeft},
      {T::kWindowTop, &AppSettings::WindowTop},
      {T::kWindowWidth, &AppSettings::WindowWidth},
      {T::kWindowHeight, &AppSettings::WindowHeight},
      {T::kActiveTab, &AppSettings::ActiveTab},
      {T::kPort, &AppSettings::Port},
      {T::kTimeoutMs, &AppSettings::TimeoutMs},
      {T::kResamplerQuality, &AppSettings::ResamplerQuality},
      {T::kThumbWidth, &AppSettings::ThumbWidth},
      {T::kThumbHeight, &AppSettings::ThumbHeight},
  };
  TempFolder dir;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.setting.Key);
    const AppSettings defaults = DefaultSettings("/p");
    EXPECT_EQ(r.setting.Default, defaults.*r.field);
    AppSettings marked = defaults;
    marked.*r.field = 4321;
    ASSERT_TRUE(SaveSettings(dir / "s.INI", marked));
    EXPECT_EQ(4321, IniFile(dir / "s.INI").ReadInteger(r.setting.Section, r.setting.Key, -1));
    EXPECT_EQ(r.setting.Range.Clamp(4321), LoadSettings(dir / "s.INI", "/p").*r.field);
    if (r.setting.Range.max < INT_MAX) {
      dir.Write("s.INI", std::string("[") + r.setting.Section + "]\r\n" + r.setting.Key + "=" +
                             std::to_string(r.setting.Range.max + 1) + "\r\n");
      EXPECT_EQ(r.setting.Range.max, LoadSettings(dir / "s.INI", "/p").*r.field);
      dir.Write("s.INI", std::string("[") + r.setting.Section + "]\r\n" + r.setting.Key + "=" +
                             std::to_string(r.setting.Range.min - 1) + "\r\n");
      EXPECT_EQ(r.setting.Range.min, LoadSettings(dir / "s.INI", "/p").*r.field);
    }
  }
}

TEST(SettingsTable, EverySwitchAndTextRowIsWiredToItsField) {
  namespace T = SettingsTable;
  struct Switch {
    const TBoolSetting& setting;
    bool AppSettings::*field;
  };
  const Switch switches[] = {
      {T::kInternalAddress, &AppSettings::InternalAddress},
      {T::kAcceptUploads, &AppSettings::AcceptUploads},
      {T::kAutoStart, &AppSettings::AutoStart},
      {T::kUseSkins, &AppSettings::UseSkins},
      {T::kPortMapping, &AppSettings::PortMapping},
  };
  TempFolder dir;
  for (const Switch& r : switches) {
    SCOPED_TRACE(r.setting.Key);
    AppSettings s = DefaultSettings("/p");
    EXPECT_EQ(r.setting.Default, s.*r.field);
    s.*r.field = !r.setting.Default;
    ASSERT_TRUE(SaveSettings(dir / "s.INI", s));
    EXPECT_EQ(!r.setting.Default,
              IniFile(dir / "s.INI").ReadBool(r.setting.Section, r.setting.Key, r.setting.Default));
    EXPECT_EQ(!r.setting.Default, LoadSettings(dir / "s.INI", "/p").*r.field);
  }
  struct Text {
    const TTextSetting& setting;
    std::string AppSettings::*field;
  };
  const Text texts[] = {
      {T::kSharedFolder, &AppSettings::SharedFolder},
      {T::kIpEchoHost, &AppSettings::IpEchoHost},
      {T::kTrackerHost, &AppSettings::TrackerHost},
      {T::kUpnpGateway, &AppSettings::UpnpGateway},
      {T::kNatPmpGateway, &AppSettings::NatPmpGateway},
      {T::kBindAddress, &AppSettings::BindAddress},
  };
  for (const Text& r : texts) {
    SCOPED_TRACE(r.setting.Key);
    AppSettings s = DefaultSettings("/p");
    s.*r.field = "marked:1";
    ASSERT_TRUE(SaveSettings(dir / "s.INI", s));
    EXPECT_EQ("marked:1", IniFile(dir / "s.INI").ReadString(r.setting.Section, r.setting.Key, ""));
    EXPECT_EQ("marked:1", LoadSettings(dir / "s.INI", "/p").*r.field);
  }
  EXPECT_EQ(std::string("/p/") + T::kSharedFolder.Default, DefaultSettings("/p").SharedFolder);
}

TEST(AppSettings, InternetKeysAreWrittenOnceTheyDifferFromTheirDefaults) {
  TempFolder dir;
  AppSettings s = DefaultSettings("/p");
  ASSERT_TRUE(SaveSettings(dir / "s.INI", s));
  EXPECT_EQ(DefaultFileText("/p/Shared folder"), dir.Read("s.INI"));
  s.PortMapping = false;
  s.UpnpGateway = "http://192.168.1.1:5000/rootDesc.xml";
  s.BindAddress = "2a01:e35::5";
  ASSERT_TRUE(SaveSettings(dir / "s.INI", s));
  EXPECT_EQ(DefaultFileText("/p/Shared folder") +
                "PortMapping=0\r\nGateway=http://192.168.1.1:5000/rootDesc.xml\r\n"
                "BindAddress=2a01:e35::5\r\n",
            dir.Read("s.INI"));
  EXPECT_EQ(s, LoadSettings(dir / "s.INI", "/p"));
  // Back to the default: a key in the file is kept, with the default value.
  s.PortMapping = true;
  s.NatPmpGateway = "192.168.1.1";
  ASSERT_TRUE(SaveSettings(dir / "s.INI", s));
  const std::string text = dir.Read("s.INI");
  EXPECT_NE(std::string::npos, text.find("\r\nPortMapping=1\r\n")) << text;
  EXPECT_NE(std::string::npos, text.find("\r\nNatPmpGateway=192.168.1.1\r\n")) << text;
  EXPECT_EQ(s, LoadSettings(dir / "s.INI", "/p"));
}

TEST(AppSettings, PageStyleIsWrittenInItsOwnSectionOnceItIsNotClassic) {
  TempFolder dir;
  AppSettings s = DefaultSettings("/p");
  EXPECT_EQ(TPageStyle::Classic, s.PageStyle);
  ASSERT_TRUE(SaveSettings(dir / "s.INI", s));
  EXPECT_EQ(DefaultFileText("/p/Shared folder"), dir.Read("s.INI"));
  s.PageStyle = TPageStyle::Gallery;
  ASSERT_TRUE(SaveSettings(dir / "s.INI", s));
  EXPECT_EQ(DefaultFileText("/p/Shared folder") + "\r\n[Web]\r\nPageStyle=gallery\r\n",
            dir.Read("s.INI"));
  EXPECT_EQ(s, LoadSettings(dir / "s.INI", "/p"));
  // Any letter case reads; anything else is the default.
  for (const auto& [text, style] :
       {std::pair{"GALLERY", TPageStyle::Gallery}, std::pair{"Classic", TPageStyle::Classic},
        std::pair{"fancy", TPageStyle::Classic}, std::pair{"", TPageStyle::Classic}}) {
    SCOPED_TRACE(text);
    IniFile ini(dir / "s.INI");
    ini.WriteString("Web", "PageStyle", text);
    ASSERT_TRUE(ini.Save(false));
    EXPECT_EQ(style, LoadSettings(dir / "s.INI", "/p").PageStyle);
  }
}

}  // namespace
