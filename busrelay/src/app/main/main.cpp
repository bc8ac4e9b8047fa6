// busrelay: Modbus TCP server on port 502 that bridges requests to the
// gateway's main program over the local 7F protocol.
#include "pointList.h"
#include "service.h"

int main(int argc, char **argv) {
    // Options only ask for the point list; the service itself takes none.
    if (argc > 1) return points_cli(argc, argv);
    service_start();
    service_run();
    service_shutdown();
    return 0;
}
