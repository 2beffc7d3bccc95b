#include "nsdal/pipe_dal_bus.h"

// clang-format off
#include <windows.h>
#include <sddl.h>
// clang-format on

#include <atomic>
#include <cstring>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "nsdal/dal_log.h"
#include "platform/os/ov_os.h"

namespace ns_dal {
namespace {

constexpr DWORD kChunk = 64 * 1024;
// Listening instances kept ready, so a burst of joiners finds one free.
constexpr int kListeningInstances = 4;
constexpr DWORD kBusyWaitMs = 100;
constexpr char kNameSuffix[] = ".pipe";
constexpr ULONG_PTR kWakeKey = 0;

std::atomic<uint32_t> g_pipe_serial{0};

std::string ErrorText(const char* what, DWORD error) {
  return std::string(what) + ": error " + std::to_string(error);
}

std::wstring Wide(const std::string& text) {
  return ovplatform::Utf8ToWide(text).value_or(std::wstring());
}

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// The user of this process: its SID, as bytes and as text.
struct UserSid {
  std::vector<BYTE> bytes;
  std::string text;
  PSID sid() const { return const_cast<BYTE*>(bytes.data()); }
};

std::optional<std::vector<BYTE>> TokenUserOf(HANDLE process) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return std::nullopt;
  UniqueHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return std::nullopt;
  std::vector<BYTE> info(size);
  if (!GetTokenInformation(token.get(), TokenUser, info.data(), size, &size)) return std::nullopt;
  const PSID sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
  if (!IsValidSid(sid)) return std::nullopt;
  const BYTE* first = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(first, first + GetLengthSid(sid));
}

const std::optional<UserSid>& OwnUser() {
  static const std::optional<UserSid> user = []() -> std::optional<UserSid> {
    auto bytes = TokenUserOf(GetCurrentProcess());
    if (!bytes) return std::nullopt;
    UserSid own{std::move(*bytes), {}};
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(own.sid(), &text)) return std::nullopt;
    own.text = ovplatform::WideToUtf8(text).value_or(std::string());
    LocalFree(text);
    if (own.text.empty()) return std::nullopt;
    return own;
  }();
  return user;
}

// Whether process `pid` runs as this process's user; `who` says whose it was.
bool ProcessIsOurs(DWORD pid, std::string* who) {
  *who = "pid=" + std::to_string(pid);
  const auto& own = OwnUser();
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!own || process == nullptr) {
    *who += ", user unknown";
    return false;
  }
  auto user = TokenUserOf(process.get());
  if (!user) {
    *who += ", user unknown";
    return false;
  }
  if (EqualSid(user->data(), own->sid())) return true;
  LPWSTR text = nullptr;
  if (ConvertSidToStringSidW(user->data(), &text)) {
    *who += ", user=" + ovplatform::WideToUtf8(text).value_or("?");
    LocalFree(text);
  }
  return false;
}

// A security descriptor whose DACL grants the current user alone.
struct UserOnlyDescriptor {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_ATTRIBUTES attributes{};
  explicit UserOnlyDescriptor(const std::string& sid) {
    const std::wstring text = L"D:P(A;;GA;;;" + Wide(sid) + L")";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
      descriptor = nullptr;
    }
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
  }
  ~UserOnlyDescriptor() {
    if (descriptor != nullptr) LocalFree(descriptor);
  }
  UserOnlyDescriptor(const UserOnlyDescriptor&) = delete;
  UserOnlyDescriptor& operator=(const UserOnlyDescriptor&) = delete;
  bool valid() const { return descriptor != nullptr; }
};

HANDLE CreateListeningPipe(const std::wstring& path, const UserOnlyDescriptor& security,
                           bool first) {
  // Duplex although only the client writes: a client may then peek, which
  // is how it sees that the listener went away.
  DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
  if (first) open_mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
  return CreateNamedPipeW(
      path.c_str(), open_mode,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kChunk, kChunk, 0,
      const_cast<SECURITY_ATTRIBUTES*>(&security.attributes));
}

// A connection to a peer's pipe: an overlapped client handle with at most
// one write in flight.
class PipeLink final : public DalLink {
 public:
  explicit PipeLink(HANDLE pipe) : pipe_(pipe) {
    overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~PipeLink() override {
    if (pending_) {
      // The system may still write from our buffer: wait until it let go.
      CancelIoEx(pipe_.get(), &overlapped_);
      DWORD ignored = 0;
      GetOverlappedResult(pipe_.get(), &overlapped_, &ignored, TRUE);
    }
    if (overlapped_.hEvent != nullptr) CloseHandle(overlapped_.hEvent);
  }

  Write Send(const char* data, std::size_t size, std::size_t* written,
             std::string* error) override {
    if (overlapped_.hEvent == nullptr) {
      *error = "no event";
      return Write::kBroken;
    }
    DWORD done = 0;
    if (pending_) {
      if (!GetOverlappedResult(pipe_.get(), &overlapped_, &done, FALSE)) {
        const DWORD code = GetLastError();
        if (code == ERROR_IO_INCOMPLETE) return Write::kWouldBlock;
        pending_ = false;
        *error = ErrorText("WriteFile", code);
        return Write::kBroken;
      }
      pending_ = false;
      *written = done;
      return done > 0 ? Write::kProgress : Write::kWouldBlock;
    }
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, kChunk));
    buffer_.assign(data, data + chunk);
    ResetEvent(overlapped_.hEvent);
    if (WriteFile(pipe_.get(), buffer_.data(), chunk, nullptr, &overlapped_)) {
      GetOverlappedResult(pipe_.get(), &overlapped_, &done, FALSE);
      *written = done;
      return done > 0 ? Write::kProgress : Write::kWouldBlock;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_IO_PENDING) {
      pending_ = true;
      return Write::kWouldBlock;
    }
    *error = ErrorText("WriteFile", code);
    return Write::kBroken;
  }

  bool PeerClosed() override {
    DWORD available = 0;
    if (PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr)) return false;
    const DWORD code = GetLastError();
    return code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED || code == ERROR_NO_DATA;
  }

 private:
  UniqueHandle pipe_;
  OVERLAPPED overlapped_{};
  std::vector<char> buffer_;
  bool pending_ = false;
};

class PipeTransport final : public IDalStreamTransport {
 public:
  // One pipe instance of ours: listening, or connected and reading.
  struct Instance {
    UniqueHandle pipe;
    OVERLAPPED overlapped{};
    bool listening = true;
    bool in_flight = false;  // an operation the system has not completed
    bool closing = false;    // gone for us; freed when its operation ends
    std::vector<char> buffer;
  };

  PipeTransport(std::string directory, std::string name, HANDLE first, HANDLE rendezvous,
                HANDLE port)
      : directory_(std::move(directory)),
        own_name_(std::move(name)),
        own_path_(Wide(PipeDalBus::PipePath(own_name_))),
        security_(OwnUser()->text),
        first_(first),
        rendezvous_(rendezvous),
        port_(port) {}

  ~PipeTransport() override { Withdraw(); }

  const char* log_name() const override { return "PipeDalBus"; }
  const std::string& own_name() const override { return own_name_; }

  bool IsPeerName(const std::string& name) const override {
    return IsPeerNameOfForm(name, kNameSuffix);
  }

  std::vector<std::string> ListNames() override {
    return ovplatform::GetOs().ListDirectory(directory_);
  }

  Connect ConnectTo(const std::string& name, std::unique_ptr<DalLink>* link,
                    std::string* detail) override {
    const std::wstring path = Wide(PipeDalBus::PipePath(name));
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 2; ++attempt) {
      pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                         nullptr);
      if (pipe != INVALID_HANDLE_VALUE) break;
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND) return Connect::kDead;
      if (code != ERROR_PIPE_BUSY) return Connect::kFailed;
      if (attempt == 1 || !WaitNamedPipeW(path.c_str(), kBusyWaitMs)) {
        return Connect::kNotAccepting;
      }
    }
    UniqueHandle owned(pipe);
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server)) {
      *detail = ErrorText("GetNamedPipeServerProcessId", GetLastError());
      return Connect::kForeign;
    }
    if (!ProcessIsOurs(server, detail)) return Connect::kForeign;
    *link = std::make_unique<PipeLink>(owned.release());
    return Connect::kConnected;
  }

  bool RemoveDeadName(const std::string& name) override {
    // Fails while the process lives: it holds the file without sharing.
    return DeleteFileW(Wide(directory_ + "\\" + name).c_str()) != 0;
  }

  void Receive(IDalReceiveHandler& handler, const std::atomic<bool>& stopping) override {
    for (int i = 0; i < kListeningInstances; ++i) {
      HANDLE pipe = i == 0 ? first_.release() : CreateListeningPipe(own_path_, security_, false);
      if (pipe != INVALID_HANDLE_VALUE) Listen(pipe);
    }
    std::vector<IDalReceiveHandler::ConnectionId> expired;
    while (!stopping.load(std::memory_order_acquire)) {
      expired.clear();
      const int timeout_ms = handler.Expire(&expired);
      for (auto id : expired) Close(id);
      DWORD bytes = 0;
      ULONG_PTR key = kWakeKey;
      OVERLAPPED* overlapped = nullptr;
      const BOOL ok =
          GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped,
                                    timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
      if (overlapped == nullptr) continue;  // woken, or the time-out
      auto found = instances_.find(key);
      if (found == instances_.end()) continue;
      Instance& instance = *found->second;
      instance.in_flight = false;
      if (instance.closing) {
        instances_.erase(found);
        continue;
      }
      const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
      if (instance.listening) {
        OnConnected(handler, key, instance, code);
      } else if (code != ERROR_SUCCESS) {
        handler.OnEnded(key);
        Close(key);
      } else if (bytes == 0) {
        Read(handler, key, instance);  // an empty write of the client
      } else if (!handler.OnBytes(key, instance.buffer.data(), bytes)) {
        Close(key);
      } else {
        Read(handler, key, instance);
      }
    }
    Shutdown();
  }

  void Wake() override { PostQueuedCompletionStatus(port_.get(), 0, kWakeKey, nullptr); }

  void Withdraw() override { rendezvous_.reset(); }

 private:
  // Starts waiting for a client on a new listening instance.
  void Listen(HANDLE pipe) {
    const auto id = next_id_++;
    if (CreateIoCompletionPort(pipe, port_.get(), id, 0) == nullptr) {
      CloseHandle(pipe);
      return;
    }
    auto instance = std::make_unique<Instance>();
    instance->pipe.reset(pipe);
    Instance& ref = *instance;
    instances_.emplace(id, std::move(instance));
    if (ConnectNamedPipe(pipe, &ref.overlapped)) {
      ref.in_flight = true;  // its completion is queued all the same
      return;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_IO_PENDING) {
      ref.in_flight = true;
    } else if (code == ERROR_PIPE_CONNECTED) {
      // The client came between creation and the wait: no completion comes.
      ref.in_flight = true;
      PostQueuedCompletionStatus(port_.get(), 0, id, &ref.overlapped);
    } else {
      instances_.erase(id);
    }
  }

  void OnConnected(IDalReceiveHandler& handler, IDalReceiveHandler::ConnectionId id,
                   Instance& instance, DWORD code) {
    // This instance now serves the client: another one listens in its place.
    HANDLE next = CreateListeningPipe(own_path_, security_, false);
    if (next != INVALID_HANDLE_VALUE) Listen(next);
    if (code != ERROR_SUCCESS && code != ERROR_PIPE_CONNECTED) {
      Close(id);
      return;
    }
    instance.listening = false;
    ULONG pid = 0;
    std::string who;
    if (!GetNamedPipeClientProcessId(instance.pipe.get(), &pid) || !ProcessIsOurs(pid, &who)) {
      handler.OnRefused(who.empty() ? "pid unknown" : who);
      Close(id);
      return;
    }
    if (!handler.OnAccepted(id, pid)) {
      Close(id);
      return;
    }
    instance.buffer.resize(kChunk);
    Read(handler, id, instance);
  }

  void Read(IDalReceiveHandler& handler, IDalReceiveHandler::ConnectionId id, Instance& instance) {
    instance.overlapped = OVERLAPPED{};
    if (ReadFile(instance.pipe.get(), instance.buffer.data(), kChunk, nullptr,
                 &instance.overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
      instance.in_flight = true;  // the completion comes through the port
      return;
    }
    handler.OnEnded(id);
    Close(id);
  }

  // Closes an instance; one with an operation in flight stays until the
  // system hands it back (its buffer and OVERLAPPED are in use till then).
  void Close(IDalReceiveHandler::ConnectionId id) {
    auto found = instances_.find(id);
    if (found == instances_.end()) return;
    Instance& instance = *found->second;
    if (instance.closing) return;
    if (instance.in_flight) CancelIoEx(instance.pipe.get(), &instance.overlapped);
    instance.pipe.reset();
    if (instance.in_flight) {
      instance.closing = true;
    } else {
      instances_.erase(found);
    }
  }

  // Closes everything and waits, bounded, for the system to hand back every
  // operation; an instance it never hands back is left allocated rather
  // than freed under the system's feet.
  void Shutdown() {
    std::vector<IDalReceiveHandler::ConnectionId> ids;
    for (const auto& entry : instances_) ids.push_back(entry.first);
    for (auto id : ids) Close(id);
    const ULONGLONG until = GetTickCount64() + 1000;
    while (!instances_.empty() && GetTickCount64() < until) {
      DWORD bytes = 0;
      ULONG_PTR key = kWakeKey;
      OVERLAPPED* overlapped = nullptr;
      GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, 100);
      if (overlapped != nullptr) instances_.erase(key);
    }
    for (auto& entry : instances_) (void)entry.second.release();
    instances_.clear();
  }

  const std::string directory_;
  const std::string own_name_;
  const std::wstring own_path_;
  const UserOnlyDescriptor security_;
  UniqueHandle first_;
  UniqueHandle rendezvous_;
  UniqueHandle port_;
  // Receive thread only.
  std::map<IDalReceiveHandler::ConnectionId, std::unique_ptr<Instance>> instances_;
  IDalReceiveHandler::ConnectionId next_id_ = 1;
};

}  // namespace

std::string PipeDalBus::PipePath(const std::string& name) {
  const auto& user = OwnUser();
  return "\\\\.\\pipe\\orvaproxy." + (user ? user->text : std::string("nouser")) + "." + name;
}

std::unique_ptr<PipeDalBus> PipeDalBus::Create(const DalBusOptions& options, std::string* error) {
  const auto& user = OwnUser();
  if (!user) {
    if (error) *error = "the user's SID cannot be read";
    return nullptr;
  }
  UserOnlyDescriptor security(user->text);
  if (!security.valid()) {
    if (error) *error = ErrorText("security descriptor", GetLastError());
    return nullptr;
  }
  const std::wstring directory = Wide(options.directory);
  if (directory.empty() || (!CreateDirectoryW(directory.c_str(), &security.attributes) &&
                            GetLastError() != ERROR_ALREADY_EXISTS)) {
    if (error) *error = ErrorText("CreateDirectory", GetLastError()) + " " + options.directory;
    return nullptr;
  }
  const std::string name = std::to_string(GetCurrentProcessId()) + "." +
                           std::to_string(g_pipe_serial.fetch_add(1)) + kNameSuffix;
  // The pipe listens before its name can be found.
  UniqueHandle first(CreateListeningPipe(Wide(PipePath(name)), security, true));
  if (first.get() == INVALID_HANDLE_VALUE) {
    if (error) *error = ErrorText("CreateNamedPipe", GetLastError()) + " " + PipePath(name);
    return nullptr;
  }
  UniqueHandle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  if (port == nullptr) {
    if (error) *error = ErrorText("CreateIoCompletionPort", GetLastError());
    return nullptr;
  }
  const std::string file = options.directory + "\\" + name;
  UniqueHandle rendezvous(
      CreateFileW(Wide(file).c_str(), GENERIC_WRITE | DELETE, 0, &security.attributes,
                  CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (rendezvous.get() == INVALID_HANDLE_VALUE) {
    if (error) *error = ErrorText("CreateFile", GetLastError()) + " " + file;
    return nullptr;
  }
  return std::make_unique<PipeDalBus>(
      options, std::make_unique<PipeTransport>(options.directory, name, first.release(),
                                               rendezvous.release(), port.release()));
}

std::unique_ptr<PipeDalBus> PipeDalBus::CreateFromEnvironment(std::string* error) {
  ovplatform::Os& os = ovplatform::GetOs();
  DalBusOptions options;
  options.uid = os.UserId();
  // A bus of its own for a group of processes (tests, a second client):
  // Wine, like Windows, sets LOCALAPPDATA itself.
  if (auto own = os.GetEnv(kBusDirectoryVariable); own && own->size() > 2 && (*own)[1] == ':') {
    options.directory = *own;
    return Create(options, error);
  }
  std::string base = os.GetEnv("LOCALAPPDATA").value_or(std::string());
  if (base.empty()) {
    const std::string home = os.HomeDirectory();
    if (home.empty()) {
      if (error) *error = "no local application data folder";
      return nullptr;
    }
    base = home + "\\AppData\\Local";
  }
  const std::string product = base + "\\OrvaProxy";
  CreateDirectoryW(Wide(product).c_str(), nullptr);
  options.directory = product + "\\bus";
  return Create(options, error);
}

}  // namespace ns_dal
