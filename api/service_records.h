// The records the service sends, and the body of an action-result report.
//
// ForwarderActionsResponse answers GET "assets/<asset>/actions";
// ActionResultResponse answers POST "assets/<asset>/action-result". Each
// record's decode() reads one whole JSON answer under the service's keys:
// keys match exactly, unknown keys are ignored, an optional key that is
// missing or null leaves its field absent, and a required key that is missing,
// null or of another JSON type rejects the whole answer (there is no partial
// result). Types are strict: a number is never text, and a fraction, a boolean
// or a text is never an integer.
//
// Plain values; decode() never throws and may run on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::api {

// The package of an update action.
struct ForwarderUpdateAction {
  // "download_url": an absolute URL the URL parser accepts, kept as written.
  std::string downloadUrl;
  // "binary_sha256": the package's digest, 64 lower-case hex digits when the
  // service is right; compared as written, never normalised.
  std::string binarySHA256;

  friend bool operator==(const ForwarderUpdateAction&, const ForwarderUpdateAction&) = default;
};

// One pending action of an asset; only actions with `update` are acted on.
struct ForwarderAction {
  std::string id;                               // "id"
  std::optional<ForwarderUpdateAction> update;  // "update", may be missing or null

  friend bool operator==(const ForwarderAction&, const ForwarderAction&) = default;
};

// The pending actions of an asset, in the order the service listed them.
struct ForwarderActionsResponse {
  std::vector<ForwarderAction> actions;  // "actions"

  static std::optional<ForwarderActionsResponse> decode(std::string_view json);
  friend bool operator==(const ForwarderActionsResponse&,
                         const ForwarderActionsResponse&) = default;
};

// The answer to an action-result report. No field is read: an answer that
// decodes means the report was delivered.
struct ActionResultResponse {
  std::optional<std::string> error;    // "error"
  std::optional<std::int64_t> code;    // "code": a JSON integer that fits 64 bits
  std::optional<std::string> message;  // "message"

  static std::optional<ActionResultResponse> decode(std::string_view json);
};

// The body of a failure report: one JSON string holding
// "update failed because " followed by `reason`. Quotes, backslashes and
// control characters are escaped; everything else, non-ASCII included, is
// written as UTF-8. Bytes of `reason` that are not valid UTF-8 are replaced by
// U+FFFD, so the body is always valid JSON.
std::string actionResultBody(std::string_view reason);

}  // namespace quarn::api
