// SPDX-License-Identifier: LGPL-2.1-or-later
// The star menu: opened by a click on the icon, drawn by the plugin, and the
// chosen row written into the current entry's file.
#include <algorithm>

#include "support/scratch.h"
#include "support/tag_files.h"
#include "support/test_host.h"

namespace {

const int kRowWidth = 90, kRowHeight = 20;

enum Pixel { kWhite, kOrange, kGreyBlue, kOther };

Pixel classify(COLORREF c) {
  int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
  if (r == 255 && g == 255 && b == 255) return kWhite;
  if (r > 200 && g > 100 && g < 190 && b < 60) return kOrange;
  if (b > r + 20) return kGreyBlue;
  return kOther;
}

// One drawn row in a real 32-bit memory bitmap.
struct DrawnRow {
  LRESULT result;
  int width;
  std::vector<COLORREF> pixels;
  COLORREF at(int x, int y) const { return pixels[y * width + x]; }
  // Counts of each pixel kind inside picture position i (0 to 4).
  int count(int position, Pixel kind) const {
    int n = 0;
    for (int y = 4; y < 16; ++y)
      for (int x = 7 + 16 * position; x < 19 + 16 * position; ++x) n += classify(at(x, y)) == kind;
    return n;
  }
  int sum(int position) const {
    int s = 0;
    for (int y = 4; y < 16; ++y)
      for (int x = 7 + 16 * position; x < 19 + 16 * position; ++x)
        if (classify(at(x, y)) != kWhite)
          s += GetRValue(at(x, y)) + GetGValue(at(x, y)) + GetBValue(at(x, y));
    return s;
  }
};

DrawnRow drawRow(UINT id, bool selected, int width = kRowWidth, int height = kRowHeight) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, bitmap);
  PatBlt(dc, 0, 0, width, height, BLACKNESS);  // the plugin must paint the background

  DRAWITEMSTRUCT item = {};
  item.CtlType = ODT_MENU;
  item.itemID = id;
  item.itemAction = ODA_DRAWENTIRE;
  item.itemState = selected ? ODS_SELECTED : 0;
  item.hwndItem = reinterpret_cast<HWND>(g_harness.trackedMenu);
  item.hDC = dc;
  item.rcItem = {0, 0, width, height};
  DrawnRow row;
  row.width = width;
  row.result = sendToHost(WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&item));
  GdiFlush();
  const DWORD* p = static_cast<const DWORD*>(bits);
  for (int i = 0; i < width * height; ++i)
    row.pixels.push_back(RGB((p[i] >> 16) & 0xFF, (p[i] >> 8) & 0xFF, p[i] & 0xFF));
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return row;
}

class StarMenu : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    for (const char* name : {"one.mp3", "two.mp3"}) {
      PlaylistEntry entry;
      entry.path = folder + name;
      entry.title = L"Song";
      writeFileBytes(entry.path, mp3WithRating(128));  // 3 stars
      g_host.playlist.push_back(entry);
    }
  }
  int ratingByteOf(int entry) { return popmRatingByte(readFileBytes(g_host.playlist[entry].path)); }
  void click() { sendToHost(0x20F4, 4538, WM_LBUTTONUP); }
  std::vector<TrayCall> balloons() {
    std::vector<TrayCall> found;
    for (const TrayCall& call : g_harness.tray)
      if (call.data.uFlags & NIF_INFO) found.push_back(call);
    return found;
  }
  // Clicks the icon and chooses the row of that many stars.
  void choose(int stars) { chooseStars(stars); }
  static UINT chosen;
};
UINT StarMenu::chosen = 0;

TEST_F(StarMenu, AClickOpensSixRowsFromFiveStarsDownAtTheCursor) {
  startPlugin();
  g_host.received.clear();
  click();
  EXPECT_EQ(g_harness.menusTracked, 1);
  std::vector<UINT> expected = {11005, 11004, 11003, 11002, 11001, 11000};
  EXPECT_EQ(g_harness.menuIds, expected);
  // Drawn rows that still carry a text for screen readers.
  std::vector<std::wstring> texts = {L"5 stars", L"4 stars", L"3 stars", L"2 stars", L"1 star", L"0 stars"};
  EXPECT_EQ(g_harness.menuTexts, texts);
  for (UINT type : g_harness.menuTypes) EXPECT_EQ(type, static_cast<UINT>(MFT_OWNERDRAW));
  // The documented tray-menu practice: a message to the owner once the menu is closed.
  MSG msg;
  bool nullPosted = false;
  while (PeekMessageW(&msg, g_host.window, 0, 0, PM_REMOVE)) nullPosted |= msg.message == WM_NULL;
  EXPECT_TRUE(nullPosted);
  EXPECT_EQ(g_harness.trackFlags, static_cast<UINT>(TPM_LEFTBUTTON));
  EXPECT_EQ(g_harness.trackPoint.x, 321);
  EXPECT_EQ(g_harness.trackPoint.y, 234);
  EXPECT_EQ(g_harness.trackOwner, g_host.window);
  EXPECT_EQ(g_harness.foregroundCalls, 1);
  EXPECT_FALSE(hostReceived(0x20F4, 4538, WM_LBUTTONUP));
  // The menu is gone once the call returns.
  EXPECT_FALSE(IsMenu(g_harness.trackedMenu));

  sendToHost(0x20F4, 4538, WM_RBUTTONUP);
  EXPECT_EQ(g_harness.menusTracked, 2);
}

TEST_F(StarMenu, PressesMovesAndOtherIconsPassOnWithoutAMenu) {
  startPlugin();
  struct {
    WPARAM id;
    LPARAM mouse;
  } messages[] = {
      {4538, WM_LBUTTONDOWN},   {4538, WM_RBUTTONDOWN}, {4538, WM_MOUSEMOVE},
      {4538, WM_LBUTTONDBLCLK}, {4539, WM_LBUTTONUP},
  };
  for (const auto& m : messages) {
    g_host.received.clear();
    sendToHost(0x20F4, m.id, m.mouse);
    EXPECT_TRUE(hostReceived(0x20F4, m.id, m.mouse)) << m.mouse;
  }
  EXPECT_EQ(g_harness.menusTracked, 0);
}

TEST_F(StarMenu, RowsAreMeasuredTwentyHighAndNinetyLessTheCheckMarkWide) {
  startPlugin();
  g_host.received.clear();
  MEASUREITEMSTRUCT item = {};
  item.CtlType = ODT_MENU;
  item.itemID = 11003;
  EXPECT_EQ(sendToHost(WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&item)), 1);
  EXPECT_EQ(item.itemHeight, 20u);
  EXPECT_EQ(item.itemWidth, static_cast<UINT>(90 - GetSystemMetrics(SM_CXMENUCHECK)));
  EXPECT_FALSE(hostReceived(WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&item)));

  MEASUREITEMSTRUCT list = {};
  list.CtlType = ODT_LISTBOX;
  sendToHost(WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&list));
  EXPECT_TRUE(hostReceived(WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&list)));
  EXPECT_EQ(list.itemHeight, 0u);
}

TEST_F(StarMenu, OnlyTheCurrentRatingsRowIsOrangeAndDotsFillTheRest) {
  startPlugin();
  click();  // reads 3 stars from the current entry
  for (int stars = 0; stars <= 5; ++stars) {
    for (bool selected : {false, true}) {
      DrawnRow row = drawRow(11000 + stars, selected);
      EXPECT_EQ(row.result, 1);
      EXPECT_EQ(classify(row.at(1, 1)), kWhite);
      EXPECT_EQ(classify(row.at(kRowWidth - 2, kRowHeight - 2)), kWhite);
      for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("row " + std::to_string(stars) + " position " + std::to_string(i) +
                     (selected ? " highlighted" : ""));
        const bool star = i < stars;
        const bool current = stars == 3;
        if (star && current && !selected) {
          EXPECT_GT(row.count(i, kOrange), 20);
        } else if (star && !current) {
          EXPECT_GT(row.count(i, kGreyBlue), 20);
          EXPECT_EQ(row.count(i, kOrange), 0);
        } else if (!star) {
          // A dot: a few grey pixels, no colour.
          EXPECT_EQ(row.count(i, kOrange) + row.count(i, kGreyBlue), 0);
          EXPECT_GT(row.count(i, kOther), 0);
          EXPECT_LT(row.count(i, kOther), 30);
        }
        if (!current || !star) {
          EXPECT_EQ(row.count(i, kOrange), 0);
        }
      }
    }
  }
}

TEST_F(StarMenu, AHighlightedRowUsesTheDarkerPictures) {
  startPlugin();
  click();
  for (int stars : {3, 4, 0}) {
    DrawnRow normal = drawRow(11000 + stars, false), highlighted = drawRow(11000 + stars, true);
    for (int i = 0; i < 5; ++i) {
      EXPECT_LT(highlighted.sum(i), normal.sum(i)) << stars << " " << i;
    }
  }
}

TEST_F(StarMenu, OtherOwnerDrawnItemsAreDotsBelowAndStarsAbove) {
  startPlugin();
  click();
  DrawnRow below = drawRow(10999, false), above = drawRow(11006, false);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(below.count(i, kGreyBlue) + below.count(i, kOrange), 0);
    EXPECT_GT(above.count(i, kGreyBlue), 20);
  }
}

TEST_F(StarMenu, ChoosingWhilePlayingWritesTheFileAndTheIconFollows) {
  g_host.playing = 1;
  startPlugin();
  g_host.received.clear();
  choose(5);
  EXPECT_EQ(ratingByteOf(0), 255);
  EXPECT_TRUE(hostReceived(WM_USER, 6, 603));
  EXPECT_FALSE(hostReceived(WM_COMMAND, 11005, 0));
  // The media library is told to read the file's tags again.
  EXPECT_EQ(g_harness.ratedPaths, std::vector<std::wstring>{widen(g_host.playlist[0].path)});
  tickUntilIdle();
  EXPECT_EQ(lastTray().stars, 5);
}

TEST_F(StarMenu, ChoosingWhileStoppedWritesTheFileAndTheIconFollowsWithoutTellingThePlayer) {
  startPlugin();
  g_host.received.clear();
  choose(1);
  EXPECT_EQ(ratingByteOf(0), 1);
  EXPECT_EQ(tickUntilIdle(), 1);
  EXPECT_EQ(lastTray().stars, 1);
  EXPECT_FALSE(hostReceived(WM_USER, 6, 603));
  EXPECT_TRUE(balloons().empty());
}

TEST_F(StarMenu, AChoiceThatCannotBeSavedSaysWhyInOneBalloon) {
  enum Obstacle { kReadOnly, kLocked, kDeleted, kNoEntry, kNotMpeg };
  const struct {
    Obstacle obstacle;
    const wchar_t* text;  // null: no balloon
  } cases[] = {
      {kReadOnly, L"The rating was not saved: one.mp3 is read-only."},
      {kLocked, L"The rating was not saved: one.mp3 is in use by another program."},
      {kDeleted, L"The rating was not saved: one.mp3 cannot be found."},
      {kNoEntry, nullptr},
      {kNotMpeg, L"The rating was not saved: one.mp3 is in no format the plugin rates (MP3, FLAC, Ogg Vorbis, Opus, MP4, WAV, AIFF, AAC, WMA)."},
  };
  startPlugin();
  const std::string path = g_host.playlist[0].path;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.obstacle);
    writeFileBytes(path, c.obstacle == kNotMpeg ? std::string("MThd\0\0\0\x06", 8) + std::string(64, 'x')
                                                : mp3WithRating(128));
    const std::string before = readFileBytes(path);
    g_host.playlist[0].hasPath = c.obstacle != kNoEntry;
    HANDLE lock = INVALID_HANDLE_VALUE;
    if (c.obstacle == kReadOnly) SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    if (c.obstacle == kLocked)
      lock = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (c.obstacle == kDeleted) DeleteFileA(path.c_str());
    const size_t balloonsBefore = balloons().size();

    choose(4);
    if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
    if (c.obstacle == kDeleted)
      EXPECT_FALSE(fileExists(path));
    else
      EXPECT_EQ(readFileBytes(path), before);
    ASSERT_EQ(balloons().size(), balloonsBefore + (c.text ? 1 : 0));
    if (c.text) {
      const TrayCall balloon = balloons().back();
      EXPECT_EQ(balloon.action, static_cast<DWORD>(NIM_MODIFY));
      EXPECT_EQ(balloon.data.cbSize, 936u);
      EXPECT_EQ(balloon.data.hWnd, g_host.window);
      EXPECT_EQ(balloon.data.uID, 4538u);
      EXPECT_EQ(balloon.data.uFlags, static_cast<UINT>(NIF_INFO));
      EXPECT_EQ(balloon.data.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));
      EXPECT_STREQ(balloon.data.szInfoTitle, L"ID3 Vimbrel");
      EXPECT_STREQ(balloon.data.szInfo, c.text);
    }
    // The refresh shows what the file holds and says nothing more.
    tickUntilIdle();
    EXPECT_EQ(lastTray().stars, c.obstacle == kReadOnly || c.obstacle == kLocked ? 3 : 0);
    EXPECT_EQ(balloons().size(), balloonsBefore + (c.text ? 1 : 0));
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  EXPECT_TRUE(g_harness.boxes.empty());
  EXPECT_TRUE(g_harness.ratedPaths.empty()) << "the media library was told of a rating not saved";
}

// Each action as the Global Hotkeys plugin sends it: the rating the star menu's
// row would give, the icon following, and the media library told of each rating
// the file now holds. The steps start from what the file holds and stop at 5 and 0.
TEST_F(StarMenu, EachHotkeyActionRatesAsTheMenuDoesAndTheStepsStopAtFiveAndZero) {
  const int kNoTag = -1;
  const struct {
    const char* id;
    int before;  // rating byte, or kNoTag for a file without a tag
    int after;
    int stars;  // the icon afterwards
    bool written;
  } cases[] = {
      {"id3vimbrel rate 0", 128, 0, 0, true},        {"id3vimbrel rate 1", 128, 1, 1, true},
      {"id3vimbrel rate 2", 128, 64, 2, true},       {"id3vimbrel rate 3", 255, 128, 3, true},
      {"id3vimbrel rate 4", 128, 160, 4, true},      {"id3vimbrel rate 5", 128, 255, 5, true},
      {"id3vimbrel rate up", 128, 160, 4, true},     {"id3vimbrel rate up", 200, 255, 5, true},
      {"id3vimbrel rate up", 0, 1, 1, true},         {"id3vimbrel rate up", 255, 255, 5, false},
      {"id3vimbrel rate up", 224, 224, 5, false},    {"id3vimbrel rate down", 128, 64, 2, true},
      {"id3vimbrel rate down", 1, 0, 0, true},       {"id3vimbrel rate down", 0, 0, 0, false},
      {"id3vimbrel rate down", kNoTag, kNoTag, 0, false},
  };
  startPlugin();
  const std::string path = g_host.playlist[0].path;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.id) + " from " + std::to_string(c.before));
    writeFileBytes(path, c.before == kNoTag ? mpegAudio(8) : mp3WithRating(c.before));
    const std::string before = readFileBytes(path);
    g_harness.ratedPaths.clear();
    pressHotkey(c.id);
    const std::string after = readFileBytes(path);
    EXPECT_EQ(popmRatingByte(after), c.after);
    if (c.written) {
      EXPECT_EQ(g_harness.ratedPaths, std::vector<std::wstring>{widen(path)});
    } else {
      EXPECT_TRUE(after == before) << "written at the bound";
      EXPECT_TRUE(g_harness.ratedPaths.empty());
    }
    tickUntilIdle();
    EXPECT_EQ(lastTray().stars, c.stars);
  }
  EXPECT_TRUE(balloons().empty());
}

// A step on a file that is gone is told as a choice in the menu would be; without
// a current entry an action does nothing; during the star menu it counts as a
// choice of its own and the menu's choice follows it.
TEST_F(StarMenu, HotkeyActionsOnAFileThatIsGoneWithoutAnEntryAndDuringTheMenu) {
  startPlugin();
  const std::string path = g_host.playlist[0].path;
  DeleteFileA(path.c_str());
  for (const char* id : {"id3vimbrel rate down", "id3vimbrel rate up", "id3vimbrel rate 2"}) {
    SCOPED_TRACE(id);
    const size_t before = balloons().size();
    pressHotkey(id);
    ASSERT_EQ(balloons().size(), before + 1);
    EXPECT_STREQ(balloons().back().data.szInfo, L"The rating was not saved: one.mp3 cannot be found.");
    EXPECT_FALSE(fileExists(path));
  }
  g_host.playlist[0].hasPath = false;
  const size_t trayCalls = g_harness.tray.size();
  for (const char* id : {"id3vimbrel rate down", "id3vimbrel rate up", "id3vimbrel rate 2"}) pressHotkey(id);
  EXPECT_EQ(g_harness.tray.size(), trayCalls) << "no balloon and no icon change without an entry";
  EXPECT_TRUE(g_harness.ratedPaths.empty());

  g_host.playlist[0].hasPath = true;
  writeFileBytes(path, mp3WithRating(128));
  g_harness.whileMenuOpen = [] {
    sendHotkeyAction("id3vimbrel rate up");
    PostMessageW(g_host.window, WM_COMMAND, 11001, 0);
  };
  click();
  pumpMessages();
  EXPECT_EQ(ratingByteOf(0), 1);
  EXPECT_EQ(g_harness.ratedPaths, std::vector<std::wstring>(2, widen(path)));
}

TEST_F(StarMenu, TheKeysZeroToFiveChooseTheRowOfThatManyStars) {
  // The platform's own menu loop, fed the keys as typed.
  realMenu = true;
  startPlugin();
  const int ratingBytes[] = {0, 1, 64, 128, 160, 255};
  for (int stars : {3, 0, 5}) {
    writeFileBytes(g_host.playlist[0].path, mp3WithRating(stars == 5 ? 1 : 255));
    PostMessageW(g_host.window, WM_CHAR, '0' + stars, 0);
    PostMessageW(g_host.window, WM_KEYDOWN, VK_ESCAPE, 0);  // closes the menu should the key not choose
    click();
    pumpMessages();
    EXPECT_EQ(ratingByteOf(0), ratingBytes[stars]) << stars;
  }

  // Other keys, and the same keys in a menu of the player's, are not the plugin's.
  HMENU stars = CreatePopupMenu(), other = CreatePopupMenu();
  for (int i = 5; i >= 0; --i) AppendMenuW(stars, MF_OWNERDRAW, 11000 + i, nullptr);
  for (int i = 0; i < 6; ++i) AppendMenuW(other, MF_STRING, 100 + i, L"other");
  auto answer = [](WPARAM key, HMENU menu) {
    return sendToHost(WM_MENUCHAR, MAKEWPARAM(key, MF_POPUP), reinterpret_cast<LPARAM>(menu));
  };
  EXPECT_EQ(answer('4', stars), MAKELRESULT(1, MNC_EXECUTE));
  for (WPARAM key : {'6', 'a', '/', '\0'}) EXPECT_EQ(HIWORD(answer(key, stars)), MNC_IGNORE) << key;
  EXPECT_EQ(HIWORD(answer('3', other)), MNC_IGNORE);
  EXPECT_EQ(HIWORD(answer('3', nullptr)), MNC_IGNORE);
  DestroyMenu(stars);
  DestroyMenu(other);
}

TEST_F(StarMenu, RowsAndStarsFollowTheDisplayScale) {
  const DisplayScale scale = displayScale();
  startPlugin();
  click();
  MEASUREITEMSTRUCT item = {};
  item.CtlType = ODT_MENU;
  item.itemID = 11005;
  sendToHost(WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&item));
  EXPECT_EQ(item.itemHeight, static_cast<UINT>(scale.menuRowHeight));
  EXPECT_EQ(item.itemWidth, static_cast<UINT>(scale.menuRowWidth - GetSystemMetrics(SM_CXMENUCHECK)));
  for (int id = 103; id <= 108; ++id)
    EXPECT_EQ(iconSize(g_harness.loadedIcons[id]).cx, scale.menuPicture) << id;

  // Five stars, each as wide and high as its picture, apart from each other and
  // in the middle of the row.
  DrawnRow row = drawRow(11005, false, scale.menuRowWidth, scale.menuRowHeight);
  std::vector<std::pair<int, int>> stars;  // first and last column of each
  for (int x = 0; x < scale.menuRowWidth; ++x) {
    bool drawn = false;
    for (int y = 0; y < scale.menuRowHeight; ++y) drawn |= classify(row.at(x, y)) != kWhite;
    if (drawn && (stars.empty() || stars.back().second != x - 1)) stars.push_back({x, x});
    if (drawn) stars.back().second = x;
  }
  ASSERT_EQ(stars.size(), 5u);
  for (const auto& star : stars) {
    int top = scale.menuRowHeight, bottom = -1;
    for (int y = 0; y < scale.menuRowHeight; ++y)
      for (int x = star.first; x <= star.second; ++x)
        if (classify(row.at(x, y)) != kWhite) top = std::min(top, y), bottom = std::max(bottom, y);
    SCOPED_TRACE("star at " + std::to_string(star.first));
    EXPECT_GE(star.second - star.first + 1, scale.menuPicture - 3);
    EXPECT_LE(star.second - star.first + 1, scale.menuPicture);
    EXPECT_GE(bottom - top + 1, scale.menuPicture - 3);
    EXPECT_LE(bottom - top + 1, scale.menuPicture);
    EXPECT_GE(top, (scale.menuRowHeight - scale.menuPicture) / 2);
    EXPECT_LT(bottom, (scale.menuRowHeight + scale.menuPicture) / 2);
  }
}

TEST_F(StarMenu, ClosingWithoutAChoiceWritesNothing) {
  startPlugin();
  std::string before = readFileBytes(g_host.playlist[0].path);
  click();
  pumpMessages();
  EXPECT_EQ(readFileBytes(g_host.playlist[0].path), before);
}

TEST_F(StarMenu, TheEntryCurrentAtTheChoiceIsTheOneWritten) {
  startPlugin();
  chosen = 11002;
  g_harness.whileMenuOpen = [] {
    g_host.current = 1;
    PostMessageW(g_host.window, WM_COMMAND, chosen, 0);
  };
  click();
  pumpMessages();
  EXPECT_EQ(ratingByteOf(0), 128);
  EXPECT_EQ(ratingByteOf(1), 64);
}

TEST_F(StarMenu, MediaLibraryNoticeIsShownOnceWhenItWritesRatingsToo) {
  std::string mediaLibrary = folder + "Plugins\\gen_ml.ini";
  WritePrivateProfileStringA("gen_ml_config", "writeratings", "1", mediaLibrary.c_str());
  std::string mediaLibraryBefore = readFileBytes(mediaLibrary);
  startPlugin();

  choose(4);
  ASSERT_EQ(g_harness.boxes.size(), 1u);
  EXPECT_EQ(g_harness.boxes[0].owner, g_host.window);
  EXPECT_EQ(g_harness.boxes[0].caption, L"ID3 Vimbrel");
  EXPECT_EQ(g_harness.boxes[0].style, 0x40u);
  EXPECT_EQ(
      g_harness.boxes[0].text,
      L"Note: You have already enabled the ID3 rating feature in the media library and probably won't "
      L"need the ID3 version of Vimbrel. If you have installed the media library, you better should use "
      L"the original Vimbrel plugin by Kestrin and rely on the media library to store ID3 tag ratings...");
  EXPECT_EQ(ratingByteOf(0), 160);
  EXPECT_EQ(readSettings(L"ML_notification_shown"), L"1");

  choose(2);
  EXPECT_EQ(g_harness.boxes.size(), 1u);
  EXPECT_EQ(ratingByteOf(0), 64);

  WritePrivateProfileStringW(L"Main", L"ML_notification_shown", nullptr, settingsFile.c_str());
  choose(3);
  EXPECT_EQ(g_harness.boxes.size(), 2u);
  EXPECT_EQ(readFileBytes(mediaLibrary), mediaLibraryBefore);
}

TEST_F(StarMenu, NoNoticeWithoutTheMediaLibrarysSetting) {
  startPlugin();
  choose(4);
  std::string mediaLibrary = folder + "Plugins\\gen_ml.ini";
  WritePrivateProfileStringA("gen_ml_config", "writeratings", "0", mediaLibrary.c_str());
  choose(5);
  EXPECT_TRUE(g_harness.boxes.empty());
  EXPECT_EQ(ratingByteOf(0), 255);
  EXPECT_EQ(readSettings(L"ML_notification_shown"), L"<missing>");
}

TEST_F(StarMenu, ThePlayerQuittingWhileTheMenuIsOpenDoesNotCrashIt) {
  startPlugin();
  g_harness.whileMenuOpen = [] {
    g_host.header->quit();
    FreeLibrary(g_host.plugin);  // what the player does after quit
    PostMessageW(g_host.window, WM_COMMAND, 11005, 0);
  };
  HMODULE plugin = g_host.plugin;
  click();  // returns into the plugin after the player let go of it
  g_host.plugin = nullptr;
  g_host.header = nullptr;
  pumpMessages();
  EXPECT_TRUE(hostReceived(WM_COMMAND, 11005, 0));  // the hook is gone
  EXPECT_EQ(ratingByteOf(0), 128);
  (void)plugin;
}

TEST_F(StarMenu, SwitchedOffWhileTheMenuIsOpenTheChoiceGoesToThePlayer) {
  startPlugin();
  g_harness.whileMenuOpen = [] {
    g_harness.boxAnswers = {IDYES};
    g_host.header->config();
    PostMessageW(g_host.window, WM_COMMAND, 11005, 0);
  };
  click();
  pumpMessages();
  EXPECT_TRUE(hostReceived(WM_COMMAND, 11005, 0));
  EXPECT_EQ(ratingByteOf(0), 128);
}

}  // namespace
