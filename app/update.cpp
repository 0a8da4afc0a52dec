#include "app/update.h"

#include "regcopy/regcopy.h"
#include "regcopy/report.h"

namespace {

// The platform leaves the thread's last-error value alone when a registry
// call fails, so each line prints the failing call's own status.
HKEY OpenRoot(HKEY predefined, const WCHAR *path, REGSAM access, RootFailure failure) {
  HKEY root = nullptr;
  LONG status = RegOpenKeyExW(predefined, path, 0, access, &root);
  if (status != ERROR_SUCCESS) {
    ReportRootFailure(failure, status);
    root = nullptr;
  }
  return root;
}

// Returns false when the close failed. The handle is gone either way.
bool CloseRoot(HKEY root, RootFailure failure) {
  LONG status = RegCloseKey(root);
  if (status != ERROR_SUCCESS) ReportRootFailure(failure, status);
  return status == ERROR_SUCCESS;
}

// The vendor key is created even when the copy cannot run; with no
// destination root the create fails quietly and nothing is made.
void EnsureVendorKey(HKEY destinationRoot) {
  HKEY vendorKey = OpenOrCreateKey(destinationRoot, KEY_NAME("Norvane"));
  if (vendorKey != nullptr) (void)RegCloseKey(vendorKey);
}

}  // namespace

int RunUpdate() {
  HKEY sourceRoot = nullptr;
  HKEY destinationRoot = nullptr;
  bool runFailed = false;

  ShowBanner();
  sourceRoot = OpenRoot(HKEY_USERS, KEY_NAME(".DEFAULT\\Software"), KEY_READ, RootFailure::OpenSource);
  runFailed = sourceRoot == nullptr;
  if (!runFailed) {
    destinationRoot = OpenRoot(HKEY_CURRENT_USER, KEY_NAME("Software"), KEY_ALL_ACCESS, RootFailure::OpenDestination);
    runFailed = destinationRoot == nullptr;
  }
  EnsureVendorKey(destinationRoot);
  // Any error line of the copy, even deep below the product key, means
  // something was not copied: the copy says so by its result.
  if (!runFailed) runFailed = !CopyKeyTree(sourceRoot, destinationRoot, KEY_NAME("Norvane\\Kelvaro"), 1);
  if (sourceRoot != nullptr && !CloseRoot(sourceRoot, RootFailure::CloseSource)) runFailed = true;
  if (destinationRoot != nullptr && !CloseRoot(destinationRoot, RootFailure::CloseDestination)) runFailed = true;
  ReportVerdict(runFailed);
  return runFailed ? 1 : 0;
}
