// Collects the runtime's fault reports while a test runs, dismissing each one so that the test
// goes on and can look at the messages and at what the reporting call returned.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "quillon/runtime/diag.h"

class FaultCatcher {
 public:
  FaultCatcher() {
    clear();
    FAULT_setfilter(&keep);
  }
  ~FaultCatcher() { FAULT_setfilter(nullptr); }
  FaultCatcher(const FaultCatcher&) = delete;
  FaultCatcher& operator=(const FaultCatcher&) = delete;

  static std::vector<std::string> messages() {
    std::lock_guard lock(state().mutex);
    return state().messages;
  }
  static void clear() {
    std::lock_guard lock(state().mutex);
    state().messages.clear();
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<std::string> messages;
  };
  static State& state() {
    static State s;
    return s;
  }
  static int keep(const char* text) {
    std::lock_guard lock(state().mutex);
    state().messages.emplace_back(text);
    return 0;
  }
};
