#include "vesk/vesk_azure_blob_backend/blob_rest.hpp"

#include "vesk/http/http_client.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <map>

namespace vesk::blob {
namespace {

constexpr std::string_view dev_account = "devstoreaccount1";
constexpr std::string_view dev_key =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";
constexpr std::string_view dev_endpoint = "http://127.0.0.1:10000/devstoreaccount1";

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view text) {
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

bool starts_with_nocase(std::string_view text, std::string_view start) {
  return text.size() >= start.size() && lower(text.substr(0, start.size())) == start;
}

// Splits a validated endpoint URL into the URL without a trailing "/" and its path part.
void set_endpoint(ConnectionSettings& settings, std::string_view url, std::string_view what) {
  url = trim(url);
  std::size_t scheme_end = 0;
  if (starts_with_nocase(url, "https://")) {
    scheme_end = 8;
  } else if (starts_with_nocase(url, "http://")) {
    scheme_end = 7;
  } else {
    throw ConnectionStringError("connection string: " + std::string(what) + " '" + http::printable_url(url) +
                                "' is not an http:// or https:// URL");
  }
  if (url.find_first_of("?#") != std::string_view::npos) {
    throw ConnectionStringError("connection string: " + std::string(what) + " '" + http::printable_url(url) +
                                "' must not have a query or fragment");
  }
  while (url.size() > scheme_end && url.back() == '/') url.remove_suffix(1);
  const std::size_t path_start = url.find('/', scheme_end);
  if (url.size() == scheme_end || path_start == scheme_end) {
    throw ConnectionStringError("connection string: " + std::string(what) + " '" + http::printable_url(url) +
                                "' has no host");
  }
  settings.blob_endpoint = std::string(url);
  settings.endpoint_path = path_start == std::string_view::npos ? std::string() : std::string(url.substr(path_start));
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string openssl_error_text() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "unknown OpenSSL error";
  char buffer[256];
  ERR_error_string_n(code, buffer, sizeof buffer);
  return buffer;
}

pugi::xml_node child_path(pugi::xml_node node, std::initializer_list<const char*> names) {
  for (const char* name : names) node = node.child(name);
  return node;
}

}  // namespace

namespace {

using ConnectionParts = std::map<std::string, std::string>;  // lowercased name -> value

// The "Name=value" parts; a repeated name: the last wins.
ConnectionParts split_connection_string(std::string_view text) {
  ConnectionParts parts;
  std::size_t index = 0;
  std::size_t position = 0;
  while (index <= text.size()) {
    std::size_t end = text.find(';', index);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view part = trim(text.substr(index, end - index));
    index = end + 1;
    if (part.empty()) continue;
    ++position;
    const std::size_t equals = part.find('=');
    const std::string_view name = equals == std::string_view::npos ? std::string_view() : trim(part.substr(0, equals));
    if (name.empty()) {
      // The part itself is not shown: it may be a piece of a key.
      throw ConnectionStringError("connection string: part " + std::to_string(position) +
                                  " is not of the form Name=value");
    }
    parts[lower(name)] = std::string(trim(part.substr(equals + 1)));
  }
  if (position == 0) throw ConnectionStringError("connection string is empty");
  return parts;
}

const std::string* find_part(const ConnectionParts& parts, std::string_view name) {
  auto it = parts.find(std::string(name));
  return it == parts.end() ? nullptr : &it->second;
}

// The account key, or else the SAS token.
void set_credentials(ConnectionSettings& settings, const ConnectionParts& parts) {
  if (const auto* key = find_part(parts, "accountkey"); key && !key->empty()) {
    if (settings.account_name.empty()) {
      throw ConnectionStringError("connection string has an AccountKey but no AccountName");
    }
    auto decoded = base64_decode(*key);
    if (!decoded || decoded->empty()) throw ConnectionStringError("connection string: AccountKey is not valid base64");
    settings.account_key = std::move(*decoded);
  } else if (const auto* sas = find_part(parts, "sharedaccesssignature"); sas && !sas->empty()) {
    std::string_view token = *sas;
    if (token.front() == '?') token.remove_prefix(1);
    if (token.empty()) throw ConnectionStringError("connection string: SharedAccessSignature is empty");
    settings.sas_token = std::string(token);
  } else {
    throw ConnectionStringError("connection string has neither AccountKey nor SharedAccessSignature");
  }
}

}  // namespace

ConnectionSettings parse_connection_string(std::string_view text) {
  const ConnectionParts parts = split_connection_string(text);
  const auto find = [&parts](std::string_view name) { return find_part(parts, name); };

  ConnectionSettings settings;
  if (const auto* dev = find("usedevelopmentstorage")) {
    if (lower(*dev) != "true") {
      throw ConnectionStringError("connection string: UseDevelopmentStorage must be 'true', not '" + *dev + "'");
    }
    settings.account_name = dev_account;
    settings.account_key = *base64_decode(dev_key);
    set_endpoint(settings, dev_endpoint, "BlobEndpoint");
    return settings;
  }

  const std::string* account = find("accountname");
  if (account && !account->empty()) settings.account_name = *account;

  std::string protocol = "https";
  if (const auto* p = find("defaultendpointsprotocol")) {
    protocol = lower(*p);
    if (protocol != "http" && protocol != "https") {
      throw ConnectionStringError("connection string: DefaultEndpointsProtocol must be http or https, not '" + *p +
                                  "'");
    }
  }
  std::string suffix = "core.windows.net";
  if (const auto* s = find("endpointsuffix")) {
    if (s->empty()) throw ConnectionStringError("connection string: EndpointSuffix is empty");
    suffix = *s;
  }
  if (const auto* endpoint = find("blobendpoint"); endpoint && !endpoint->empty()) {
    set_endpoint(settings, *endpoint, "BlobEndpoint");
  } else if (!settings.account_name.empty()) {
    set_endpoint(settings, protocol + "://" + settings.account_name + ".blob." + suffix, "the blob endpoint");
  } else {
    throw ConnectionStringError("connection string has neither AccountName nor BlobEndpoint");
  }
  set_credentials(settings, parts);
  return settings;
}

std::string percent_encode(std::string_view text, bool keep_slash) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || (keep_slash && c == '/')) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 0xF]);
    }
  }
  return out;
}

std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string base64_encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  // EVP_DecodeBlock skips neither padding nor stray characters correctly, so check the form first.
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '=') {
      if (i + 2 < text.size()) return std::nullopt;
      ++padding;
    } else if (padding > 0 || !(std::isalnum(c) || c == '+' || c == '/')) {
      return std::nullopt;
    }
  }
  std::string out(3 * (text.size() / 4), '\0');
  const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  if (written < 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(written) - padding);
  return out;
}

std::string hmac_sha256(std::string_view key, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
            data.size(), digest, &length)) {
    throw std::runtime_error("HMAC-SHA256 failed: " + openssl_error_text());
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string rfc1123_date(std::int64_t unix_seconds) {
  static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday], tm.tm_mday,
                months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buffer;
}

std::string rfc1123_now() { return rfc1123_date(static_cast<std::int64_t>(std::time(nullptr))); }

std::string shared_key_string_to_sign(std::string_view method, const HeaderList& headers, std::size_t content_length,
                                      std::string_view account_name, std::string_view path, const QueryList& query) {
  const auto header = [&headers](std::string_view name) -> std::string {
    for (const auto& [n, v] : headers) {
      if (lower(n) == name) return std::string(trim(v));
    }
    return {};
  };
  std::map<std::string, std::string> ms_headers;
  for (const auto& [name, value] : headers) {
    std::string lname = lower(trim(name));
    if (lname.rfind("x-ms-", 0) != 0) continue;
    auto [it, fresh] = ms_headers.try_emplace(lname, trim(value));
    if (!fresh) it->second += "," + std::string(trim(value));
  }

  std::string out;
  out.append(method).push_back('\n');
  out.append(header("content-encoding")).push_back('\n');
  out.append(header("content-language")).push_back('\n');
  // A zero length is signed as an empty line: the service rejects a signed "0".
  if (content_length > 0) out.append(std::to_string(content_length));
  out.push_back('\n');
  out.append(header("content-md5")).push_back('\n');
  out.append(header("content-type")).push_back('\n');
  if (!ms_headers.count("x-ms-date")) out.append(header("date"));
  out.push_back('\n');
  for (const char* name : {"if-modified-since", "if-match", "if-none-match", "if-unmodified-since", "range"}) {
    out.append(header(name)).push_back('\n');
  }
  for (const auto& [name, value] : ms_headers) out.append(name).append(":").append(value).push_back('\n');
  out.append("/").append(account_name).append(path);

  std::map<std::string, std::vector<std::string>> params;
  for (const auto& [name, value] : query) params[lower(name)].push_back(value);
  for (auto& [name, values] : params) {
    std::sort(values.begin(), values.end());
    out.append("\n").append(name).append(":");
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i) out.push_back(',');
      out.append(values[i]);
    }
  }
  return out;
}

std::string shared_key_signature(std::string_view key, std::string_view string_to_sign) {
  return base64_encode(hmac_sha256(key, string_to_sign));
}

std::string encode_query(const QueryList& query) {
  std::string out;
  for (const auto& [name, value] : query) {
    if (!out.empty()) out.push_back('&');
    out.append(percent_encode(name, false)).append("=").append(percent_encode(value, false));
  }
  return out;
}

BlobListPage parse_blob_list(std::string_view xml) {
  pugi::xml_document doc;
  const auto parsed = doc.load_buffer(xml.data(), xml.size());
  if (!parsed) throw std::runtime_error(std::string("List Blobs answer is not valid XML: ") + parsed.description());
  const auto root = doc.child("EnumerationResults");
  if (!root) throw std::runtime_error("List Blobs answer has no EnumerationResults element");
  BlobListPage page;
  for (const auto blob : child_path(root, {"Blobs"}).children("Blob")) {
    const auto name = blob.child("Name");
    // Names with characters XML cannot carry come percent-encoded and marked so.
    if (std::string_view(name.attribute("Encoded").value()) == "true") {
      page.names.push_back(percent_decode(name.text().get()));
    } else {
      page.names.emplace_back(name.text().get());
    }
  }
  page.next_marker = root.child("NextMarker").text().get();
  return page;
}

std::pair<std::string, std::string> parse_error_body(std::string_view xml) {
  pugi::xml_document doc;
  if (xml.empty() || !doc.load_buffer(xml.data(), xml.size())) return {};
  const auto error = doc.child("Error");
  return {error.child("Code").text().get(), error.child("Message").text().get()};
}

}  // namespace vesk::blob
