// The UnRAR library as setup.exe links it, on the Windows 9x family's way through its
// wide-character file functions (third_party/unrar-shims/wide_9x.cpp). Wine's A functions are
// real, so forcing the 9x decision runs that way on a working system. The archive and the files in
// it are made by Debian's rar at build time (tools/CMakeLists.txt).
#include <string.h>
#include <windows.h>

#include <dll.hpp>
#include <map>
#include <string>

#include "gtest/gtest.h"

extern "C" void UnrarShimForce9x(int family9x);  // test hook of wide_9x.cpp

namespace {

// The build folder of the archive, as Wine shows it on drive Z:.
std::wstring BuildFile(const wchar_t* name) {
  const char* unix = ZS_UNRAR9X_DIR;
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_UTF8, 0, unix, -1, wide, MAX_PATH) == 0) return L"";
  std::wstring path = std::wstring(L"Z:") + wide + L"/" + name;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

std::string ReadAll(const std::wstring& path) {
  std::string bytes;
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char block[65536];
  DWORD got = 0;
  while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0) bytes.append(block, got);
  CloseHandle(file);
  return bytes;
}

// What a walk of an archive gave: the open and last results, and each entry's delivered bytes.
struct Walk {
  int open = -1;
  int end = -1;
  std::map<std::wstring, std::string> entries;
};

int CALLBACK Collect(UINT message, LPARAM user, LPARAM data, LPARAM size) {
  if (message != UCM_PROCESSDATA) return -1;
  reinterpret_cast<std::string*>(user)->append(reinterpret_cast<const char*>(data),
                                               static_cast<size_t>(size));
  return 1;
}

// Walks the archive as setup.exe does: opened by its wide name, every entry tested (decoded into
// the callback) or skipped.
Walk WalkArchive(const std::wstring& path, int operation) {
  Walk walk;
  std::string current;
  RAROpenArchiveDataEx open;
  memset(&open, 0, sizeof open);
  open.ArcNameW = const_cast<wchar_t*>(path.c_str());
  open.OpenMode = RAR_OM_EXTRACT;
  open.Callback = Collect;
  open.UserData = reinterpret_cast<LPARAM>(&current);
  HANDLE archive = RAROpenArchiveEx(&open);
  walk.open = static_cast<int>(open.OpenResult);
  if (archive == nullptr) return walk;
  RARHeaderDataEx header;
  memset(&header, 0, sizeof header);
  while ((walk.end = RARReadHeaderEx(archive, &header)) == ERAR_SUCCESS) {
    current.clear();
    walk.end = RARProcessFile(archive, operation, nullptr, nullptr);
    walk.entries[header.FileNameW] = current;
    if (walk.end != ERAR_SUCCESS) break;
  }
  RARCloseArchive(archive);
  return walk;
}

TEST(Unrar9x, OpensAndExtractsThroughTheAnsiFunctions) {
  // Wine's default ANSI code page, 1252, has the letters of the first name but not the Greek ones.
  ASSERT_EQ(GetACP(), 1252u);
  const std::wstring folder = L"C:\\zs unrar\\";
  const std::wstring ansiName = folder + L"Grüße aus Köln.rar";
  const std::wstring greekName = folder + L"Ωμέγα.rar";
  const wchar_t kText[] = L"Grüße aus Köln.txt";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(BuildFile(L"sample.rar").c_str(), ansiName.c_str(), TRUE));
  ASSERT_TRUE(CopyFileW(BuildFile(L"sample.rar").c_str(), greekName.c_str(), TRUE));
  const std::map<std::wstring, std::string> expected = {
      {L"data.bin", ReadAll(BuildFile(L"data.bin"))}, {kText, ReadAll(BuildFile(kText))}};
  ASSERT_GT(expected.at(L"data.bin").size(), 100000u);
  ASSERT_GT(expected.at(kText).size(), 1000u);

  UnrarShimForce9x(1);
  Walk tested = WalkArchive(ansiName, RAR_TEST);
  Walk skipped = WalkArchive(ansiName, RAR_SKIP);
  Walk greek9x = WalkArchive(greekName, RAR_SKIP);
  // The library's case functions, in both of their forms.
  LPWSTR one = reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(L'ö'));
  UINT_PTR upperOne = reinterpret_cast<UINT_PTR>(CharUpperW(one));
  wchar_t lower[] = L"GRÜSSE ΩΜΈΓΑ";
  CharLowerW(lower);
  int same = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, L"grüße", -1, L"GRÜßE", -1);
  int greek = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, L"Ωμ", -1, L"Ωμ", -1);
  UnrarShimForce9x(-1);  // what the system reports: the NT family under Wine's default
  Walk greekNt = WalkArchive(greekName, RAR_SKIP);

  EXPECT_EQ(tested.open, ERAR_SUCCESS);
  EXPECT_EQ(tested.end, ERAR_END_ARCHIVE);
  EXPECT_TRUE(tested.entries == expected);
  EXPECT_EQ(skipped.end, ERAR_END_ARCHIVE);
  EXPECT_EQ(skipped.entries.size(), 2u);
  EXPECT_EQ(skipped.entries.at(kText), "");
  // The Greek name has no ANSI form: on the 9x way it is not found; the NT way opens the same file.
  EXPECT_EQ(greek9x.open, ERAR_EOPEN);
  EXPECT_TRUE(greek9x.entries.empty());
  EXPECT_EQ(greekNt.open, ERAR_SUCCESS);
  EXPECT_EQ(greekNt.end, ERAR_END_ARCHIVE);
  EXPECT_EQ(greekNt.entries.size(), 2u);
  EXPECT_EQ(upperOne, static_cast<UINT_PTR>(L'Ö'));
  EXPECT_STREQ(lower, L"grüsse ΩΜΈΓΑ");  // letters without an ANSI form stay as they are
  EXPECT_EQ(same, CSTR_EQUAL);
  EXPECT_EQ(greek, CSTR_EQUAL);
}

}  // namespace
