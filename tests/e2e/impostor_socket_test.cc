// Another local user who gets to /tmp/korvane-<uid> first, or serves a socket where the UI
// looks for the host: the host must neither listen nor keep the engine's cache there, and
// korvanectl must hand such a server nothing. Each test runs in a private mount namespace, so
// the impostor's files live in a /tmp of its own.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/embedding/garbage_frames.h"
#include "tests/platform/namespace_helper.h"
#include "tests/support/host_fixture.h"
#include "tests/support/tagged_line.h"
#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

constexpr int kTimeoutMs = 60000;

std::string SharedDirectory() {
  return "/tmp/korvane-" + std::to_string(getuid());
}

// The frame a real host sends first, so that a client which trusts the impostor goes on to
// send its call.
std::string HelloFrame() {
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  g_autoptr(FlValue) hello = fl_value_new_map();
  fl_value_set_string_take(hello, "protocol", fl_value_new_int(1));
  g_autoptr(GBytes) bytes =
      fl_message_codec_encode_message(FL_MESSAGE_CODEC(codec), hello, nullptr);
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  return BridgeClient::EncodeFrame(BridgeClient::kKindHello, 0, "", std::string(data, size));
}

// A server of uid 65534 that plays the host at one path from a forked child: it greets every
// client with a hello, reads until the client's first frame is complete (or it leaves), and
// counts the connections and the bytes it was given.
class Impostor {
 public:
  struct Report {
    int connections = -1;
    long bytes = -1;
  };

  ~Impostor() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {control_, results_}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }

  // With `directory_mode` the impostor, as uid 65534, makes the socket's directory with that
  // mode. Without, the socket is bound in an existing directory before the child drops to 65534
  // and listens: only the server is another user's (a listener's credentials are those it had
  // when it started listening).
  ::testing::AssertionResult Start(const std::string& path, std::optional<mode_t> directory_mode) {
    const std::string hello = HelloFrame();
    int control[2];
    int results[2];
    if (pipe2(control, O_CLOEXEC) != 0 || pipe2(results, O_CLOEXEC) != 0) {
      return ::testing::AssertionFailure() << "pipe: " << strerror(errno);
    }
    pid_ = fork();
    if (pid_ < 0) {
      return ::testing::AssertionFailure() << "fork: " << strerror(errno);
    }
    if (pid_ == 0) {
      close(control[1]);
      close(results[0]);
      Serve(path, directory_mode, hello, control[0], results[1]);
    }
    close(control[0]);
    close(results[1]);
    control_ = control[1];
    results_ = results[0];
    std::string ready = ReadAll(results_, 1);
    if (ready != "+") {
      return ::testing::AssertionFailure() << "the impostor did not start listening at " << path;
    }
    return ::testing::AssertionSuccess();
  }

  // Stops the impostor once every client it had has gone, and says what it was given.
  Report Finish() {
    Report report;
    close(control_);
    control_ = -1;
    std::string text = ReadAll(results_, -1);
    close(results_);
    results_ = -1;
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    sscanf(text.c_str(), "%d %ld", &report.connections, &report.bytes);
    return report;
  }

 private:
  // Up to `limit` bytes (-1: all) until the end of the pipe.
  static std::string ReadAll(int fd, int limit) {
    std::string text;
    char buffer[256];
    while (limit < 0 || static_cast<int>(text.size()) < limit) {
      ssize_t n = read(fd, buffer, limit < 0 ? sizeof(buffer) : 1);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        break;
      }
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }

  // Reads what one client sends until its first frame is complete or it leaves.
  static long Drain(int fd) {
    std::string got;
    char buffer[4096];
    for (;;) {
      if (got.size() >= 4) {
        uint32_t length = static_cast<unsigned char>(got[0]) |
                          static_cast<unsigned char>(got[1]) << 8 |
                          static_cast<unsigned char>(got[2]) << 16 |
                          static_cast<uint32_t>(static_cast<unsigned char>(got[3])) << 24;
        if (got.size() >= 4 + static_cast<size_t>(length)) {
          break;
        }
      }
      ssize_t n = read(fd, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        break;
      }
      got.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return static_cast<long>(got.size());
  }

  [[noreturn]] static void Serve(const std::string& path,
                                 std::optional<mode_t> directory_mode,
                                 const std::string& hello,
                                 int control,
                                 int results) {
    signal(SIGPIPE, SIG_IGN);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    auto bind_socket = [&] {
      return bind(listener, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0 &&
             chmod(path.c_str(), 0777) == 0;
    };
    bool ok = listener >= 0;
    if (directory_mode) {
      const std::string dir = DirectoryOf(path);
      ok = ok && DropPrivileges() && mkdir(dir.c_str(), 0700) == 0 &&
           chmod(dir.c_str(), *directory_mode) == 0 && bind_socket();
    } else {
      ok = ok && bind_socket() && DropPrivileges();
    }
    ok = ok && listen(listener, 8) == 0;
    if (!ok) {
      fprintf(stderr, "impostor at %s: %s\n", path.c_str(), strerror(errno));
      _exit(1);
    }
    (void)!write(results, "+", 1);
    int connections = 0;
    long bytes = 0;
    for (bool stopping = false; !stopping;) {
      struct pollfd fds[2] = {{listener, POLLIN, 0}, {control, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) {
        _exit(1);
      }
      // Asked to stop: whoever connected meanwhile has finished by now.
      stopping = fds[1].revents != 0;
      if (stopping) {
        fcntl(listener, F_SETFL, O_NONBLOCK);
      } else if (fds[0].revents == 0) {
        continue;
      }
      for (;;) {
        int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
          break;
        }
        connections++;
        (void)!send(client, hello.data(), hello.size(), MSG_NOSIGNAL);
        bytes += Drain(client);
        if (!stopping) {
          break;
        }
      }
    }
    std::string report = std::to_string(connections) + " " + std::to_string(bytes);
    (void)!write(results, report.data(), report.size());
    _exit(0);
  }

  static std::string DirectoryOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
  }

  pid_t pid_ = -1;
  int control_ = -1;
  int results_ = -1;
};

struct KorvanectlRun {
  int status = -1;
  std::string err;
};

// korvanectl as this test's user, with XDG_RUNTIME_DIR unset and KORVANE_UI_SOCKET as given
// (nullptr: unset), asked to store a configuration that holds a password.
KorvanectlRun RunKorvanectl(const char* socket) {
  const char* build = getenv("KORVANE_BUILD_DIR");
  const std::string korvanectl =
      std::string(build != nullptr ? build : ".") + "/tools/korvanectl/korvanectl";
  const std::string args =
      R"({"config":"{\"outbounds\":[{\"type\":\"socks\",\"password\":\"hunter2\"}]}",)"
      R"("autoConfigureProxy":true})";
  std::vector<const gchar*> argv = {
      korvanectl.c_str(), "call", "loadVPNPreference", args.c_str(), "--timeout", "20", nullptr};
  gchar** env = g_get_environ();
  env = g_environ_unsetenv(env, "XDG_RUNTIME_DIR");
  env = socket != nullptr ? g_environ_setenv(env, "KORVANE_UI_SOCKET", socket, TRUE)
                          : g_environ_unsetenv(env, "KORVANE_UI_SOCKET");
  KorvanectlRun run;
  gchar* err = nullptr;
  gint wait_status = 0;
  g_autoptr(GError) error = nullptr;
  if (g_spawn_sync(nullptr, const_cast<gchar**>(argv.data()), env, G_SPAWN_STDOUT_TO_DEV_NULL,
                   nullptr, nullptr, nullptr, &err, &wait_status, &error)) {
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    run.err = err != nullptr ? err : "";
  } else {
    run.err = error->message;
  }
  g_free(err);
  g_strfreev(env);
  return run;
}

int CountLines(const std::string& text) {
  int lines = 0;
  for (char c : text) {
    lines += c == '\n';
  }
  return lines;
}

class ImpostorSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root to play another user (uid 65534) in a private /tmp";
    }
  }
};

TEST_F(ImpostorSocketTest, KorvanectlGivesNothingToAServerThatIsNotOurs) {
  enum class Directory {
    kImpostors,  // made by the other user (mode 0755)
    kOpen,       // ours, but writable by everybody (0777)
    kOurs,       // ours (0700): only the server is the other user's
  };
  struct Case {
    const char* what;
    const char* socket;  // KORVANE_UI_SOCKET; nullptr: the fallback in /tmp
    Directory directory;
    const char* reason;  // expected in korvanectl's one line besides the path
  };
  const Case cases[] = {
      {"the fallback directory was made by another user", nullptr, Directory::kImpostors,
       "belongs to uid 65534"},
      {"an explicit path in another user's directory", "/tmp/elsewhere/ui.sock",
       Directory::kImpostors, "belongs to uid 65534"},
      {"an explicit path in a directory others may write to", "/tmp/open/ui.sock", Directory::kOpen,
       "writable by others (mode 0777)"},
      {"a server of another user in our own directory", "/tmp/ours/ui.sock", Directory::kOurs,
       "the server there runs as uid 65534"},
  };
  RunIsolated({}, [&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      const std::string path = c.socket != nullptr ? c.socket : SharedDirectory() + "/ui.sock";
      const std::string dir = path.substr(0, path.rfind('/'));
      Impostor impostor;
      if (c.directory == Directory::kImpostors) {
        ASSERT_TRUE(impostor.Start(path, 0755));
      } else {
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(chmod(dir.c_str(), c.directory == Directory::kOpen ? 0777 : 0700), 0);
        ASSERT_TRUE(impostor.Start(path, std::nullopt));
      }

      KorvanectlRun run = RunKorvanectl(c.socket);
      Impostor::Report report = impostor.Finish();
      // "No host", in one line naming the path and why.
      EXPECT_EQ(run.status, 3) << run.err;
      EXPECT_EQ(CountLines(run.err), 1) << run.err;
      EXPECT_NE(run.err.find(path), std::string::npos) << run.err;
      EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
      // Refused before a single byte went out; only the server's credentials needed a
      // connection to be seen.
      EXPECT_EQ(report.bytes, 0) << run.err;
      EXPECT_EQ(report.connections, c.directory == Directory::kOurs ? 1 : 0) << run.err;
      RemoveTree(dir);
    }
  });
}

TEST_F(ImpostorSocketTest, HostLeavesAnotherUsersFallbackDirectoryAlone) {
  RunIsolated({}, [&] {
    const std::string shared = SharedDirectory();
    Impostor impostor;
    ASSERT_TRUE(impostor.Start(shared + "/ui.sock", 0777));

    HostFixture host;
    HostOptions options;
    // Empty counts as unset: the host falls back to /tmp.
    options.env = {{"XDG_RUNTIME_DIR", ""}, {"KORVANE_UI_SOCKET", ""}};
    options.wait_for_socket = false;
    std::string error;
    ASSERT_TRUE(host.Start(options, &error)) << error;
    ASSERT_TRUE(host.WaitForStdout("  Base: ", kTimeoutMs)) << host.Stdout();
    ASSERT_TRUE(host.WaitForStderr(korvane_test::Tagged(korvane::kUiBridgeTag, "not listening"),
                                   kTimeoutMs))
        << host.Stderr();

    // The engine's cache went to a private directory of the configuration instead.
    const std::string cache = host.config_home() + "/korvane/cache";
    EXPECT_NE(host.Stdout().find("  Base: " + cache + "\n"), std::string::npos) << host.Stdout();
    EXPECT_EQ(host.Stdout().find("  Base: " + shared), std::string::npos) << host.Stdout();
    struct stat info;
    ASSERT_EQ(lstat(cache.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    // The bridge said so once, naming the directory and its owner, and the host runs on.
    std::string stderr_text = host.Stderr();
    EXPECT_EQ(CountBridgeLines(stderr_text, "not listening"), 1) << stderr_text;
    EXPECT_NE(stderr_text.find(shared + " is owned by uid 65534"), std::string::npos)
        << stderr_text;
    EXPECT_TRUE(host.IsHostRunning());
    host.Stop();

    // The impostor's directory holds what it put there and nothing else.
    EXPECT_EQ(ListDirectory(shared), std::vector<std::string>{"ui.sock"});
    EXPECT_EQ(impostor.Finish().connections, 0);
  });
}

}  // namespace
}  // namespace korvane_test
