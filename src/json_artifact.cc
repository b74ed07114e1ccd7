#include "json_artifact.h"

#include <optional>

namespace morvatel {

json::Result<void> LimitedJsonSink::write(std::string_view bytes) {
  if (auto r = out_.write_all(bytes); !r)
    return std::unexpected(json::Error::io(r.error().message()));
  return {};
}

std::expected<void, PersistenceError> save_json_artifact(std::string_view path,
                                                         const JsonDocumentWriter& write,
                                                         BlockingHook* hook) {
  std::optional<json::Error> serializer_error;
  auto r = atomic_write_artifact(
      path,
      [&](LimitedWriter& out) {
        LimitedJsonSink sink(out);
        auto w = write(sink);
        if (!w) {
          serializer_error = std::move(w.error());
          return false;
        }
        return true;
      },
      hook);
  if (r) return {};
  if (r.error().io) return std::unexpected(PersistenceError::io(std::move(*r.error().io)));
  return std::unexpected(PersistenceError::json(
      serializer_error ? std::move(*serializer_error) : json::Error::io("serialization failed")));
}

std::expected<std::string, PersistenceError> load_artifact_bytes(std::string_view path) {
  auto bytes = read_bounded_artifact(path);
  if (!bytes) return std::unexpected(PersistenceError::io(std::move(bytes.error())));
  return std::move(*bytes);
}

}  // namespace morvatel
