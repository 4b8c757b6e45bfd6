#include "storage/shared_items_storage.h"

namespace quarn::storage {

std::string_view rawValue(SharedItem item) {
  switch (item) {
    case SharedItem::computerIsRegistered:
      return "ComputerIsRegistered";
    case SharedItem::fullScanStatus:
      return "FullScanStatus";
    case SharedItem::assetIdentifier:
      return "SharedAssetIdentifier";
    case SharedItem::updateLastRun:
      return "UpdateLastRun";
  }
  return {};
}

std::optional<SharedItem> sharedItemFromRawValue(std::string_view text) {
  for (SharedItem item : {SharedItem::computerIsRegistered, SharedItem::fullScanStatus,
                          SharedItem::assetIdentifier, SharedItem::updateLastRun}) {
    if (text == rawValue(item)) return item;
  }
  return std::nullopt;
}

std::string_view applicationPath(TrustedApplication application) {
  switch (application) {
    case TrustedApplication::systemExtension:
      return "/Applications/Orvanta Forwarder.app/Contents/Library/SystemExtensions/"
             "com.kelvane.Orvanta.ProcessMonitor.systemextension";
    case TrustedApplication::main:
      return "/Applications/Orvanta Forwarder.app";
    case TrustedApplication::quarn:
      return "/Applications/Orvanta Forwarder.app/Contents/MacOS/quarn.app";
  }
  return {};
}

}  // namespace quarn::storage
