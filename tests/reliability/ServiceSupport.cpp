// The child-process and log-reading helpers of the service tests, compiled into this
// program too (they live with the service tests, outside the shared support folder).
#include "service/ServiceTestSupport.cpp"
