// What fetching a PAC file costs, from a server on 127.0.0.1 serving the
// corporate PAC (bench/data/corporate.pac) with an ETag: a first download
// and a revalidation answered 304, through the transfer module alone and
// through the PAC downloader (module, posted outcome, kept body).
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "OrvaProxy/ov_pac_file_downloader.h"
#include "bench_data.h"
#include "onetxfer/curl_file_xfer_client.h"
#include "onetxfer/onet_module.h"
#include "orvatask/orva_task.h"
#include "orvatask/ovt_task_manager.h"
#include "tavbiz/experiment_mgr.h"

namespace {

class Server {
 public:
  Server() : pac_(ovbench::ReadBenchData("corporate.pac")) {
    server_.Get("/proxy.pac", [this](const httplib::Request& request, httplib::Response& response) {
      response.set_header("ETag", "\"bench-1\"");
      if (request.get_header_value("If-None-Match") == "\"bench-1\"") {
        response.status = 304;
        return;
      }
      response.set_content(pac_, "application/x-ns-proxy-autoconfig");
    });
    // Without it Nagle and delayed ACKs add tens of ms to the first body.
    server_.set_tcp_nodelay(true);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~Server() {
    server_.stop();
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/proxy.pac"; }

 private:
  const std::string pac_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

struct Done {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  int32_t code = -1;
  void Set(int32_t value) {
    std::lock_guard<std::mutex> lock(mutex);
    code = value;
    done = true;
    cv.notify_all();
  }
  int32_t Wait() {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] { return done; });
    return code;
  }
};

class Observer final : public oXfer::RepeatingCallBack {
 public:
  explicit Observer(Done* done) : done_(done) {}
  void OnComplete(const oXfer::RequestId&, int32_t code) override { done_->Set(code); }

 private:
  ~Observer() override = default;
  Done* done_;
};

// One transfer through the module; the 304 case sends the validator.
void BM_TransferModule(benchmark::State& state) {
  const bool revalidate = state.range(0) != 0;
  Server server;
  oXfer::CurlFileXferClient client;
  for (auto _ : state) {
    Done done;
    auto parameters = oXfer::MakeRef<oXfer::DownloadUrlParameters>(server.Url(), std::string());
    parameters->use_validators = revalidate;
    parameters->validator_1 = "\"bench-1\"";
    parameters->save_info->set_data_callback([](const char*, std::size_t, int64_t, bool) {});
    auto observer = oXfer::MakeRef<Observer>(&done);
    oXfer::RequestId id;
    client.StartDownload(parameters.get(), observer.get(), &id);
    const int32_t code = done.Wait();
    if (code != (revalidate ? oXfer::kResultNotModified : oXfer::kResultOk)) {
      state.SkipWithError("unexpected result");
      break;
    }
  }
}
BENCHMARK(BM_TransferModule)->ArgName("revalidate")->Arg(0)->Arg(1)->UseRealTime();

// The PAC downloader end to end: the first download of each round fetches
// the body, every later one of the same URL is a 304 handing back the kept
// body on the callback runner.
void BM_PacDownloader(benchmark::State& state) {
  const bool revalidate = state.range(0) != 0;
  if (ExperimentFramework::GetExperimentMgr() == nullptr ||
      !ExperimentFramework::GetExperimentMgr()->IsTestEnabled("UseFileXfer")) {
    state.SkipWithError("the experiment UseFileXfer is off");
    return;
  }
  Server server;
  oXfer::ScopedONetModule module;
  OrvaTask::OVTManager manager;
  OrvaTask::ScopedOVTManagerOverride installed(&manager);
  manager.CreateRunner("bench_owner", 61);
  std::unique_ptr<OVProxy::ovPACFileDownloader> downloader;
  const auto on_owner = [&manager](std::function<void()> work) {
    auto task = OrvaTask::CreateOrvaTask({.name = "bench"}, std::move(work));
    manager.PostTask("bench_owner", task);
    manager.WaitForTask(task);
  };
  on_owner([&] { downloader = std::make_unique<OVProxy::ovPACFileDownloader>(); });
  const auto fetch = [&]() {
    Done done;
    on_owner([&] {
      OVProxy::PacRequestId id;
      downloader->Download(
          id, server.Url(),
          [&done](const OVProxy::PacRequestId&, const std::string& content, bool success,
                  const std::string&) { done.Set(success && !content.empty() ? 1 : 0); },
          "bench_owner");
    });
    return done.Wait() == 1;
  };
  if (revalidate && !fetch()) state.SkipWithError("first download failed");
  for (auto _ : state) {
    if (!revalidate) {
      state.PauseTiming();
      on_owner([&] { downloader = std::make_unique<OVProxy::ovPACFileDownloader>(); });
      state.ResumeTiming();
    }
    if (!fetch()) {
      state.SkipWithError("download failed");
      break;
    }
  }
  on_owner([&] { downloader.reset(); });
}
BENCHMARK(BM_PacDownloader)->ArgName("revalidate")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
