#pragma once
// Owning handles for libcurl's C objects (one unique_ptr type per kind of handle), and the one
// place that turns libcurl's error codes into HttpError with libcurl's own message.

#include "vesk/http/http_client.hpp"

#include <curl/curl.h>

#include <memory>
#include <string>

namespace vesk::http::detail {

struct EasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
  void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
struct ShareDeleter {
  void operator()(CURLSH* handle) const noexcept { curl_share_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
struct UrlDeleter {
  void operator()(CURLU* handle) const noexcept { curl_url_cleanup(handle); }
};

using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using ShareHandle = std::unique_ptr<CURLSH, ShareDeleter>;
using SlistHandle = std::unique_ptr<curl_slist, SlistDeleter>;
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

// curl_global_init, once per process, before the first handle.
void ensure_global_init();

void check(CURLcode code, const char* what);
void check(CURLMcode code, const char* what);
void check(CURLSHcode code, const char* what);

// Appends one line to a header list; the list stays valid when the append fails.
void append(SlistHandle& list, const std::string& line);

}  // namespace vesk::http::detail
