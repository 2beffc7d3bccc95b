// The ovproxy tool's telemetry module: registered with the message-queue
// service under the telemetry module's identifier when the user passes
// `--telemetry FILE`, it writes every record the module reports as one JSON
// line:
//
//   {"kind":"latency","metric":23,"value":120,"label":"","process":3,
//    "fields":{"result_kind":2},"time_ms":1767225600000}
//   {"kind":"event","event":39,"fields":{"code":1,"value":0},"time_ms":...}
//
// "fields" holds the event record's fields by name; "time_ms" is the wall
// clock in milliseconds since 1970. Every sample is admitted and records of
// every kind are created.
//
// Thread-safety: reports may arrive from any thread; each line is written
// whole and flushed. A line that cannot be written (a full disk) is not
// retried: the module remembers why, writes nothing more, and the tool
// reports it when the command has finished.
// Lifetime: the module owns its stream; the registration unregisters it, and
// a report still holding the module finishes its line first.
#pragma once

#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "orvatelemetry/orva_telemetry_api.h"
#include "tavlib/tav_message_queue.h"

namespace ovproxy {

class TelemetryFileModule final : public Tav::ITavMessageQueueClient,
                                  public orvaus::iOrvaAPMAPI,
                                  public orvaus::iOrvatelemetryAPI {
 public:
  explicit TelemetryFileModule(std::shared_ptr<std::ostream> out);

  // Tav::ITavMessageQueueClient
  const char* GetModuleId() const override;
  void* QueryInterface(const char* name) override;

  // orvaus::iOrvaAPMAPI
  int32_t ShouldSample(const std::string& label, int64_t value) override;
  void AddLatencySample(const std::string& label, const orvaus::LatencySample& sample,
                        const orvaus::TelemetryFieldList& fields, int32_t processKind) override;
  void SubmitEvent(const orvaus::EventHeader& header,
                   const orvaus::TelemetryFieldList& fields) override;

  // orvaus::iOrvatelemetryAPI
  std::unique_ptr<orvaus::iOrvaTelemetryRecord> CreateRecord(int32_t kind) override;

  // Why a line could not be written; empty while every line was.
  std::string WriteError();

 private:
  void WriteLine(const std::string& line);

  std::mutex mutex_;
  std::shared_ptr<std::ostream> out_;
  std::string write_error_;  // guarded by mutex_
};

// The module registered for as long as this object lives.
class TelemetryFileRegistration {
  struct Key {
    explicit Key() = default;
  };

 public:
  // Opens `path` for appending and registers a module writing to it. Null,
  // with `error` set, when the file cannot be opened or another telemetry
  // module is registered already.
  static std::unique_ptr<TelemetryFileRegistration> Open(const std::string& path,
                                                         std::string* error);
  ~TelemetryFileRegistration();
  TelemetryFileRegistration(const TelemetryFileRegistration&) = delete;
  TelemetryFileRegistration& operator=(const TelemetryFileRegistration&) = delete;

  // Empty when every record so far reached the file; otherwise a message
  // naming the file and the reason.
  std::string WriteError();

  // Only Open makes one.
  TelemetryFileRegistration(Key /*key*/, std::string path,
                            std::shared_ptr<TelemetryFileModule> module)
      : path_(std::move(path)), module_(std::move(module)) {}

 private:
  const std::string path_;
  const std::shared_ptr<TelemetryFileModule> module_;
};

// The global option `--telemetry FILE` (or `--telemetry=FILE`) at
// argv[index], given before the subcommand's name. Returns how many
// arguments it used (0 when argv[index] is not this option), or -1 after
// writing why to `err` (no FILE, given twice, or the file cannot be opened).
int ConsumeTelemetryOption(int argc, char** argv, int index,
                           std::unique_ptr<TelemetryFileRegistration>& registration,
                           std::ostream& err);

}  // namespace ovproxy
