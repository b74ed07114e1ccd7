#ifndef MORVATEL_PY_BUILD_IDENTITY_H_
#define MORVATEL_PY_BUILD_IDENTITY_H_

namespace morvatel::py {

// Source-control state and dependency lock digest of this build, fixed when
// the build was configured.
struct BuildIdentity {
  const char* commit_sha;       // 40 lowercase hex
  const char* tree_sha;         // 40 lowercase hex; also the source digest
  const char* lockfile_sha256;  // 64 lowercase hex
  bool dirty;
  bool verified;
};

extern const BuildIdentity kBuildIdentity;

}  // namespace morvatel::py

#endif  // MORVATEL_PY_BUILD_IDENTITY_H_
