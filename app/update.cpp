#include "app/update.h"

#include "regcopy/regcopy.h"
#include "regcopy/report.h"

namespace {

void ShowBanner() {
  WriteLine("");
  WriteLine("Kelvaro for Windows 95/NT");
  WriteLine("lorimex - Configure roaming user");
  WriteLine("");
  WriteLine("This program copies Kelvaro information from the .DEFAULT");
  WriteLine("user profile to the current user profile.");
  WriteLine("");
  WriteLine("It is useful for adding Kelvaro information to a roaming user profile");
  WriteLine("that was not present on the PC when Kelvaro was installed.");
  WriteLine("");
}

// The platform leaves the thread's last-error value alone when a registry
// call fails, so each line prints the failing call's own status.
void ReportStatus(LONG status, const char *text) {
  WriteText("Error ");
  WriteNumber(static_cast<DWORD>(status));
  WriteText(text);
  EndLine();
}

HKEY OpenRoot(HKEY predefined, const char *path, REGSAM access, const char *failure) {
  HKEY root = nullptr;
  LONG status = RegOpenKeyExA(predefined, path, 0, access, &root);
  if (status != ERROR_SUCCESS) {
    ReportStatus(status, failure);
    root = nullptr;
  }
  return root;
}

// Returns false when the close failed. The handle is gone either way.
bool CloseRoot(HKEY root, const char *failure) {
  LONG status = RegCloseKey(root);
  if (status != ERROR_SUCCESS) ReportStatus(status, failure);
  return status == ERROR_SUCCESS;
}

// The vendor key is created even when the copy cannot run; with no
// destination root the create fails quietly and nothing is made.
void EnsureVendorKey(HKEY destinationRoot) {
  HKEY vendorKey = OpenOrCreateKey(destinationRoot, "Norvane");
  if (vendorKey != nullptr) (void)RegCloseKey(vendorKey);
}

}  // namespace

int RunUpdate() {
  HKEY sourceRoot = nullptr;
  HKEY destinationRoot = nullptr;
  bool runFailed = false;

  ShowBanner();
  WriteLine("Updating roaming user.");
  sourceRoot = OpenRoot(HKEY_USERS, ".DEFAULT\\Software", KEY_READ, " occurred opening Software key for .DEFAULT user");
  runFailed = sourceRoot == nullptr;
  if (!runFailed) {
    destinationRoot =
        OpenRoot(HKEY_CURRENT_USER, "Software", KEY_ALL_ACCESS, " occurred opening Current User Software key");
    runFailed = destinationRoot == nullptr;
  }
  EnsureVendorKey(destinationRoot);
  // Any error line of the copy, even deep below the product key, means
  // something was not copied: the copy says so by its result.
  if (!runFailed) runFailed = !CopyKeyTree(sourceRoot, destinationRoot, "Norvane\\Kelvaro", 1);
  if (sourceRoot != nullptr && !CloseRoot(sourceRoot, " occurred closing Default User key")) runFailed = true;
  if (destinationRoot != nullptr && !CloseRoot(destinationRoot, " occurred closing current user key")) runFailed = true;
  WriteLine("");
  WriteLine(runFailed ? "lorimex completed with errors" : "lorimex completed successfully");
  return runFailed ? 1 : 0;
}
