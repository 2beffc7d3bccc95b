// Runs an ovproxy subcommand in process and keeps what it wrote.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ovproxy_command.h"

namespace ovproxy {

struct CommandRun {
  int code;
  std::string out;
  std::string err;
};

inline CommandRun RunCommand(int (*run)(CommandContext&), std::vector<std::string> args) {
  std::ostringstream out;
  std::ostringstream err;
  CommandContext context{std::move(args), out, err};
  const int code = run(context);
  return {code, out.str(), err.str()};
}

inline Json::Value ParseJson(const std::string& text) {
  Json::Value root;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &root, nullptr)) << text;
  return root;
}

// JSON text on one line, keys sorted: {"a":1,"b":[true]}.
inline std::string CompactJson(const std::string& text) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, ParseJson(text));
}

}  // namespace ovproxy
