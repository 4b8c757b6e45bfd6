// The raw values of the shared item keys, as the forwarder's other processes
// know them.
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

}  // namespace quarn::storage
