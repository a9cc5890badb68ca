// Program entry of the service executable.
#include "service/TTARNCard.h"

int main(int argc, char** argv) { return tarn::ServiceMain(argc, argv); }
