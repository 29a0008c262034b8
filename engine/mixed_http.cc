#include "engine/mixed_http.h"

#include <strings.h>

#include <cctype>
#include <vector>

namespace box {
namespace mixed {

namespace {

bool IsTokenCharacter(char c) {
  if (std::isalnum(static_cast<unsigned char>(c))) {
    return true;
  }
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}

bool IsToken(std::string_view text) {
  if (text.empty()) {
    return false;
  }
  for (char c : text) {
    if (!IsTokenCharacter(c)) {
      return false;
    }
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

// Whether a comma-separated header value lists token.
bool ListsToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    std::string_view item = Trim(value.substr(0, comma));
    if (EqualsNoCase(item, token)) {
      return true;
    }
    if (comma == std::string_view::npos) {
      break;
    }
    value.remove_prefix(comma + 1);
  }
  return false;
}

struct Header {
  std::string_view name;
  std::string_view value;
  std::string_view line;  // without its line ending
};

// Splits the head into lines. False while no blank line has arrived.
bool SplitHead(std::string_view data, std::vector<std::string_view>* lines, size_t* consumed) {
  size_t start = 0;
  while (true) {
    size_t newline = data.find('\n', start);
    if (newline == std::string_view::npos) {
      return false;
    }
    std::string_view line = data.substr(start, newline - start);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    start = newline + 1;
    if (line.empty()) {
      // Blank lines before the request line are tolerated (RFC 9112 section 2.2).
      if (lines->empty()) {
        continue;
      }
      *consumed = start;
      return true;
    }
    lines->push_back(line);
  }
}

}  // namespace

ParseStatus ParseHttpProxyRequest(std::string_view data,
                                  size_t* consumed,
                                  HttpProxyRequest* request,
                                  std::string* error) {
  std::vector<std::string_view> lines;
  if (!SplitHead(data, &lines, consumed)) {
    return ParseStatus::kIncomplete;
  }
  std::string_view request_line = lines.front();
  size_t first_space = request_line.find(' ');
  size_t second_space =
      first_space == std::string_view::npos ? first_space : request_line.find(' ', first_space + 1);
  if (second_space == std::string_view::npos ||
      request_line.find(' ', second_space + 1) != std::string_view::npos) {
    *error = "http: malformed request line";
    return ParseStatus::kInvalid;
  }
  std::string_view method = request_line.substr(0, first_space);
  std::string_view target = request_line.substr(first_space + 1, second_space - first_space - 1);
  std::string_view version = request_line.substr(second_space + 1);
  if (!IsToken(method) || target.empty() || (version != "HTTP/1.1" && version != "HTTP/1.0")) {
    *error = "http: malformed request line";
    return ParseStatus::kInvalid;
  }

  std::vector<Header> headers;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
      *error = "http: malformed header line";
      return ParseStatus::kInvalid;
    }
    headers.push_back(Header{line.substr(0, colon), Trim(line.substr(colon + 1)), line});
  }

  request->proxy_authorization.clear();
  for (const Header& header : headers) {
    if (EqualsNoCase(header.name, "proxy-authorization")) {
      request->proxy_authorization = std::string(header.value);
      break;
    }
  }

  if (method == "CONNECT") {
    if (!ParseHostPort(target, 0, &request->host, &request->port)) {
      *error = "http: malformed CONNECT target";
      return ParseStatus::kInvalid;
    }
    request->is_connect = true;
    request->forward_head.clear();
    return ParseStatus::kDone;
  }

  constexpr std::string_view kScheme = "http://";
  if (!StartsWithNoCase(target, kScheme)) {
    *error = "http: request target is not an absolute http URI";
    return ParseStatus::kInvalid;
  }
  std::string_view rest = target.substr(kScheme.size());
  size_t authority_end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authority_end);
  std::string path(authority_end == std::string_view::npos ? std::string_view()
                                                           : rest.substr(authority_end));
  // The fragment never goes to the server.
  path = path.substr(0, path.find('#'));
  if (path.empty() || path.front() != '/') {
    path.insert(0, "/");
  }
  if (authority.find('@') != std::string_view::npos ||
      !ParseHostPort(authority, 80, &request->host, &request->port)) {
    *error = "http: malformed request URI";
    return ParseStatus::kInvalid;
  }

  bool has_host = false;
  bool upgrade = false;
  std::string kept;
  for (const Header& header : headers) {
    if (StartsWithNoCase(header.name, "proxy-") || EqualsNoCase(header.name, "keep-alive")) {
      continue;
    }
    if (EqualsNoCase(header.name, "connection")) {
      upgrade = upgrade || ListsToken(header.value, "upgrade");
      continue;
    }
    has_host = has_host || EqualsNoCase(header.name, "host");
    kept.append(header.line).append("\r\n");
  }
  std::string head;
  head.append(method).append(" ").append(path).append(" ").append(version).append("\r\n");
  if (!has_host) {
    head.append("Host: ").append(authority).append("\r\n");
  }
  head.append(kept);
  // An upgraded connection (websocket) is relayed as it is; anything else ends with its
  // response, since this relay does not follow message boundaries.
  head.append(upgrade ? "Connection: Upgrade\r\n\r\n" : "Connection: close\r\n\r\n");
  request->is_connect = false;
  request->forward_head = std::move(head);
  return ParseStatus::kDone;
}

std::string HttpResponse(int status,
                         std::string_view reason,
                         std::string_view body,
                         std::string_view extra_headers) {
  std::string response = "HTTP/1.1 " + std::to_string(status) + " ";
  response.append(reason).append("\r\n");
  response.append(extra_headers);
  response.append("Content-Type: text/plain; charset=utf-8\r\n");
  response.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  response.append("Connection: close\r\n\r\n");
  response.append(body);
  return response;
}

std::string HttpProxyAuthRequired() {
  return HttpResponse(407, "Proxy Authentication Required", "Proxy Authentication Required\n",
                      "Proxy-Authenticate: Basic realm=\"sing-box\"\r\n");
}

bool ParseBasicCredentials(std::string_view value, std::string* username, std::string* password) {
  constexpr std::string_view kScheme = "Basic ";
  if (!StartsWithNoCase(value, kScheme)) {
    return false;
  }
  std::string_view encoded = Trim(value.substr(kScheme.size()));
  std::string decoded;
  unsigned bits = 0;
  int count = 0;
  size_t padding = 0;
  for (char c : encoded) {
    int sextet = -1;
    if (c >= 'A' && c <= 'Z') {
      sextet = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      sextet = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      sextet = c - '0' + 52;
    } else if (c == '+') {
      sextet = 62;
    } else if (c == '/') {
      sextet = 63;
    } else if (c == '=') {
      ++padding;
      continue;
    }
    if (sextet < 0 || padding != 0) {
      return false;  // a stray byte, or data after the padding
    }
    bits = (bits << 6) | static_cast<unsigned>(sextet);
    count += 6;
    if (count >= 8) {
      count -= 8;
      decoded.push_back(static_cast<char>((bits >> count) & 0xff));
    }
  }
  if (padding > 2 || (encoded.size() % 4 != 0 && padding != 0)) {
    return false;
  }
  size_t colon = decoded.find(':');
  if (colon == std::string::npos) {
    return false;
  }
  *username = decoded.substr(0, colon);
  *password = decoded.substr(colon + 1);
  return true;
}

}  // namespace mixed
}  // namespace box
