// `ovproxy sync dump [--json]`: joins the data-sync bus of this user, takes
// a snapshot from a live peer and prints what the other processes share:
// the configuration (its text form, PAC URL and PAC size), the PAC SOCKS
// flag, the host-cache flag and the cached hosts with their answers. With no
// peer it says so and succeeds. It never sends anything of its own.
#include <json/json.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>

#include "OrvaProxy/ov_proxy_info_mode_impl.h"
#include "nsdal/ipc_helper.h"
#include "ovproxy_command.h"

namespace ovproxy {
namespace {

using OVProxy::ovDalReceivedState;

constexpr auto kJoinWait = std::chrono::seconds(5);

const char* YesNo(bool value) {
  return value ? "yes" : "no";
}

void PrintText(const ovDalReceivedState& state, std::ostream& out) {
  if (state.config) {
    out << "configuration: " << state.config->toString() << "\n"
        << "  pac url: " << state.config->getPacUrl() << "\n"
        << "  pac size: " << state.config->getPacContent().size() << " bytes\n";
  } else {
    out << "configuration: not shared\n";
  }
  out << "pac socks: " << (state.pac_socks ? YesNo(*state.pac_socks) : "not shared") << "\n";
  out << "host cache enabled: "
      << (state.host_cache_enabled ? YesNo(*state.host_cache_enabled) : "not shared") << "\n";
  if (!state.host_cache) {
    out << "cached hosts: not shared\n";
    return;
  }
  out << "cached hosts: " << state.host_cache->size() << "\n";
  for (const auto& [host, answer] : *state.host_cache) {
    out << "  " << host << " -> " << answer.ToPacString() << "\n";
  }
}

void PrintJson(const ovDalReceivedState& state, std::ostream& out) {
  Json::Value root(Json::objectValue);
  root["peer"] = true;
  if (state.config) {
    Json::Value config(Json::objectValue);
    config["text"] = state.config->toString();
    config["pac_url"] = state.config->getPacUrl();
    config["pac_size"] = static_cast<Json::UInt64>(state.config->getPacContent().size());
    root["config"] = config;
  } else {
    root["config"] = Json::Value();
  }
  root["pac_socks"] = state.pac_socks ? Json::Value(*state.pac_socks) : Json::Value();
  root["host_cache_enabled"] =
      state.host_cache_enabled ? Json::Value(*state.host_cache_enabled) : Json::Value();
  Json::Value hosts(Json::arrayValue);
  if (state.host_cache) {
    for (const auto& [host, answer] : *state.host_cache) {
      Json::Value entry(Json::objectValue);
      entry["host"] = host;
      entry["answer"] = answer.ToPacString();
      hosts.append(entry);
    }
  }
  root["hosts"] = hosts;
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  out << Json::writeString(writer, root) << "\n";
}

}  // namespace

void PrintSyncUsage(std::ostream& out) {
  out << "usage: ovproxy sync dump [--json]\n"
         "  Joins this user's data-sync bus, takes a snapshot from a live process\n"
         "  and prints the proxy configuration, PAC SOCKS flag, host-cache flag and\n"
         "  cached hosts the client's processes share. Exits 0 also when no other\n"
         "  process is running.\n";
}

int RunSyncCommand(CommandContext& context) {
  bool json = false;
  bool dump = false;
  for (const std::string& arg : context.args) {
    if (arg == "dump" && !dump) {
      dump = true;
    } else if (arg == "--json") {
      json = true;
    } else {
      context.err << "ovproxy sync: unexpected argument '" << arg << "'\n";
      PrintSyncUsage(context.err);
      return kExitUsage;
    }
  }
  if (!dump) {
    PrintSyncUsage(context.err);
    return kExitUsage;
  }

  OVProxy::ovProxyInfoModeImpl* mode = OVProxy::ovProxyInfoModeImpl::GetInstance();
  // The first GetInstance already asked; a process that had joined before
  // asks again for the state as it is now.
  if (ns_dal::IPCHelper::GetJoinState(OVProxy::kProxyInfoModeId) != ns_dal::JoinState::kPending) {
    ns_dal::IPCHelper::RequestSnapshot(OVProxy::kProxyInfoModeId);
  }
  const ns_dal::JoinState joined =
      ns_dal::IPCHelper::WaitForJoin(OVProxy::kProxyInfoModeId, kJoinWait);
  if (joined != ns_dal::JoinState::kApplied) {
    if (json) {
      context.out << "{\n  \"peer\" : false\n}\n";
    } else {
      context.out << "no other process shares proxy data on this bus\n";
    }
    return kExitOk;
  }
  const ovDalReceivedState state = mode->getDalMode()->received();
  if (json) {
    PrintJson(state, context.out);
  } else {
    PrintText(state, context.out);
  }
  return kExitOk;
}

}  // namespace ovproxy
