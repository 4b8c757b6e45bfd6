// Feeds arbitrary bytes to the decoders of the service's answers and to the
// failure report's body. Neither may crash, hang or throw; the report body
// must always be one JSON string that carries the reason back unchanged when
// the reason is valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "api/service_records.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  if (const auto actions = quarn::api::ForwarderActionsResponse::decode(bytes)) {
    for (const auto& action : actions->actions) {
      // Equality is member-wise; an action equals itself.
      if (!(action == action)) std::abort();
    }
  }
  (void)quarn::api::ActionResultResponse::decode(bytes);

  const std::string body = quarn::api::actionResultBody(bytes);
  const auto parsed = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_string()) std::abort();
  if (quarn::platform::isValidUtf8(bytes) &&
      parsed.get<std::string>() != "update failed because " + std::string(bytes)) {
    std::abort();
  }
  return 0;
}
