// wirepeek-exporter: the report and the metrics endpoint without the window
// toolkit, for servers.
#include "app/FrontDoor.h"

int main(int argc, char** argv) { return RunFrontDoor(argc, argv, nullptr); }
