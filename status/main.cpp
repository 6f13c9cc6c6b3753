// main.cpp - Vistrel_Status: starts the bridges that are not running and shows both blocks.
#include "status.h"
#include "vp.h"

int main() {
    MP_status_start_bridges();
    // Until the console is closed: one screen a second.
    for (;;) {
        MP_status_show();
        vp_sleep_ms(1000);
    }
}
