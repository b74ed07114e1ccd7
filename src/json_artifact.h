#ifndef MORVATEL_JSON_ARTIFACT_H_
#define MORVATEL_JSON_ARTIFACT_H_

// JSON artefact files (snapshot files, anchor files): saved by atomic
// replacement in the two-space-indented layout, loaded by the bounded read
// and decoded strictly, every failure as a PersistenceError.

#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "blocking.h"
#include "bounded_io.h"
#include "json/record.h"
#include "persistence_error.h"

namespace morvatel {

// The JSON writer's sink over a byte-limited writer. A refused write reaches
// the JSON writer as an I/O error carrying the refusal's text; the limited
// writer's exceeded() tells a limit refusal from any other.
class LimitedJsonSink final : public json::Sink {
 public:
  explicit LimitedJsonSink(LimitedWriter& out) : out_(out) {}
  json::Result<void> write(std::string_view bytes) override;

 private:
  LimitedWriter& out_;
};

// Writes one JSON document into the sink; returns the writer's result.
using JsonDocumentWriter = std::function<json::Result<void>(json::Sink&)>;

// Replaces the file at `path` with the document, streamed through the
// artefact byte limit. The limit refusing a write is PersistenceError::Io
// ("persistence artifact exceeds 16777216 bytes", kind InvalidInput); any
// other failure while serialising (a full disk included) is
// PersistenceError::Json; every other failure of the replacement is
// PersistenceError::Io. `hook` sees the wait for the sibling lock.
std::expected<void, PersistenceError> save_json_artifact(std::string_view path,
                                                         const JsonDocumentWriter& write,
                                                         BlockingHook* hook = nullptr);

template <typename T>
  requires json::HasCodec<T>
std::expected<void, PersistenceError> save_json_artifact(std::string_view path, const T& value,
                                                         BlockingHook* hook = nullptr) {
  return save_json_artifact(
      path, [&](json::Sink& sink) { return json::write(sink, value, json::Layout::Indented); },
      hook);
}

// The bytes of an artefact file, by the bounded read; takes no lock.
std::expected<std::string, PersistenceError> load_artifact_bytes(std::string_view path);

// An artefact file decoded strictly as one T.
template <typename T>
  requires json::HasCodec<T>
std::expected<T, PersistenceError> load_json_artifact(std::string_view path) {
  auto bytes = load_artifact_bytes(path);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  auto value = json::parse<T>(*bytes);
  if (!value) return std::unexpected(PersistenceError::json(std::move(value.error())));
  return std::move(*value);
}

}  // namespace morvatel

#endif  // MORVATEL_JSON_ARTIFACT_H_
