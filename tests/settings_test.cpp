// SPDX-License-Identifier: LGPL-2.1-or-later
// Where the settings file goes, derived from the player's own ini path.
#include "support/scratch.h"
#include "support/test_host.h"

namespace {

using Settings = PluginTest;

void useHostIni(const std::string& hostIniPath) { g_host.iniPath = hostIniPath; }

TEST_F(Settings, PathIsThePluginsFolderBesideThePlayersIni) {
  struct {
    const char* hostIni;
    const wchar_t* expected;
  } cases[] = {
      {"D:\\Media\\Player\\player.ini", L"D:\\Media\\Player\\Plugins\\gen_id3vimbrel.ini"},
      {"player.ini", L"player.ini\\Plugins\\gen_id3vimbrel.ini"},
      {"\\player.ini", L"\\Plugins\\gen_id3vimbrel.ini"},
      {"", L"\\Plugins\\gen_id3vimbrel.ini"},
  };
  for (const auto& c : cases) {
    useHostIni(c.hostIni);
    startPlugin();
    ASSERT_FALSE(g_harness.profileFiles.empty());
    EXPECT_EQ(g_harness.profileFiles[0], c.expected) << c.hostIni;
    quitPlugin();
    destroyHostWindow();
    g_harness.profileFiles.clear();
  }
}

TEST_F(Settings, AnOverlongPlayerPathIsCutBeforeTheFolderIsTaken) {
  // 300 bytes whose last backslash lies beyond byte 259: after the cut the
  // folder is the one before it.
  std::string deep = "C:\\" + std::string(250, 'd');
  std::string hostIni = deep + "\\" + std::string(20, 'e') + "\\player.ini";
  hostIni += std::string(300 - hostIni.size(), 'x');
  ASSERT_EQ(hostIni.size(), 300u);
  g_host.iniPath = hostIni;
  startPlugin();
  std::wstring expected = (widen(deep) + L"\\Plugins\\gen_id3vimbrel.ini").substr(0, 259);
  ASSERT_FALSE(g_harness.profileFiles.empty());
  EXPECT_EQ(g_harness.profileFiles[0], expected);
}

TEST_F(Settings, AFolderNamedOutsideTheCodePageHoldsTheSettingsFile) {
  const std::string playerFolder = folder + "\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\x9D\xB1\xE4\xBA\xAC";
  ASSERT_TRUE(makeFolder(playerFolder));
  ASSERT_TRUE(makeFolder(playerFolder + "\\Plugins"));
  g_host.wideIniPath = widen(playerFolder + "\\player.ini");
  g_host.iniPath = bestFitPath(g_host.wideIniPath);
  startPlugin();
  g_harness.boxAnswers = {IDYES};
  g_host.header->config();
  EXPECT_TRUE(fileExists(playerFolder + "\\Plugins\\gen_id3vimbrel.ini"));
}

TEST_F(Settings, NoPlayerIniPathUsesThePlayersProgramFolderNeverWinIni) {
  g_host.iniPathGiven = false;
  startPlugin();
  g_harness.boxAnswers = {IDNO};
  g_host.header->config();
  ASSERT_GE(g_harness.profileFiles.size(), 2u);
  for (const std::wstring& file : g_harness.profileFiles)
    EXPECT_EQ(file, programFolder() + L"Plugins\\gen_id3vimbrel.ini");
}

TEST_F(Settings, TheSettingsFileAppearsOnDiskWithTheChoice) {
  startPlugin();
  EXPECT_FALSE(fileExists(folder + "Plugins\\gen_id3vimbrel.ini"));
  g_harness.boxAnswers = {IDYES};
  g_host.header->config();
  EXPECT_TRUE(fileExists(folder + "Plugins\\gen_id3vimbrel.ini"));
  EXPECT_EQ(readSettings(L"Active"), L"0");
  EXPECT_NE(readFileBytes(folder + "Plugins\\gen_id3vimbrel.ini").find("Active=0"), std::string::npos);
}

TEST_F(Settings, ActiveIsReadAsANumberWithOnAsTheDefault) {
  struct {
    const wchar_t* stored;
    bool iconShown;
  } cases[] = {
      {nullptr, true}, {L"1", true}, {L"0", false}, {L"abc", false}, {L"-1", true}, {L"", true},
  };
  for (const auto& c : cases) {
    if (c.stored) writeSettings(L"Active", c.stored);
    startPlugin();
    EXPECT_EQ(lastTray().action, c.iconShown ? static_cast<DWORD>(NIM_ADD) : static_cast<DWORD>(NIM_DELETE))
        << (c.stored ? c.stored : L"(missing)");
    quitPlugin();
    destroyHostWindow();
    DeleteFileW(settingsFile.c_str());
  }
}

}  // namespace
