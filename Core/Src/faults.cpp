/* What happens when nothing can run safely: a peripheral that could not be configured
 * (Error_Handler) or a fault of the CPU. CLK1 goes off first (no carrier left on; nothing in it
 * waits on the tick, which stands still here), the console's waiting output goes out, then the
 * CPU waits for the watchdog's reset. */
#include "iwdg.h"
#include "main.h"
#include "stm32f4xx_it.h"
#include "wspr_app.h"

/* The watchdog is started here if the failure came before it was. */
void Error_Handler(void) {
    WSPR_App_EmergencyStop();
    hiwdg.Instance = IWDG;
    if (hiwdg.Init.Reload == 0U) {
        hiwdg.Init.Prescaler = IWDG_PRESCALER_64;
        hiwdg.Init.Reload = IWDG_RELOAD_MAX;
    }
    (void)HAL_IWDG_Init(&hiwdg);
    __disable_irq();
    WSPR_App_FlushConsole();
    for (;;) {
        __WFI();
    }
}

/* An interrupt nobody handles: nothing here knows what raised it, nor can stop it coming back. */
void Default_Handler(void) {
    Error_Handler();
}

void NMI_Handler(void) {
    Error_Handler();
}
void HardFault_Handler(void) {
    Error_Handler();
}
void MemManage_Handler(void) {
    Error_Handler();
}
void BusFault_Handler(void) {
    Error_Handler();
}
void UsageFault_Handler(void) {
    Error_Handler();
}

void SVC_Handler(void) {}
void DebugMon_Handler(void) {}
void PendSV_Handler(void) {}
