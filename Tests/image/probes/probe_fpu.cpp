// A floating-point instruction with the FPU still off (CPACR never written).
#include "probe.h"

extern "C" {
volatile float probe_value = 1.5f;
void probe_main() {
    probe_value = probe_value * 3.0f;
    Log(0x1);
}
}
