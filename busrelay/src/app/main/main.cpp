// busrelay: Modbus TCP server on port 502 that bridges requests to the
// gateway's main program over the local 7F protocol.
#include "service.h"

int main() {
    service_start();
    service_run();
    service_shutdown();
    return 0;
}
