/* The STM32F411's exception and interrupt vectors, by number (IRQn_Type: system exceptions
 * negative, interrupts 0..85) and handler name. The one list both platforms build their vector
 * tables from: the board's start-up code as function pointers, the virtual MCU by looking the
 * names up in the firmware it runs. Numbers missing from the list are reserved. */
#ifndef STM32F411_VECTORS_H
#define STM32F411_VECTORS_H

#define STM32F411_VECTORS(X)                                                                       \
    X(-14, NMI_Handler)                                                                            \
    X(-13, HardFault_Handler)                                                                      \
    X(-12, MemManage_Handler)                                                                      \
    X(-11, BusFault_Handler)                                                                       \
    X(-10, UsageFault_Handler)                                                                     \
    X(-5, SVC_Handler)                                                                             \
    X(-4, DebugMon_Handler)                                                                        \
    X(-2, PendSV_Handler)                                                                          \
    X(-1, SysTick_Handler)                                                                         \
    X(0, WWDG_IRQHandler)                                                                          \
    X(1, PVD_IRQHandler)                                                                           \
    X(2, TAMP_STAMP_IRQHandler)                                                                    \
    X(3, RTC_WKUP_IRQHandler)                                                                      \
    X(4, FLASH_IRQHandler)                                                                         \
    X(5, RCC_IRQHandler)                                                                           \
    X(6, EXTI0_IRQHandler)                                                                         \
    X(7, EXTI1_IRQHandler)                                                                         \
    X(8, EXTI2_IRQHandler)                                                                         \
    X(9, EXTI3_IRQHandler)                                                                         \
    X(10, EXTI4_IRQHandler)                                                                        \
    X(11, DMA1_Stream0_IRQHandler)                                                                 \
    X(12, DMA1_Stream1_IRQHandler)                                                                 \
    X(13, DMA1_Stream2_IRQHandler)                                                                 \
    X(14, DMA1_Stream3_IRQHandler)                                                                 \
    X(15, DMA1_Stream4_IRQHandler)                                                                 \
    X(16, DMA1_Stream5_IRQHandler)                                                                 \
    X(17, DMA1_Stream6_IRQHandler)                                                                 \
    X(18, ADC_IRQHandler)                                                                          \
    X(23, EXTI9_5_IRQHandler)                                                                      \
    X(24, TIM1_BRK_TIM9_IRQHandler)                                                                \
    X(25, TIM1_UP_TIM10_IRQHandler)                                                                \
    X(26, TIM1_TRG_COM_TIM11_IRQHandler)                                                           \
    X(27, TIM1_CC_IRQHandler)                                                                      \
    X(28, TIM2_IRQHandler)                                                                         \
    X(29, TIM3_IRQHandler)                                                                         \
    X(30, TIM4_IRQHandler)                                                                         \
    X(31, I2C1_EV_IRQHandler)                                                                      \
    X(32, I2C1_ER_IRQHandler)                                                                      \
    X(33, I2C2_EV_IRQHandler)                                                                      \
    X(34, I2C2_ER_IRQHandler)                                                                      \
    X(35, SPI1_IRQHandler)                                                                         \
    X(36, SPI2_IRQHandler)                                                                         \
    X(37, USART1_IRQHandler)                                                                       \
    X(38, USART2_IRQHandler)                                                                       \
    X(40, EXTI15_10_IRQHandler)                                                                    \
    X(41, RTC_Alarm_IRQHandler)                                                                    \
    X(42, OTG_FS_WKUP_IRQHandler)                                                                  \
    X(47, DMA1_Stream7_IRQHandler)                                                                 \
    X(49, SDIO_IRQHandler)                                                                         \
    X(50, TIM5_IRQHandler)                                                                         \
    X(51, SPI3_IRQHandler)                                                                         \
    X(56, DMA2_Stream0_IRQHandler)                                                                 \
    X(57, DMA2_Stream1_IRQHandler)                                                                 \
    X(58, DMA2_Stream2_IRQHandler)                                                                 \
    X(59, DMA2_Stream3_IRQHandler)                                                                 \
    X(60, DMA2_Stream4_IRQHandler)                                                                 \
    X(67, OTG_FS_IRQHandler)                                                                       \
    X(68, DMA2_Stream5_IRQHandler)                                                                 \
    X(69, DMA2_Stream6_IRQHandler)                                                                 \
    X(70, DMA2_Stream7_IRQHandler)                                                                 \
    X(71, USART6_IRQHandler)                                                                       \
    X(72, I2C3_EV_IRQHandler)                                                                      \
    X(73, I2C3_ER_IRQHandler)                                                                      \
    X(81, FPU_IRQHandler)                                                                          \
    X(84, SPI4_IRQHandler)                                                                         \
    X(85, SPI5_IRQHandler)

/* Exceptions 1..15 (numbers -15..-1) and interrupts 0..85. */
#define STM32F411_SYSTEM_VECTOR_COUNT 15
#define STM32F411_IRQ_COUNT 86

#endif
