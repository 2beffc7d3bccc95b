#include "nsdal/dal_frame.h"

namespace ns_dal {
namespace {

constexpr uint8_t kVersion = 1;

void PutU16(std::string& out, std::size_t value) {
  out.push_back(static_cast<char>((value >> 8) & 0xff));
  out.push_back(static_cast<char>(value & 0xff));
}

uint32_t ReadU32(std::string_view data) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(data[0])) << 24) |
         (static_cast<uint32_t>(static_cast<uint8_t>(data[1])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(data[2])) << 8) |
         static_cast<uint32_t>(static_cast<uint8_t>(data[3]));
}

uint16_t ReadU16(std::string_view data) {
  return static_cast<uint16_t>((static_cast<uint16_t>(static_cast<uint8_t>(data[0])) << 8) |
                               static_cast<uint8_t>(data[1]));
}

// Takes a u16-prefixed id off the front of `rest`.
std::optional<std::string> TakeId(std::string_view& rest) {
  if (rest.size() < 2) return std::nullopt;
  const std::size_t size = ReadU16(rest);
  rest.remove_prefix(2);
  if (size > kMaxIdBytes || size > rest.size()) return std::nullopt;
  std::string id(rest.substr(0, size));
  rest.remove_prefix(size);
  return id;
}

}  // namespace

std::optional<std::string> EncodeFrame(const Frame& frame, std::size_t max_body_bytes) {
  if (frame.mode_id.size() > kMaxIdBytes || frame.field_id.size() > kMaxIdBytes) {
    return std::nullopt;
  }
  const std::size_t body =
      2 + 2 + frame.mode_id.size() + 2 + frame.field_id.size() + frame.text.size();
  if (body > max_body_bytes || body > kMaxFrameBytes) return std::nullopt;
  std::string out;
  out.reserve(kFrameHeaderBytes + body);
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<char>((body >> shift) & 0xff));
  }
  out.push_back(static_cast<char>(kVersion));
  out.push_back(static_cast<char>(frame.kind));
  PutU16(out, frame.mode_id.size());
  out += frame.mode_id;
  PutU16(out, frame.field_id.size());
  out += frame.field_id;
  out += frame.text;
  return out;
}

std::optional<Frame> DecodeFrameBody(std::string_view body) {
  if (body.size() < 2 || static_cast<uint8_t>(body[0]) != kVersion) return std::nullopt;
  Frame frame;
  const auto kind = static_cast<uint8_t>(body[1]);
  if (kind < static_cast<uint8_t>(FrameKind::kMessage) ||
      kind > static_cast<uint8_t>(FrameKind::kSnapshotAnswer)) {
    return std::nullopt;
  }
  frame.kind = static_cast<FrameKind>(kind);
  std::string_view rest = body.substr(2);
  auto mode = TakeId(rest);
  if (!mode || mode->empty()) return std::nullopt;
  auto field = TakeId(rest);
  if (!field) return std::nullopt;
  frame.mode_id = std::move(*mode);
  frame.field_id = std::move(*field);
  frame.text.assign(rest);
  return frame;
}

FrameReader::FrameReader(std::size_t max_body_bytes)
    : max_body_bytes_(max_body_bytes < kMaxFrameBytes ? max_body_bytes : kMaxFrameBytes) {}

void FrameReader::Feed(const char* data, std::size_t size) {
  if (failed_ || size == 0) return;
  // Drop what was consumed before growing, so the buffer holds at most one
  // frame and the bytes after it.
  if (consumed_ > 0 && consumed_ >= buffer_.size() / 2) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  buffer_.append(data, size);
}

FrameReader::Result FrameReader::Next(Frame* frame, std::string* error) {
  if (failed_) {
    if (error) *error = "stream failed before";
    return Result::kError;
  }
  const std::string_view pending = std::string_view(buffer_).substr(consumed_);
  if (pending.size() < kFrameHeaderBytes) return Result::kNeedMore;
  const uint32_t body_size = ReadU32(pending);
  if (body_size > max_body_bytes_) {
    failed_ = true;
    if (error) *error = "frame of " + std::to_string(body_size) + " bytes over the limit";
    return Result::kError;
  }
  if (pending.size() - kFrameHeaderBytes < body_size) return Result::kNeedMore;
  auto decoded = DecodeFrameBody(pending.substr(kFrameHeaderBytes, body_size));
  if (!decoded) {
    failed_ = true;
    if (error) *error = "malformed frame body of " + std::to_string(body_size) + " bytes";
    return Result::kError;
  }
  consumed_ += kFrameHeaderBytes + body_size;
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
    // An idle connection must not keep the room of its largest frame.
    if (buffer_.capacity() > 64 * 1024) buffer_.shrink_to_fit();
  }
  *frame = std::move(*decoded);
  return Result::kFrame;
}

}  // namespace ns_dal
