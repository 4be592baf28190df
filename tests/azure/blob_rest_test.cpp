#include "vesk/vesk_azure_blob_backend/blob_rest.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace vesk::blob;

namespace {

constexpr const char* dev_key_b64 =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

std::string parse_error(const std::string& text) {
  try {
    parse_connection_string(text);
  } catch (const ConnectionStringError& e) {
    return e.what();
  }
  return "(parsed)";
}

TEST(ConnectionString, AccountKeyFormBuildsTheEndpointFromProtocolNameAndSuffix) {
  // The key contains "=": each pair splits at its first one only.
  auto s = parse_connection_string(std::string("DefaultEndpointsProtocol=http;AccountName=acct;AccountKey=") +
                                   dev_key_b64 + ";EndpointSuffix=core.example.net;");
  EXPECT_EQ(s.account_name, "acct");
  EXPECT_EQ(s.blob_endpoint, "http://acct.blob.core.example.net");
  EXPECT_EQ(s.endpoint_path, "");
  EXPECT_EQ(base64_encode(s.account_key), dev_key_b64);
  EXPECT_TRUE(s.uses_shared_key());

  auto d = parse_connection_string(std::string("accountname=acct; accountkey=") + dev_key_b64);
  EXPECT_EQ(d.blob_endpoint, "https://acct.blob.core.windows.net");
}

TEST(ConnectionString, BlobEndpointIsUsedAsGivenWithItsPath) {
  auto s = parse_connection_string(std::string("AccountName=devstoreaccount1;AccountKey=") + dev_key_b64 +
                                   ";BlobEndpoint=http://127.0.0.1:41234/devstoreaccount1/;QueueEndpoint=http://x");
  EXPECT_EQ(s.blob_endpoint, "http://127.0.0.1:41234/devstoreaccount1");
  EXPECT_EQ(s.endpoint_path, "/devstoreaccount1");
}

TEST(ConnectionString, DevelopmentStorageExpandsToTheEmulatorAccount) {
  auto s = parse_connection_string("UseDevelopmentStorage=true");
  EXPECT_EQ(s.account_name, "devstoreaccount1");
  EXPECT_EQ(s.blob_endpoint, "http://127.0.0.1:10000/devstoreaccount1");
  EXPECT_EQ(s.endpoint_path, "/devstoreaccount1");
  EXPECT_EQ(base64_encode(s.account_key), dev_key_b64);
}

TEST(ConnectionString, SharedAccessSignatureReplacesTheKey) {
  auto s = parse_connection_string(
      "BlobEndpoint=https://acct.blob.core.windows.net;SharedAccessSignature=?sv=2021-08-06&sig=ab%2Bc=");
  EXPECT_FALSE(s.uses_shared_key());
  EXPECT_EQ(s.sas_token, "sv=2021-08-06&sig=ab%2Bc=");
}

TEST(ConnectionString, UnusableStringsNameWhatIsWrongWithoutShowingSecrets) {
  EXPECT_EQ(parse_error(""), "connection string is empty");
  EXPECT_EQ(parse_error(" ; ;"), "connection string is empty");
  EXPECT_EQ(parse_error("AccountName=a;secretstuff"), "connection string: part 2 is not of the form Name=value");
  EXPECT_EQ(parse_error("AccountKey=abcd"), "connection string has neither AccountName nor BlobEndpoint");
  EXPECT_EQ(parse_error("AccountName=a"), "connection string has neither AccountKey nor SharedAccessSignature");
  EXPECT_EQ(parse_error("BlobEndpoint=http://h;AccountKey=abcd"),
            "connection string has an AccountKey but no AccountName");
  EXPECT_EQ(parse_error("AccountName=a;AccountKey=not*base64"), "connection string: AccountKey is not valid base64");
  EXPECT_EQ(parse_error("AccountName=a;AccountKey=abcd;DefaultEndpointsProtocol=ftp"),
            "connection string: DefaultEndpointsProtocol must be http or https, not 'ftp'");
  EXPECT_EQ(parse_error("AccountName=a;AccountKey=abcd;BlobEndpoint=127.0.0.1:10000"),
            "connection string: BlobEndpoint '127.0.0.1:10000' is not an http:// or https:// URL");
  EXPECT_EQ(parse_error("AccountName=a;AccountKey=abcd;BlobEndpoint=http:///x"),
            "connection string: BlobEndpoint 'http:///x' has no host");
  EXPECT_EQ(parse_error("UseDevelopmentStorage=yes"),
            "connection string: UseDevelopmentStorage must be 'true', not 'yes'");
}

TEST(Base64, RoundTripsAndRejectsMalformedText) {
  for (std::string bytes :
       {std::string(), std::string("f"), std::string("fo"), std::string("foo"), std::string("\0\xff\x10", 3)}) {
    auto decoded = base64_decode(base64_encode(bytes));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, bytes);
  }
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
  EXPECT_FALSE(base64_decode("Zm8"));
  EXPECT_FALSE(base64_decode("Z=m8"));
  EXPECT_FALSE(base64_decode("Zm8!"));
}

TEST(PercentEncoding, KeepsUnreservedCharactersAndOptionallySlashes) {
  EXPECT_EQ(percent_encode("states/p-3.state.pkl", true), "states/p-3.state.pkl");
  EXPECT_EQ(percent_encode("a b+c%/é?#", true), "a%20b%2Bc%25/%C3%A9%3F%23");
  EXPECT_EQ(percent_encode("a/b~_", false), "a%2Fb~_");
  EXPECT_EQ(percent_decode("a%20b%2Bc%25/%C3%A9%zz%4"), "a b+c%/é%zz%4");
  EXPECT_EQ(encode_query({{"prefix", "a/"}, {"marker", "2!8!a b"}}), "prefix=a%2F&marker=2%218%21a%20b");
}

TEST(Rfc1123, FormatsGmtWithEnglishNames) {
  EXPECT_EQ(rfc1123_date(1796715503), "Tue, 08 Dec 2026 07:38:23 GMT");
  EXPECT_EQ(rfc1123_date(0), "Thu, 01 Jan 1970 00:00:00 GMT");
}

// Expected signatures computed independently with Python's hmac and base64 modules.
TEST(SharedKey, ListRequestSignsSortedHeadersAndDecodedQueryValues) {
  const HeaderList headers{{"x-ms-version", "2021-08-06"}, {"X-MS-Date", " Tue, 08 Dec 2026 07:38:23 GMT "}};
  const QueryList query{{"restype", "container"}, {"comp", "list"}, {"prefix", "a/"}, {"marker", "2!8!a b"}};
  const std::string to_sign = shared_key_string_to_sign("GET", headers, 0, "devstoreaccount1", "/devstoreaccount1/c",
                                                        query);
  EXPECT_EQ(to_sign,
            "GET\n\n\n\n\n\n\n\n\n\n\n\n"
            "x-ms-date:Tue, 08 Dec 2026 07:38:23 GMT\nx-ms-version:2021-08-06\n"
            "/devstoreaccount1/devstoreaccount1/c\ncomp:list\nmarker:2!8!a b\nprefix:a/\nrestype:container");
  EXPECT_EQ(shared_key_signature(*base64_decode(dev_key_b64), to_sign), "31B/aeA/j5S6XYzQs1AN+aZIrlbDeyrsQPWLJ2owsnU=");
}

TEST(SharedKey, UploadSignsLengthAndContentTypeAndIgnoresDateWhenMsDateIsSent) {
  const HeaderList headers{{"Content-Type", "application/octet-stream"},
                           {"x-ms-blob-type", "BlockBlob"},
                           {"Date", "ignored"},
                           {"x-ms-date", "Tue, 08 Dec 2026 07:38:23 GMT"},
                           {"x-ms-version", "2021-08-06"}};
  const std::string to_sign = shared_key_string_to_sign("PUT", headers, 5, "devstoreaccount1",
                                                        "/devstoreaccount1/c/states/p%203.state.pkl", {});
  EXPECT_EQ(to_sign,
            "PUT\n\n\n5\n\napplication/octet-stream\n\n\n\n\n\n\n"
            "x-ms-blob-type:BlockBlob\nx-ms-date:Tue, 08 Dec 2026 07:38:23 GMT\nx-ms-version:2021-08-06\n"
            "/devstoreaccount1/devstoreaccount1/c/states/p%203.state.pkl");
  EXPECT_EQ(shared_key_signature(*base64_decode(dev_key_b64), to_sign), "Evsi6ZL+sUZLa6fZyxlpUxMtzGB7o7oPhT6MSdIT+CM=");
}

TEST(ListBlobsXml, ReadsNamesEscapedAndEncodedAndTheNextMarker) {
  const std::string xml =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>"
      "<EnumerationResults ServiceEndpoint=\"http://x/\" "
      "ContainerName=\"c\"><Prefix>s/</Prefix><MaxResults>2</MaxResults>"
      "<Blobs><Blob><Name>s/a&amp;b.pkl</Name><Properties><Content-Length>3</Content-Length></Properties></Blob>"
      "<Blob><Name Encoded=\"true\">s/%01x</Name></Blob></Blobs>"
      "<NextMarker>2!72!MDAwMDE0IXMvYw--</NextMarker></EnumerationResults>";
  auto page = parse_blob_list(xml);
  EXPECT_EQ(page.names, (std::vector<std::string>{"s/a&b.pkl", "s/\x01x"}));
  EXPECT_EQ(page.next_marker, "2!72!MDAwMDE0IXMvYw--");

  auto last = parse_blob_list("<EnumerationResults><Blobs/><NextMarker/></EnumerationResults>");
  EXPECT_TRUE(last.names.empty());
  EXPECT_TRUE(last.next_marker.empty());

  EXPECT_THROW(parse_blob_list("<Error><Code>X</Code></Error>"), std::runtime_error);
  EXPECT_THROW(parse_blob_list("not xml <"), std::runtime_error);
}

TEST(ErrorXml, ReadsCodeAndMessageAndToleratesNoBody) {
  auto [code, message] = parse_error_body(
      "<?xml version=\"1.0\"?><Error><Code>ContainerNotFound</Code><Message>The specified container does not "
      "exist.\nRequestId:1</Message></Error>");
  EXPECT_EQ(code, "ContainerNotFound");
  EXPECT_EQ(message, "The specified container does not exist.\nRequestId:1");
  EXPECT_EQ(parse_error_body(""), (std::pair<std::string, std::string>{}));
}

}  // namespace
