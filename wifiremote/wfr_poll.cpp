// wfr_poll.cpp - requeststatus and requestnowplaying at least 5 s apart, on the process clock.
#include "mp_tcp.h"
#include "wfr.h"

// Not traced: it runs before every receive and calls nothing that can fault.
void MP_poll_requests_at(double now) {
    if (MP_Global_wPollMark == 0.0) MP_Global_wPollMark = now;
    if (MP_Global_wPollStarted) {
        // A round is due once the whole spacing (5 s) has passed.
        double elapsed = now - MP_Global_wPollMark;
        if (!(elapsed * 1000.0 >= MP_Global_Limits.poll_ms)) return;
    }
    MP_Global_wPollStarted = 1;
    if (MP_Global_wAuthenticated == 1) {
        MP_Send(WFR_REQUEST_STATUS);
        MP_Send(WFR_REQUEST_NOWPLAYING);
    }
    MP_Global_wPollMark = now;
}

void MP_poll_requests() { MP_poll_requests_at(vp_process_seconds()); }
