// The file-transfer module's interfaces, as it answers them through the
// message-queue service (tavlib/tav_message_queue.h).
//
// The module registers under kONetModuleId and answers kONetApiName
// (IONetAPI: whether the network side is ready) and kFileXferClientName
// (IFileXferClient: downloads). The pointers it answers are of exactly these
// types, cast to void*; they are valid while the caller holds the module.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <cstdint>

#include "onetxfer/oxfer_types.h"

namespace orvaus {

inline constexpr const char* kONetModuleId = "com.orva.module.oNet";
inline constexpr const char* kONetApiName = "orvaus.class.IONetAPI";
inline constexpr const char* kFileXferClientName = "orvaus.class.IFileXferClient";

class IONetAPI {
 public:
  virtual ~IONetAPI() = default;
  // Non-zero once downloads can be started.
  virtual int32_t IsNetworkReady() = 0;
};

class IFileXferClient {
 public:
  virtual ~IFileXferClient() = default;

  // Starts a download. True: the module took references to `parameters` and
  // `observer`, wrote the request id before returning, and will call the
  // observer's OnComplete exactly once, on its own thread, never inside this
  // call. False: nothing was kept and the observer will never be called.
  virtual bool StartDownload(oXfer::DownloadUrlParameters* parameters,
                             oXfer::RepeatingCallBack* observer, oXfer::RequestId* requestId) = 0;
  // Ends a download early: it completes with kResultCancelled unless it
  // finished first. Unknown ids are ignored.
  virtual void CancelDownload(const oXfer::RequestId& requestId) = 0;
};

}  // namespace orvaus
