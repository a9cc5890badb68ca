#pragma once
// The loops of this site as the service runs them: each one built from the parts the site
// gives it. Its connection is made from the registry's connection parameters (read once per
// loop, dropped at once), its settings come from the settings file, its line is the serial
// port of its row in table `loop`; then it is set up (connected, upgraded, devices started).
// Main thread only, like every loop.
#include <memory>

#include "loop/TLoop.h"

namespace tarn {

class TMessLog;
class TOfflineStore;

// The parts of a site loop: a new connection from the registry (ping time-out 700 ms, the
// registry's "Host" pinged first) logging into `log`, "DebugLog" from the registry, the
// settings file of this installation, the serial port, the process's status store.
TLoopParts SiteLoopParts(TMessLog& log);

// A loop of the site, set up: what the server start-up makes for every loop row it runs.
// `offline`: the offline store (null: offline decisions off).
std::unique_ptr<TLoop> MakeSiteLoop(TMessLog& log, int loopId, TOfflineStore* offline = nullptr);

}  // namespace tarn
