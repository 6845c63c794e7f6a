#include "system/os.h"

#include <gtest/gtest.h>

#include "system/test_util.h"

namespace {

int g_queries = 0;
DWORD g_platformId = VER_PLATFORM_WIN32_NT;
BOOL g_queryResult = TRUE;

BOOL WINAPI CountingQuery(OSVERSIONINFOA* info) {
  ++g_queries;
  EXPECT_EQ(148u, info->dwOSVersionInfoSize);
  info->dwPlatformId = g_platformId;
  info->dwMajorVersion = 3;  // no version enters the test
  return g_queryResult;
}

struct QueryHook {
  QueryHook(DWORD platformId, BOOL result) {
    g_queries = 0;
    g_platformId = platformId;
    g_queryResult = result;
    SysSetVersionQuery(CountingQuery);
  }
  ~QueryHook() { SysSetVersionQuery(nullptr); }
};

TEST(SysIsNT, AsksTheSystemOnce) {
  {
    QueryHook hook(VER_PLATFORM_WIN32_NT, TRUE);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(1, SysIsNT());
    EXPECT_EQ(1, g_queries);
  }
  {
    QueryHook hook(VER_PLATFORM_WIN32_WINDOWS, TRUE);
    EXPECT_EQ(0, SysIsNT());
    EXPECT_EQ(0, SysIsNT());
    EXPECT_EQ(1, g_queries);
  }
  {
    // Win32s and failed queries count as the 9x family.
    QueryHook hook(VER_PLATFORM_WIN32s, TRUE);
    EXPECT_EQ(0, SysIsNT());
  }
  {
    QueryHook hook(VER_PLATFORM_WIN32_NT, FALSE);
    EXPECT_EQ(0, SysIsNT());
  }
  // The real system under Wine is the NT family.
  EXPECT_EQ(1, SysIsNT());
}

struct EnvVar {
  explicit EnvVar(const char* value) { SetEnvironmentVariableA("ZS_TEST_NOT_ADMIN", value); }
  ~EnvVar() { SetEnvironmentVariableA("ZS_TEST_NOT_ADMIN", nullptr); }
};

TEST(SysIsAdmin, WineProcessIsAnAdministratorUnlessTheTestDeniesIt) {
  EXPECT_EQ(1, SysIsAdmin());
  {
    EnvVar deny("1");
    EXPECT_EQ(0, SysIsAdmin());
  }
  {
    EnvVar other("0");
    EXPECT_EQ(1, SysIsAdmin());
  }
  {
    // The 9x family is always an administrator, without looking at tokens.
    zs_test::FakePlatform win9x(false);
    EnvVar deny("1");
    EXPECT_EQ(1, SysIsAdmin());
  }
}

TEST(SysIsAdmin, ConsultsTheImpersonationTokenFirst) {
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
  if (token) CloseHandle(token);
  EXPECT_EQ(1, SysIsAdmin());
  {
    // "1" denies only the user who started the program; "2" every account.
    EnvVar deny("1");
    EXPECT_EQ(1, SysIsAdmin());
    EnvVar denyAll("2");
    EXPECT_EQ(0, SysIsAdmin());
  }
  RevertToSelf();
  EXPECT_EQ(1, SysIsAdmin());
}

// A message-only window that counts what it receives.
int g_received = 0;
LRESULT CALLBACK CountingProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_USER + 1) {
    ++g_received;
    return 0;
  }
  return DefWindowProcA(hwnd, msg, w, l);
}

HWND MakeWindow() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = CountingProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "ZsCountingWindow";
  RegisterClassA(&wc);
  return CreateWindowA("ZsCountingWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                       GetModuleHandleA(nullptr), nullptr);
}

TEST(SysPumpMessages, DispatchesEveryPendingMessageWithoutWaiting) {
  HWND hwnd = MakeWindow();
  ASSERT_NE(nullptr, hwnd);
  g_received = 0;
  for (int i = 0; i < 3; ++i) PostMessageA(hwnd, WM_USER + 1, 0, 0);
  DWORD start = GetTickCount();
  SysPumpMessages();
  EXPECT_EQ(3, g_received);
  SysPumpMessages();  // empty queue: returns at once
  EXPECT_LT(GetTickCount() - start, 200u);
  DestroyWindow(hwnd);
}

struct PostLater {
  HWND hwnd;
  DWORD delay;
};

DWORD WINAPI PostThread(LPVOID arg) {
  PostLater* p = static_cast<PostLater*>(arg);
  Sleep(p->delay);
  PostMessageA(p->hwnd, WM_USER + 1, 0, 0);
  Sleep(p->delay);
  PostMessageA(p->hwnd, WM_USER + 1, 0, 0);
  return 0;
}

TEST(SysWaitPumping, WaitsTheWholeTimeWhileDispatching) {
  DWORD start = GetTickCount();
  SysWaitPumping(300);
  DWORD quiet = GetTickCount() - start;
  EXPECT_GE(quiet, 280u);
  EXPECT_LT(quiet, 1000u);

  HWND hwnd = MakeWindow();
  ASSERT_NE(nullptr, hwnd);
  g_received = 0;
  PostLater later{hwnd, 80};
  HANDLE thread = CreateThread(nullptr, 0, PostThread, &later, 0, nullptr);
  start = GetTickCount();
  SysWaitPumping(300);
  DWORD busy = GetTickCount() - start;
  EXPECT_EQ(2, g_received);
  EXPECT_GE(busy, 280u);
  EXPECT_LT(busy, 1000u);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  DestroyWindow(hwnd);

  start = GetTickCount();
  SysWaitPumping(0);
  EXPECT_LT(GetTickCount() - start, 50u);
}

}  // namespace
