#include "ovproxy_telemetry_file_module.h"

#include <json/json.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <ostream>
#include <string_view>

#include "orvatelemetry/orva_telemetry_record.h"
#include "tavlib/tav_clock.h"

namespace ovproxy {
namespace {

constexpr std::string_view kOption = "--telemetry";

Json::Value FieldsObject(const orvaus::TelemetryFieldList& fields) {
  Json::Value object(Json::objectValue);
  for (const orvaus::TelemetryField& field : fields) {
    object[field.name] = Json::Int64(field.value);
  }
  return object;
}

Json::Int64 NowMs() {
  return Tav::SystemTimeNow100ns() / 10'000;
}

std::string OneLine(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

}  // namespace

TelemetryFileModule::TelemetryFileModule(std::shared_ptr<std::ostream> out)
    : out_(std::move(out)) {}

const char* TelemetryFileModule::GetModuleId() const {
  return orvaus::kTelemetryModuleId;
}

void* TelemetryFileModule::QueryInterface(const char* name) {
  if (name == nullptr) return nullptr;
  if (std::strcmp(name, orvaus::kAPMInterfaceName) == 0) {
    return static_cast<orvaus::iOrvaAPMAPI*>(this);
  }
  if (std::strcmp(name, orvaus::kTelemetryInterfaceName) == 0) {
    return static_cast<orvaus::iOrvatelemetryAPI*>(this);
  }
  return nullptr;
}

int32_t TelemetryFileModule::ShouldSample(const std::string& /*label*/, int64_t /*value*/) {
  return 1;
}

void TelemetryFileModule::AddLatencySample(const std::string& label,
                                           const orvaus::LatencySample& sample,
                                           const orvaus::TelemetryFieldList& fields,
                                           int32_t processKind) {
  Json::Value line(Json::objectValue);
  line["kind"] = "latency";
  line["metric"] = sample.metric_id;
  line["value"] = Json::Int64(sample.value_ms);
  line["label"] = label;
  line["process"] = processKind;
  line["fields"] = FieldsObject(fields);
  line["time_ms"] = NowMs();
  WriteLine(OneLine(line));
}

void TelemetryFileModule::SubmitEvent(const orvaus::EventHeader& header,
                                      const orvaus::TelemetryFieldList& fields) {
  Json::Value line(Json::objectValue);
  line["kind"] = "event";
  line["event"] = header.event_id;
  line["fields"] = FieldsObject(fields);
  line["time_ms"] = NowMs();
  WriteLine(OneLine(line));
}

std::unique_ptr<orvaus::iOrvaTelemetryRecord> TelemetryFileModule::CreateRecord(int32_t kind) {
  return std::make_unique<orvaus::FieldRecord>(kind);
}

void TelemetryFileModule::WriteLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!write_error_.empty()) return;
  errno = 0;
  *out_ << line << '\n';
  out_->flush();
  if (!*out_) write_error_ = errno != 0 ? std::strerror(errno) : "write failed";
}

std::string TelemetryFileModule::WriteError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return write_error_;
}

std::unique_ptr<TelemetryFileRegistration> TelemetryFileRegistration::Open(const std::string& path,
                                                                           std::string* error) {
  auto file = std::make_shared<std::ofstream>(path, std::ios::out | std::ios::app);
  if (!*file) {
    *error = "cannot open '" + path + "' for writing: " + std::strerror(errno);
    return nullptr;
  }
  auto module = std::make_shared<TelemetryFileModule>(file);
  if (!TavMQ_GetService()->RegisterModule(module)) {
    *error = "another telemetry module is registered already";
    return nullptr;
  }
  return std::make_unique<TelemetryFileRegistration>(Key{}, path, std::move(module));
}

std::string TelemetryFileRegistration::WriteError() {
  const std::string reason = module_->WriteError();
  return reason.empty() ? reason : "cannot write '" + path_ + "': " + reason;
}

TelemetryFileRegistration::~TelemetryFileRegistration() {
  TavMQ_GetService()->UnregisterModule(orvaus::kTelemetryModuleId);
}

int ConsumeTelemetryOption(int argc, char** argv, int index,
                           std::unique_ptr<TelemetryFileRegistration>& registration,
                           std::ostream& err) {
  if (index >= argc) return 0;
  const std::string_view arg = argv[index];
  std::string path;
  int used = 0;
  if (arg == kOption) {
    if (index + 1 >= argc || std::string_view(argv[index + 1]).empty()) {
      err << "ovproxy: --telemetry needs a FILE\n";
      return -1;
    }
    path = argv[index + 1];
    used = 2;
  } else if (arg.starts_with(kOption) && arg.size() > kOption.size() &&
             arg[kOption.size()] == '=') {
    path = arg.substr(kOption.size() + 1);
    used = 1;
    if (path.empty()) {
      err << "ovproxy: --telemetry needs a FILE\n";
      return -1;
    }
  } else {
    return 0;
  }
  if (registration) {
    err << "ovproxy: --telemetry given twice\n";
    return -1;
  }
  std::string error;
  registration = TelemetryFileRegistration::Open(path, &error);
  if (!registration) {
    err << "ovproxy: --telemetry: " << error << "\n";
    return -1;
  }
  return used;
}

}  // namespace ovproxy
