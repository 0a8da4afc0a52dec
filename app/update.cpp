#include "app/update.h"

#include "regcopy/regcopy.h"

static void ShowBanner(void) {
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
static void ReportStatus(LONG status, const char *text) {
  WriteText("Error ");
  WriteNumber(static_cast<DWORD>(status));
  WriteText(text);
  EndErrorLine();
}

static HKEY OpenRoot(HKEY predefined, const char *path, REGSAM access, const char *failure) {
  HKEY root = NULL;
  LONG status = RegOpenKeyExA(predefined, path, 0, access, &root);
  if (status != ERROR_SUCCESS) {
    ReportStatus(status, failure);
    root = NULL;
  }
  return root;
}

// Returns 0 when the close failed. The handle is gone either way.
static int CloseRoot(HKEY root, const char *failure) {
  LONG status = RegCloseKey(root);
  if (status != ERROR_SUCCESS) ReportStatus(status, failure);
  return status == ERROR_SUCCESS;
}

// The vendor key is created even when the copy cannot run; with no
// destination root the create fails quietly and nothing is made.
static void EnsureVendorKey(HKEY destinationRoot) {
  HKEY vendorKey = OpenOrCreateKey(destinationRoot, "Norvane");
  if (vendorKey != NULL) (void)RegCloseKey(vendorKey);
}

int RunUpdate(void) {
  HKEY sourceRoot = NULL;
  HKEY destinationRoot = NULL;
  bool runFailed = false;

  ShowBanner();
  WriteLine("Updating roaming user.");
  sourceRoot = OpenRoot(HKEY_USERS, ".DEFAULT\\Software", KEY_READ, " occurred opening Software key for .DEFAULT user");
  runFailed = sourceRoot == NULL;
  if (!runFailed) {
    destinationRoot =
        OpenRoot(HKEY_CURRENT_USER, "Software", KEY_ALL_ACCESS, " occurred opening Current User Software key");
    runFailed = destinationRoot == NULL;
  }
  EnsureVendorKey(destinationRoot);
  if (!runFailed) {
    // Any error line of the copy, even deep below the product key, means
    // something was not copied.
    unsigned long errorsBefore = ErrorLinesWritten();
    int copied = CopyKeyTree(sourceRoot, destinationRoot, "Norvane\\Kelvaro", 1);
    runFailed = !copied || ErrorLinesWritten() != errorsBefore;
  }
  if (sourceRoot != NULL && !CloseRoot(sourceRoot, " occurred closing Default User key")) runFailed = true;
  if (destinationRoot != NULL && !CloseRoot(destinationRoot, " occurred closing current user key")) runFailed = true;
  WriteLine("");
  WriteLine(runFailed ? "lorimex completed with errors" : "lorimex completed successfully");
  return runFailed ? 1 : 0;
}
