// What both HTTP files share: reading URLs, checking headers and requests,
// keeping the first line of a body.
#include "platform/http.h"

#include <cstring>

namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_host_char(char c) { return is_alpha(c) || is_digit(c) || c == '-' || c == '.' || c == '_'; }
bool is_ipv6_char(char c) {
  return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'f') || c == ':' || c == '.';
}

int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string percent_decoded(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 &&
               hex_value(s[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool is_token_char(char c) {
  return is_alpha(c) || is_digit(c) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

}  // namespace

std::string HttpUrl::origin() const {
  const bool ipv6 = host.find(':') != std::string::npos;
  return scheme + "://" + (ipv6 ? '[' + host + ']' : host) + ':' + std::to_string(port);
}

std::string HttpUrl::shown() const { return origin() + path; }

std::string HttpUrl::target() const { return query.empty() ? path : path + '?' + query; }

bool parse_http_url(std::string_view text, HttpUrl* url, std::string* error) {
  // The URL itself is never part of an error: it may hold a password.
  auto refuse = [&](const char* why) {
    *error = why;
    return false;
  };
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7f) return refuse("a URL may not hold spaces, control characters or bytes beyond ASCII");
  }
  const size_t colon = text.find("://");
  if (colon == std::string_view::npos) return refuse("a URL starts with http:// or https://");
  std::string scheme;
  for (const char c : text.substr(0, colon)) scheme += lower(c);
  if (scheme != "http" && scheme != "https")
    return refuse("only http:// and https:// URLs can be used");
  if (text.find('#') != std::string_view::npos) return refuse("a URL may not hold a fragment (#)");
  std::string_view rest = text.substr(colon + 3);
  const size_t end = rest.find_first_of("/?");
  const std::string_view authority = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  if (authority.find('@') != std::string_view::npos)
    return refuse("a URL may not hold a user name or password (user:password@)");

  HttpUrl out;
  out.scheme = scheme;
  std::string_view port_text;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return refuse("an IPv6 address in a URL ends with ]");
    const std::string_view host = authority.substr(1, close - 1);
    if (host.empty()) return refuse("a URL names no host");
    for (const char c : host) {
      if (!is_ipv6_char(c)) return refuse("a URL's IPv6 address holds a character it cannot");
    }
    out.host = std::string(host);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return refuse("a URL's IPv6 address is followed by something else than :port");
      port_text = after.substr(1);
      if (port_text.empty()) return refuse("a URL has a ':' but no port");
    }
  } else {
    const size_t port_colon = authority.find(':');
    const std::string_view host = authority.substr(0, port_colon);
    if (host.empty()) return refuse("a URL names no host");
    for (const char c : host) {
      if (!is_host_char(c)) return refuse("a URL's host holds a character a host name cannot");
    }
    out.host = std::string(host);
    if (port_colon != std::string_view::npos) {
      port_text = authority.substr(port_colon + 1);
      if (port_text.empty()) return refuse("a URL has a ':' but no port");
    }
  }
  if (port_text.empty()) {
    out.port = scheme == "https" ? 443 : 80;
  } else {
    unsigned long port = 0;
    for (const char c : port_text) {
      if (!is_digit(c) || port > 65535) return refuse("a URL's port is not a number from 1 to 65535");
      port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    if (port == 0 || port > 65535) return refuse("a URL's port is not a number from 1 to 65535");
    out.port = static_cast<uint16_t>(port);
  }
  const size_t question = rest.find('?');
  out.path = std::string(rest.substr(0, question));
  if (out.path.empty()) out.path = "/";
  if (question != std::string_view::npos) out.query = std::string(rest.substr(question + 1));
  *url = std::move(out);
  return true;
}

bool http_query_value(std::string_view query, std::string_view name, std::string* value) {
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const size_t eq = pair.find('=');
    if (percent_decoded(pair.substr(0, eq)) == name) {
      *value = eq == std::string_view::npos ? std::string() : percent_decoded(pair.substr(eq + 1));
      return true;
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return false;
}

bool http_header_ok(const HttpHeader& header) {
  if (header.name.empty()) return false;
  for (const char c : header.name) {
    if (!is_token_char(c)) return false;
  }
  for (const char c : header.value) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && c != '\t') || b == 0x7f) return false;
  }
  return true;
}

std::string http_request_problem(const HttpRequest& request, HttpUrl* url) {
  std::string error;
  if (!parse_http_url(request.url, url, &error)) return error;
  for (const HttpHeader& h : request.headers) {
    if (http_header_ok(h)) continue;
    // The value is never named: it may be a token.
    bool name_ok = !h.name.empty();
    for (const char c : h.name) name_ok = name_ok && is_token_char(c);
    return (name_ok ? "the header " + h.name : std::string("a header")) +
           " cannot be sent: it holds a line end or a character a header cannot";
  }
  if (request.timeout_ms <= 0) return "a request needs a time limit above 0 ms";
  return "";
}

std::string http_first_line(std::string_view body) {
  constexpr size_t kMost = 256;
  const size_t end = body.find_first_of("\r\n");
  std::string_view line = body.substr(0, end);
  if (line.size() > kMost) {
    // Not in the middle of a UTF-8 sequence.
    size_t cut = kMost;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line = line.substr(0, cut);
  }
  std::string out(line);
  // A server's text goes to the console: no escape sequences reach it.
  for (char& c : out) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) c = '?';
  }
  return out;
}
