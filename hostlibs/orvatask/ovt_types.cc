#include "orvatask/ovt_types.h"

#include <functional>

namespace OrvaTask {

UniqueKey::UniqueKey(std::string_view name)
    : name_(name), hash_(std::hash<std::string_view>{}(name)) {}

UniqueKey GenerateUniqueKey(std::string_view name) {
  return UniqueKey(name);
}

}  // namespace OrvaTask
