#include "service/TTARNCard.h"
namespace tarn {
int ServiceMain(int, char**) { return 0; }
}
