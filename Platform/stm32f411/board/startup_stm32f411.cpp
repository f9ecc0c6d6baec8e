/* Start-up of the STM32F411xE: the vector table and the reset handler. Interrupts without a
 * handler of their own go to Default_Handler: the firmware's when it has one, else a loop here. */
#include <stdint.h>

#include "platform_internal.h"
#include "stm32f411_vectors.h"

using Handler = void (*)(void);

extern "C" {

/* Symbols of the linker script. */
extern uint32_t _estack;
extern uint32_t _sidata, _sdata, _edata, _sbss, _ebss;
extern Handler __init_array_start[], __init_array_end[];

int main(void);
[[noreturn]] void Reset_Handler(void);
void Default_Handler(void);
void Unassigned_Handler(void);

/* An alias takes the body of its target in this file, not a definition that replaces the target
 * elsewhere: the vectors alias a trampoline that calls Default_Handler by name. */
#define DECLARE_DEFAULT(number, name)                                                              \
    void name(void) __attribute__((weak, alias("Unassigned_Handler")));
STM32F411_VECTORS(DECLARE_DEFAULT)
#undef DECLARE_DEFAULT

} // extern "C"

namespace {

constexpr unsigned SYSTEM_VECTORS = STM32F411_SYSTEM_VECTOR_COUNT; /* after the initial SP */
constexpr unsigned IRQ_VECTORS = STM32F411_IRQ_COUNT;

struct VectorTable {
    void *initial_sp;
    Handler vectors[SYSTEM_VECTORS + IRQ_VECTORS];
};

/* Entry n + 15 holds the handler of vector number n (Reset_Handler, number -15, first);
 * reserved positions are 0. */
constexpr VectorTable MakeVectorTable() {
    VectorTable table{&_estack, {}};
    table.vectors[0] = Reset_Handler;
#define PLACE(number, name) table.vectors[(number) + 15] = name;
    STM32F411_VECTORS(PLACE)
#undef PLACE
    return table;
}

} // namespace

/* Placed at the start of flash (0x08000000), which the chip maps at address 0 when it boots
 * from flash. */
extern "C"
    __attribute__((section(".isr_vector"), used)) constinit const VectorTable g_vector_table =
        MakeVectorTable();
static_assert(sizeof(VectorTable) == (1 + SYSTEM_VECTORS + IRQ_VECTORS) * 4);

extern "C" {

void Unassigned_Handler(void) {
    Default_Handler();
}

__attribute__((weak)) void Default_Handler(void) {
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
