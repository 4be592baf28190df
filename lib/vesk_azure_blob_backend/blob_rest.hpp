#pragma once
// The pieces of the Azure Blob Storage REST protocol that need no network: connection strings,
// Shared Key signing, URL encoding, and reading the service's XML answers.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk::blob {

using HeaderList = std::vector<std::pair<std::string, std::string>>;
// Query parameters with their plain (not yet percent-encoded) values, in sending order.
using QueryList = std::vector<std::pair<std::string, std::string>>;

// The service version sent with every request: old enough for every service and emulator in
// use, new enough for all we ask.
inline constexpr std::string_view service_version = "2021-08-06";

// A connection string that cannot be used; the message names the part that is missing or wrong
// and never repeats a key or token.
class ConnectionStringError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Where and how to reach one storage account, as a connection string describes it.
struct ConnectionSettings {
  std::string account_name;
  std::string account_key;    // decoded bytes; empty when a SAS token is used instead
  std::string blob_endpoint;  // "scheme://host[:port][/path]", no trailing "/"
  std::string endpoint_path;  // the "/path" part of blob_endpoint, possibly empty
  std::string sas_token;      // without a leading "?"; empty when the key signs requests
  bool uses_shared_key() const { return !account_key.empty(); }
};

// Parses "Name=value;..." pairs (names compared without regard to case, each pair split at its
// first "="): the account-key form, BlobEndpoint, EndpointSuffix, DefaultEndpointsProtocol,
// SharedAccessSignature and UseDevelopmentStorage=true.
ConnectionSettings parse_connection_string(std::string_view text);

// Percent-encodes all but the unreserved characters; "/" is kept when `keep_slash`.
std::string percent_encode(std::string_view text, bool keep_slash);
// Decodes %XX escapes; a malformed escape is kept as it is.
std::string percent_decode(std::string_view text);

std::string base64_encode(std::string_view bytes);
// Standard base64 with padding; std::nullopt when `text` is not valid base64.
std::optional<std::string> base64_decode(std::string_view text);

std::string hmac_sha256(std::string_view key, std::string_view data);

// An RFC 1123 date in GMT ("Tue, 08 Dec 2026 07:38:23 GMT"), independent of the locale.
std::string rfc1123_date(std::int64_t unix_seconds);
std::string rfc1123_now();

// The Shared Key string to sign for one request. `headers` are those sent (names compared
// without regard to case); `path` is the URI path exactly as sent, percent-encoded.
std::string shared_key_string_to_sign(std::string_view method, const HeaderList& headers, std::size_t content_length,
                                      std::string_view account_name, std::string_view path, const QueryList& query);

// base64(HMAC-SHA256(key, string_to_sign)); `key` is the decoded account key.
std::string shared_key_signature(std::string_view key, std::string_view string_to_sign);

// "name=value&..." with names and values percent-encoded.
std::string encode_query(const QueryList& query);

// One page of a List Blobs answer.
struct BlobListPage {
  std::vector<std::string> names;
  std::string next_marker;  // empty on the last page
};

// Reads an EnumerationResults document; a document that is no such thing is an error.
BlobListPage parse_blob_list(std::string_view xml);

// The Code and Message of an <Error> body; either may be empty.
std::pair<std::string, std::string> parse_error_body(std::string_view xml);

}  // namespace vesk::blob
