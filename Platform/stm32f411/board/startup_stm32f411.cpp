/* Start-up of the STM32F411xE: the vector table and the reset handler. Interrupts without a
 * handler of their own go to Default_Handler, which stops there. */
#include <stdint.h>

#include "platform_internal.h"

using Handler = void (*)(void);

extern "C" {

/* Symbols of the linker script. */
extern uint32_t _estack;
extern uint32_t _sidata, _sdata, _edata, _sbss, _ebss;
extern Handler __init_array_start[], __init_array_end[];

int main(void);
[[noreturn]] void Reset_Handler(void);
void Default_Handler(void);

#define DEFAULT(name) void name(void) __attribute__((weak, alias("Default_Handler")))
/* Cortex-M4 exceptions */
DEFAULT(NMI_Handler);
DEFAULT(HardFault_Handler);
DEFAULT(MemManage_Handler);
DEFAULT(BusFault_Handler);
DEFAULT(UsageFault_Handler);
DEFAULT(SVC_Handler);
DEFAULT(DebugMon_Handler);
DEFAULT(PendSV_Handler);
DEFAULT(SysTick_Handler);
/* STM32F411 interrupts 0..85 */
DEFAULT(WWDG_IRQHandler);
DEFAULT(PVD_IRQHandler);
DEFAULT(TAMP_STAMP_IRQHandler);
DEFAULT(RTC_WKUP_IRQHandler);
DEFAULT(FLASH_IRQHandler);
DEFAULT(RCC_IRQHandler);
DEFAULT(EXTI0_IRQHandler);
DEFAULT(EXTI1_IRQHandler);
DEFAULT(EXTI2_IRQHandler);
DEFAULT(EXTI3_IRQHandler);
DEFAULT(EXTI4_IRQHandler);
DEFAULT(DMA1_Stream0_IRQHandler);
DEFAULT(DMA1_Stream1_IRQHandler);
DEFAULT(DMA1_Stream2_IRQHandler);
DEFAULT(DMA1_Stream3_IRQHandler);
DEFAULT(DMA1_Stream4_IRQHandler);
DEFAULT(DMA1_Stream5_IRQHandler);
DEFAULT(DMA1_Stream6_IRQHandler);
DEFAULT(ADC_IRQHandler);
DEFAULT(EXTI9_5_IRQHandler);
DEFAULT(TIM1_BRK_TIM9_IRQHandler);
DEFAULT(TIM1_UP_TIM10_IRQHandler);
DEFAULT(TIM1_TRG_COM_TIM11_IRQHandler);
DEFAULT(TIM1_CC_IRQHandler);
DEFAULT(TIM2_IRQHandler);
DEFAULT(TIM3_IRQHandler);
DEFAULT(TIM4_IRQHandler);
DEFAULT(I2C1_EV_IRQHandler);
DEFAULT(I2C1_ER_IRQHandler);
DEFAULT(I2C2_EV_IRQHandler);
DEFAULT(I2C2_ER_IRQHandler);
DEFAULT(SPI1_IRQHandler);
DEFAULT(SPI2_IRQHandler);
DEFAULT(USART1_IRQHandler);
DEFAULT(USART2_IRQHandler);
DEFAULT(EXTI15_10_IRQHandler);
DEFAULT(RTC_Alarm_IRQHandler);
DEFAULT(OTG_FS_WKUP_IRQHandler);
DEFAULT(DMA1_Stream7_IRQHandler);
DEFAULT(SDIO_IRQHandler);
DEFAULT(TIM5_IRQHandler);
DEFAULT(SPI3_IRQHandler);
DEFAULT(DMA2_Stream0_IRQHandler);
DEFAULT(DMA2_Stream1_IRQHandler);
DEFAULT(DMA2_Stream2_IRQHandler);
DEFAULT(DMA2_Stream3_IRQHandler);
DEFAULT(DMA2_Stream4_IRQHandler);
DEFAULT(OTG_FS_IRQHandler);
DEFAULT(DMA2_Stream5_IRQHandler);
DEFAULT(DMA2_Stream6_IRQHandler);
DEFAULT(DMA2_Stream7_IRQHandler);
DEFAULT(USART6_IRQHandler);
DEFAULT(I2C3_EV_IRQHandler);
DEFAULT(I2C3_ER_IRQHandler);
DEFAULT(FPU_IRQHandler);
DEFAULT(SPI4_IRQHandler);
DEFAULT(SPI5_IRQHandler);
#undef DEFAULT

} // extern "C"

namespace {

constexpr unsigned SYSTEM_VECTORS = 15; /* after the initial stack pointer */
constexpr unsigned IRQ_VECTORS = 86;    /* STM32F411: interrupts 0..85 */

struct VectorTable {
    void *initial_sp;
    Handler vectors[SYSTEM_VECTORS + IRQ_VECTORS];
};

} // namespace

/* Placed at the start of flash (0x08000000), which the chip maps at address 0 when it boots
 * from flash. Entry n + 16 belongs to interrupt n; unused positions are 0. */
extern "C"
    __attribute__((section(".isr_vector"), used)) constinit const VectorTable g_vector_table = {
        &_estack,
        {
            Reset_Handler,
            NMI_Handler,
            HardFault_Handler,
            MemManage_Handler,
            BusFault_Handler,
            UsageFault_Handler,
            nullptr,
            nullptr,
            nullptr,
            nullptr,
            SVC_Handler,
            DebugMon_Handler,
            nullptr,
            PendSV_Handler,
            SysTick_Handler,
            WWDG_IRQHandler,               /* 0 */
            PVD_IRQHandler,                /* 1 */
            TAMP_STAMP_IRQHandler,         /* 2 */
            RTC_WKUP_IRQHandler,           /* 3 */
            FLASH_IRQHandler,              /* 4 */
            RCC_IRQHandler,                /* 5 */
            EXTI0_IRQHandler,              /* 6 */
            EXTI1_IRQHandler,              /* 7 */
            EXTI2_IRQHandler,              /* 8 */
            EXTI3_IRQHandler,              /* 9 */
            EXTI4_IRQHandler,              /* 10 */
            DMA1_Stream0_IRQHandler,       /* 11 */
            DMA1_Stream1_IRQHandler,       /* 12 */
            DMA1_Stream2_IRQHandler,       /* 13 */
            DMA1_Stream3_IRQHandler,       /* 14 */
            DMA1_Stream4_IRQHandler,       /* 15 */
            DMA1_Stream5_IRQHandler,       /* 16 */
            DMA1_Stream6_IRQHandler,       /* 17 */
            ADC_IRQHandler,                /* 18 */
            nullptr,                       /* 19 */
            nullptr,                       /* 20 */
            nullptr,                       /* 21 */
            nullptr,                       /* 22 */
            EXTI9_5_IRQHandler,            /* 23 */
            TIM1_BRK_TIM9_IRQHandler,      /* 24 */
            TIM1_UP_TIM10_IRQHandler,      /* 25 */
            TIM1_TRG_COM_TIM11_IRQHandler, /* 26 */
            TIM1_CC_IRQHandler,            /* 27 */
            TIM2_IRQHandler,               /* 28 */
            TIM3_IRQHandler,               /* 29 */
            TIM4_IRQHandler,               /* 30 */
            I2C1_EV_IRQHandler,            /* 31 */
            I2C1_ER_IRQHandler,            /* 32 */
            I2C2_EV_IRQHandler,            /* 33 */
            I2C2_ER_IRQHandler,            /* 34 */
            SPI1_IRQHandler,               /* 35 */
            SPI2_IRQHandler,               /* 36 */
            USART1_IRQHandler,             /* 37 */
            USART2_IRQHandler,             /* 38 */
            nullptr,                       /* 39 */
            EXTI15_10_IRQHandler,          /* 40 */
            RTC_Alarm_IRQHandler,          /* 41 */
            OTG_FS_WKUP_IRQHandler,        /* 42 */
            nullptr,                       /* 43 */
            nullptr,                       /* 44 */
            nullptr,                       /* 45 */
            nullptr,                       /* 46 */
            DMA1_Stream7_IRQHandler,       /* 47 */
            nullptr,                       /* 48 */
            SDIO_IRQHandler,               /* 49 */
            TIM5_IRQHandler,               /* 50 */
            SPI3_IRQHandler,               /* 51 */
            nullptr,                       /* 52 */
            nullptr,                       /* 53 */
            nullptr,                       /* 54 */
            nullptr,                       /* 55 */
            DMA2_Stream0_IRQHandler,       /* 56 */
            DMA2_Stream1_IRQHandler,       /* 57 */
            DMA2_Stream2_IRQHandler,       /* 58 */
            DMA2_Stream3_IRQHandler,       /* 59 */
            DMA2_Stream4_IRQHandler,       /* 60 */
            nullptr,                       /* 61 */
            nullptr,                       /* 62 */
            nullptr,                       /* 63 */
            nullptr,                       /* 64 */
            nullptr,                       /* 65 */
            nullptr,                       /* 66 */
            OTG_FS_IRQHandler,             /* 67 */
            DMA2_Stream5_IRQHandler,       /* 68 */
            DMA2_Stream6_IRQHandler,       /* 69 */
            DMA2_Stream7_IRQHandler,       /* 70 */
            USART6_IRQHandler,             /* 71 */
            I2C3_EV_IRQHandler,            /* 72 */
            I2C3_ER_IRQHandler,            /* 73 */
            nullptr,                       /* 74 */
            nullptr,                       /* 75 */
            nullptr,                       /* 76 */
            nullptr,                       /* 77 */
            nullptr,                       /* 78 */
            nullptr,                       /* 79 */
            nullptr,                       /* 80 */
            FPU_IRQHandler,                /* 81 */
            nullptr,                       /* 82 */
            nullptr,                       /* 83 */
            SPI4_IRQHandler,               /* 84 */
            SPI5_IRQHandler,               /* 85 */
        }};
static_assert(sizeof(VectorTable) == (1 + SYSTEM_VECTORS + IRQ_VECTORS) * 4);

extern "C" {

void Default_Handler(void) {
    for (;;) {
    }
}

/* From reset: the FPU first (code built for the hard-float ABI may use it anywhere), then the
 * vector table base, initialised data, zeroed data, static constructors, and the program. */
void Reset_Handler(void) {
    SCB_Regs *scb = platform::Scb();
    platform::SetBits(scb->CPACR, SCB_CPACR_CP10_CP11_FULL);
    __DSB();
    __ISB();
    scb->VTOR = reinterpret_cast<uintptr_t>(&g_vector_table);

    __builtin_memcpy(&_sdata, &_sidata, static_cast<size_t>(&_edata - &_sdata) * sizeof(uint32_t));
    __builtin_memset(&_sbss, 0, static_cast<size_t>(&_ebss - &_sbss) * sizeof(uint32_t));
    for (Handler *f = __init_array_start; f < __init_array_end; ++f) {
        (*f)();
    }
    main();
    for (;;) {
    }
}

/* main never returns, so static destructors never run: nothing needs registering. */
void *__dso_handle = nullptr;
int __cxa_atexit(void (*)(void *), void *, void *) {
    return 0;
}
int __aeabi_atexit(void *, void (*)(void *), void *) {
    return 0;
}

} // extern "C"
