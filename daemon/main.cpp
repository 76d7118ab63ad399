// vantrel: the sensor daemon of the touch panel.
#include "daemon/run.h"

int main(int argc, char** argv) {
    return vantrel::runDaemon(argc, argv);
}
