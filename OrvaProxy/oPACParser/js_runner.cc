#include "OrvaProxy/oPACParser/js_runner.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "OrvaProxy/oPACParser/js_engine.h"

namespace OVProxy {
namespace {

// Guards g_loaded_script. Taken three times per evaluation (load, run,
// unload), always while the class-wide mutex is held.
std::mutex cs_jsproxy;
// The engine form of the script being evaluated; null between evaluations.
std::unique_ptr<std::string> g_loaded_script;

void Unload() {
  std::lock_guard<std::mutex> lock(cs_jsproxy);
  g_loaded_script.reset();
}

}  // namespace

js_runner_t::js_runner_t(std::string script) : script_(std::move(script)) {}

js_runner_t::~js_runner_t() = default;

int32_t js_runner_t::run(const std::string& url, const std::string& host, std::string& result) {
  return run(url, host, result, nullptr);
}

int32_t js_runner_t::run(const std::string& url, const std::string& host, std::string& result,
                         js_failure_t* failure) {
  return evaluate(&url, &host, result, failure);
}

int32_t js_runner_t::check(js_failure_t* failure) {
  std::string unused;
  return evaluate(nullptr, nullptr, unused, failure);
}

int32_t js_runner_t::evaluate(const std::string* url, const std::string* host, std::string& result,
                              js_failure_t* failure) {
  js_failure_t ignored;
  js_failure_t& why = failure != nullptr ? *failure : ignored;
  if (script_.empty()) {
    why.stage = js_stage_t::load;
    why.message = "the script is empty";
    return kJsEmptyScript;
  }
  lock_t evaluation_lock;

  try {
    std::lock_guard<std::mutex> lock(cs_jsproxy);
    g_loaded_script.reset();
    g_loaded_script = std::make_unique<std::string>(js_engine_text(script_));
  } catch (const std::bad_alloc&) {
    Unload();
    why.stage = js_stage_t::load;
    why.message = "out of memory while loading the script";
    return kJsLoadFailed;
  }

  int32_t status = kJsEngineFailed;
  std::string answer;
  try {
    std::lock_guard<std::mutex> lock(cs_jsproxy);
    if (url == nullptr) {
      status = js_check_script(*g_loaded_script, why);
    } else {
      const std::string engine_url = js_engine_text(*url);
      const std::string engine_host = js_engine_text(*host);
      status = js_evaluate(*g_loaded_script, engine_url, engine_host, answer, why);
    }
  } catch (const std::bad_alloc&) {
    why.stage = js_stage_t::create;
    why.message = "out of memory while running the script";
    status = kJsEngineFailed;
  }
  Unload();

  if (status != kJsOk) return kJsEngineFailed;
  // Proxy answers are ASCII; anything else is no answer, as browsers take it.
  if (std::any_of(answer.begin(), answer.end(),
                  [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
    why.stage = js_stage_t::result;
    why.message = "FindProxyForURL returned text that is not ASCII";
    return kJsEngineFailed;
  }
  result = std::move(answer);
  return kJsOk;
}

}  // namespace OVProxy
