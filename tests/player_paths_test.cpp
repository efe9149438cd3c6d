// SPDX-License-Identifier: LGPL-2.1-or-later
// The file the player names, whatever its name: the plugin reads and writes
// the entry's own file, never a best-fit spelling of its name.
#include "support/scratch.h"
#include "support/tag_files.h"
#include "support/test_host.h"

namespace {

using PlayerPaths = PluginTest;

// "Łódź.mp3" and the name the system code page makes of it.
const char kPolishName[] = "\xC5\x81\xC3\xB3\x64\xC5\xBA.mp3";
const char kBestFitName[] = "L\xC3\xB3\x64z.mp3";

void refreshNowAndTick() {
  sendToHost(WM_USER, 2, 603);
  tickUntilIdle();
}

TEST_F(PlayerPaths, TheEntrysOwnFileNotItsBestFitTwinIsReadAndWritten) {
  const std::string own = folder + kPolishName, twin = folder + kBestFitName;
  writeFileBytes(own, mp3WithRating(1));    // 1 star
  writeFileBytes(twin, mp3WithRating(196));  // 4 stars
  const std::string twinBefore = readFileBytes(twin);
  PlaylistEntry entry;
  entry.widePath = widen(own);
  entry.path = bestFitPath(entry.widePath);
  // The player's 8-bit answer names the other file: that is the trap.
  ASSERT_EQ(entry.path, bestFitPath(widen(twin)));
  g_host.playlist.push_back(entry);
  startPlugin();

  refreshNowAndTick();
  EXPECT_EQ(lastTray().stars, 1);
  chooseStars(5);
  EXPECT_EQ(popmRatingByte(readFileBytes(own)), 255);
  EXPECT_EQ(readFileBytes(twin), twinBefore);
}

TEST_F(PlayerPaths, AnOlderPlayerWithoutWidePathsStillWorksForPlainNames) {
  PlaylistEntry entry;
  entry.path = folder + "plain.mp3";
  writeFileBytes(entry.path, mp3WithRating(128));
  g_host.playlist.push_back(entry);
  g_host.answersWide = false;
  startPlugin();

  refreshNowAndTick();
  EXPECT_EQ(lastTray().stars, 3);
  chooseStars(1);
  EXPECT_EQ(popmRatingByte(readFileBytes(entry.path)), 1);
}

}  // namespace
