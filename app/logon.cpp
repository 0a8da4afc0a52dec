// lorimex-logon.exe, the program the MSI's Active Setup entry starts once per
// user at logon. It keeps the logon script's rules: lorimex.exe (from the
// same folder) runs only for a user without Software\Norvane\Kelvaro, on a
// PC whose default profile has it, and every start adds a dated line to the
// user's %APPDATA%\Norvane\lorimex.log, where lorimex's own lines go too. It
// is a windows-subsystem program, so a logon shows no console, and it takes
// no arguments. Its exit status is lorimex's, or 0 when there was no need
// to run it, or 1 when the check or the start failed.
#include <windows.h>

#include <cwchar>

namespace {

// Windows' longest path, in UTF-16 units, with room for a file name added.
constexpr DWORD kPathCapacity = 32768;
// A log past this size is moved aside first, as the logon script does.
constexpr ULONGLONG kLogLimit = 65536;
// A line holds at most one path and some words.
constexpr DWORD kLineCapacity = kPathCapacity + 256;

// The keys the check reads. Both live in user hives, which 64-bit Windows
// does not split into views: a 32-bit build sees the same keys.
const wchar_t kUserKey[] = L"Software\\Norvane\\Kelvaro";
const wchar_t kDefaultKey[] = L".DEFAULT\\Software\\Norvane\\Kelvaro";

enum class Presence { Present, Absent, Unreadable };

// Whether a key exists. Any status but "not found" that keeps it from being
// opened leaves the answer open, and is returned in *status.
Presence FindKey(HKEY root, const wchar_t *path, LONG *status) {
  HKEY key = nullptr;
  *status = RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key);
  if (*status == ERROR_SUCCESS) {
    (void)RegCloseKey(key);
    return Presence::Present;
  }
  return *status == ERROR_FILE_NOT_FOUND ? Presence::Absent : Presence::Unreadable;
}

// FOLDER + NAME into TARGET of kPathCapacity units; false when too long.
// TARGET must not be FOLDER or NAME: the formatting reads them as it writes.
bool JoinPath(wchar_t *target, const wchar_t *folder, const wchar_t *name) {
  int length = std::swprintf(target, kPathCapacity, L"%ls%ls", folder, name);
  return length > 0 && static_cast<DWORD>(length) < kPathCapacity;
}

// lorimex.exe beside this program; false when its path cannot be had.
bool FindProgram(wchar_t *program) {
  wchar_t own[kPathCapacity];
  DWORD length = GetModuleFileNameW(nullptr, own, kPathCapacity);
  if (length == 0 || length >= kPathCapacity) return false;
  wchar_t *slash = std::wcsrchr(own, L'\\');
  if (slash == nullptr) return false;
  slash[1] = L'\0';
  return JoinPath(program, own, L"lorimex.exe");
}

// The log's path, after making its folder and moving a log past its limit
// to .old (or emptying it when that fails); false without %APPDATA%.
bool PrepareLog(wchar_t *log) {
  wchar_t folder[kPathCapacity];
  wchar_t path[kPathCapacity];
  wchar_t old[kPathCapacity];
  DWORD length = GetEnvironmentVariableW(L"APPDATA", folder, kPathCapacity);
  if (length == 0 || length >= kPathCapacity || !JoinPath(path, folder, L"\\Norvane")) return false;
  std::wcscpy(folder, path);
  (void)CreateDirectoryW(folder, nullptr);
  if (!JoinPath(log, folder, L"\\lorimex.log") || !JoinPath(old, log, L".old")) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(log, GetFileExInfoStandard, &data) &&
      ((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) > kLogLimit &&
      !MoveFileExW(log, old, MOVEFILE_REPLACE_EXISTING)) {
    HANDLE emptied = CreateFileW(log, GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING, 0, nullptr);
    if (emptied != INVALID_HANDLE_VALUE) (void)CloseHandle(emptied);
  }
  return true;
}

// The log opened for appending, a handle lorimex inherits as its standard
// output and error; INVALID_HANDLE_VALUE when it cannot be written.
HANDLE OpenLog() {
  wchar_t log[kPathCapacity];
  if (!PrepareLog(log)) return INVALID_HANDLE_VALUE;
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  return CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// An environment variable's value, or nothing.
void ReadVariable(const wchar_t *name, wchar_t *value, DWORD capacity) {
  DWORD length = GetEnvironmentVariableW(name, value, capacity);
  if (length == 0 || length >= capacity) value[0] = L'\0';
}

// One dated line, in UTF-8 as lorimex writes its own: the date and time,
// the computer, the domain and user (as the logon script shows them), then
// TEXT. A line that cannot be written is lost; the run goes on.
void WriteLogLine(HANDLE log, const wchar_t *text) {
  if (log == INVALID_HANDLE_VALUE) return;
  wchar_t computer[256], domain[256], user[256];
  ReadVariable(L"COMPUTERNAME", computer, 256);
  ReadVariable(L"USERDOMAIN", domain, 256);
  ReadVariable(L"USERNAME", user, 256);
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t line[kLineCapacity];
  int length = std::swprintf(line, kLineCapacity, L"%04u-%02u-%02u %02u:%02u:%02u %ls %ls\\%ls: %ls\r\n", now.wYear,
                             now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, computer, domain, user, text);
  if (length <= 0) return;
  char bytes[3 * kLineCapacity];
  int count = WideCharToMultiByte(CP_UTF8, 0, line, length, bytes, sizeof bytes, nullptr, nullptr);
  DWORD written = 0;
  if (count > 0) (void)WriteFile(log, bytes, static_cast<DWORD>(count), &written, nullptr);
}

// Runs lorimex.exe without a window, its output into the log (or nowhere
// when there is no log), and returns its exit status; 1 when it is missing
// or could not be started or waited for, with a line saying so.
DWORD RunProgram(const wchar_t *program, HANDLE log) {
  wchar_t text[kLineCapacity];
  if (GetFileAttributesW(program) == INVALID_FILE_ATTRIBUTES) {
    std::swprintf(text, kLineCapacity, L"no Kelvaro settings, lorimex.exe not found at %ls", program);
    WriteLogLine(log, text);
    return 1;
  }
  std::swprintf(text, kLineCapacity, L"no Kelvaro settings, running %ls", program);
  WriteLogLine(log, text);
  // The command line must be writable: CreateProcessW may change it.
  wchar_t command[kPathCapacity + 2];
  std::swprintf(command, kPathCapacity + 2, L"\"%ls\"", program);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  bool logged = log != INVALID_HANDLE_VALUE;
  if (logged) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = log;
    startup.hStdError = log;
  }
  PROCESS_INFORMATION process = {};
  DWORD status = 1;
  if (!CreateProcessW(program, command, nullptr, nullptr, logged, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process)) {
    std::swprintf(text, kLineCapacity, L"Error %lu occurred starting lorimex.exe", GetLastError());
    WriteLogLine(log, text);
    return 1;
  }
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.hProcess, &status))
    status = 1;
  (void)CloseHandle(process.hThread);
  (void)CloseHandle(process.hProcess);
  return status;
}

// The check, then lorimex when it is needed. A key that cannot be read is
// not taken as absent: a run could put the default values over the user's.
DWORD RunLogon(HANDLE log) {
  wchar_t text[kLineCapacity];
  wchar_t program[kPathCapacity];
  LONG status = ERROR_SUCCESS;
  Presence user = FindKey(HKEY_CURRENT_USER, kUserKey, &status);
  if (user == Presence::Present) {
    WriteLogLine(log, L"Kelvaro settings found, lorimex not run");
    return 0;
  }
  if (user == Presence::Unreadable) {
    std::swprintf(text, kLineCapacity, L"Error %ld occurred reading HKCU\\%ls, lorimex not run", status, kUserKey);
    WriteLogLine(log, text);
    return 1;
  }
  Presence installed = FindKey(HKEY_USERS, kDefaultKey, &status);
  if (installed == Presence::Absent) {
    WriteLogLine(log, L"Kelvaro is not installed on this PC: lorimex not run");
    return 0;
  }
  if (installed == Presence::Unreadable) {
    std::swprintf(text, kLineCapacity, L"Error %ld occurred reading HKU\\%ls, lorimex not run", status, kDefaultKey);
    WriteLogLine(log, text);
    return 1;
  }
  if (!FindProgram(program)) {
    WriteLogLine(log, L"no Kelvaro settings, the path of lorimex.exe is too long, lorimex not run");
    return 1;
  }
  return RunProgram(program, log);
}

}  // namespace

// A log that cannot be written does not keep the user from the copy:
// Active Setup starts this program only once per user.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  HANDLE log = OpenLog();
  DWORD status = RunLogon(log);
  if (log != INVALID_HANDLE_VALUE) (void)CloseHandle(log);
  return static_cast<int>(status);
}
