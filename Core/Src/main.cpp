/* Start-up: the core, the clock tree and the peripherals in order, the application, the 1 ms tick,
 * then the main loop. Each peripheral's set-up, pins, interrupt and callbacks live in its own
 * file; the faults in faults.cpp. */
#include "main.h"

#include "gpio.h"
#include "i2c.h"
#include "iwdg.h"
#include "rtc.h"
#include "stm32f4xx_it.h"
#include "tim.h"
#include "usart.h"
#include "wspr_app.h"

void Board_Start(void) {
    /* Before anything else: no amplifier on a carrier left over from before the reset. */
    MX_GPIO_AmplifierOff();
    WSPR_App_ReadResetCause();
    HAL_Init();
    SystemClock_Config();
    /* From here on a hang anywhere ends in a reset. */
    MX_IWDG_Init();

    MX_GPIO_Init();
    MX_I2C1_Init();
    MX_RTC_Init();
    MX_TIM1_Init();
    MX_TIM3_Init();
    MX_TIM2_Init();
    MX_USART1_UART_Init();
    MX_USART2_UART_Init();

    WSPR_App_Init();

    if (HAL_TIM_Base_Start_IT(&htim3) != HAL_OK) {
        Error_Handler();
    }
}

int main(void) {
    Board_Start();
    for (;;) {
        WSPR_App_Process();
    }
}

void SystemClock_Config(void) {
    RCC_OscInitTypeDef osc = {};
    RCC_ClkInitTypeDef clk = {};

    __HAL_RCC_PWR_CLK_ENABLE();
    __HAL_PWR_VOLTAGESCALING_CONFIG(PWR_REGULATOR_VOLTAGE_SCALE1);

    osc.OscillatorType = RCC_OSCILLATORTYPE_HSE | RCC_OSCILLATORTYPE_LSI;
    osc.HSEState = RCC_HSE_ON;
    osc.LSIState = RCC_LSI_ON;
    osc.PLL.PLLState = RCC_PLL_ON;
    osc.PLL.PLLSource = RCC_PLLSOURCE_HSE;
    osc.PLL.PLLM = 25;
    osc.PLL.PLLN = 200;
    osc.PLL.PLLP = RCC_PLLP_DIV2;
    osc.PLL.PLLQ = 4;
    if (HAL_RCC_OscConfig(&osc) != HAL_OK) {
        Error_Handler();
    }

    clk.ClockType =
        RCC_CLOCKTYPE_HCLK | RCC_CLOCKTYPE_SYSCLK | RCC_CLOCKTYPE_PCLK1 | RCC_CLOCKTYPE_PCLK2;
    clk.SYSCLKSource = RCC_SYSCLKSOURCE_PLLCLK;
    clk.AHBCLKDivider = RCC_SYSCLK_DIV1;
    clk.APB1CLKDivider = RCC_HCLK_DIV2;
    clk.APB2CLKDivider = RCC_HCLK_DIV1;
    if (HAL_RCC_ClockConfig(&clk, FLASH_LATENCY_3) != HAL_OK) {
        Error_Handler();
    }
}

void HAL_MspInit(void) {
    __HAL_RCC_SYSCFG_CLK_ENABLE();
    __HAL_RCC_PWR_CLK_ENABLE();
}

void SysTick_Handler(void) {
    HAL_IncTick();
}
