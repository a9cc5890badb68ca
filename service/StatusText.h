#pragma once
// The status store's content as the status server hands it out: JSON for /status.json and
// the page, Prometheus text for /metrics. Pure functions of one snapshot; any thread.
#include <string>

#include "metrics/StatusStore.h"

namespace tarn::status {

std::string StatusJson(const metrics::TSnapshot& s);
std::string MetricsText(const metrics::TSnapshot& s);

}  // namespace tarn::status
