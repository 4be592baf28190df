#include "vesk/http/detail/curl_handles.hpp"

#include <mutex>
#include <string>

namespace vesk::http::detail {

void ensure_global_init() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
      throw HttpError(std::string("curl_global_init failed: ") + curl_easy_strerror(code));
    }
  });
}

void check(CURLcode code, const char* what) {
  if (code != CURLE_OK) throw HttpError(std::string(what) + " failed: " + curl_easy_strerror(code));
}

void check(CURLMcode code, const char* what) {
  if (code != CURLM_OK) throw HttpError(std::string(what) + " failed: " + curl_multi_strerror(code));
}

void check(CURLSHcode code, const char* what) {
  if (code != CURLSHE_OK) throw HttpError(std::string(what) + " failed: " + curl_share_strerror(code));
}

void append(SlistHandle& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) throw HttpError("curl_slist_append failed: out of memory");
  // curl_slist_append returns the same head once the list exists.
  if (!list) list.reset(grown);
}

}  // namespace vesk::http::detail
