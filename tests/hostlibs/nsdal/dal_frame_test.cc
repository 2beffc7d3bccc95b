#include "nsdal/dal_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ns_dal {
namespace {

std::string Encoded(const Frame& frame) {
  auto bytes = EncodeFrame(frame);
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or("");
}

// A body with the given fields, prefixed with its (or a forced) length.
std::string RawFrame(std::string body, std::optional<uint32_t> length = std::nullopt) {
  const uint32_t size = length.value_or(static_cast<uint32_t>(body.size()));
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((size >> shift) & 0xff));
  return out + body;
}

TEST(DalFrameTest, FramesSurviveEverySplitOfTheStream) {
  const std::vector<Frame> frames = {
      {FrameKind::kMessage, "mode", "field", "{\"operation\":\"x\"}"},
      {FrameKind::kSnapshotRequest, "mode", "", "123.0.sock"},
      {FrameKind::kSnapshotAnswer, "m", "9.1.sock", ""},
      {FrameKind::kMessage, std::string(kMaxIdBytes, 'm'), std::string(kMaxIdBytes, 'f'),
       std::string("bin\0ary\xff", 8)},
      {FrameKind::kMessage, "mode", "field", std::string(200000, 'p')},
  };
  std::string stream;
  for (const Frame& frame : frames) stream += Encoded(frame);

  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, stream.size()}) {
    SCOPED_TRACE(chunk);
    FrameReader reader;
    std::vector<Frame> out;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      reader.Feed(stream.data() + at, std::min(chunk, stream.size() - at));
      Frame frame;
      std::string error;
      FrameReader::Result result;
      while ((result = reader.Next(&frame, &error)) == FrameReader::Result::kFrame) {
        out.push_back(frame);
      }
      ASSERT_EQ(result, FrameReader::Result::kNeedMore) << error;
    }
    EXPECT_EQ(out, frames);
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(DalFrameTest, MalformedFramesFailTheStream) {
  const std::string id_too_long(kMaxIdBytes + 1, 'x');
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"length over the limit", RawFrame("", kMaxFrameBytes + 1)},
      {"empty body", RawFrame("")},
      {"unknown version", RawFrame(std::string("\x02\x01\x00\x01m\x00\x00", 7))},
      {"mode longer than the body", RawFrame(std::string("\x01\x01\x00\x09m\x00\x00", 7))},
      {"mode id over the limit",
       RawFrame(std::string("\x01\x01\x04\x01", 4) + id_too_long + std::string("\x00\x00", 2))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FrameReader reader;
    reader.Feed(c.bytes.data(), c.bytes.size());
    // A valid frame after the bad one is not reached: the stream is lost.
    const std::string next = Encoded(Frame{FrameKind::kMessage, "mode", "f", "t"});
    reader.Feed(next.data(), next.size());
    Frame frame;
    std::string error;
    EXPECT_EQ(reader.Next(&frame, &error), FrameReader::Result::kError);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(reader.Next(&frame, &error), FrameReader::Result::kError);
  }
}

TEST(DalFrameTest, EncodingRefusesWhatTheReaderWouldRefuse) {
  EXPECT_FALSE(EncodeFrame(Frame{FrameKind::kMessage, std::string(kMaxIdBytes + 1, 'm'), "", ""}));
  EXPECT_FALSE(EncodeFrame(Frame{FrameKind::kMessage, "m", "f", std::string(100, 't')}, 50));
  // A reader with a smaller limit refuses a frame the default one takes.
  const std::string bytes = Encoded(Frame{FrameKind::kMessage, "m", "f", std::string(100, 't')});
  FrameReader small(50);
  small.Feed(bytes.data(), bytes.size());
  Frame frame;
  EXPECT_EQ(small.Next(&frame, nullptr), FrameReader::Result::kError);
}

}  // namespace
}  // namespace ns_dal
