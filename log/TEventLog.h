#pragma once
// TEventLog: one per loop controller; alarm and printer events (door ajar, fire, printer
// status) are reported here as coded events. Recording has no effect in this version: no
// row is written and nothing is logged. Does not own Env. One thread (the loop's).
#include <string>

namespace tarn {

class TODBC;

class TEventLog {
 public:
  TEventLog(TODBC* env, int loopId) : Env(env), LoopId(loopId) {}

  void LogEvent(const std::string& text, int code, int value) {
    (void)text;
    (void)code;
    (void)value;
  }

  TODBC* Env;
  int LoopId;
  int LastStatus = -1;  // the printer's last status flags
};

}  // namespace tarn
