#include "bounded_io.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs.h"
#include "temp_dir.h"
#include "text.h"

// Every fsync of the process, as (inode flushed, whether the watched path
// already named that inode then), so a test can tell a file flushed before
// it was put in place from one flushed after or not at all. The test binary's
// own fsync takes the place of the C library's for the code under test.
namespace sync_watch {

struct Flush {
  ino_t inode;
  bool already_in_place;
};

std::mutex mu;
std::string watched;  // empty: record nothing
std::vector<Flush> flushes;

}  // namespace sync_watch

extern "C" int fsync(int fd) {
  static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
  {
    std::lock_guard<std::mutex> guard(sync_watch::mu);
    struct stat of_fd, of_path;
    if (!sync_watch::watched.empty() && ::fstat(fd, &of_fd) == 0) {
      const bool in_place = ::stat(sync_watch::watched.c_str(), &of_path) == 0 &&
                            of_path.st_ino == of_fd.st_ino && of_path.st_dev == of_fd.st_dev;
      sync_watch::flushes.push_back({of_fd.st_ino, in_place});
    }
  }
  return real(fd);
}

namespace morvatel {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

ArtifactSerializer writes(std::string content, size_t chunk = 4096) {
  return [content = std::move(content), chunk](LimitedWriter& w) {
    for (size_t i = 0; i < content.size(); i += chunk) {
      if (!w.write_all(std::string_view(content).substr(i, chunk))) return false;
    }
    return true;
  };
}

TEST(LimitedWriterTest, RefusesAWriteThatWouldPassTheLimitWholeAndNamesPathsOfFileSinks) {
  LimitedWriter w(10);
  EXPECT_TRUE(w.write_all("abcd").has_value());
  auto r = w.write_all("1234567");  // 7 > 6 left: nothing of it goes through
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "serialized artifact exceeds configured byte limit");
  EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(std::pair(w.exceeded(), w.written()), std::pair(true, uint64_t{4}));
  // Empty writes and exactly what is left pass after a refusal; the flag stays set.
  EXPECT_TRUE(w.write_all("").has_value() && w.write_all("123456").has_value());
  EXPECT_FALSE(w.write_all("x").has_value());
  EXPECT_EQ(w.take_buffer(), "abcd123456");
  // A file sink's own errors name the path and are not the limit.
  TempDir dir;
  spill(dir / "f", "");
  int fd = ::open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
  LimitedWriter f(fd, dir / "f", 100);
  auto bad = f.write_all("abc");
  ::close(fd);
  EXPECT_EQ(bad.error().message(),
            "Bad file descriptor (os error 9) at path \"" + (dir / "f") + "\"");
  EXPECT_FALSE(f.exceeded());
  EXPECT_EQ(quote_path("a\"b\\c\n\xff\xc3\xa9"), "\"a\\\"b\\\\c\\n\\xff\xc3\xa9\"");
}

TEST(BoundedReadTest, NulPathsAreRefusedBeforeAnythingIsTouched) {
  TempDir dir;
  // The NUL would otherwise cut the path to an existing file.
  spill(dir / "real", "content");
  auto nul = read_bounded_artifact(dir / std::string("real\0.json", 10));
  EXPECT_EQ(nul.error().message(), "file name contained an unexpected NUL byte");
  EXPECT_EQ(nul.error().kind(), IoErrorKind::InvalidInput);
  auto w = atomic_write_artifact(dir / std::string("real\0b", 6), writes("x"));
  EXPECT_EQ(w.error().io->message(), "file name contained an unexpected NUL byte");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"real"});
  EXPECT_EQ(slurp(dir / "real"), "content");
}

TEST(ArtifactPathsTest, SiblingNames) {
  const std::string_view cases[][3] = {
      {"snap.json", "./.snap.json.morvatel.lock", "./.snap.json.tmp."},
      {"d/snap.json", "d/.snap.json.morvatel.lock", "d/.snap.json.tmp."},
      {"/snap.json", "/.snap.json.morvatel.lock", "/.snap.json.tmp."},
      {"d/sub/", "d/.sub.morvatel.lock", "d/.sub.tmp."},
      {"d/\xff\xfe", "d/.snapshot.morvatel.lock", "d/.snapshot.tmp."},
      {"d/..", "d/.snapshot.morvatel.lock", "d/.snapshot.tmp."},
      {"..", "./.snapshot.morvatel.lock", "./.snapshot.tmp."},
      {"d/caf\xc3\xa9", "d/.caf\xc3\xa9.morvatel.lock", "d/.caf\xc3\xa9.tmp."},
  };
  for (const auto& [path, lock, temp_prefix] : cases) {
    EXPECT_EQ(artifact_lock_path(path), lock) << path;
    EXPECT_EQ(artifact_temp_prefix(path), temp_prefix) << path;
  }
}

std::string write_error(const std::string& target, ArtifactSerializer serializer) {
  auto r = atomic_write_artifact(target, std::move(serializer));
  if (r) return "<written>";
  return r.error().serializer_failed() ? "<serializer failed>" : r.error().io->message();
}

// The ceiling is inclusive both ways: a file of exactly the limit is written
// and read back; one byte more is refused by either side.
TEST(AtomicWriteTest, ByteLimitIsInclusiveAndAFailureLeavesTheOldFile) {
  TempDir dir;
  const std::string target = dir / "big";
  const std::string exact(MAX_PERSISTENCE_ARTIFACT_BYTES, 'z');
  ASSERT_EQ(write_error(target, writes(exact, 1 << 20)), "<written>");
  EXPECT_EQ(read_bounded_artifact(target).value().size(), MAX_PERSISTENCE_ARTIFACT_BYTES);
  spill(dir / "over", exact + "!");
  EXPECT_EQ(read_bounded_artifact(dir / "over").error().message(),
            "persistence artifact exceeds 16777216 bytes");
  spill(dir / "empty", "");
  EXPECT_EQ(read_bounded_artifact(dir / "empty").value(), "");
  EXPECT_EQ(read_bounded_artifact(dir / "missing").error().message(),
            "No such file or directory (os error 2)");
  spill(target, "old content");
  EXPECT_EQ(write_error(target, writes(exact + "!", 1 << 20)),
            "persistence artifact exceeds 16777216 bytes");
  EXPECT_EQ(slurp(target), "old content");
  EXPECT_EQ(dir.temp_files(), 0u);
}

TEST(AtomicWriteTest, ReplacesOrFailsLeavingOnlyTheLockFile) {
  TempDir dir;
  const std::string target = dir / "t";
  spill(target, "old");
  ASSERT_EQ(write_error(target, writes("{\n  \"a\": 1\n}")), "<written>");
  EXPECT_EQ(slurp(target), "{\n  \"a\": 1\n}");
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{".t.morvatel.lock", "t"}));
  // The lock file is reused, never removed; a failing serializer leaves the old file.
  EXPECT_EQ(write_error(target,
                        [](LimitedWriter& w) {
                          (void)w.write_all("partial");
                          return false;
                        }),
            "<serializer failed>");
  EXPECT_EQ(slurp(target), "{\n  \"a\": 1\n}");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{".t.morvatel.lock", "t"}));
  // A directory cannot be replaced by a file: the rename fails.
  ::mkdir((dir / "d").c_str(), 0777);
  EXPECT_EQ(write_error(dir / "d", writes("x")), "Is a directory (os error 21)");
  EXPECT_EQ(dir.temp_files(), 0u);
  // A missing directory fails at the lock file, creating nothing.
  EXPECT_EQ(write_error(dir / "none/t", writes("x")), "No such file or directory (os error 2)");
}

// A crash right after the rename must find the new content on disk: the
// temporary file is flushed before it takes the target's name, and the
// directory entry after.
TEST(AtomicWriteTest, FlushesTheFileBeforeTheRenameAndTheDirectoryAfter) {
  TempDir dir;
  const std::string target = dir / "t";
  spill(target, "old");
  {
    std::lock_guard<std::mutex> guard(sync_watch::mu);
    sync_watch::watched = target;
    sync_watch::flushes.clear();
  }
  const bool written = atomic_write_artifact(target, writes("new")).has_value();
  std::vector<sync_watch::Flush> flushes;
  {
    std::lock_guard<std::mutex> guard(sync_watch::mu);
    sync_watch::watched.clear();
    flushes.swap(sync_watch::flushes);
  }
  ASSERT_TRUE(written);
  struct stat file, parent;
  ASSERT_EQ(::stat(target.c_str(), &file) | ::stat(dir.path.c_str(), &parent), 0);
  auto file_flush = std::ranges::find_if(flushes,
                                         [&](const auto& f) { return f.inode == file.st_ino; });
  ASSERT_NE(file_flush, flushes.end()) << "the new file was never flushed";
  EXPECT_FALSE(file_flush->already_in_place) << "flushed only after the rename";
  EXPECT_TRUE(std::any_of(file_flush + 1, flushes.end(), [&](const auto& f) {
    return f.inode == parent.st_ino;
  })) << "the directory was not flushed after the rename";
}

// A bare file name lives in the current directory, and so do its lock file
// and temporary; no descriptor of ours survives an exec.
TEST(AtomicWriteTest, BareFileNameUsesTheCurrentDirectoryAndEveryDescriptorIsCloseOnExec) {
  TempDir dir;
  char old_cwd[4096];
  ASSERT_NE(::getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path.c_str()), 0);
  std::vector<std::string> during;
  int ours = 0;
  auto r = atomic_write_artifact("anchor.json", [&](LimitedWriter& w) {
    during = dir.entries();
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      const std::string link = std::filesystem::read_symlink(e.path(), ec);
      if (ec || link.find(dir.path) != 0) continue;
      ++ours;
      int flags = ::fcntl(std::stoi(e.path().filename()), F_GETFD);
      EXPECT_TRUE(flags >= 0 && (flags & FD_CLOEXEC)) << link;
    }
    return w.write_all("{}").has_value();
  });
  ASSERT_EQ(::chdir(old_cwd), 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(ours, 2);  // the lock file and the temporary file
  ASSERT_EQ(during.size(), 2u);
  EXPECT_EQ(during[0] + " " + during[1].substr(0, 17),
            ".anchor.json.morvatel.lock .anchor.json.tmp.");
  EXPECT_EQ(slurp(dir / "anchor.json"), "{}");
  auto fd = open_path(dir / "anchor.json", O_RDONLY).value();
  EXPECT_TRUE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(::fcntl(dup_cloexec(fd.get()).value().get(), F_GETFD) & FD_CLOEXEC);
}

// A child process that holds the lock file of `target` until it exits after
// `hold_ms`. Returns once the lock is held.
pid_t hold_lock_in_child(const std::string& target, int hold_ms) {
  int pipefd[2];
  EXPECT_EQ(::pipe(pipefd), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(artifact_lock_path(target).c_str(), O_RDWR | O_CREAT, 0666);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
    if (::write(pipefd[1], "L", 1) != 1) ::_exit(1);
    ::usleep(hold_ms * 1000);
    ::_exit(0);
  }
  char c;
  EXPECT_EQ(::read(pipefd[0], &c, 1), 1);
  ::close(pipefd[0]);
  ::close(pipefd[1]);
  return pid;
}

void on_signal(int) {}

struct CountingHook : BlockingHook {
  explicit CountingHook(int retries) : retries(retries) {}
  void enter() override { ++enters; }
  void leave() override { ++leaves; }
  bool retry_after_interrupt() override { return ++interrupts, retries-- > 0; }
  int retries, enters = 0, leaves = 0, interrupts = 0;
};

// Signals `target` thread every 20 ms until destroyed, so a wait is
// interrupted however late it starts.
struct Poker {
  explicit Poker(pthread_t target)
      : thread([this, target] {
          while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ::pthread_kill(target, SIGUSR1);
          }
        }) {}
  ~Poker() {
    stop = true;
    thread.join();
  }
  std::atomic<bool> stop{false};
  std::thread thread;
};

TEST(AtomicWriteTest, LockWaitSeesSignalsThroughTheHook) {
  // A handler without SA_RESTART, as interpreters install, so the wait for
  // the lock returns EINTR.
  struct sigaction sa{}, old{};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
  TempDir dir;
  const std::string target = dir / "t";
  auto attempt = [&](int hold_ms, CountingHook& hook) {
    pid_t child = hold_lock_in_child(target, hold_ms);
    std::expected<void, ArtifactWriteError> r;
    {
      Poker poker(::pthread_self());
      r = atomic_write_artifact(target, writes("new"), &hook);
    }
    ::waitpid(child, nullptr, 0);
    return r;
  };
  // Giving up on the first interruption fails with EINTR and creates nothing.
  CountingHook give_up(0);
  auto r = attempt(500, give_up);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().io->message(), "Interrupted system call (os error 4)");
  EXPECT_EQ(std::tuple(give_up.interrupts, give_up.enters, give_up.leaves), std::tuple(1, 1, 1));
  EXPECT_EQ(dir.temp_files(), 0u);
  // Going on after interruptions waits for the holder and then writes.
  CountingHook go_on(1000000);
  ASSERT_TRUE(attempt(300, go_on).has_value());
  EXPECT_GE(go_on.interrupts, 1);
  EXPECT_EQ(std::pair(go_on.enters, go_on.leaves),
            std::pair(go_on.interrupts + 1, go_on.interrupts + 1));
  EXPECT_EQ(slurp(target), "new");
  ::sigaction(SIGUSR1, &old, nullptr);
}

// Content of version n: a header naming n and its length, then bytes that
// depend on n, so a reader can tell a whole version from anything else.
std::string version_content(uint64_t n) {
  size_t len = 1000 + (n * 7919) % 150000;
  std::string out = str_cat("version ", n, " length ", len, "\n");
  std::mt19937_64 gen(n);
  while (out.size() < len) out.push_back(static_cast<char>('a' + gen() % 26));
  return out;
}

bool is_whole_version(const std::string& content) {
  uint64_t n = 0;
  if (std::sscanf(content.c_str(), "version %lu ", &n) != 1) return false;
  return content == version_content(n);
}

TEST(AtomicWriteTest, KilledWriterLeavesTheOldOrTheNewFile) {
  TempDir dir;
  const std::string target = dir / "artifact.json";
  ASSERT_TRUE(atomic_write_artifact(target, writes(version_content(0))).has_value());
  std::mt19937 rng(12345);
  auto start = std::chrono::steady_clock::now();
  int kills = 0;
  std::set<std::string> seen_versions;
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2500) &&
         kills < 300) {
    uint64_t base = static_cast<uint64_t>(kills + 1) * 1000000;
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (uint64_t v = base;; ++v) {
        if (!atomic_write_artifact(target, writes(version_content(v), 997))) ::_exit(1);
      }
    }
    ::usleep(rng() % 20000);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer failed on its own";
    ++kills;
    std::string content = slurp(target);
    ASSERT_TRUE(is_whole_version(content))
        << "after kill " << kills << ": " << content.substr(0, 40);
    seen_versions.insert(content.substr(0, content.find(' ', 8)));
  }
  // Names that only resemble a temporary of this target, or belong to
  // another target, are never removed.
  const std::vector<std::string> bystanders = {
      ".artifact.json.tmp.ABCDE", ".artifact.json.tmp.ABCDEFG", ".artifact.json.tmp.AB-DEF",
      ".artifact.jso.tmp.ABCDEF", ".other.json.tmp.ABCDEF",     "artifact.json.tmp.ABCDEF"};
  for (const auto& name : bystanders) std::ofstream(dir / name) << "keep";
  // The lock died with its holder: a new writer gets it at once, and clears
  // what the killed ones left half-written.
  ASSERT_TRUE(atomic_write_artifact(target, writes(version_content(7))).has_value());
  EXPECT_EQ(slurp(target), version_content(7));
  EXPECT_GT(kills, 20);
  EXPECT_GT(seen_versions.size(), 1u);
  std::vector<std::string> expected = bystanders;
  expected.insert(expected.end(), {"artifact.json", ".artifact.json.morvatel.lock"});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(dir.entries(), expected);
}

}  // namespace
}  // namespace morvatel
