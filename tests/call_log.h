#pragma once

#include <algorithm>
#include <map>
#include <string_view>
#include <vector>

#include "platform/fault_injector.h"

namespace vorbit::testing {

// Records every system call made through it, in order, and refuses the kinds it is told to with
// their errno, every time: a kernel or a sandbox that does not offer them.
struct CallLog final : FaultInjector {
  int errorFor(SystemCall call, std::string_view) override {
    calls.push_back(call);
    const auto refused = refuse.find(call);
    return refused == refuse.end() ? 0 : refused->second;
  }

  long count(SystemCall call) const { return std::count(calls.begin(), calls.end(), call); }

  std::vector<SystemCall> calls;
  std::map<SystemCall, int> refuse;
};

}  // namespace vorbit::testing
