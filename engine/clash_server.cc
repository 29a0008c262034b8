#include "engine/clash_server.h"

#include <microhttpd.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "engine/clash_router.h"

namespace box {
namespace {

// Per-request state kept by the daemon between calls of the access handler.
struct RequestContext {
  std::string body;
};

// Upper bound on a request body (PUT /proxies/{name} sends a few bytes).
constexpr size_t kMaxBody = 64 * 1024;

// The daemon must leave the path and query as sent: names are decoded per segment so that %2F
// stays inside its segment.
size_t KeepEscapes(void*, MHD_Connection*, char* text) {
  return strlen(text);
}

MHD_Result CollectQuery(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* query = static_cast<std::map<std::string, std::string>*>(cls);
  std::string decoded_key;
  std::string decoded_value;
  if (key != nullptr && ClashRouter::Unescape(key, true, &decoded_key) &&
      ClashRouter::Unescape(value == nullptr ? "" : value, true, &decoded_value)) {
    query->emplace(decoded_key, decoded_value);  // the first value wins
  }
  return MHD_YES;
}

MHD_Result Send(MHD_Connection* connection, const ClashReply& reply, const CorsDecision& cors) {
  MHD_Response* response = MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) {
    return MHD_NO;
  }
  if (!reply.content_type.empty()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.content_type.c_str());
  }
  for (const auto& [name, value] : reply.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  for (const auto& [name, value] : cors.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  MHD_Result result = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  MHD_destroy_response(response);
  return result;
}

// One GET /traffic stream: each read waits out the rest of its second, then reports the bytes
// that second carried.
struct TrafficStream {
  ClashStreams* streams;
  ConnectionTracker* tracker;
  uint64_t last_up;
  uint64_t last_down;
  std::chrono::steady_clock::time_point next;
  std::string pending;

  static ssize_t Read(void* cls, uint64_t, char* buffer, size_t max) {
    auto* stream = static_cast<TrafficStream*>(cls);
    if (stream->pending.empty()) {
      {
        std::unique_lock<std::mutex> lock(stream->streams->mutex);
        stream->streams->stopped.wait_until(lock, stream->next,
                                            [stream] { return stream->streams->stopping; });
        if (stream->streams->stopping) {
          return MHD_CONTENT_READER_END_OF_STREAM;
        }
      }
      stream->next += std::chrono::seconds(1);
      uint64_t up = stream->tracker->upload_total();
      uint64_t down = stream->tracker->download_total();
      stream->pending = "{\"up\":" + std::to_string(up - stream->last_up) +
                        ",\"down\":" + std::to_string(down - stream->last_down) + "}\n";
      stream->last_up = up;
      stream->last_down = down;
    }
    size_t count = std::min(max, stream->pending.size());
    memcpy(buffer, stream->pending.data(), count);
    stream->pending.erase(0, count);
    return static_cast<ssize_t>(count);
  }
  static void Free(void* cls) { delete static_cast<TrafficStream*>(cls); }
};

MHD_Result SendTraffic(MHD_Connection* connection,
                       ClashStreams* streams,
                       ConnectionTracker* tracker,
                       const ClashReply& reply,
                       const CorsDecision& cors) {
  auto* stream = new TrafficStream{streams,
                                   tracker,
                                   tracker->upload_total(),
                                   tracker->download_total(),
                                   std::chrono::steady_clock::now() + std::chrono::seconds(1),
                                   {}};
  MHD_Response* response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, 1024, &TrafficStream::Read, stream, &TrafficStream::Free);
  if (response == nullptr) {
    delete stream;
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.content_type.c_str());
  for (const auto& [name, value] : cors.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return result;
}

struct Handler {
  static MHD_Result Access(void* cls,
                           MHD_Connection* connection,
                           const char* url,
                           const char* method,
                           const char*,
                           const char* upload_data,
                           size_t* upload_data_size,
                           void** con_cls) {
    auto* server = static_cast<ClashServer*>(cls);
    ClashRouter* router = server->router();
    if (*con_cls == nullptr) {
      *con_cls = new RequestContext();
      return MHD_YES;
    }
    auto* context = static_cast<RequestContext*>(*con_cls);
    if (*upload_data_size != 0) {
      if (context->body.size() + *upload_data_size > kMaxBody) {
        return MHD_NO;
      }
      context->body.append(upload_data, *upload_data_size);
      *upload_data_size = 0;
      return MHD_YES;
    }
    // Browser origins are settled before the secret is checked, preflights included.
    auto header = [connection](const char* name) {
      return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    };
    CorsRequest cors_request;
    cors_request.method = method;
    cors_request.origin = header("Origin");
    cors_request.request_method = header("Access-Control-Request-Method");
    cors_request.request_headers = header("Access-Control-Request-Headers");
    cors_request.request_private_network = header("Access-Control-Request-Private-Network");
    const CorsDecision cors = DecideCors(router->access(), cors_request);
    if (cors.refuse) {
      ClashReply reply;
      reply.status = 403;
      reply.content_type = "application/json; charset=utf-8";
      reply.body = "{\"message\":\"Forbidden\"}\n";
      return Send(connection, reply, cors);
    }
    if (cors.preflight) {
      ClashReply reply;
      reply.status = 204;
      return Send(connection, reply, cors);
    }
    ClashRequest request;
    request.method = method;
    request.raw_path = url;
    const char* authorization =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    request.authorization = authorization == nullptr ? "" : authorization;
    request.body = std::move(context->body);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, CollectQuery, &request.query);
    ClashReply reply = router->Handle(request);
    if (reply.traffic_stream) {
      return SendTraffic(connection, server->streams(), server->outbounds()->connections(), reply,
                         cors);
    }
    return Send(connection, reply, cors);
  }

  static void Completed(void*, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
    delete static_cast<RequestContext*>(*con_cls);
    *con_cls = nullptr;
  }
};

}  // namespace

std::unique_ptr<ClashServer> ClashServer::Create(const std::string& address,
                                                 const ClashAccess& access,
                                                 OutboundManager* outbounds,
                                                 std::string* error) {
  const std::string prefix = "finish-start clash server: external controller listen error: ";
  std::string host;
  int port = 0;
  if (!SplitHostPort(address, &host, &port)) {
    *error =
        prefix + "listen tcp " + address + ": address " + address + ": missing port in address";
    return nullptr;
  }
  std::unique_ptr<ClashServer> server(new ClashServer());
  int bound_port = 0;
  std::string listen_error;
  // Bound now so that a taken port fails the create; listening only from Start, so that clients
  // are refused until the service runs.
  server->listen_fd_ = ListenTcp(host, port, &bound_port, &listen_error, /*listen_now=*/false);
  if (!server->listen_fd_.valid()) {
    *error = prefix + listen_error;
    return nullptr;
  }
  server->access_ = access;
  server->outbounds_ = outbounds;
  server->listen_address_ = JoinHostPort(host, bound_port);
  return server;
}

ClashServer::~ClashServer() {
  Stop();
}

bool ClashServer::Start(std::string* error) {
  if (daemon_ != nullptr || !listen_fd_.valid()) {
    *error = "start clash server: already started";
    return false;
  }
  if (listen(listen_fd_.get(), SOMAXCONN) != 0) {
    *error = "finish-start clash server: external controller listen error: listen tcp " +
             listen_address_ + ": listen: " + ErrnoText(errno);
    return false;
  }
  router_ = std::make_unique<ClashRouter>(outbounds_, access_);
  int fd = listen_fd_.get();
  daemon_ = MHD_start_daemon(
      MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, 0, nullptr,
      nullptr, &Handler::Access, this, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_UNESCAPE_CALLBACK,
      &KeepEscapes, nullptr, MHD_OPTION_NOTIFY_COMPLETED, &Handler::Completed, nullptr,
      MHD_OPTION_CONNECTION_TIMEOUT, 60u, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    *error = "finish-start clash server: start http daemon failed";
    return false;
  }
  // The daemon owns the socket now and closes it when stopped.
  listen_fd_.Release();
  return true;
}

void ClashServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(streams_.mutex);
    streams_.stopping = true;
  }
  streams_.stopped.notify_all();
  if (daemon_ != nullptr) {
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }
  listen_fd_.Reset();
}

}  // namespace box
