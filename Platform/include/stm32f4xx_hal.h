/* Platform operations used by the firmware: the names, types and constants of the board maker's
 * HAL for the STM32F411, reduced to what this firmware calls. Two implementations exist: the
 * register-level one that runs on the board (Platform/stm32f411) and the virtual MCU that runs on
 * the PC (Platform/host). The CPU intrinsics (__disable_irq, __enable_irq, __NOP, __WFI) come from
 * the implementation's own platform_cpu.h. */
#ifndef STM32F4XX_HAL_H
#define STM32F4XX_HAL_H

#include <stddef.h>
#include <stdint.h>

#include "platform_cpu.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    HAL_OK = 0x00U,
    HAL_ERROR = 0x01U,
    HAL_BUSY = 0x02U,
    HAL_TIMEOUT = 0x03U
} HAL_StatusTypeDef;

#define HAL_MAX_DELAY 0xFFFFFFFFU
#define TICK_INT_PRIORITY 15U
#define HSE_VALUE 25000000U

/* ---- Peripheral instances ----------------------------------------------------------------------
 * Register block types are complete only in the register-level implementation; elsewhere an
 * instance is an identity that handles carry and callers compare. */
typedef struct USART_TypeDef USART_TypeDef;
typedef struct I2C_TypeDef I2C_TypeDef;
typedef struct TIM_TypeDef TIM_TypeDef;
typedef struct GPIO_TypeDef GPIO_TypeDef;
typedef struct RTC_TypeDef RTC_TypeDef;
typedef struct IWDG_TypeDef IWDG_TypeDef;

#define PERIPH_BASE 0x40000000UL
#define APB1PERIPH_BASE PERIPH_BASE
#define APB2PERIPH_BASE (PERIPH_BASE + 0x00010000UL)
#define AHB1PERIPH_BASE (PERIPH_BASE + 0x00020000UL)

#define TIM2_BASE (APB1PERIPH_BASE + 0x0000UL)
#define TIM3_BASE (APB1PERIPH_BASE + 0x0400UL)
#define RTC_BASE (APB1PERIPH_BASE + 0x2800UL)
#define IWDG_BASE (APB1PERIPH_BASE + 0x3000UL)
#define USART2_BASE (APB1PERIPH_BASE + 0x4400UL)
#define I2C1_BASE (APB1PERIPH_BASE + 0x5400UL)
#define TIM1_BASE (APB2PERIPH_BASE + 0x0000UL)
#define USART1_BASE (APB2PERIPH_BASE + 0x1000UL)
#define GPIOA_BASE (AHB1PERIPH_BASE + 0x0000UL)
#define GPIOB_BASE (AHB1PERIPH_BASE + 0x0400UL)
#define GPIOC_BASE (AHB1PERIPH_BASE + 0x0800UL)
#define GPIOH_BASE (AHB1PERIPH_BASE + 0x1C00UL)

#define TIM1 ((TIM_TypeDef *)TIM1_BASE)
#define TIM2 ((TIM_TypeDef *)TIM2_BASE)
#define TIM3 ((TIM_TypeDef *)TIM3_BASE)
#define RTC ((RTC_TypeDef *)RTC_BASE)
#define IWDG ((IWDG_TypeDef *)IWDG_BASE)
#define USART1 ((USART_TypeDef *)USART1_BASE)
#define USART2 ((USART_TypeDef *)USART2_BASE)
#define I2C1 ((I2C_TypeDef *)I2C1_BASE)
#define GPIOA ((GPIO_TypeDef *)GPIOA_BASE)
#define GPIOB ((GPIO_TypeDef *)GPIOB_BASE)
#define GPIOC ((GPIO_TypeDef *)GPIOC_BASE)
#define GPIOH ((GPIO_TypeDef *)GPIOH_BASE)

/* ---- Interrupt numbers -------------------------------------------------------------------------
 */
typedef enum {
    NonMaskableInt_IRQn = -14,
    HardFault_IRQn = -13,
    MemoryManagement_IRQn = -12,
    BusFault_IRQn = -11,
    UsageFault_IRQn = -10,
    SVCall_IRQn = -5,
    DebugMonitor_IRQn = -4,
    PendSV_IRQn = -2,
    SysTick_IRQn = -1,
    TIM1_BRK_TIM9_IRQn = 24,
    TIM1_UP_TIM10_IRQn = 25,
    TIM1_TRG_COM_TIM11_IRQn = 26,
    TIM2_IRQn = 28,
    TIM3_IRQn = 29,
    TIM4_IRQn = 30,
    I2C1_EV_IRQn = 31,
    I2C1_ER_IRQn = 32,
    I2C2_EV_IRQn = 33,
    I2C2_ER_IRQn = 34,
    USART1_IRQn = 37,
    USART2_IRQn = 38,
    TIM5_IRQn = 50,
    USART6_IRQn = 71,
    I2C3_EV_IRQn = 72,
    I2C3_ER_IRQn = 73,
    FPU_IRQn = 81,
    SPI5_IRQn = 85 /* the highest: every number of the chip is a value of the type */
} IRQn_Type;

/* ---- Clock tree --------------------------------------------------------------------------------
 */
#define RCC_OSCILLATORTYPE_NONE 0x00000000U
#define RCC_OSCILLATORTYPE_HSE 0x00000001U
#define RCC_OSCILLATORTYPE_HSI 0x00000002U
#define RCC_OSCILLATORTYPE_LSE 0x00000004U
#define RCC_OSCILLATORTYPE_LSI 0x00000008U
#define RCC_HSE_OFF 0x00000000U
#define RCC_HSE_ON 0x00010000U
#define RCC_LSI_OFF 0x00000000U
#define RCC_LSI_ON 0x00000001U
#define RCC_PLL_NONE 0x00000000U
#define RCC_PLL_OFF 0x00000001U
#define RCC_PLL_ON 0x00000002U
#define RCC_PLLSOURCE_HSI 0x00000000U
#define RCC_PLLSOURCE_HSE 0x00400000U
#define RCC_PLLP_DIV2 0x00000002U
#define RCC_PLLP_DIV4 0x00000004U
#define RCC_PLLP_DIV6 0x00000006U
#define RCC_PLLP_DIV8 0x00000008U
#define RCC_CLOCKTYPE_SYSCLK 0x00000001U
#define RCC_CLOCKTYPE_HCLK 0x00000002U
#define RCC_CLOCKTYPE_PCLK1 0x00000004U
#define RCC_CLOCKTYPE_PCLK2 0x00000008U
#define RCC_SYSCLKSOURCE_HSI 0x00000000U
#define RCC_SYSCLKSOURCE_HSE 0x00000001U
#define RCC_SYSCLKSOURCE_PLLCLK 0x00000002U
#define RCC_SYSCLK_DIV1 0x00000000U
#define RCC_HCLK_DIV1 0x00000000U
#define RCC_HCLK_DIV2 0x00001000U
#define RCC_HCLK_DIV4 0x00001400U
#define RCC_PERIPHCLK_RTC 0x00000002U
#define RCC_RTCCLKSOURCE_LSI 0x00000200U
#define FLASH_LATENCY_0 0U
#define FLASH_LATENCY_1 1U
#define FLASH_LATENCY_2 2U
#define FLASH_LATENCY_3 3U
#define PWR_REGULATOR_VOLTAGE_SCALE1 0x0000C000U

typedef struct {
    uint32_t PLLState;
    uint32_t PLLSource;
    uint32_t PLLM;
    uint32_t PLLN;
    uint32_t PLLP;
    uint32_t PLLQ;
} RCC_PLLInitTypeDef;

typedef struct {
    uint32_t OscillatorType;
    uint32_t HSEState;
    uint32_t LSEState;
    uint32_t HSIState;
    uint32_t HSICalibrationValue;
    uint32_t LSIState;
    RCC_PLLInitTypeDef PLL;
} RCC_OscInitTypeDef;

typedef struct {
    uint32_t ClockType;
    uint32_t SYSCLKSource;
    uint32_t AHBCLKDivider;
    uint32_t APB1CLKDivider;
    uint32_t APB2CLKDivider;
} RCC_ClkInitTypeDef;

typedef struct {
    uint32_t PeriphClockSelection;
    uint32_t RTCClockSelection;
} RCC_PeriphCLKInitTypeDef;

/* Peripheral clock gates, named as the HAL's clock-enable macros name them. */
typedef enum {
    RCC_GATE_GPIOA,
    RCC_GATE_GPIOB,
    RCC_GATE_GPIOC,
    RCC_GATE_GPIOH,
    RCC_GATE_I2C1,
    RCC_GATE_USART1,
    RCC_GATE_USART2,
    RCC_GATE_TIM1,
    RCC_GATE_TIM3,
    RCC_GATE_TIM2,
    RCC_GATE_PWR,
    RCC_GATE_SYSCFG,
    RCC_GATE_RTC
} RCC_GateTypeDef;

void HAL_RCC_EnableGate(RCC_GateTypeDef gate);
/* Holds a peripheral in its reset (held != 0: every register at its reset value, writes ignored,
 * whatever it was doing on its pins abandoned) or releases it; the RTC has no such line. */
void HAL_RCC_SetPeripheralReset(RCC_GateTypeDef gate, uint32_t held);
void HAL_PWR_SetVoltageScaling(uint32_t scale);

#define __HAL_RCC_GPIOA_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_GPIOA)
#define __HAL_RCC_GPIOB_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_GPIOB)
#define __HAL_RCC_GPIOC_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_GPIOC)
#define __HAL_RCC_GPIOH_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_GPIOH)
#define __HAL_RCC_I2C1_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_I2C1)
#define __HAL_RCC_USART1_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_USART1)
#define __HAL_RCC_USART2_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_USART2)
#define __HAL_RCC_TIM1_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_TIM1)
#define __HAL_RCC_TIM3_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_TIM3)
#define __HAL_RCC_TIM2_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_TIM2)
#define __HAL_RCC_PWR_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_PWR)
#define __HAL_RCC_SYSCFG_CLK_ENABLE() HAL_RCC_EnableGate(RCC_GATE_SYSCFG)
#define __HAL_RCC_RTC_ENABLE() HAL_RCC_EnableGate(RCC_GATE_RTC)
#define __HAL_PWR_VOLTAGESCALING_CONFIG(scale) HAL_PWR_SetVoltageScaling(scale)
#define __HAL_RCC_I2C1_FORCE_RESET() HAL_RCC_SetPeripheralReset(RCC_GATE_I2C1, 1U)
#define __HAL_RCC_I2C1_RELEASE_RESET() HAL_RCC_SetPeripheralReset(RCC_GATE_I2C1, 0U)

HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef *init);
HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef *init, uint32_t flash_latency);
HAL_StatusTypeDef HAL_RCCEx_PeriphCLKConfig(RCC_PeriphCLKInitTypeDef *init);

/* Reset flags of the RCC's control/status register: each set by the kind of reset it names and
 * kept until cleared (a power-on sets the power-on, brown-out and pin flags; a watchdog or
 * software reset also the pin flag, since the chip pulls its reset pin). */
#define RCC_FLAG_BORRST 0x79U
#define RCC_FLAG_PINRST 0x7AU
#define RCC_FLAG_PORRST 0x7BU
#define RCC_FLAG_SFTRST 0x7CU
#define RCC_FLAG_IWDGRST 0x7DU
#define RCC_FLAG_WWDGRST 0x7EU
#define RCC_FLAG_LPWRRST 0x7FU
uint32_t HAL_RCC_GetResetFlag(uint32_t flag); /* 1 when set */
void HAL_RCC_ClearResetFlags(void);
#define __HAL_RCC_GET_FLAG(flag) HAL_RCC_GetResetFlag(flag)
#define __HAL_RCC_CLEAR_RESET_FLAGS() HAL_RCC_ClearResetFlags()

/* ---- Independent watchdog: counts down from Reload on the LSI divided by Prescaler; a refresh
 * starts the count again, reaching zero resets the chip. Once started it cannot be stopped. */
#define IWDG_PRESCALER_4 0x00000000U
#define IWDG_PRESCALER_8 0x00000001U
#define IWDG_PRESCALER_16 0x00000002U
#define IWDG_PRESCALER_32 0x00000003U
#define IWDG_PRESCALER_64 0x00000004U
#define IWDG_PRESCALER_128 0x00000005U
#define IWDG_PRESCALER_256 0x00000006U
#define IWDG_RELOAD_MAX 0x0FFFU
#define LSI_VALUE 32000U /* nominal; the chip's LSI lies between 17 and 47 kHz */

typedef struct {
    uint32_t Prescaler;
    uint32_t Reload;
} IWDG_InitTypeDef;

typedef struct {
    IWDG_TypeDef *Instance;
    IWDG_InitTypeDef Init;
} IWDG_HandleTypeDef;

HAL_StatusTypeDef HAL_IWDG_Init(IWDG_HandleTypeDef *hiwdg);
HAL_StatusTypeDef HAL_IWDG_Refresh(IWDG_HandleTypeDef *hiwdg);

/* ---- Core: tick, NVIC --------------------------------------------------------------------------
 */
HAL_StatusTypeDef HAL_Init(void);
void HAL_IncTick(void);
uint32_t HAL_GetTick(void);
void HAL_MspInit(void);
/* The chip's 96-bit unique device ID (RM0383 section 24.2), bits 0-31, 32-63 and 64-95. */
#define UID_BASE 0x1FFF7A10UL
uint32_t HAL_GetUIDw0(void);
uint32_t HAL_GetUIDw1(void);
uint32_t HAL_GetUIDw2(void);
void HAL_NVIC_SetPriority(IRQn_Type irq, uint32_t preempt_priority, uint32_t sub_priority);
void HAL_NVIC_EnableIRQ(IRQn_Type irq);

/* ---- GPIO --------------------------------------------------------------------------------------
 */
#define GPIO_PIN_0 ((uint16_t)0x0001)
#define GPIO_PIN_1 ((uint16_t)0x0002)
#define GPIO_PIN_2 ((uint16_t)0x0004)
#define GPIO_PIN_3 ((uint16_t)0x0008)
#define GPIO_PIN_4 ((uint16_t)0x0010)
#define GPIO_PIN_5 ((uint16_t)0x0020)
#define GPIO_PIN_6 ((uint16_t)0x0040)
#define GPIO_PIN_7 ((uint16_t)0x0080)
#define GPIO_PIN_8 ((uint16_t)0x0100)
#define GPIO_PIN_9 ((uint16_t)0x0200)
#define GPIO_PIN_10 ((uint16_t)0x0400)
#define GPIO_PIN_11 ((uint16_t)0x0800)
#define GPIO_PIN_12 ((uint16_t)0x1000)
#define GPIO_PIN_13 ((uint16_t)0x2000)
#define GPIO_PIN_14 ((uint16_t)0x4000)
#define GPIO_PIN_15 ((uint16_t)0x8000)

#define GPIO_MODE_INPUT 0x00000000U
#define GPIO_MODE_OUTPUT_PP 0x00000001U
#define GPIO_MODE_OUTPUT_OD 0x00000011U
#define GPIO_MODE_AF_PP 0x00000002U
#define GPIO_MODE_AF_OD 0x00000012U
#define GPIO_MODE_ANALOG 0x00000003U
#define GPIO_NOPULL 0x00000000U
#define GPIO_PULLUP 0x00000001U
#define GPIO_PULLDOWN 0x00000002U
#define GPIO_SPEED_FREQ_LOW 0x00000000U
#define GPIO_SPEED_FREQ_MEDIUM 0x00000001U
#define GPIO_SPEED_FREQ_HIGH 0x00000002U
#define GPIO_SPEED_FREQ_VERY_HIGH 0x00000003U
#define GPIO_AF1_TIM2 ((uint8_t)0x01)
#define GPIO_AF4_I2C1 ((uint8_t)0x04)
#define GPIO_AF7_USART1 ((uint8_t)0x07)
#define GPIO_AF7_USART2 ((uint8_t)0x07)

typedef enum { GPIO_PIN_RESET = 0, GPIO_PIN_SET } GPIO_PinState;

typedef struct {
    uint32_t Pin;
    uint32_t Mode;
    uint32_t Pull;
    uint32_t Speed;
    uint32_t Alternate;
} GPIO_InitTypeDef;

void HAL_GPIO_Init(GPIO_TypeDef *port, GPIO_InitTypeDef *init);
GPIO_PinState HAL_GPIO_ReadPin(GPIO_TypeDef *port, uint16_t pin);
void HAL_GPIO_WritePin(GPIO_TypeDef *port, uint16_t pin, GPIO_PinState state);
void HAL_GPIO_TogglePin(GPIO_TypeDef *port, uint16_t pin);

/* ---- I2C ---------------------------------------------------------------------------------------
 */
#define I2C_DUTYCYCLE_2 0x00000000U
#define I2C_DUTYCYCLE_16_9 0x00004000U
#define I2C_ADDRESSINGMODE_7BIT 0x00004000U
#define I2C_DUALADDRESS_DISABLE 0x00000000U
#define I2C_GENERALCALL_DISABLE 0x00000000U
#define I2C_NOSTRETCH_DISABLE 0x00000000U
#define I2C_MEMADD_SIZE_8BIT 0x00000001U

typedef struct {
    uint32_t ClockSpeed;
    uint32_t DutyCycle;
    uint32_t OwnAddress1;
    uint32_t AddressingMode;
    uint32_t DualAddressMode;
    uint32_t OwnAddress2;
    uint32_t GeneralCallMode;
    uint32_t NoStretchMode;
} I2C_InitTypeDef;

typedef struct {
    I2C_TypeDef *Instance;
    I2C_InitTypeDef Init;
    volatile uint32_t ErrorCode;
} I2C_HandleTypeDef;

#define HAL_I2C_ERROR_NONE 0x00000000U
#define HAL_I2C_ERROR_BERR 0x00000001U
#define HAL_I2C_ERROR_ARLO 0x00000002U
#define HAL_I2C_ERROR_AF 0x00000004U
#define HAL_I2C_ERROR_TIMEOUT 0x00000020U

HAL_StatusTypeDef HAL_I2C_Init(I2C_HandleTypeDef *hi2c);
/* Switches the interface off and gives its pins back (HAL_I2C_MspDeInit). */
HAL_StatusTypeDef HAL_I2C_DeInit(I2C_HandleTypeDef *hi2c);
void HAL_I2C_MspInit(I2C_HandleTypeDef *hi2c);
void HAL_I2C_MspDeInit(I2C_HandleTypeDef *hi2c);
HAL_StatusTypeDef HAL_I2C_IsDeviceReady(I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                                        uint32_t trials, uint32_t timeout);
HAL_StatusTypeDef HAL_I2C_Mem_Write(I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                                    uint16_t mem_address, uint16_t mem_add_size, uint8_t *data,
                                    uint16_t size, uint32_t timeout);
/* The register address written, then a repeated START and the data read. One byte: the board's
 * layer reads no more (HAL_ERROR for any other size). */
HAL_StatusTypeDef HAL_I2C_Mem_Read(I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                                   uint16_t mem_address, uint16_t mem_add_size, uint8_t *data,
                                   uint16_t size, uint32_t timeout);

/* ---- UART --------------------------------------------------------------------------------------
 */
#define UART_WORDLENGTH_8B 0x00000000U
#define UART_STOPBITS_1 0x00000000U
#define UART_PARITY_NONE 0x00000000U
#define UART_MODE_RX 0x00000004U
#define UART_MODE_TX 0x00000008U
#define UART_MODE_TX_RX 0x0000000CU
#define UART_HWCONTROL_NONE 0x00000000U
#define UART_OVERSAMPLING_16 0x00000000U

#define HAL_UART_ERROR_NONE 0x00000000U
#define HAL_UART_ERROR_PE 0x00000001U
#define HAL_UART_ERROR_NE 0x00000002U
#define HAL_UART_ERROR_FE 0x00000004U
#define HAL_UART_ERROR_ORE 0x00000008U

typedef struct {
    uint32_t BaudRate;
    uint32_t WordLength;
    uint32_t StopBits;
    uint32_t Parity;
    uint32_t Mode;
    uint32_t HwFlowCtl;
    uint32_t OverSampling;
} UART_InitTypeDef;

typedef struct {
    USART_TypeDef *Instance;
    UART_InitTypeDef Init;
    uint8_t *pRxBuffPtr;
    uint16_t RxXferSize;
    volatile uint16_t RxXferCount;
    volatile uint8_t RxBusy;
    const uint8_t *pTxBuffPtr;
    uint16_t TxXferSize;
    volatile uint16_t TxXferCount;
    volatile uint8_t TxBusy;
    volatile uint32_t ErrorCode;
} UART_HandleTypeDef;

HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef *huart);
void HAL_UART_MspInit(UART_HandleTypeDef *huart);
HAL_StatusTypeDef HAL_UART_Transmit(UART_HandleTypeDef *huart, const uint8_t *data, uint16_t size,
                                    uint32_t timeout);
HAL_StatusTypeDef HAL_UART_Receive_IT(UART_HandleTypeDef *huart, uint8_t *data, uint16_t size);
/* Sends the bytes from the transmit interrupt (TXE for each byte, then TC); the buffer must stay
 * until HAL_UART_TxCpltCallback. HAL_BUSY while a transmission is in progress. */
HAL_StatusTypeDef HAL_UART_Transmit_IT(UART_HandleTypeDef *huart, const uint8_t *data,
                                       uint16_t size);
/* Discards a byte waiting in the receiver (and the overrun it may have caused). */
void HAL_UART_FlushReceiver(UART_HandleTypeDef *huart);
#define __HAL_UART_FLUSH_DRREGISTER(huart) HAL_UART_FlushReceiver(huart)
void HAL_UART_IRQHandler(UART_HandleTypeDef *huart);
void HAL_UART_RxCpltCallback(UART_HandleTypeDef *huart);
void HAL_UART_TxCpltCallback(UART_HandleTypeDef *huart);
void HAL_UART_ErrorCallback(UART_HandleTypeDef *huart);

/* ---- Timers ------------------------------------------------------------------------------------
 */
#define TIM_COUNTERMODE_UP 0x00000000U
#define TIM_CLOCKDIVISION_DIV1 0x00000000U
#define TIM_AUTORELOAD_PRELOAD_DISABLE 0x00000000U
#define TIM_AUTORELOAD_PRELOAD_ENABLE 0x00000080U
#define TIM_CLOCKSOURCE_INTERNAL 0x00001000U
#define TIM_TRGO_RESET 0x00000000U
#define TIM_MASTERSLAVEMODE_DISABLE 0x00000000U
/* External clock mode 2: the counter counts edges on the ETR pin. */
#define TIM_CLOCKSOURCE_ETRMODE2 0x00002000U
#define TIM_CLOCKPOLARITY_NONINVERTED 0x00000000U
#define TIM_CLOCKPRESCALER_DIV1 0x00000000U
#define TIM_CHANNEL_2 0x00000004U
#define TIM_ICPOLARITY_RISING 0x00000000U
#define TIM_ICSELECTION_DIRECTTI 0x00000001U
#define TIM_ICPSC_DIV1 0x00000000U
#define HAL_TIM_ACTIVE_CHANNEL_2 0x02U

typedef struct {
    uint32_t Prescaler;
    uint32_t CounterMode;
    uint32_t Period;
    uint32_t ClockDivision;
    uint32_t RepetitionCounter;
    uint32_t AutoReloadPreload;
} TIM_Base_InitTypeDef;

typedef struct {
    uint32_t ClockSource;
    uint32_t ClockPolarity;
    uint32_t ClockPrescaler;
    uint32_t ClockFilter;
} TIM_ClockConfigTypeDef;

typedef struct {
    uint32_t MasterOutputTrigger;
    uint32_t MasterSlaveMode;
} TIM_MasterConfigTypeDef;

typedef struct {
    uint32_t ICPolarity;
    uint32_t ICSelection;
    uint32_t ICPrescaler;
    uint32_t ICFilter;
} TIM_IC_InitTypeDef;

typedef struct {
    TIM_TypeDef *Instance;
    TIM_Base_InitTypeDef Init;
    uint8_t Channel; /* the channel whose capture the callback reports (HAL_TIM_ACTIVE_CHANNEL_x) */
} TIM_HandleTypeDef;

HAL_StatusTypeDef HAL_TIM_Base_Init(TIM_HandleTypeDef *htim);
void HAL_TIM_Base_MspInit(TIM_HandleTypeDef *htim);
HAL_StatusTypeDef HAL_TIM_ConfigClockSource(TIM_HandleTypeDef *htim,
                                            TIM_ClockConfigTypeDef *config);
HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef *htim,
                                                        TIM_MasterConfigTypeDef *config);
HAL_StatusTypeDef HAL_TIM_Base_Start_IT(TIM_HandleTypeDef *htim);
void HAL_TIM_IRQHandler(TIM_HandleTypeDef *htim);
void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef *htim);
/* Input capture (TIM2 channel 2 here): the channel's set-up, its start with the capture interrupt,
 * the captured count, and the callback the IRQ handler calls for each capture. */
HAL_StatusTypeDef HAL_TIM_IC_ConfigChannel(TIM_HandleTypeDef *htim, TIM_IC_InitTypeDef *config,
                                           uint32_t channel);
HAL_StatusTypeDef HAL_TIM_IC_Start_IT(TIM_HandleTypeDef *htim, uint32_t channel);
uint32_t HAL_TIM_ReadCapturedValue(TIM_HandleTypeDef *htim, uint32_t channel);
void HAL_TIM_IC_CaptureCallback(TIM_HandleTypeDef *htim);

/* ---- RTC ---------------------------------------------------------------------------------------
 */
#define RTC_HOURFORMAT_24 0x00000000U
#define RTC_OUTPUT_DISABLE 0x00000000U
#define RTC_OUTPUT_POLARITY_HIGH 0x00000000U
#define RTC_OUTPUT_TYPE_OPENDRAIN 0x00000000U
#define RTC_DAYLIGHTSAVING_NONE 0x00000000U
#define RTC_STOREOPERATION_RESET 0x00000000U
#define RTC_FORMAT_BIN 0x00000000U
#define RTC_FORMAT_BCD 0x00000001U
#define RTC_WEEKDAY_MONDAY ((uint8_t)0x01)
#define RTC_MONTH_JANUARY ((uint8_t)0x01)

typedef struct {
    uint32_t HourFormat;
    uint32_t AsynchPrediv;
    uint32_t SynchPrediv;
    uint32_t OutPut;
    uint32_t OutPutPolarity;
    uint32_t OutPutType;
} RTC_InitTypeDef;

typedef struct {
    uint8_t Hours;
    uint8_t Minutes;
    uint8_t Seconds;
    uint8_t TimeFormat;
    uint32_t DayLightSaving;
    uint32_t StoreOperation;
} RTC_TimeTypeDef;

typedef struct {
    uint8_t WeekDay;
    uint8_t Month;
    uint8_t Date;
    uint8_t Year;
} RTC_DateTypeDef;

typedef struct {
    RTC_TypeDef *Instance;
    RTC_InitTypeDef Init;
} RTC_HandleTypeDef;

HAL_StatusTypeDef HAL_RTC_Init(RTC_HandleTypeDef *hrtc);
void HAL_RTC_MspInit(RTC_HandleTypeDef *hrtc);
HAL_StatusTypeDef HAL_RTC_SetTime(RTC_HandleTypeDef *hrtc, RTC_TimeTypeDef *time, uint32_t format);
HAL_StatusTypeDef HAL_RTC_SetDate(RTC_HandleTypeDef *hrtc, RTC_DateTypeDef *date, uint32_t format);

/* ---- Flash programming -------------------------------------------------------------------------
 * Sectors 2 and 3 (16 KiB each) hold the beacon's settings; the linker keeps code and data out of
 * them. Programming is by 32-bit word (2.7..3.6 V), an erase by whole sector. */
#define FLASH_SECTOR_2 2U
#define FLASH_SECTOR_3 3U
#define FLASH_SECTOR_2_ADDR 0x08008000UL
#define FLASH_SECTOR_3_ADDR 0x0800C000UL
#define FLASH_SECTOR_16K_SIZE 0x4000UL
#define FLASH_TYPEPROGRAM_WORD 0x00000002U
#define FLASH_TYPEERASE_SECTORS 0x00000000U
#define FLASH_VOLTAGE_RANGE_3 0x00000002U
#define HAL_FLASH_ERROR_NONE 0x00000000U
#define HAL_FLASH_ERROR_OPERATION 0x00000001U /* OPERR */
#define HAL_FLASH_ERROR_WRP 0x00000010U       /* write protection, or the controller locked */
#define HAL_FLASH_ERROR_PGA 0x00000020U       /* alignment */
#define HAL_FLASH_ERROR_PGP 0x00000040U       /* parallelism */
#define HAL_FLASH_ERROR_PGS 0x00000080U       /* sequence */
#define HAL_FLASH_ERROR_RD 0x00000100U        /* read of a protected sector (RDERR) */

typedef struct {
    uint32_t TypeErase;
    uint32_t Banks;
    uint32_t Sector;
    uint32_t NbSectors;
    uint32_t VoltageRange;
} FLASH_EraseInitTypeDef;

HAL_StatusTypeDef HAL_FLASH_Unlock(void);
HAL_StatusTypeDef HAL_FLASH_Lock(void);
HAL_StatusTypeDef HAL_FLASH_Program(uint32_t TypeProgram, uint32_t Address, uint64_t Data);
HAL_StatusTypeDef HAL_FLASHEx_Erase(FLASH_EraseInitTypeDef *pEraseInit, uint32_t *SectorError);
uint32_t HAL_FLASH_GetError(void);

/* Two additions to the chip maker's interface, for the one place that needs them:
 * - where the bytes of a flash address are read (on the chip, that address itself);
 * - the CPU's cycle counter at the core clock (DWT CYCCNT on the chip, started by HAL_Init), which
 *   keeps counting while the CPU stalls on a flash erase and the 1 ms tick does not. */
const void *HAL_FLASH_Address(uint32_t address);
uint32_t HAL_GetCycleCount(void);

#ifdef __cplusplus
}
#endif

#endif /* STM32F4XX_HAL_H */
