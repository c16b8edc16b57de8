/* SPDX-License-Identifier: Apache-2.0 */
/* The simulator's public headers compile as C (their layout assertions
   included) and its calls work from C. */
#include <stdio.h>
#include <string.h>

#include "dgrt.h"
#include "qrv_runtime.h"
#include "qrvd_ioctl.h"
#include "qrvd_sim.h"

#define CHECK(cond)                                                  \
    do {                                                             \
        if (!(cond)) {                                               \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                \
        }                                                            \
    } while (0)

int main(void) {
    void* dev = NULL;
    char in[100], out[100];
    qrv_vendor_pointer_info_t info;
    struct qrvd_sim_counters counters;
    int count = 0;

    CHECK(dgGetDeviceCount(&count) == dgSuccess && count >= 1);
    CHECK(dgMalloc(&dev, sizeof in) == dgSuccess);
    memset(&info, 0, sizeof info);
    info.size = sizeof info;
    CHECK(qrv_vendor_pointer_info(dev, &info, NULL, NULL, NULL) == QRV_STATUS_SUCCESS);
    CHECK(info.agentBaseAddress == dev && info.sizeInBytes == sizeof in);
    CHECK(info.type == QRV_EXT_POINTER_TYPE_QRV);

    for (int i = 0; i < (int)sizeof in; ++i) in[i] = (char)(i * 3);
    CHECK(dgMemcpy(dev, in, sizeof in, dgMemcpyHostToDevice) == dgSuccess);
    CHECK(memcmp(qrvd_sim_host_view(dev, sizeof in), in, sizeof in) == 0);
    CHECK(dgMemcpy(out, dev, sizeof out, dgMemcpyDefault) == dgSuccess);
    CHECK(memcmp(in, out, sizeof in) == 0);
    CHECK(dgMemcpy(out, dev, sizeof out + 1, dgMemcpyDefault) == dgErrorInvalidDevicePointer);

    CHECK(qrvd_sim_set_fault(QRVD_SIM_FAULT_SHORT, 10, 1) == 0);
    CHECK(qrvd_sim_set_fault(99, 0, 1) == -1);
    qrvd_sim_clear_fault();
    qrvd_sim_get_counters(&counters);
    CHECK(counters.requests == 0);
    CHECK(QRVD_IOC_VRAM_IO == 0xc0404b1bu);
    CHECK(dgFree(dev) == dgSuccess);
    printf("simulator headers ok from C\n");
    return 0;
}
