#include "service/SiteCheck.h"

namespace tarn {

int RunSiteCheck(std::ostream& out) {
  out << "check: not available in this build\n";
  return 1;
}

}  // namespace tarn
