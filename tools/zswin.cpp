// Test tool: prints what a window of another program shows. Usage:
//   zswin.exe TITLE     the top-level window of exactly that title and its controls
// One line per item, fields separated by tabs:
//   window  <title>
//   control <class> <id> <enabled 0/1> <visible 0/1> <check state> <style, hexadecimal> <text>
//   column  <index> <header text>            (list views)
//   row     <index> <cell> <cell> ...        (list views)
//   selected <count>                          (list views: rows selected)
// Line breaks inside texts are written as \n. Exit code 1 when there is no such window.
#include <stdio.h>
#include <string.h>
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

namespace {

void Print(const char* text) {
  for (const char* p = text; *p != 0; ++p) {
    if (*p == '\r') continue;
    if (*p == '\n') {
      fputs("\\n", stdout);
    } else {
      fputc(*p, stdout);
    }
  }
}

// Memory inside the list view's process, where the control writes what it is asked for.
struct RemoteBlock {
  HANDLE process = nullptr;
  char* base = nullptr;
  explicit RemoteBlock(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process != nullptr) {
      base = static_cast<char*>(
          VirtualAllocEx(process, nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
  }
  ~RemoteBlock() {
    if (base != nullptr) VirtualFreeEx(process, base, 0, MEM_RELEASE);
    if (process != nullptr) CloseHandle(process);
  }
  RemoteBlock(const RemoteBlock&) = delete;
  RemoteBlock& operator=(const RemoteBlock&) = delete;
};

const int kTextOffset = 512;

void CellText(HWND list, RemoteBlock* remote, int row, int column, char* out, int size) {
  out[0] = 0;
  LVITEMA item = {};
  item.iSubItem = column;
  item.pszText = remote->base + kTextOffset;
  item.cchTextMax = 1024;
  char empty[1024] = {};
  WriteProcessMemory(remote->process, remote->base + kTextOffset, empty, sizeof empty, nullptr);
  WriteProcessMemory(remote->process, remote->base, &item, sizeof item, nullptr);
  SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row),
               reinterpret_cast<LPARAM>(remote->base));
  ReadProcessMemory(remote->process, remote->base + kTextOffset, out, static_cast<SIZE_T>(size),
                    nullptr);
  out[size - 1] = 0;
}

void HeaderText(HWND list, RemoteBlock* remote, int column, char* out, int size) {
  out[0] = 0;
  LVCOLUMNA header = {};
  header.mask = LVCF_TEXT;
  header.pszText = remote->base + kTextOffset;
  header.cchTextMax = 1024;
  WriteProcessMemory(remote->process, remote->base, &header, sizeof header, nullptr);
  SendMessageA(list, LVM_GETCOLUMNA, static_cast<WPARAM>(column),
               reinterpret_cast<LPARAM>(remote->base));
  ReadProcessMemory(remote->process, remote->base + kTextOffset, out, static_cast<SIZE_T>(size),
                    nullptr);
  out[size - 1] = 0;
}

void DumpList(HWND list) {
  RemoteBlock remote(list);
  if (remote.base == nullptr) return;
  HWND header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
  int columns =
      header != nullptr ? static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0)) : 1;
  char text[1024];
  for (int c = 0; c < columns; ++c) {
    HeaderText(list, &remote, c, text, sizeof text);
    printf("column\t%d\t", c);
    Print(text);
    fputc('\n', stdout);
  }
  int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  for (int r = 0; r < rows; ++r) {
    printf("row\t%d", r);
    for (int c = 0; c < columns; ++c) {
      CellText(list, &remote, r, c, text, sizeof text);
      fputc('\t', stdout);
      Print(text);
    }
    fputc('\n', stdout);
  }
  printf("selected\t%d\n", static_cast<int>(SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0)));
}

BOOL CALLBACK DumpControl(HWND control, LPARAM) {
  char className[64];
  GetClassNameA(control, className, sizeof className);
  char text[2048];
  text[0] = 0;
  SendMessageTimeoutA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 5000, nullptr);
  LRESULT checked = 0;
  if (lstrcmpiA(className, "Button") == 0) checked = SendMessageA(control, BM_GETCHECK, 0, 0);
  // A progress bar has no text: its position and the top of its range instead.
  if (lstrcmpiA(className, PROGRESS_CLASSA) == 0) {
    snprintf(text, sizeof text, "%ld/%ld",
             static_cast<long>(SendMessageA(control, PBM_GETPOS, 0, 0)),
             static_cast<long>(SendMessageA(control, PBM_GETRANGE, FALSE, 0)));
  }
  printf("control\t%s\t%d\t%d\t%d\t%ld\t%lx\t", className, GetDlgCtrlID(control),
         IsWindowEnabled(control) ? 1 : 0, IsWindowVisible(control) ? 1 : 0,
         static_cast<long>(checked),
         static_cast<unsigned long>(GetWindowLongA(control, GWL_STYLE)));
  Print(text);
  fputc('\n', stdout);
  if (lstrcmpiA(className, WC_LISTVIEWA) == 0) DumpList(control);
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: zswin TITLE\n");
    return 2;
  }
  HWND window = FindWindowA(nullptr, argv[1]);
  if (window == nullptr) {
    fprintf(stderr, "zswin: no window titled \"%s\"\n", argv[1]);
    return 1;
  }
  printf("window\t");
  Print(argv[1]);
  fputc('\n', stdout);
  EnumChildWindows(window, DumpControl, 0);
  fflush(stdout);
  return 0;
}
