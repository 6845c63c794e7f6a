#include "system/files.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "system/hook.h"
#include "system/os.h"
#include "system/test_util.h"

using namespace zs_test;

namespace {

struct Handle {
  HANDLE h;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() { Close(); }
  void Close() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
};

// Holds a file open without sharing, as a program that uses it would.
HANDLE Lock(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::string Short(const std::string& path);

// ---- FileCopyBeside ----

TEST(FileCopyBeside, CopiesOntoAFreeTargetAndLeavesTheAlternateEmpty) {
  std::string d = ScratchDir("beside_free");
  ASSERT_TRUE(WriteText(d + "src.dll", "new"));
  char alt[MAX_PATH] = "garbage";
  EXPECT_EQ(1, FileCopyBeside((d + "src.dll").c_str(), (d + "lib.dll").c_str(), 0, alt, MAX_PATH));
  EXPECT_STREQ("", alt);
  EXPECT_EQ("new", ReadText(d + "lib.dll"));
}

TEST(FileCopyBeside, WritesNumberedAlternatesBesideAnExistingTarget) {
  std::string d = ScratchDir("beside_alt");
  ASSERT_TRUE(WriteText(d + "src.dll", "new"));
  ASSERT_TRUE(WriteText(d + "lib.dll", "old"));
  char alt[MAX_PATH];
  ASSERT_EQ(1, FileCopyBeside((d + "src.dll").c_str(), (d + "lib.dll").c_str(), 0, alt, MAX_PATH));
  EXPECT_EQ(d + "_ib.d00", alt);
  EXPECT_EQ("old", ReadText(d + "lib.dll"));
  EXPECT_EQ("new", ReadText(d + "_ib.d00"));

  ASSERT_EQ(1, FileCopyBeside((d + "src.dll").c_str(), (d + "lib.dll").c_str(), 0, alt, MAX_PATH));
  EXPECT_EQ(d + "_ib.d01", alt);

  // The out name is cut to its size and stays terminated; a null out buffer is allowed.
  char small[6];
  ASSERT_EQ(1, FileCopyBeside((d + "src.dll").c_str(), (d + "lib.dll").c_str(), 0, small, 6));
  EXPECT_STREQ("C:\\zs", small);
  EXPECT_TRUE(Exists(d + "_ib.d02"));
  EXPECT_EQ(1, FileCopyBeside((d + "src.dll").c_str(), (d + "lib.dll").c_str(), 0, nullptr, 0));
  EXPECT_TRUE(Exists(d + "_ib.d03"));
}

TEST(FileCopyBeside, AListedTargetGetsItsAlternateAtOnce) {
  std::string d = ScratchDir("beside_listed");
  ASSERT_TRUE(WriteText(d + "src.dll", "new"));
  ASSERT_TRUE(WriteText(d + "lib.dll", "old"));
  FileNames names;
  char alt[MAX_PATH];
  ASSERT_EQ(1, FileCopyBesideListed((d + "src.dll").c_str(), (d + "lib.dll").c_str(),
                                    names.Lists((d + "LIB.DLL").c_str()), alt, MAX_PATH));
  EXPECT_EQ(d + "_ib.d00", alt);
  EXPECT_EQ("old", ReadText(d + "lib.dll"));
  // Not listed: the target is tried first, and is found there.
  ASSERT_EQ(
      1, FileCopyBesideListed((d + "src.dll").c_str(), (d + "lib.dll").c_str(), 0, alt, MAX_PATH));
  EXPECT_EQ(d + "_ib.d01", alt);
  EXPECT_EQ(0, names.Lists((d + "new.dll").c_str()));
  ASSERT_EQ(
      1, FileCopyBesideListed((d + "src.dll").c_str(), (d + "new.dll").c_str(), 0, alt, MAX_PATH));
  EXPECT_STREQ("", alt);
  EXPECT_EQ("new", ReadText(d + "new.dll"));
}

TEST(FileCopyBeside, TrailingDotGetsTheCounterDirectlyAfterIt) {
  std::string d = ScratchDir("beside_dot");
  ASSERT_TRUE(WriteText(d + "src", "new"));
  ASSERT_TRUE(WriteText(d + "x.txt", "old"));
  char alt[MAX_PATH];
  // "lib." names the file "lib" on Windows; the alternate text is still built from the name given.
  ASSERT_TRUE(WriteText(d + "lib.", "old"));
  ASSERT_EQ(1, FileCopyBeside((d + "src").c_str(), (d + "lib.").c_str(), 0, alt, MAX_PATH));
  EXPECT_EQ(d + "_ib.00", alt);
  EXPECT_EQ("new", ReadText(d + "_ib.00"));
  // A one-letter extension keeps its letter.
  ASSERT_EQ(1, FileCopyBeside((d + "src").c_str(), (d + "x.txt").c_str(), 0, alt, MAX_PATH));
  EXPECT_EQ(d + "_.t00", alt);
}

TEST(FileCopyBeside, NoDotInTheFileNameFailsWithoutCopying) {
  std::string base = ScratchDir("beside_nodot");
  std::string d = base + "dir.x\\";
  ASSERT_TRUE(CreateDirectoryA(d.c_str(), nullptr));
  ASSERT_TRUE(WriteText(base + "src", "new"));
  ASSERT_TRUE(WriteText(d + "lib", "old"));
  char alt[MAX_PATH] = "x";
  EXPECT_EQ(0, FileCopyBeside((base + "src").c_str(), (d + "lib").c_str(), 0, alt, MAX_PATH));
  EXPECT_STREQ("", alt);
  // Nothing may land beside the folder or in it.
  EXPECT_FALSE(Exists(base + "_ir.x00"));
  EXPECT_FALSE(Exists(base + "_ir.x"));
  EXPECT_FALSE(Exists(base + "dir.x00"));
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((d + "*").c_str(), &entry);
  int files = 0;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files;
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  EXPECT_EQ(1, files);
  // A path without any dot fails the same way.
  ASSERT_TRUE(WriteText(base + "plain", "old"));
  EXPECT_EQ(0, FileCopyBeside((base + "src").c_str(), (base + "plain").c_str(), 0, alt, MAX_PATH));
}

TEST(FileCopyBeside, RunsFromZeroToOneHundredThenGivesUp) {
  std::string d = ScratchDir("beside_full");
  ASSERT_TRUE(WriteText(d + "src", "new"));
  ASSERT_TRUE(WriteText(d + "lib.dll", "old"));
  for (int i = 0; i < 100; ++i) {
    char name[16];
    snprintf(name, sizeof name, "_ib.d%02d", i);
    ASSERT_TRUE(WriteText(d + name, "taken"));
  }
  char alt[MAX_PATH];
  ASSERT_EQ(1, FileCopyBeside((d + "src").c_str(), (d + "lib.dll").c_str(), 0, alt, MAX_PATH));
  EXPECT_EQ(d + "_ib.d100", alt);
  EXPECT_EQ(0, FileCopyBeside((d + "src").c_str(), (d + "lib.dll").c_str(), 0, alt, MAX_PATH));
  EXPECT_STREQ("", alt);
  EXPECT_EQ("taken", ReadText(d + "_ib.d00"));
}

TEST(FileCopyBeside, AlternateThatDoesNotFitMaxPathFails) {
  // "n.d" becomes "_.d00": two characters longer than the target.
  std::string d = ScratchDir("beside_long");
  ASSERT_TRUE(WriteText(d + "src", "new"));
  std::string folder = d + std::string(200, 'f') + "\\";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  std::string target = folder + std::string(259 - folder.size() - 2, 'n') + ".d";
  ASSERT_EQ(259u, target.size());
  ASSERT_TRUE(WriteText(target, "old"));
  char alt[MAX_PATH] = "x";
  EXPECT_EQ(0, FileCopyBeside((d + "src").c_str(), target.c_str(), 0, alt, MAX_PATH));
  EXPECT_STREQ("", alt);

  // Two characters shorter, the alternate (260 bytes with its terminator) fits.
  std::string shorter = folder + std::string(259 - folder.size() - 4, 'n') + ".d";
  ASSERT_TRUE(WriteText(shorter, "old"));
  ASSERT_EQ(1, FileCopyBeside((d + "src").c_str(), shorter.c_str(), 0, alt, MAX_PATH))
      << GetLastError();
  EXPECT_EQ(259u, strlen(alt));
  EXPECT_EQ("new", ReadText(alt));

  // At 259 characters the two-digit names fit and the three-digit one does not.
  std::string full = folder + std::string(259 - folder.size() - 4, 'm') + ".dll";
  ASSERT_TRUE(WriteText(full, "old"));
  std::string base = full.substr(0, full.size() - 2);
  base[folder.size()] = '_';
  for (int i = 0; i < 100; ++i) {
    char counter[8];
    snprintf(counter, sizeof counter, "%02d", i);
    ASSERT_TRUE(WriteText(base + counter, "taken"));
  }
  EXPECT_EQ(0, FileCopyBeside((d + "src").c_str(), full.c_str(), 0, alt, MAX_PATH));
}

TEST(FileCopyBeside, OtherCopyErrorsFail) {
  std::string d = ScratchDir("beside_err");
  char alt[MAX_PATH] = "x";
  EXPECT_EQ(0, FileCopyBeside((d + "missing").c_str(), (d + "lib.dll").c_str(), 0, alt, 10));
  EXPECT_STREQ("", alt);
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST(FileCopyBeside, ReplaceAtRestartSchedulesTheAlternateOverTheTarget) {
  std::string d = ScratchDir("beside_restart");
  ASSERT_TRUE(WriteText(d + "src", "new"));
  ASSERT_TRUE(WriteText(d + "lib.dll", "old"));
  char alt[MAX_PATH];
  ASSERT_EQ(1, FileCopyBeside((d + "src").c_str(), (d + "lib.dll").c_str(), 1, alt, MAX_PATH));
  EXPECT_TRUE(IsPending(d + "_ib.d00"));
  EXPECT_TRUE(IsPending(d + "lib.dll"));
  EXPECT_EQ("old", ReadText(d + "lib.dll"));
}

// ---- FileCopyRetry ----

TEST(FileCopyRetry, CreatesMissingFoldersWithoutSleeping) {
  std::string d = ScratchDir("copy_folders");
  ASSERT_TRUE(WriteText(d + "src", "data"));
  SleepCounter sleeps;
  EXPECT_EQ(1, FileCopyRetry((d + "src").c_str(), (d + "a\\b\\c\\file.txt").c_str()));
  EXPECT_EQ("data", ReadText(d + "a\\b\\c\\file.txt"));
  EXPECT_EQ(0, sleeps.waits());
}

TEST(FileCopyRetry, OverwritesAReadOnlyTarget) {
  std::string d = ScratchDir("copy_readonly");
  ASSERT_TRUE(WriteText(d + "src", "new"));
  ASSERT_TRUE(WriteText(d + "dst", "old"));
  SetFileAttributesA((d + "dst").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(1, FileCopyRetry((d + "src").c_str(), (d + "dst").c_str()));
  EXPECT_EQ("new", ReadText(d + "dst"));
}

TEST(FileCopyRetry, RetriesALockedTargetThenGivesUp) {
  std::string d = ScratchDir("copy_locked");
  ASSERT_TRUE(WriteText(d + "src", "new"));
  ASSERT_TRUE(WriteText(d + "dst", "old"));
  Handle lock(Lock(d + "dst"));
  ASSERT_NE(INVALID_HANDLE_VALUE, lock.h);
  {
    SleepCounter sleeps;
    EXPECT_EQ(0, FileCopyRetry((d + "src").c_str(), (d + "dst").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(30, sleeps.waits());
    EXPECT_EQ(30u * 300u, sleeps.total());
  }
  {
    // Released during the third wait: the next attempt succeeds.
    SleepCounter sleeps;
    sleeps.onWait = [&](int n) {
      if (n == 3) lock.Close();
    };
    EXPECT_EQ(1, FileCopyRetry((d + "src").c_str(), (d + "dst").c_str()));
    EXPECT_EQ(3, sleeps.waits());
    EXPECT_EQ("new", ReadText(d + "dst"));
  }
}

TEST(FileCopyRetry, OtherErrorsFailAtOnce) {
  std::string d = ScratchDir("copy_err");
  SleepCounter sleeps;
  EXPECT_EQ(0, FileCopyRetry((d + "missing").c_str(), (d + "dst").c_str()));
  EXPECT_EQ(0, sleeps.waits());
}

// ---- FileDeleteRetry, FileDeleteOrSchedule, DirRemoveOrSchedule ----

TEST(FileDeleteRetry, DeletesReadOnlyFilesAndRetriesLockedOnes) {
  std::string d = ScratchDir("delete_retry");
  ASSERT_TRUE(WriteText(d + "ro", "x"));
  SetFileAttributesA((d + "ro").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  {
    SleepCounter sleeps;
    EXPECT_EQ(1, FileDeleteRetry((d + "ro").c_str()));
    EXPECT_FALSE(Exists(d + "ro"));
    EXPECT_EQ(0, sleeps.waits());
  }
  ASSERT_TRUE(WriteText(d + "busy", "x"));
  Handle lock(Lock(d + "busy"));
  {
    SleepCounter sleeps;
    EXPECT_EQ(0, FileDeleteRetry((d + "busy").c_str()));
    EXPECT_EQ(5, sleeps.waits());  // the sleep also follows the fifth failure
    EXPECT_TRUE(Exists(d + "busy"));
  }
  {
    SleepCounter sleeps;
    sleeps.onWait = [&](int n) {
      if (n == 2) lock.Close();
    };
    EXPECT_EQ(1, FileDeleteRetry((d + "busy").c_str()));
    EXPECT_EQ(2, sleeps.waits());
    EXPECT_FALSE(Exists(d + "busy"));
  }
  {
    SleepCounter sleeps;
    EXPECT_EQ(0, FileDeleteRetry((d + "never").c_str()));
    EXPECT_EQ(5, sleeps.waits());
  }
}

TEST(FileDeleteOrSchedule, DeletesNowOrSchedulesAFileInUse) {
  std::string d = ScratchDir("delete_schedule");
  ASSERT_TRUE(WriteText(d + "free", "x"));
  EXPECT_EQ(1, FileDeleteOrSchedule((d + "free").c_str()));
  EXPECT_FALSE(Exists(d + "free"));
  EXPECT_EQ(0, FileDeleteOrSchedule((d + "missing").c_str()));
  EXPECT_FALSE(IsPending(d + "missing"));

  // A loaded library cannot be deleted (access denied): its deletion waits for the restart.
  std::string lib = d + "inuse.dll";
  ASSERT_TRUE(CopyFileA(BesideTestProgram("zs_lockdll.dll").c_str(), lib.c_str(), FALSE));
  HMODULE module = LoadLibraryA(lib.c_str());
  ASSERT_NE(nullptr, module);
  EXPECT_EQ(1, FileDeleteOrSchedule(lib.c_str()));
  EXPECT_TRUE(Exists(lib));
  EXPECT_TRUE(IsPending(lib));
  FreeLibrary(module);

  // A sharing violation is another error: nothing is scheduled.
  ASSERT_TRUE(WriteText(d + "open", "x"));
  Handle lock(Lock(d + "open"));
  EXPECT_EQ(0, FileDeleteOrSchedule((d + "open").c_str()));
  EXPECT_FALSE(IsPending(d + "open"));
}

TEST(FileNames, GiveShortAndLongFormsAndRefuseAShortNameTwoFilesShare) {
  std::string d = ScratchDir("file_names");
  // Short names made from a hash of the long one (Wine's, a Samba share's) collide in a large
  // folder: files are made until two share one. Windows never gives two files one short name.
  std::map<std::string, std::string> byShort;
  std::string first, second;
  for (int i = 0; i < 3000 && second.empty(); ++i) {
    std::string file = d + "help" + std::to_string(10000 + i) + ".dat";
    ASSERT_TRUE(WriteText(file, "x"));
    std::string shortName = Short(file).substr(d.size());
    auto [at, added] = byShort.emplace(shortName, file);
    if (!added) {
      first = at->second;
      second = file;
    }
  }
  if (second.empty()) GTEST_SKIP() << "no two files share a short name on this file system";
  std::string single = d + "help" + std::to_string(10000) + ".dat";
  if (single == first) single = d + "help" + std::to_string(10001) + ".dat";

  FileNames names;
  char out[MAX_PATH];
  EXPECT_EQ(1, names.ShortForm(single.c_str(), out));
  EXPECT_EQ(Short(single), out);
  EXPECT_EQ(-1, names.ShortForm(first.c_str(), out));
  EXPECT_EQ(first, out);
  EXPECT_EQ(-1, names.ShortForm(second.c_str(), out));
  EXPECT_EQ(0, names.ShortForm((d + "missing.dat").c_str(), out));
  names.LongForm(Short(single).c_str(), out);
  EXPECT_EQ(single, out);
  // The shared short name stays as it is, below the folder's long form: it names either file.
  names.LongForm(Short(second).c_str(), out);
  EXPECT_EQ(d + Short(second).substr(Short(second).rfind('\\') + 1), out);
}

TEST(FileDeleteOrScheduleAll, DeletesManyByShortOrLongNameAndSchedulesThoseInUseInOrder) {
  std::string d = ScratchDir("delete_all");
  // Enough files for the worker threads, every second one given by its short name.
  std::vector<std::string> given;
  std::vector<std::string> files;
  for (int i = 0; i < 40; ++i) {
    std::string file = d + "component" + std::to_string(100 + i) + ".datafile";
    ASSERT_TRUE(WriteText(file, "x"));
    files.push_back(file);
    given.push_back(i % 2 != 0 ? Short(file) : file);
  }
  ASSERT_NE(files[1], given[1]);
  // Two loaded libraries (access denied) wait for the restart, in the order given.
  std::string libs[] = {d + "second_in_use.dll", d + "first_in_use.dll"};
  HMODULE modules[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(CopyFileA(BesideTestProgram("zs_lockdll.dll").c_str(), libs[i].c_str(), FALSE));
    modules[i] = LoadLibraryA(libs[i].c_str());
    ASSERT_NE(nullptr, modules[i]);
    given.push_back(Short(libs[i]));
  }
  given.push_back(d + "missing.dat");
  std::vector<const char*> paths;
  for (const std::string& p : given) paths.push_back(p.c_str());

  EXPECT_EQ(1, FileDeleteOrScheduleAll(paths.data(), static_cast<int>(paths.size())));
  for (const std::string& file : files) EXPECT_FALSE(Exists(file)) << file;
  std::vector<std::string> pending = PendingRenames();
  auto at = [&](const std::string& lib) {
    for (size_t i = 0; i < pending.size(); ++i) {
      if (pending[i].size() >= lib.size() &&
          pending[i].compare(pending[i].size() - lib.size(), lib.size(), lib) == 0) {
        return static_cast<long>(i);
      }
    }
    return -1L;
  };
  for (HMODULE module : modules) FreeLibrary(module);
  std::string upper[2];
  for (int i = 0; i < 2; ++i) {
    for (char c : libs[i]) upper[i] += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  ASSERT_GE(at(upper[0]), 0);
  EXPECT_LT(at(upper[0]), at(upper[1]));
}

TEST(DirRemoveOrSchedule, RemovesNowOrSchedulesAFullFolder) {
  std::string d = ScratchDir("dir_schedule");
  ASSERT_TRUE(CreateDirectoryA((d + "empty").c_str(), nullptr));
  EXPECT_EQ(1, DirRemoveOrSchedule((d + "empty").c_str()));
  EXPECT_FALSE(Exists(d + "empty"));
  ASSERT_TRUE(CreateDirectoryA((d + "full").c_str(), nullptr));
  ASSERT_TRUE(WriteText(d + "full\\f", "x"));
  EXPECT_EQ(1, DirRemoveOrSchedule((d + "full").c_str()));
  EXPECT_TRUE(Exists(d + "full"));
  EXPECT_TRUE(IsPending(d + "full"));
  EXPECT_EQ(0, DirRemoveOrSchedule((d + "missing").c_str()));
}

// ---- FileDeleteMatching ----

TEST(FileDeleteMatching, DeletesFilesButNotSubfolders) {
  std::string d = ScratchDir("matching");
  std::string f = d + "f";
  ASSERT_TRUE(CreateDirectoryA(f.c_str(), nullptr));
  ASSERT_TRUE(WriteText(f + "\\a.txt", "x"));
  ASSERT_TRUE(WriteText(f + "\\b", "x"));
  ASSERT_TRUE(CreateDirectoryA((f + "\\sub").c_str(), nullptr));
  ASSERT_TRUE(WriteText(f + "\\sub\\inner", "x"));

  SleepCounter sleeps;
  // Removing the folder fails: its subfolder stays.
  EXPECT_EQ(0, FileDeleteMatching(f.c_str(), 1, "*.*", 0));
  EXPECT_FALSE(Exists(f + "\\a.txt"));
  EXPECT_FALSE(Exists(f + "\\b"));
  EXPECT_TRUE(Exists(f + "\\sub\\inner"));
  EXPECT_TRUE(Exists(f));
  EXPECT_EQ(0, sleeps.waits());

  // Without the remove-folder flag the same folder gives 1; a trailing backslash is fine.
  ASSERT_TRUE(WriteText(f + "\\c", "x"));
  EXPECT_EQ(1, FileDeleteMatching((f + "\\").c_str(), 0, "*.*", 0));
  EXPECT_FALSE(Exists(f + "\\c"));

  // Only the pattern's files go.
  ASSERT_TRUE(WriteText(f + "\\keep.log", "x"));
  ASSERT_TRUE(WriteText(f + "\\drop.txt", "x"));
  EXPECT_EQ(1, FileDeleteMatching(f.c_str(), 0, "*.txt", 0));
  EXPECT_TRUE(Exists(f + "\\keep.log"));
  EXPECT_FALSE(Exists(f + "\\drop.txt"));

  // Enough files for the worker threads; read-only and hidden ones go at the first attempt too.
  for (int i = 0; i < 40; ++i) {
    std::string name = f + "\\many" + std::to_string(i);
    ASSERT_TRUE(WriteText(name, "x"));
    if (i % 3 == 0) SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_READONLY);
    if (i % 3 == 1) SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_HIDDEN);
  }
  EXPECT_EQ(1, FileDeleteMatching(f.c_str(), 0, "many*", 0));
  EXPECT_FALSE(Exists(f + "\\many0") || Exists(f + "\\many1") || Exists(f + "\\many39"));
  EXPECT_EQ(0, sleeps.waits());
}

TEST(FileDeleteMatching, RemovesAnEmptiedFolderOrSchedulesIt) {
  std::string d = ScratchDir("matching_remove");
  std::string f = d + "f";
  ASSERT_TRUE(CreateDirectoryA(f.c_str(), nullptr));
  ASSERT_TRUE(WriteText(f + "\\a", "x"));
  EXPECT_EQ(1, FileDeleteMatching(f.c_str(), 1, "*.*", 0));
  EXPECT_FALSE(Exists(f));

  // With the schedule flag a folder that keeps a subfolder is removed at the restart.
  ASSERT_TRUE(CreateDirectoryA(f.c_str(), nullptr));
  ASSERT_TRUE(WriteText(f + "\\a", "x"));
  ASSERT_TRUE(CreateDirectoryA((f + "\\sub").c_str(), nullptr));
  EXPECT_EQ(1, FileDeleteMatching(f.c_str(), 1, "*.*", 1));
  EXPECT_FALSE(Exists(f + "\\a"));
  EXPECT_TRUE(IsPending(f));

  // A file that cannot go makes the result 0, the others still go.
  std::string g = d + "g";
  ASSERT_TRUE(CreateDirectoryA(g.c_str(), nullptr));
  ASSERT_TRUE(WriteText(g + "\\busy", "x"));
  ASSERT_TRUE(WriteText(g + "\\free", "x"));
  Handle lock(Lock(g + "\\busy"));
  SleepCounter sleeps;
  EXPECT_EQ(0, FileDeleteMatching(g.c_str(), 0, "*.*", 0));
  EXPECT_FALSE(Exists(g + "\\free"));
  EXPECT_TRUE(Exists(g + "\\busy"));
  EXPECT_EQ(5, sleeps.waits());

  // A missing folder: nothing matched, the removal fails.
  EXPECT_EQ(1, FileDeleteMatching((d + "none").c_str(), 0, "*.*", 0));
  EXPECT_EQ(0, FileDeleteMatching((d + "none").c_str(), 1, "*.*", 0));
}

TEST(FileDeleteMatching, RefusesAPathThatDoesNotFit) {
  std::string d = ScratchDir("matching_long");
  std::string folder(300, 'x');
  EXPECT_EQ(0, FileDeleteMatching((d + folder).c_str(), 0, "*.*", 0));
}

// ---- FileOpenRetry ----

TEST(FileOpenRetry, RetriesSharingViolationsFiveTimes) {
  std::string d = ScratchDir("open_retry");
  ASSERT_TRUE(WriteText(d + "f", "x"));
  Handle lock(Lock(d + "f"));
  {
    SleepCounter sleeps;
    HANDLE h = FileOpenRetry((d + "f").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(5, sleeps.waits());
  }
  {
    SleepCounter sleeps;
    sleeps.onWait = [&](int n) {
      if (n == 1) lock.Close();
    };
    Handle h(FileOpenRetry((d + "f").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0));
    EXPECT_NE(INVALID_HANDLE_VALUE, h.h);
    EXPECT_EQ(1, sleeps.waits());
  }
  {
    SleepCounter sleeps;
    HANDLE h = FileOpenRetry((d + "nope").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(0, sleeps.waits());
  }
}

TEST(FileOpenRetry, RealWaitLastsAboutFiveTimesThreeHundredMilliseconds) {
  std::string d = ScratchDir("open_wait");
  ASSERT_TRUE(WriteText(d + "f", "x"));
  Handle lock(Lock(d + "f"));
  DWORD start = GetTickCount();
  HANDLE h = FileOpenRetry((d + "f").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
  DWORD elapsed = GetTickCount() - start;
  EXPECT_EQ(INVALID_HANDLE_VALUE, h);
  EXPECT_GE(elapsed, 1400u);
  EXPECT_LT(elapsed, 4000u);
}

// ---- FileCreateFolderPath ----

TEST(FileCreateFolderPath, CreatesMissingParents) {
  std::string d = ScratchDir("mkdir");
  EXPECT_EQ(1, FileCreateFolderPath((d + "a\\b\\c").c_str()));
  EXPECT_TRUE(Exists(d + "a\\b\\c"));
  EXPECT_EQ(0, FileCreateFolderPath((d + "a\\b\\c").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_EQ(0, FileCreateFolderPath((d + "a").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
}

TEST(FileCreateFolderPath, TrailingBackslashNamesTheSameFolder) {
  std::string d = ScratchDir("mkdir_slash");
  EXPECT_EQ(1, FileCreateFolderPath((d + "x\\y\\").c_str()));
  EXPECT_TRUE(Exists(d + "x\\y"));
  EXPECT_EQ(1, FileCreateFolderPath((d + "z\\").c_str()));
  EXPECT_TRUE(Exists(d + "z"));
  EXPECT_EQ(0, FileCreateFolderPath((d + "x\\y\\").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
}

TEST(FileCreateFolderPath, FailsWithoutAParentToMake) {
  EXPECT_EQ(0, FileCreateFolderPath("Q:\\no\\such\\drive"));
  EXPECT_EQ(0, FileCreateFolderPath(std::string(300, 'a').c_str()));
  // A file in the way is not a folder.
  std::string d = ScratchDir("mkdir_file");
  ASSERT_TRUE(WriteText(d + "file", "x"));
  EXPECT_EQ(0, FileCreateFolderPath((d + "file\\sub").c_str()));
}

// ---- FileMoveOrSchedule ----

TEST(FileMoveOrSchedule, NtMovesNowOrAtTheRestart) {
  std::string d = ScratchDir("move_nt");
  ASSERT_TRUE(WriteText(d + "a", "A"));
  SetFileAttributesA((d + "a").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(1, FileMoveOrSchedule((d + "a").c_str(), (d + "b").c_str(), 0));
  EXPECT_EQ("A", ReadText(d + "b"));
  EXPECT_FALSE(GetFileAttributesA((d + "b").c_str()) & FILE_ATTRIBUTE_READONLY);

  EXPECT_EQ(1, FileMoveOrSchedule((d + "b").c_str(), nullptr, FILE_MOVE_AT_RESTART));
  EXPECT_TRUE(Exists(d + "b"));
  EXPECT_TRUE(IsPending(d + "b"));

  EXPECT_EQ(0, FileMoveOrSchedule((d + "missing").c_str(), (d + "c").c_str(), 0));
}

// ---- FileRestartMoves ----

// One value of the system's list of moves for the restart, as raw bytes; restored on destruction.
struct PendingValue {
  HKEY key = nullptr;
  const wchar_t* name;
  bool had = false;
  DWORD type = 0;
  std::string saved;
  explicit PendingValue(const wchar_t* valueName) : name(valueName) {
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                  KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    had = Read(&saved, &type);
  }
  ~PendingValue() {
    if (had) {
      Write(saved, type);
    } else {
      RegDeleteValueW(key, name);
    }
    RegCloseKey(key);
  }
  bool Read(std::string* data, DWORD* kind = nullptr) const {
    DWORD t = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &t, nullptr, &size) != ERROR_SUCCESS) return false;
    data->assign(size, '\0');
    if (kind != nullptr) *kind = t;
    return size == 0 ||
           RegQueryValueExW(key, name, nullptr, &t, reinterpret_cast<BYTE*>(&(*data)[0]), &size) ==
               ERROR_SUCCESS;
  }
  void Write(const std::string& data, DWORD kind) const {
    RegSetValueExW(key, name, 0, kind, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
  }
  std::string Get() const {
    std::string data;
    return Read(&data) ? data : "<missing>";
  }
};

// Refuses the scheduling of files whose name holds "refused", as an injected failure would.
DWORD RefuseSchedule(const SysChange* change) {
  return change->kind == SYS_FILE_SCHEDULE && strstr(change->path, "refused") != nullptr
             ? ERROR_ACCESS_DENIED
             : ERROR_SUCCESS;
}

TEST(FileRestartMoves, AppendsWhatMoveFileExWouldWriteInOneChange) {
  std::string d = ScratchDir("restart_moves");
  ASSERT_TRUE(WriteText(d + "_ib.d00", "new"));
  ASSERT_TRUE(WriteText(d + "gone.tmp", "x"));
  SetFileAttributesA((d + "_ib.d00").c_str(), FILE_ATTRIBUTE_READONLY);
  PendingValue list(L"PendingFileRenameOperations");
  PendingValue second(L"PendingFileRenameOperations2");
  RegDeleteValueW(second.key, second.name);
  // Moves over targets, a deletion, and a path that is only full once resolved.
  const std::string from[] = {d + "_ib.d00", d + "gone.tmp", d + "sub\\..\\_ore.e00"};
  const std::string to[] = {d + "lib.dll", "", d + "core.exe"};

  // What the system's own call writes, one move at a time, after an entry already waiting.
  ASSERT_TRUE(MoveFileExA((d + "earlier").c_str(), nullptr, FILE_MOVE_AT_RESTART));
  std::string before = list.Get();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(MoveFileExA(from[i].c_str(), to[i].empty() ? nullptr : to[i].c_str(),
                            FILE_MOVE_AT_RESTART));
  }
  std::string expected = list.Get();
  list.Write(before, REG_MULTI_SZ);

  FileRestartMoves moves;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(
        1, FileRestartMovesAdd(&moves, from[i].c_str(), to[i].empty() ? nullptr : to[i].c_str()));
  }
  EXPECT_FALSE(GetFileAttributesA((d + "_ib.d00").c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(3, FileRestartMovesWrite(&moves, 1));
  EXPECT_EQ(expected, list.Get());

  // Once the system has begun a second list, later moves go there.
  second.Write(std::string("\0\0", 2), REG_MULTI_SZ);
  FileRestartMoves more;
  ASSERT_EQ(1, FileRestartMovesAdd(&more, (d + "gone.tmp").c_str(), nullptr));
  EXPECT_EQ(1, FileRestartMovesWrite(&more, 1));
  EXPECT_EQ(expected, list.Get());
  std::wstring wide = L"\\??\\" + std::wstring(d.begin(), d.end()) + L"gone.tmp";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(wide.c_str()),
                        (wide.size() + 1) * sizeof(wchar_t)) +
                std::string(4, '\0'),
            second.Get());
  RegDeleteValueW(second.key, second.name);

  // Each move is a change the observers are told of: one they refuse ends the list there.
  list.Write(before, REG_MULTI_SZ);
  ASSERT_EQ(1, SysAddChangeObserver(RefuseSchedule));
  FileRestartMoves refused;
  ASSERT_EQ(1, FileRestartMovesAdd(&refused, from[0].c_str(), to[0].c_str()));
  ASSERT_EQ(1, FileRestartMovesAdd(&refused, (d + "refused.tmp").c_str(), nullptr));
  ASSERT_EQ(1, FileRestartMovesAdd(&refused, from[1].c_str(), nullptr));
  EXPECT_EQ(1, FileRestartMovesWrite(&refused, 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(IsPending(to[0]));
  EXPECT_FALSE(IsPending(d + "refused.tmp"));
  EXPECT_FALSE(IsPending(from[1]));
  // Without stopping, the moves after a refused one are still scheduled.
  list.Write(before, REG_MULTI_SZ);
  EXPECT_EQ(2, FileRestartMovesWrite(&refused, 0));
  EXPECT_TRUE(IsPending(from[1]));
  SysRemoveChangeObserver(RefuseSchedule);
}

// The Windows folder's wininit.ini, removed before and after each 9x test.
struct Wininit {
  std::string path;
  Wininit() {
    char dir[MAX_PATH];
    GetWindowsDirectoryA(dir, MAX_PATH);
    path = std::string(dir) + "\\wininit.ini";
    DeleteFileA(path.c_str());
  }
  ~Wininit() {
    WritePrivateProfileSectionA(nullptr, nullptr, path.c_str());
    DeleteFileA(path.c_str());
  }
};

std::string Short(const std::string& path) {
  char s[MAX_PATH];
  DWORD n = GetShortPathNameA(path.c_str(), s, MAX_PATH);
  return std::string(s, n);
}

TEST(FileMoveOrSchedule, Win9xAppendsDeletionsAfterExistingLines) {
  FakePlatform win9x(false);
  ASSERT_EQ(0, SysIsNT());
  Wininit ini;
  std::string d = ScratchDir("move_9x");
  ASSERT_TRUE(WriteText(d + "old.dll", "x"));
  ASSERT_TRUE(WriteText(ini.path, "[rename]\r\nNUL=C:\\FIRST.TXT\r\nC:\\DST.TXT=C:\\SRC.TXT\r\n"));

  EXPECT_EQ(1, FileMoveOrSchedule((d + "old.dll").c_str(), nullptr, FILE_MOVE_AT_RESTART));
  EXPECT_TRUE(Exists(d + "old.dll"));
  EXPECT_FALSE(IsPending(d + "old.dll"));

  char section[4096];
  DWORD n = GetPrivateProfileSectionA("rename", section, sizeof section, ini.path.c_str());
  std::string lines(section, n);
  std::string expected = std::string("NUL=C:\\FIRST.TXT") + '\0' + "C:\\DST.TXT=C:\\SRC.TXT" +
                         '\0' + "NUL=" + Short(d + "old.dll") + '\0';
  EXPECT_EQ(expected, lines);
}

TEST(FileMoveOrSchedule, Win9xSchedulesAMoveOverAnExistingTarget) {
  FakePlatform win9x(false);
  Wininit ini;
  std::string d = ScratchDir("move_9x_replace");
  ASSERT_TRUE(WriteText(d + "new.d00", "new"));
  ASSERT_TRUE(WriteText(d + "lib.dll", "old"));
  EXPECT_EQ(1, FileMoveOrSchedule((d + "new.d00").c_str(), (d + "lib.dll").c_str(),
                                  FILE_MOVE_AT_RESTART));
  char value[MAX_PATH];
  GetPrivateProfileStringA("rename", Short(d + "lib.dll").c_str(), "", value, MAX_PATH,
                           ini.path.c_str());
  EXPECT_EQ(Short(d + "new.d00"), value);
  EXPECT_EQ("old", ReadText(d + "lib.dll"));
}

TEST(FileMoveOrSchedule, Win9xMovesAtOnceWhenTheTargetIsFree) {
  FakePlatform win9x(false);
  Wininit ini;
  std::string d = ScratchDir("move_9x_free");
  ASSERT_TRUE(WriteText(d + "a", "A"));
  EXPECT_EQ(1, FileMoveOrSchedule((d + "a").c_str(), (d + "b").c_str(), FILE_MOVE_AT_RESTART));
  EXPECT_EQ("A", ReadText(d + "b"));
  EXPECT_FALSE(Exists(ini.path));

  // Without the delay flag the move is immediate too; a deletion needs the restart.
  EXPECT_EQ(1, FileMoveOrSchedule((d + "b").c_str(), (d + "c").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ("A", ReadText(d + "c"));
  EXPECT_EQ(0, FileMoveOrSchedule((d + "c").c_str(), nullptr, 0));
  EXPECT_TRUE(Exists(d + "c"));
  // A source that does not exist has no short name.
  EXPECT_EQ(0, FileMoveOrSchedule((d + "none").c_str(), nullptr, FILE_MOVE_AT_RESTART));
  EXPECT_FALSE(Exists(ini.path));
}

// Fills the "rename" section with lines "NUL=C:\F<number>.TXT" and then one line that brings the
// section, as GetPrivateProfileSectionA reports it (each line with its terminator), to exactly
// `length` bytes.
void FillSection(const std::string& ini, DWORD length) {
  std::string text = "[rename]\r\n";
  DWORD used = 0;
  int i = 0;
  for (;;) {
    char line[32];
    int n = snprintf(line, sizeof line, "NUL=C:\\F%010d.TXT", i++);
    if (length - used < static_cast<DWORD>(n + 1) + 40) break;
    text += line;
    text += "\r\n";
    used += n + 1;
  }
  std::string last = "NUL=C:\\" + std::string(length - used - 1 - 7, 'L');
  text += last + "\r\n";
  ASSERT_TRUE(WriteText(ini, text));
  static char buffer[0x10000];
  ASSERT_EQ(length, GetPrivateProfileSectionA("rename", buffer, sizeof buffer, ini.c_str()));
}

TEST(FileMoveOrSchedule, Win9xFullSectionWritesNothing) {
  FakePlatform win9x(false);
  Wininit ini;
  std::string d = ScratchDir("move_9x_full");
  ASSERT_TRUE(WriteText(d + "f", "x"));
  std::string line = "NUL=" + Short(d + "f");
  DWORD lineBytes = static_cast<DWORD>(line.size()) + 1;

  // The section, the new line with its terminator and the ending zero fill 0x7FFF exactly.
  FillSection(ini.path, 0x7FFF - lineBytes - 1);
  EXPECT_EQ(1, FileMoveOrSchedule((d + "f").c_str(), nullptr, FILE_MOVE_AT_RESTART));
  static char buffer[0x10000];
  DWORD n = GetPrivateProfileSectionA("rename", buffer, sizeof buffer, ini.path.c_str());
  EXPECT_EQ(0x7FFFu - 1, n);
  EXPECT_EQ(line, std::string(buffer + n - lineBytes));

  // One byte more and the line does not fit: the file stays exactly as it was.
  FillSection(ini.path, 0x7FFF - lineBytes);
  std::string before = ReadText(ini.path);
  EXPECT_EQ(0, FileMoveOrSchedule((d + "f").c_str(), nullptr, FILE_MOVE_AT_RESTART));
  EXPECT_EQ(before, ReadText(ini.path));

  // A section larger than the buffer is never written back cut short.
  FillSection(ini.path, 0x9000);
  before = ReadText(ini.path);
  EXPECT_EQ(0, FileMoveOrSchedule((d + "f").c_str(), nullptr, FILE_MOVE_AT_RESTART));
  EXPECT_EQ(before, ReadText(ini.path));
}

TEST(FileCopyBeside, Win9xFailedScheduleLeavesNoAlternate) {
  FakePlatform win9x(false);
  Wininit ini;
  std::string d = ScratchDir("beside_9x_full");
  ASSERT_TRUE(WriteText(d + "src", "new"));
  ASSERT_TRUE(WriteText(d + "lib.dll", "old"));
  FillSection(ini.path, 0x7FFE);
  char alt[MAX_PATH];
  EXPECT_EQ(0, FileCopyBeside((d + "src").c_str(), (d + "lib.dll").c_str(), 1, alt, MAX_PATH));
  EXPECT_STREQ("", alt);
  EXPECT_FALSE(Exists(d + "_ib.d00"));

  // With room in wininit.ini the alternate is scheduled over the target.
  DeleteFileA(ini.path.c_str());
  ASSERT_EQ(1, FileCopyBeside((d + "src").c_str(), (d + "lib.dll").c_str(), 1, alt, MAX_PATH));
  EXPECT_EQ(d + "_ib.d00", alt);
  char value[MAX_PATH];
  GetPrivateProfileStringA("rename", Short(d + "lib.dll").c_str(), "", value, MAX_PATH,
                           ini.path.c_str());
  EXPECT_EQ(Short(d + "_ib.d00"), value);
}

// ---- FileExists, FileDecryptIfEncrypted ----

// A disk that fills up half way: every write and copy stores half of its bytes and fails, as
// CopyFileA under Wine and a write of ours on Windows do.
DWORD FillUp(const SysChange* change) {
  if (change->kind == SYS_FILE_WRITE && change->data != nullptr) {
    DWORD written = 0;
    WriteFile(change->file, change->data, change->size / 2, &written, nullptr);
    if (change->written != nullptr) *change->written = written;
    return ERROR_DISK_FULL;
  }
  if (change->kind != SYS_FILE_COPY) return ERROR_SUCCESS;
  // A copy that may not overwrite never opens a target that is there.
  if (!Exists(change->path)) {
    std::string text = ReadText(change->source);
    WriteText(change->path, text.substr(0, text.size() / 2));
  }
  return ERROR_DISK_FULL;
}

struct Observer {
  SysChangeObserver observer;
  explicit Observer(SysChangeObserver o) : observer(o) { EXPECT_EQ(1, SysAddChangeObserver(o)); }
  ~Observer() { SysRemoveChangeObserver(observer); }
};

TEST(FileWriters, AFullDiskLeavesNothingTheyMadeAndOldTextsWhole) {
  std::string d = ScratchDir("full_disk");
  std::string source = d + "source.dll";
  ASSERT_TRUE(WriteText(source, "the new library"));
  ASSERT_TRUE(WriteText(d + "old.dll", "old"));
  ASSERT_TRUE(WriteText(d + "list.xml", "old list"));
  char alternate[MAX_PATH];
  {
    Observer full(FillUp);
    EXPECT_EQ(0, FileCopyBeside(source.c_str(), (d + "new.dll").c_str(), 0, alternate, MAX_PATH));
    EXPECT_EQ(0, FileCopyBeside(source.c_str(), (d + "old.dll").c_str(), 0, alternate, MAX_PATH));
    EXPECT_EQ(0, FileCopyRetry(source.c_str(), (d + "retry.dll").c_str()));
    EXPECT_EQ(0, FileWriteWhole((d + "new.xml").c_str(), "a whole text", 12));
    EXPECT_EQ(0, FileReplaceWhole((d + "list.xml").c_str(), "the new list", 12));
  }
  EXPECT_FALSE(Exists(d + "new.dll"));
  EXPECT_FALSE(Exists(d + "_ld.d00"));
  EXPECT_EQ("old", ReadText(d + "old.dll"));
  EXPECT_FALSE(Exists(d + "retry.dll"));
  EXPECT_FALSE(Exists(d + "new.xml"));
  EXPECT_EQ("old list", ReadText(d + "list.xml"));
  EXPECT_FALSE(Exists(d + "list.xm~"));
  // With room, the list is replaced whole, and nothing is left beside it.
  EXPECT_EQ(1, FileReplaceWhole((d + "list.xml").c_str(), "the new list", 12));
  EXPECT_EQ("the new list", ReadText(d + "list.xml"));
  EXPECT_FALSE(Exists(d + "list.xm~"));
}

TEST(FileCancelScheduled, TakesBackOurMovesAndLeavesOthersAndWaitingAlternates) {
  std::string d = ScratchDir("cancel beside a long name");
  for (const char* name : {"lib.dll", "_ib.d00", "_ib.d01", "_ib.d02", "other.tmp"}) {
    ASSERT_TRUE(WriteText(d + name, name));
  }
  ASSERT_TRUE(MoveFileExA((d + "other.tmp").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(MoveFileExA((d + "_ib.d00").c_str(), (d + "lib.dll").c_str(), FILE_MOVE_AT_RESTART));
  ASSERT_TRUE(MoveFileExA((d + "_ib.d01").c_str(), (d + "lib.dll").c_str(), FILE_MOVE_AT_RESTART));
  // The uninstall and rollback lists name files by their short names.
  char shortName[MAX_PATH];
  ASSERT_GT(GetShortPathNameA((d + "_ib.d01").c_str(), shortName, MAX_PATH), 0u);
  ASSERT_NE(d + "_ib.d01", shortName);
  EXPECT_EQ(1, FileCancelScheduled(shortName));
  EXPECT_TRUE(IsPending(d + "other.tmp"));
  EXPECT_TRUE(IsPending(d + "_ib.d00"));
  EXPECT_FALSE(IsPending(d + "_ib.d01"));
  // The alternate waiting for the restart stays; those waiting for nothing go.
  EXPECT_EQ(1, FileDeleteStrayAlternates((d + "lib.dll").c_str()));
  EXPECT_TRUE(Exists(d + "_ib.d00"));
  EXPECT_FALSE(Exists(d + "_ib.d01"));
  EXPECT_FALSE(Exists(d + "_ib.d02"));
  EXPECT_TRUE(Exists(d + "lib.dll"));
  EXPECT_EQ(1, FileCancelScheduled((d + "_ib.d00").c_str()));
  EXPECT_EQ(1, FileCancelScheduled((d + "other.tmp").c_str()));
  EXPECT_FALSE(IsPending(d + "_ib.d00") || IsPending(d + "other.tmp") || IsPending(d + "lib.dll"));
}

TEST(FileExists, ReportsPresenceEvenWithoutReadAccess) {
  std::string d = ScratchDir("exists");
  ASSERT_TRUE(WriteText(d + "f", "x"));
  EXPECT_EQ(1, FileExists((d + "f").c_str()));
  EXPECT_EQ(0, FileExists((d + "g").c_str()));
  EXPECT_EQ(0, FileExists((d + "no\\g").c_str()));
  // A folder cannot be opened as a file: access denied counts as present.
  EXPECT_EQ(1, FileExists((d).c_str()));
  // A file held without sharing is there all the same.
  Handle lock(Lock(d + "f"));
  EXPECT_EQ(1, FileExists((d + "f").c_str()));
}

TEST(FileDecryptIfEncrypted, PlainFilesNeedNothing) {
  std::string d = ScratchDir("decrypt");
  ASSERT_TRUE(WriteText(d + "f", "x"));
  EXPECT_EQ(1, FileDecryptIfEncrypted((d + "f").c_str()));
  EXPECT_EQ(0, FileDecryptIfEncrypted((d + "missing").c_str()));
}

}  // namespace
