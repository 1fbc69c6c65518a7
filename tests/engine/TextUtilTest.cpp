#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "TestFiles.h"
#include "engine/TextUtil.h"

namespace {

TEST(DisplayTexts, SizesAtEveryUnitBoundary) {
  struct { i64 bytes; const char* text; } rows[] = {
      {0, "0 Bytes"},           {1023, "1023 Bytes"},        {1024, "1.00 KB"},
      {1536, "1.50 KB"},        {1048575, "1024.00 KB"},     {1572864, "1.50 MB"},
      {1073741824, "1.00 GB"},  {1099511627776LL, "1.00 TB"}, {5 * 1099511627776LL / 2, "2.50 TB"},
  };
  for (auto& r : rows) EXPECT_EQ(r.text, GetFileSizeString(r.bytes)) << r.bytes;
}

TEST(DisplayTexts, Durations) {
  struct { i64 s; const char* text; } rows[] = {
      {0, "0 Sec"}, {59, "59 Sec"}, {60, "1 Min 0 Sec"}, {61, "1 Min 1 Sec"},
      {3599, "59 Min 59 Sec"}, {3600, "1 Hour 0 Min"}, {7322, "2 Hour 2 Min"},
  };
  for (auto& r : rows) EXPECT_EQ(r.text, GetTimeString(r.s)) << r.s;
}

TEST(Names, ExtensionsAndSplitting) {
  char ext[64];
  EXPECT_EQ(0, GetExtendName("archive.tar.gz", ext));
  EXPECT_STREQ("gz", ext);
  EXPECT_EQ(87, GetExtendName("README", ext));
  EXPECT_EQ(0, GetExtendName("name.", ext));
  EXPECT_STREQ("", ext);
  EXPECT_EQ(87, GetExtendName(nullptr, ext));

  char drive[8], dir[64], base[64], ex[64];
  _splitpath("a/b/c.txt", drive, dir, base, ex);
  EXPECT_STREQ("", drive);
  EXPECT_STREQ("a/b/", dir);
  EXPECT_STREQ("c", base);
  EXPECT_STREQ(".txt", ex);
  _splitpath("c", drive, dir, base, ex);
  EXPECT_STREQ("", dir);
  EXPECT_STREQ("c", base);
  EXPECT_STREQ("", ex);
  _splitpath("/x.y/noext", drive, dir, base, ex);
  EXPECT_STREQ("/x.y/", dir);
  EXPECT_STREQ("noext", base);
  EXPECT_STREQ("", ex);
  _splitpath(nullptr, drive, dir, base, ex);
  EXPECT_STREQ("", base);
}

TEST(Names, FreeNameSkipsEveryTakenOne) {
  std::string dir = testfiles::FreshDir("realname");
  std::string target = dir + "/IMG_1.jpg";
  EXPECT_EQ(target, GetRealFileName(target));
  testfiles::WriteAll(target, "a", 1);
  EXPECT_EQ(dir + "/IMG_1(1).jpg", GetRealFileName(target));
  testfiles::WriteAll(dir + "/IMG_1(1).jpg", "a", 1);
  testfiles::WriteAll(dir + "/IMG_1(2).jpg", "a", 1);
  wchar_t out[512];
  ASSERT_EQ(0, GetRealFileName(target.c_str(), out, 512));
  EXPECT_EQ(dir + "/IMG_1(3).jpg", WideToUtf8(out));
  // Without an extension the number goes at the end.
  testfiles::WriteAll(dir + "/notes", "a", 1);
  EXPECT_EQ(dir + "/notes(1)", GetRealFileName(dir + "/notes"));
  testfiles::Run("rm -rf '" + dir + "'");
}

TEST(Names, PathDepthAndCase) {
  int n = -1;
  GetPathDirIndex(L"/Users/x/", n);
  EXPECT_EQ(2, n);
  GetPathDirIndex(L"/", n);
  EXPECT_EQ(0, n);
  GetPathDirIndex(L"C:\\a\\b", n);
  EXPECT_EQ(2, n);

  char text[] = "ABC   ";
  EraseStringTailBlankChar(text, 6);
  EXPECT_STREQ("ABC", text);
  char mixed[] = "AbZ\xC3\x89xY";
  EXPECT_STREQ("abz\xC3\x89xy", GetCharLowerA(mixed));  // bytes above 127 untouched
  char other[] = "HELLO";
  EXPECT_EQ(5, Convert2Lowercase(other));
  EXPECT_STREQ("hello", other);
  wchar_t w[] = L"ÉCOLE";
  EXPECT_EQ(std::wstring(L"École").substr(1), std::wstring(GetCharLowerW(w)).substr(1));
}

TEST(Conversions, Utf8RoundTripsAndBadBytes) {
  const char* names[] = {"plain.txt", "Фото_été.jpg", "日本語.txt", "emoji 😀.png"};
  for (const char* n : names) EXPECT_EQ(n, WideToUtf8(Utf8ToWide(n))) << n;
  // Invalid input becomes U+FFFD, never dropped silently into garbage.
  std::wstring w = Utf8ToWide("a\xFF" "b\xE6\x97");
  ASSERT_EQ(5u, w.size());  // the cut-off sequence at the end gives one U+FFFD per byte
  EXPECT_EQ(L'a', w[0]);
  EXPECT_EQ(0xFFFD, static_cast<int>(w[1]));
  EXPECT_EQ(L'b', w[2]);
  EXPECT_EQ(0xFFFD, static_cast<int>(w[3]));
  EXPECT_EQ(0xFFFD, static_cast<int>(w[4]));

  char narrow[8];
  inner_uni2str(narrow, L"日本語", sizeof(narrow), -1);
  EXPECT_STREQ("日本", narrow);  // cut on a character boundary: 6 bytes + NUL fit, 9 do not
  wchar_t wide[3];
  inner_str2uni(wide, "abcdef", 3, -1);
  EXPECT_EQ(std::wstring(L"ab"), std::wstring(wide));
}

TEST(Conversions, Utf16NamesFromDisk) {
  const u16 units[] = {0x0046, 0x00E9, 0xD83D, 0xDE00, 0x0000, 0x0041};
  EXPECT_EQ("Fé😀", Utf16ToUtf8(units, 6));
  const u16 lone[] = {0x0041, 0xD800, 0x0042};
  EXPECT_EQ("A\xEF\xBF\xBD" "B", Utf16ToUtf8(lone, 3));
  const u8 bytes[] = {0x41, 0x00, 0x42, 0x04};
  EXPECT_EQ("A\xD1\x82", Utf16LEBytesToUtf8(bytes, 2));  // U+0442
}

TEST(Conversions, NameFieldIsCutOnACharacterBoundary) {
  char field[256];
  std::string longName;
  for (int i = 0; i < 100; ++i) longName += "é";  // 200 bytes
  longName += std::string(54, 'x') + "日本";      // 254 + 6 bytes
  CopyNameToField(field, longName);
  std::string stored(field);
  // 254 bytes of é and x, then "日" would end at byte 257: neither CJK character fits whole.
  EXPECT_EQ(254u, stored.size());
  EXPECT_EQ(longName.substr(0, 254), stored);
  EXPECT_EQ(0, field[255]);
}

TEST(Conversions, SafePathComponents) {
  EXPECT_EQ("photo.jpg", MakeSafePathComponent("photo.jpg"));
  EXPECT_EQ(".._.._x", MakeSafePathComponent("../../x"));
  EXPECT_EQ("a_b", MakeSafePathComponent("a/b"));
  EXPECT_EQ("__", MakeSafePathComponent("."));
  EXPECT_EQ("___", MakeSafePathComponent(".."));
  EXPECT_EQ("_", MakeSafePathComponent(""));
  EXPECT_EQ("a_b_c", MakeSafePathComponent("a\nb\x7f" "c"));
  EXPECT_EQ(".profile", MakeSafePathComponent(".profile"));
  EXPECT_EQ(255u, MakeSafePathComponent(std::string(400, 'a')).size());
  for (const char* bad : {"../../x", "a/b", "..", ".", "/"}) {
    std::string s = MakeSafePathComponent(bad);
    EXPECT_EQ(std::string::npos, s.find('/')) << bad;
    EXPECT_NE(".", s);
    EXPECT_NE("..", s);
  }
}

TEST(Conversions, ConverterSetUp) {
  EXPECT_EQ(0, inner_initUnicodeMap("UTF-8"));
  EXPECT_EQ(-1, inner_initUnicodeMap("NO-SUCH-CODESET-XYZ"));
  EXPECT_EQ(0, inner_initUnicodeMap("UTF-8"));
}

}  // namespace

TEST(Conversions, MetadataTextIsCleanedAndFileNameTextMadeSafe) {
  // Invalid bytes and control characters dropped, blanks folded, cut on a character boundary.
  const std::string raw = std::string("  A\x01\x1b[1mB\xff\xc0\x80 \t C\xc3\xa9") + "\xe2\x80\xae!";
  EXPECT_EQ("A[1mB C\xc3\xa9!", CleanMetadataText(raw.data(), raw.size(), 64));
  EXPECT_EQ("A[1mB C", CleanMetadataText(raw.data(), raw.size(), 8));
  EXPECT_EQ("caf\xc3\xa9", Latin1ToUtf8("caf\xe9", 4));
  EXPECT_EQ("_.._etc_x__", SanitizeFileNameText("../.._etc/x:*..", 64));
}
