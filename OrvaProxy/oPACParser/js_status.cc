#include "OrvaProxy/oPACParser/js_status.h"

namespace OVProxy {

const char* js_stage_name(js_stage_t stage) {
  switch (stage) {
    case js_stage_t::none:
      return "none";
    case js_stage_t::load:
      return "load";
    case js_stage_t::create:
      return "create";
    case js_stage_t::parse:
      return "parse";
    case js_stage_t::start:
      return "start";
    case js_stage_t::find:
      return "find";
    case js_stage_t::call:
      return "call";
    case js_stage_t::result:
      return "result";
    case js_stage_t::time_limit:
      return "time_limit";
    case js_stage_t::heap_limit:
      return "heap_limit";
    case js_stage_t::interrupted:
      return "interrupted";
  }
  return "unknown";
}

}  // namespace OVProxy
