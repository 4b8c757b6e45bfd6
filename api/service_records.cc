// The service's JSON records, decoded strictly with nlohmann/json, and the
// body of a failure report.
#include "api/service_records.h"

#include <exception>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/url.h"

namespace quarn::api {
namespace {

using Json = nlohmann::json;

// The member `key` of `object`, or null when it is missing or JSON null.
// REQUIRES: `object` is an object.
const Json* member(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

std::optional<std::string> asString(const Json* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

// A JSON integer that fits 64 signed bits. The parser stores non-negative
// integers as unsigned and anything written with a fraction or an exponent as
// a double, which is never taken for an integer.
std::optional<std::int64_t> asInt64(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto unsignedValue = value.get<std::uint64_t>();
    if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(unsignedValue);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  return std::nullopt;
}

std::optional<ForwarderUpdateAction> updateFromJson(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  auto downloadUrl = asString(member(value, "download_url"));
  if (!downloadUrl || !platform::isValidAbsoluteUrl(*downloadUrl)) return std::nullopt;
  auto binarySHA256 = asString(member(value, "binary_sha256"));
  if (!binarySHA256) return std::nullopt;
  return ForwarderUpdateAction{std::move(*downloadUrl), std::move(*binarySHA256)};
}

std::optional<ForwarderAction> actionFromJson(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  auto id = asString(member(value, "id"));
  if (!id) return std::nullopt;
  ForwarderAction action{std::move(*id), std::nullopt};
  if (const Json* update = member(value, "update")) {
    action.update = updateFromJson(*update);
    if (!action.update) return std::nullopt;
  }
  return action;
}

std::optional<ForwarderActionsResponse> actionsResponseFromJson(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  const Json* actions = member(value, "actions");
  if (actions == nullptr || !actions->is_array()) return std::nullopt;
  ForwarderActionsResponse response;
  response.actions.reserve(actions->size());
  for (const Json& element : *actions) {
    auto action = actionFromJson(element);
    if (!action) return std::nullopt;
    response.actions.push_back(std::move(*action));
  }
  return response;
}

std::optional<ActionResultResponse> actionResultFromJson(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  ActionResultResponse response;
  if (const Json* error = member(value, "error")) {
    response.error = asString(error);
    if (!response.error) return std::nullopt;
  }
  if (const Json* code = member(value, "code")) {
    response.code = asInt64(*code);
    if (!response.code) return std::nullopt;
  }
  if (const Json* message = member(value, "message")) {
    response.message = asString(message);
    if (!response.message) return std::nullopt;
  }
  return response;
}

// Parses `text` as one JSON document (no comments, nothing after it) and
// hands it to `fromJson`. Malformed text, and any exception on the way, gives
// no record.
template <class FromJson>
auto decodeDocument(std::string_view text, FromJson fromJson) -> decltype(fromJson(Json())) {
  try {
    const Json document = Json::parse(text.begin(), text.end(), /*cb=*/nullptr,
                                      /*allow_exceptions=*/false);
    if (document.is_discarded()) return std::nullopt;
    return fromJson(document);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<ForwarderActionsResponse> ForwarderActionsResponse::decode(std::string_view json) {
  return decodeDocument(json, actionsResponseFromJson);
}

std::optional<ActionResultResponse> ActionResultResponse::decode(std::string_view json) {
  return decodeDocument(json, actionResultFromJson);
}

std::string actionResultBody(std::string_view reason) {
  const Json text = "update failed because " + std::string(reason);
  return text.dump(/*indent=*/-1, /*indent_char=*/' ', /*ensure_ascii=*/false,
                   Json::error_handler_t::replace);
}

}  // namespace quarn::api
