// The UI bridge fed an arbitrary byte stream by a client, in-process: the headless engine
// serves its socket from this thread's main loop, with the host's VPNManager dispatcher on its
// channels, so whatever decodes as a call goes through the method table and is answered. Each
// input is one connection: the bytes are sent, the client's side is shut, and the host must
// end the connection (and answer nothing wrongly: criticals are fatal) in bounded time.
//
// The host runs with a private environment: its configuration directory, socket and PATH
// (empty, so no desktop tool can be run) are in a scratch directory, the desktop is unknown
// and no engine library can be found, so connecting fails at once and nothing on the machine
// changes. VPNManager::Initialize is not used for the same reason: besides making the
// channels it repairs the machine's proxy and DNS settings left by a crashed run.

#include <errno.h>
#include <flutter_linux/flutter_linux.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>

#include "core/libbox_interface.h"
#include "tests/fuzz/fuzz_support.h"
#include "vpn/vpn_manager.h"
#include "vpn/vpn_preferences.h"

// Reaches VPNManager's channels and static state; VPNManager befriends it for tests.
class VPNManagerTestPeer {
 public:
  // The channels and handlers VPNManager::Initialize sets up, on |messenger|.
  static void Attach(FlBinaryMessenger* messenger) {
    VPNManager::messenger_ = messenger;
    g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
    VPNManager::channel_ =
        fl_method_channel_new(messenger, "com.quorandel.korvane/vpn", FL_METHOD_CODEC(codec));
    VPNManager::core_channel_ =
        fl_method_channel_new(messenger, "com.quorandel.korvane/core", FL_METHOD_CODEC(codec));
    fl_method_channel_set_method_call_handler(VPNManager::channel_,
                                              VPNManager::HandleMethodCallStatic, nullptr, nullptr);
    fl_method_channel_set_method_call_handler(
        VPNManager::core_channel_, VPNManager::HandleCoreMethodCallStatic, nullptr, nullptr);
    VPNManager::event_channel_ =
        fl_event_channel_new(messenger, "com.quorandel.korvane/vpn_events", FL_METHOD_CODEC(codec));
    fl_event_channel_set_stream_handlers(VPNManager::event_channel_, VPNManager::OnListenHandler,
                                         VPNManager::OnCancelHandler, nullptr, nullptr);
    VPNManager::InitializeLibbox();
    // A loaded engine would really connect (a TUN device, a proxy port): refuse to go on.
    if (LibboxInterface::IsLoaded()) {
      fprintf(stderr, "an engine library was found; the bridge fuzzer runs only without one\n");
      abort();
    }
  }

  // What one connection may have changed, back as at the start.
  static void Reset() {
    {
      std::lock_guard<std::mutex> lock(VPNManager::stream_mutex_);
      VPNManager::stream_active_ = false;
    }
    std::lock_guard<std::mutex> lock(VPNManager::service_mutex_);
    FUZZ_CHECK(!VPNManager::is_running_);
    VPNManager::current_config_.clear();
    VPNManager::last_error_.clear();
    VPNManager::auto_reconnect_enabled_ = true;
    VPNManager::auto_configure_proxy_ = true;
    VPNManager::url_test_in_progress_ = false;
  }
};

namespace {

constexpr gint64 kDeadlineUs = 20 * G_USEC_PER_SEC;

struct Host {
  std::string socket_path;
  std::string config_directory;
  FlEngine* engine = nullptr;
};

void Quiet(const gchar*) {}

// Swallows what is written to it.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
};

std::string MakeDirectory(const std::string& path) {
  FUZZ_CHECK(g_mkdir_with_parents(path.c_str(), 0700) == 0);
  return path;
}

Host& TheHost() {
  static Host* host = [] {
    const std::string& scratch = korvane::fuzz::ScratchDirectory();
    auto* made = new Host();
    std::string config_home = MakeDirectory(scratch + "/config");
    setenv("XDG_CONFIG_HOME", config_home.c_str(), 1);
    setenv("HOME", MakeDirectory(scratch + "/home").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", MakeDirectory(scratch + "/run").c_str(), 1);
    setenv("PATH", MakeDirectory(scratch + "/bin").c_str(), 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    for (const char* name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_SESSION_VERSION",
                             "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"}) {
      unsetenv(name);
    }
    // Relative engine library paths are tried from the working directory.
    FUZZ_CHECK(chdir(scratch.c_str()) == 0);
    made->socket_path = scratch + "/run/ui/ui.sock";
    setenv("KORVANE_UI_SOCKET", made->socket_path.c_str(), 1);
    if (getenv("KORVANE_FUZZ_VERBOSE") == nullptr) {
      // Each refused frame and each call writes a line; at thousands of inputs a second that
      // is most of the work.
      g_set_printerr_handler(Quiet);
      g_set_print_handler(Quiet);
      // Never destroyed: the standard streams flush it at exit.
      static NullBuffer* sink = new NullBuffer();
      std::cerr.rdbuf(sink);
      std::cout.rdbuf(sink);
    }
    g_set_prgname("ui-bridge-fuzzer");
    g_autoptr(FlDartProject) project = fl_dart_project_new();
    made->engine = fl_engine_new_headless(project);
    g_autoptr(GError) error = nullptr;
    if (!fl_engine_start(made->engine, &error)) {
      fprintf(stderr, "cannot start the engine: %s\n", error->message);
      abort();
    }
    VPNManagerTestPeer::Attach(fl_engine_get_binary_messenger(made->engine));
    // Wakes a blocking main-loop iteration now and then, so the deadline is always checked.
    g_timeout_add(
        50, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    made->config_directory = VPNPreferences::GetConfigDirectory();
    return made;
  }();
  return *host;
}

int Connect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  FUZZ_CHECK(fd >= 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  FUZZ_CHECK(path.size() < sizeof(address.sun_path));
  memcpy(address.sun_path, path.c_str(), path.size());
  // The listening socket has a backlog: this completes before the host accepts.
  FUZZ_CHECK(connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0);
  return fd;
}

// Sends |data| from the client while the host's main loop runs, shuts the client's side and
// serves the host until it ends the connection. Returns false when that took too long.
bool Exchange(int fd, const uint8_t* data, size_t size) {
  gint64 deadline = g_get_monotonic_time() + kDeadlineUs;
  size_t sent = 0;
  bool shut = false;
  char discard[64 * 1024];
  while (g_get_monotonic_time() < deadline) {
    if (!shut && sent < size) {
      ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        // The host closed the connection early (a bad frame): nothing more to send.
        sent = size;
      }
    }
    if (!shut && sent == size) {
      shutdown(fd, SHUT_WR);
      shut = true;
    }
    // The host's turn: accept, read, dispatch, answer.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    ssize_t n = recv(fd, discard, sizeof(discard), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return true;
    }
    if (n < 0) {
      // Nothing to read yet: wait for the host's next event rather than spin.
      g_main_context_iteration(nullptr, TRUE);
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Host& host = TheHost();
  int fd = Connect(host.socket_path);
  bool ended = Exchange(fd, data, size);
  close(fd);
  if (!ended) {
    fprintf(stderr, "the host did not end the connection within %lld s\n",
            static_cast<long long>(kDeadlineUs / G_USEC_PER_SEC));
    abort();
  }
  // Let answers and events still queued run and release what they hold.
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  VPNManagerTestPeer::Reset();
  korvane::fuzz::EmptyDirectory(host.config_directory);
  return 0;
}
