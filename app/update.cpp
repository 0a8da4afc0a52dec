#include "app/update.h"

#include "regcopy/copy.h"
#include "regcopy/report.h"

namespace {

// The platform leaves the thread's last-error value alone when a registry
// call fails, so each line prints the failing call's own status.
HKEY OpenRoot(HKEY predefined, const WCHAR *path, REGSAM access, RootFailure failure) {
  HKEY root = nullptr;
  LONG status = registry::OpenKey(predefined, path, 0, access, &root);
  if (status != ERROR_SUCCESS) {
    ReportRootFailure(failure, status);
    root = nullptr;
  }
  return root;
}

// Returns false when the close failed. The handle is gone either way.
bool CloseRoot(HKEY root, RootFailure failure) {
  LONG status = registry::CloseKey(root);
  if (status != ERROR_SUCCESS) ReportRootFailure(failure, status);
  return status == ERROR_SUCCESS;
}

// The vendor key is created even when the copy cannot run, but not when
// there is no destination root to create it in. Its failure is silent: the
// copy reports what it cannot do itself.
void EnsureVendorKey(HKEY destinationRoot) {
  if (destinationRoot == nullptr) return;
  HKEY vendorKey = OpenOrCreateKey(destinationRoot, KEY_NAME("Norvane"));
  if (vendorKey != nullptr) (void)registry::CloseKey(vendorKey);
}

}  // namespace

int RunUpdate() {
  HKEY sourceRoot = nullptr;
  HKEY destinationRoot = nullptr;
  bool runFailed = false;

  ShowBanner();
  // The same keys on both builds: a 32-bit build must not be sent to
  // Wow6432Node. The source is only read, the destination only written to.
  sourceRoot =
      OpenRoot(HKEY_USERS, KEY_NAME(".DEFAULT\\Software"), KEY_READ | KEY_WOW64_64KEY, RootFailure::OpenSource);
  runFailed = sourceRoot == nullptr;
  if (!runFailed) {
    destinationRoot =
        OpenRoot(HKEY_CURRENT_USER, KEY_NAME("Software"), KEY_WRITE | KEY_WOW64_64KEY, RootFailure::OpenDestination);
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
