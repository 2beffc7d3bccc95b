// The bus's wire format: one frame per message on a byte stream.
//
//   u32 body length (big-endian), then the body:
//   u8 version (1) | u8 kind | u16 mode length | mode | u16 field length |
//   field | text (the rest of the body)
//
// Kinds: a message of a mode (field, text); a snapshot request (text: the
// requester's socket name); a snapshot answer (field: the answering
// socket's name, text: the snapshot, empty for none).
//
// Limits: a body of at most kMaxFrameBytes (room for a 1 MiB PAC text
// carried twice in a snapshot, even when JSON escaping inflates it several
// times), mode and field ids of at most kMaxIdBytes.
//
// FrameReader takes bytes as they arrive, in any split, and hands out whole
// frames; a length over the limit or a body that does not parse is an error
// after which the stream cannot be trusted (the connection is dropped).
//
// Thread: a reader belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ns_dal {

inline constexpr std::size_t kMaxFrameBytes = 16u * 1024u * 1024u;
inline constexpr std::size_t kMaxIdBytes = 1024;
inline constexpr std::size_t kFrameHeaderBytes = 4;

enum class FrameKind : uint8_t { kMessage = 1, kSnapshotRequest = 2, kSnapshotAnswer = 3 };

struct Frame {
  FrameKind kind = FrameKind::kMessage;
  std::string mode_id;
  std::string field_id;
  std::string text;

  bool operator==(const Frame&) const = default;
};

// The whole frame with its length prefix; nullopt when it breaks a limit.
std::optional<std::string> EncodeFrame(const Frame& frame,
                                       std::size_t max_body_bytes = kMaxFrameBytes);
// One body (without the length prefix); nullopt when malformed.
std::optional<Frame> DecodeFrameBody(std::string_view body);

class FrameReader {
 public:
  enum class Result { kFrame, kNeedMore, kError };

  explicit FrameReader(std::size_t max_body_bytes = kMaxFrameBytes);

  // Appends received bytes. Cheap; the buffer grows only with what arrived.
  void Feed(const char* data, std::size_t size);
  // The next whole frame, kNeedMore, or kError (then `error` says why and
  // every later call answers kError).
  Result Next(Frame* frame, std::string* error);
  std::size_t buffered() const { return buffer_.size() - consumed_; }

 private:
  std::size_t max_body_bytes_;
  std::string buffer_;
  std::size_t consumed_ = 0;
  bool failed_ = false;
};

}  // namespace ns_dal
