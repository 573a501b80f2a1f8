#include "zantrel/host/http/internal/curl_handles.h"

#include "zantrel/host/result/errors.h"

namespace zantrel::host::internal {

EasyHandle make_easy() {
  EasyHandle easy(curl_easy_init());
  if (!easy) throw ConnectionError("libcurl could not make a handle");
  return easy;
}

MultiHandle make_multi() {
  MultiHandle multi(curl_multi_init());
  if (!multi) throw ConnectionError("libcurl could not make a handle");
  return multi;
}

}  // namespace zantrel::host::internal
