// Feeds arbitrary bytes to the system extension database decoder, the path a
// db.plist takes from the file to the loader's decision.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sysext/system_extension_loader.h"
#include "sysext/system_extensions_db.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto database = quarn::sysext::decodeSystemExtensionsDB(bytes);
  if (!database) {
    // Every refusal must say why: its text is what the log shows.
    if (database.error().description.empty()) __builtin_trap();
    return 0;
  }
  for (const auto& record : database->extensions) {
    if (!record || !record->teamID || !record->identifier) continue;
    (void)quarn::sysext::SystemExtensionLoader::isExtensionAllowed(
        *record->teamID, *record->identifier, database->extensionPolicies);
  }
  return 0;
}
