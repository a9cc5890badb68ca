#pragma once
// `tarncard check`: reads the registry and the settings file, connects like the service,
// and reports what this computer would run and every problem found. Exit status 0 only
// when nothing is wrong.
#include <ostream>

namespace tarn {
int RunSiteCheck(std::ostream& out);
}
